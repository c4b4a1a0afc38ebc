#include "engine/SievraAppleEventManager.h"

#include "engine/JKW_LogManager.h"
#include "engine/SWPlugInFilter.h"
#include "engine/SievraController.h"
#include "mailparse/SAData.h"
#include "mailparse/SAMimePart.h"
#include "platform/BatchFile.h"
#include "platform/Folders.h"

#include <QCoreApplication>
#include <QDBusMetaType>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QtEndian>

namespace {

constexpr char kMboxSeparatorStart[] = "From ";
constexpr char kLineFeed = 10;
constexpr char kCarriageReturn = 13;
constexpr int kFiltersVersionHeaderBytes = 4;

// The parser's line-end character for the length of one command: carriage
// return for a source with carriage-return line ends, line feed again when
// the command ends, whatever its outcome.
class LineEndScope {
public:
    explicit LineEndScope(bool carriageReturns) {
        if (carriageReturns)
            MIME_EOL_CHAR = kCarriageReturn;
    }
    ~LineEndScope() { MIME_EOL_CHAR = kLineFeed; }
    LineEndScope(const LineEndScope&) = delete;
    LineEndScope& operator=(const LineEndScope&) = delete;
};

// The "Message" argument as bytes: a byte array as it is, a text as UTF-8.
QByteArray messageSource(const QVariantMap& arguments, bool* present) {
    const QVariant value = arguments.value(QLatin1String(SievraCommandMessageKey));
    *present = true;
    switch (value.metaType().id()) {
    case QMetaType::QByteArray:
        return value.toByteArray();
    case QMetaType::QString:
        return value.toString().toUtf8();
    default:
        *present = false;
        return {};
    }
}

bool isEntourage(const QVariantMap& arguments) {
    const QVariant value = arguments.value(QLatin1String(SievraCommandIsEntourageKey));
    return value.metaType().id() == QMetaType::Bool && value.toBool();
}

QVariantMap commandArguments(const QByteArray& message, bool entourage) {
    return {{QLatin1String(SievraCommandMessageKey), message}, {QLatin1String(SievraCommandIsEntourageKey), entourage}};
}

}  // namespace

SARef<SAData> dataFromMessageSource(const QByteArray& source) {
    if (source.isEmpty())
        return {};
    qsizetype start = 0;
    if (source.startsWith(kMboxSeparatorStart)) {
        // A source with carriage-return line ends has no line feed: its
        // separator line ends at the first carriage return instead of taking
        // the whole message with it.
        qsizetype end = source.indexOf(kLineFeed);
        if (end < 0)
            end = source.indexOf(kCarriageReturn);
        start = end < 0 ? source.size() : end + 1;
    }
    if (start >= source.size())
        return {};
    return SARef<SAData>::adopt(new SAData(reinterpret_cast<const unsigned char*>(source.constData()) + start,
                                           static_cast<unsigned long>(source.size() - start), false));
}

QString filtersVersionFromHeader(const QByteArray& header) {
    if (header.size() < kFiltersVersionHeaderBytes)
        return QString::fromLatin1(SievraFiltersVersionUnknown);
    const qint32 seconds = qFromBigEndian<qint32>(header.constData());
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::LocalTime).toString(QStringLiteral("yyMMdd"));
}

SievraAppleEventManager::SievraAppleEventManager(SievraController* controller, QObject* parent)
    : QObject(parent), controller_(controller) {
    // The batch methods' array of messages ("aay") must be known before the
    // object is exported, or the bus leaves them out.
    qDBusRegisterMetaType<QByteArrayList>();
}

bool SievraAppleEventManager::handleCheckSpamStatusCommand(const QVariantMap& arguments) {
    bool present = false;
    const QByteArray source = messageSource(arguments, &present);
    if (!controller_ || !present)
        return false;
    const SARef<SAData> data = dataFromMessageSource(source);
    if (!data)
        return false;
    LineEndScope lineEnds(isEntourage(arguments));
    return controller_->filterMailData(data.get()) == SWFilterStatusSpam;
}

// Runs one learning command: converts the source, sets the line ends, hands
// the data to the controller's operation.
void SievraAppleEventManager::learn(const QVariantMap& arguments, void (SievraController::*operation)(SAData*)) {
    bool present = false;
    const QByteArray source = messageSource(arguments, &present);
    if (!controller_ || !present)
        return;
    const SARef<SAData> data = dataFromMessageSource(source);
    if (!data)
        return;
    LineEndScope lineEnds(isEntourage(arguments));
    (controller_->*operation)(data.get());
}

void SievraAppleEventManager::handleLearnSpamStatusCommand(const QVariantMap& arguments) {
    learn(arguments, &SievraController::learnSpamMailData);
}

void SievraAppleEventManager::handleLearnHamStatusCommand(const QVariantMap& arguments) {
    learn(arguments, &SievraController::learnHamMailData);
}

QString SievraAppleEventManager::handleGetFiltersVersionCommand() {
    const QString path = QDir(platform::folders::junkwardPlugins()).filePath(QLatin1String(SERVICES_FILE));
    // Only a regular file is opened: a pipe or device in its place would
    // block the engine or never end.
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return QString::fromLatin1(SievraFiltersVersionUnknown);
    return filtersVersionFromHeader(file.read(kFiltersVersionHeaderBytes));
}

bool SievraAppleEventManager::CheckSpamStatus(const QByteArray& message, bool isEntourage) {
    return handleCheckSpamStatusCommand(commandArguments(message, isEntourage));
}

void SievraAppleEventManager::LearnSpam(const QByteArray& message, bool isEntourage) {
    handleLearnSpamStatusCommand(commandArguments(message, isEntourage));
}

void SievraAppleEventManager::LearnHam(const QByteArray& message, bool isEntourage) {
    handleLearnHamStatusCommand(commandArguments(message, isEntourage));
}

QString SievraAppleEventManager::GetFiltersVersion() { return handleGetFiltersVersionCommand(); }

int SievraAppleEventManager::JudgeMessage(const QByteArray& message, bool isEntourage, QString& reason) {
    reason = QString::fromLatin1(JKW_LOG_FILTER_KEY_NONE);
    const SARef<SAData> data = controller_ ? dataFromMessageSource(message) : SARef<SAData>();
    if (!data)
        return SWFilterStatusUndecided;
    LineEndScope lineEnds(isEntourage);
    return controller_->filterMailData(data.get(), &reason);
}

// Every source converted and the whole batch handed to the controller with the
// line ends set; the flags are put back in the order of the sources.
QByteArray SievraAppleEventManager::learnBatch(const QByteArrayList& sources, bool entourage, bool spam) {
    QByteArray result(sources.size(), '\0');
    if (!controller_)
        return result;
    std::vector<SARef<SAData>> owned;
    std::vector<SAData*> data;
    std::vector<qsizetype> position;  // index in sources of each data object
    for (qsizetype i = 0; i < sources.size(); ++i) {
        if (SARef<SAData> d = dataFromMessageSource(sources[i])) {
            data.push_back(d.get());
            owned.push_back(std::move(d));
            position.push_back(i);
        }
    }
    LineEndScope lineEnds(entourage);
    const QByteArray learned = controller_->learnMailDataBatch(data, spam);
    for (size_t i = 0; i < position.size() && qsizetype(i) < learned.size(); ++i)
        result[position[i]] = learned[qsizetype(i)];
    return result;
}

QByteArray SievraAppleEventManager::LearnSpamBatch(const QByteArrayList& messages, bool isEntourage) {
    return learnBatch(messages, isEntourage, true);
}

QByteArray SievraAppleEventManager::LearnHamBatch(const QByteArrayList& messages, bool isEntourage) {
    return learnBatch(messages, isEntourage, false);
}

QByteArray SievraAppleEventManager::learnBatchFile(const QDBusUnixFileDescriptor& batch, bool entourage,
                                                  bool spam) {
    platform::batchfile::Reader reader;
    QString error;
    if (!reader.open(batch.isValid() ? batch.fileDescriptor() : -1, &error)) {
        if (calledFromDBus())
            sendErrorReply(QLatin1String(SievraErrorBadBatch), error);
        return {};
    }
    return learnBatch(reader.messages(), entourage, spam);
}

QByteArray SievraAppleEventManager::LearnSpamBatchFile(const QDBusUnixFileDescriptor& batch, bool isEntourage) {
    return learnBatchFile(batch, isEntourage, true);
}

QByteArray SievraAppleEventManager::LearnHamBatchFile(const QDBusUnixFileDescriptor& batch, bool isEntourage) {
    return learnBatchFile(batch, isEntourage, false);
}

QString SievraAppleEventManager::Explain(const QByteArray& message, bool isEntourage) {
    QVariantMap explanation;
    const SARef<SAData> data = dataFromMessageSource(message);
    if (controller_ && data) {
        LineEndScope lineEnds(isEntourage);
        explanation = controller_->explainMailData(data.get());
    }
    return QString::fromUtf8(QJsonDocument(QJsonObject::fromVariantMap(explanation)).toJson(QJsonDocument::Compact));
}

void SievraAppleEventManager::LearnLoggedMessage(const QString& logKey, bool asSpam) {
    if (!controller_)
        return;
    QString error;
    if (controller_->learnLoggedMessage(logKey, asSpam, &error)) {
        // The viewer that asked shows the learn record at once, not after the
        // log's usual delay.
        JKW_LogManager::sharedLogManager().delayedWriteToDisk();
        return;
    }
    const bool kept = JKW_LogManager::sharedLogManager().keptSource(logKey).has_value();
    if (calledFromDBus())
        sendErrorReply(QLatin1String(kept ? SievraErrorNotLearned : SievraErrorNotKept), error);
}

QString SievraAppleEventManager::ExplainLoggedMessage(const QString& logKey) {
    const QVariantMap details = JKW_LogManager::sharedLogManager().detailOf(logKey);
    if (details.isEmpty()) {
        if (calledFromDBus())
            sendErrorReply(QLatin1String(SievraErrorNoDetails),
                           QStringLiteral("No details are kept for the log record \"%1\"").arg(logKey));
        return {};
    }
    return QString::fromUtf8(QJsonDocument(QJsonObject::fromVariantMap(details)).toJson(QJsonDocument::Compact));
}

void SievraAppleEventManager::Quit() {
    if (QCoreApplication* app = QCoreApplication::instance())
        QTimer::singleShot(0, app, &QCoreApplication::quit);
}
