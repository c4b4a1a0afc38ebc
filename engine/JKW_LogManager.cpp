#include "engine/JKW_LogManager.h"

#include "common/QFUUID.h"
#include "platform/Folders.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

namespace {

const QString kUnableToRemoveLogs = QStringLiteral("[JKW_LogManager init] Unable to remove the ~/Library/Logs file");
const QString kUnableToCreateLogs = QStringLiteral("[JKW_LogManager init] Unable to create the ~/Library/Logs folder");
const QString kUnableToRemoveJunkward =
    QStringLiteral("[JKW_LogManager init] Unable to remove the ~/Library/Logs/Junkward file");
const QString kUnableToCreateJunkward =
    QStringLiteral("[JKW_LogManager init] Unable to create the ~/Library/Logs/Junkward/ folder");
const QString kInconsistency =
    QStringLiteral("[JKW_LogManager delayedWriteToDisk:]: Inconsistency between Log and History array");
const QString kWriteError =
    QStringLiteral("[JKW_LogManager delayedWriteToDisk:]: Error occured while writing log on disk");

const QString kLogFolderName = QStringLiteral("Junkward");
const QString kLogFileName = QStringLiteral("Junkward Log.log");

// Makes path a folder: a plain file of that name is removed first. Logs
// removeFailed / createFailed and answers false when that cannot be done.
bool prepareFolder(const QString& path, const QString& removeFailed, const QString& createFailed) {
    const QFileInfo info(path);
    if (info.exists() && !info.isDir()) {
        if (!QFile::remove(path)) {
            platform::log::console(removeFailed);
            return false;
        }
    }
    if (!QFileInfo(path).isDir() && !QDir().mkpath(path)) {
        platform::log::console(createFailed);
        return false;
    }
    return true;
}

QVariantMap emptyLog() {
    return QVariantMap{{JKW_LOG_VERSION, QString::fromLatin1(JKW_LOG_VERSION_VERSION_5)},
                       {JKW_LOG_HISTORY, QVariantList()},
                       {JKW_LOG_LOG, QVariantList()}};
}

bool isList(const QVariant& value) { return value.metaType().id() == QMetaType::QVariantList; }

// The Message-ID of a record; empty when it has none usable.
QString messageIDOf(const QVariantMap& record) {
    const QVariant value = record.value(JKW_LOG_MESSAGE_ID_KEY);
    return value.metaType().id() == QMetaType::QString ? value.toString() : QString();
}

// Removes entry index of both arrays, reporting a "Log" too short for it.
void removeEntry(QVariantList& history, QVariantList& log, int index) {
    history.removeAt(index);
    if (index < log.size())
        log.removeAt(index);
    else
        platform::log::console(kInconsistency);
}

}  // namespace

JKW_LogManager& JKW_LogManager::sharedLogManager() {
    static JKW_LogManager manager;
    return manager;
}

JKW_LogManager::JKW_LogManager() : details_(std::make_unique<JKW_LogDetails>()) {
    // 1. The queue.
    queue_.reserve(20);
    // 2.-3. "Logs" and its sub-folder "Junkward".
    const QString logs = platform::folders::userLogs();
    if (!prepareFolder(logs, kUnableToRemoveLogs, kUnableToCreateLogs))
        return;
    const QString folder = logs + QLatin1Char('/') + kLogFolderName;
    if (!prepareFolder(folder, kUnableToRemoveJunkward, kUnableToCreateJunkward))
        return;
    // 4. The file.
    logPath_ = folder + QLatin1Char('/') + kLogFileName;
}

JKW_LogManager::~JKW_LogManager() {
    if (!queue_.isEmpty())
        delayedWriteToDisk();
}

QString JKW_LogManager::queueRecord(const QVariantMap& record, std::optional<JKW_LogDetail> detail) {
    QString id = messageIDOf(record);
    if (id.isEmpty()) {
        // A message without Message-ID is never replaced: it gets a fresh id,
        // which also keys its details.
        id = QFUUID::UUID().stringValue();
        QVariantMap named = record;
        named.insert(JKW_LOG_MESSAGE_ID_KEY, id);
        queue_.append(named);
    } else {
        queue_.append(record);
    }
    if (detail) {
        if (!keepsSources_ || (detail->source && detail->source->size() > JKW_LogDetails::kMaximumMessageBytes))
            detail->source.reset();
        queuedDetails_.emplace_back(id, std::move(*detail));
        trimQueuedSources();
    }
    scheduleWrite();
    return id;
}

void JKW_LogManager::trimQueuedSources() {
    // The newest sources win, as in the store; the oldest are let go now
    // rather than held until a write. Counted as they come, so a record costs
    // no walk through the queue.
    if (const JKW_LogDetail& last = queuedDetails_.back().second; last.source) {
        ++queuedSources_;
        queuedSourceBytes_ += last.source->size();
    }
    for (auto it = queuedDetails_.begin();
         it != queuedDetails_.end() && (queuedSources_ > JKW_LogDetails::kMaximumSources ||
                                        queuedSourceBytes_ > JKW_LogDetails::kMaximumSourceBytes);
         ++it) {
        if (!it->second.source)
            continue;
        --queuedSources_;
        queuedSourceBytes_ -= it->second.source->size();
        it->second.source.reset();
    }
    // At most one detail per record the log can hold.
    if (queuedDetails_.size() > size_t(2 * kMaximumRecords)) {
        const auto end = queuedDetails_.begin() + qsizetype(queuedDetails_.size() - size_t(kMaximumRecords));
        for (auto it = queuedDetails_.begin(); it != end; ++it)
            if (it->second.source) {
                --queuedSources_;
                queuedSourceBytes_ -= it->second.source->size();
            }
        queuedDetails_.erase(queuedDetails_.begin(), end);
    }
}

void JKW_LogManager::forgetQueuedDetails() {
    queuedDetails_.clear();
    queuedSources_ = 0;
    queuedSourceBytes_ = 0;
}

std::optional<JKW_KeptSource> JKW_LogManager::keptSource(const QString& key) {
    if (key.isEmpty())
        return std::nullopt;
    for (auto it = queuedDetails_.rbegin(); it != queuedDetails_.rend(); ++it)
        if (it->first == key && !it->second.explanation.isEmpty()) {
            if (!it->second.source)
                return std::nullopt;
            return JKW_KeptSource{*it->second.source, it->second.carriageReturns};
        }
    return JKW_LogDetails::readSource(details_->folder(), details_->entry(key));
}

QVariantMap JKW_LogManager::detailOf(const QString& key) {
    if (key.isEmpty())
        return {};
    QVariantMap entry;
    bool kept = false;
    bool queued = false;
    for (auto it = queuedDetails_.rbegin(); it != queuedDetails_.rend(); ++it)
        if (it->first == key && !it->second.explanation.isEmpty()) {
            entry = it->second.explanation;
            if (it->second.date.isValid())
                entry.insert(QLatin1String(JKW_DETAILS_DATE_KEY), it->second.date.toString(Qt::ISODateWithMs));
            kept = it->second.source.has_value();
            queued = true;
            break;
        }
    if (!queued) {
        entry = details_->entry(key);
        kept = JKW_LogDetails::readSource(details_->folder(), entry).has_value();
    }
    if (entry.isEmpty())
        return {};
    entry.remove(QLatin1String(JKW_DETAILS_SOURCE_KEY));
    entry.insert(QStringLiteral("Source Kept"), kept);
    return entry;
}

void JKW_LogManager::setKeepsSources(bool keep) {
    if (keep == keepsSources_)
        return;
    keepsSources_ = keep;
    if (keep)
        return;
    for (auto& queued : queuedDetails_)
        queued.second.source.reset();
    queuedSources_ = 0;
    queuedSourceBytes_ = 0;
    details_->dropSources();
}

void JKW_LogManager::scheduleWrite() {
    if (!timer_) {
        timer_ = std::make_unique<QTimer>();
        timer_->setSingleShot(true);
        QObject::connect(timer_.get(), &QTimer::timeout, [this] { delayedWriteToDisk(); });
    }
    timer_->start(kWriteDelayMs);
}

void JKW_LogManager::delayedWriteToDisk() {
    if (timer_)
        timer_->stop();
    if (queue_.isEmpty())
        return;

    // 1. The file as it is, or a new log when it is missing or not a log.
    QVariantMap file;
    if (!logPath_.isEmpty()) {
        if (auto stored = platform::plist::readDictionary(logPath_))
            file = *stored;
    }
    if (!isList(file.value(JKW_LOG_HISTORY)) || !isList(file.value(JKW_LOG_LOG)))
        file = emptyLog();
    QVariantList history = file.value(JKW_LOG_HISTORY).toList();
    QVariantList log = file.value(JKW_LOG_LOG).toList();

    // 2. Merge each queued record in order.
    for (QVariant& queued : queue_) {
        QVariantMap record = queued.toMap();
        QString id = messageIDOf(record);
        if (id.isEmpty()) {
            // A message without Message-ID is never replaced: it gets a fresh id.
            id = QFUUID::UUID().stringValue();
            record.insert(JKW_LOG_MESSAGE_ID_KEY, id);
            queued = record;  // a retry after a failed write keeps the same id
            while (history.size() >= kMaximumRecords)
                removeEntry(history, log, 0);
        } else {
            int found = -1;
            for (int i = 0; i < history.size(); ++i) {
                const QVariant& entry = history.at(i);
                // Compared in place: a copy of every stored id per record adds up.
                if (entry.metaType().id() == QMetaType::QString &&
                    *static_cast<const QString*>(entry.constData()) == id) {
                    found = i;
                    break;
                }
            }
            if (found >= 0) {
                removeEntry(history, log, found);
            }
            // A file made elsewhere may hold more than the limit: bring it down.
            while (history.size() >= kMaximumRecords)
                removeEntry(history, log, 0);
        }
        history.append(id);
        log.append(record);
    }
    file.insert(JKW_LOG_HISTORY, history);
    file.insert(JKW_LOG_LOG, log);

    // 3. The details of what the file will hold, first: a viewer that sees
    // the new file finds them. A failed log write leaves details of records
    // not yet in it, which nothing looks up and the next write prunes.
    QStringList live;
    live.reserve(history.size());
    for (const QVariant& entry : std::as_const(history))
        live << entry.toString();
    if (details_->commit(queuedDetails_, live) || queuedDetails_.size() > size_t(kMaximumRecords))
        forgetQueuedDetails();

    // 4. Write atomically.
    if (logPath_.isEmpty() || !platform::plist::writeFile(logPath_, file)) {
        platform::log::console(kWriteError);
        // 5'. Keep the records for the next write, the newest ones within the limit.
        if (queue_.size() > kMaximumRecords)
            queue_.erase(queue_.begin(), queue_.begin() + (queue_.size() - kMaximumRecords));
        return;
    }
    // 5. Done with the queue.
    queue_.clear();
}

bool JKW_LogManager::clearLog() {
    if (timer_)
        timer_->stop();
    queue_.clear();
    forgetQueuedDetails();
    details_->clear();
    if (logPath_.isEmpty() || !platform::plist::writeFile(logPath_, emptyLog())) {
        platform::log::console(kWriteError);
        return false;
    }
    return true;
}
