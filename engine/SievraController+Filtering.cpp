// The filtering pipeline: one raw message in, one engine verdict out.

#include "SievraController.h"

#include "JKW_LogManager.h"
#include "SWHeaderFilterManager.h"
#include "SWHeaderPluginFilter.h"
#include "SWNotifications.h"
#include "SWPlugInFilter.h"
#include "SievraFilteringChecks_p.h"
#include "TM_MessageClientManager.h"

#include "common/SAEncodedText.h"
#include "mailparse/SAData.h"
#include "mailparse/SAEncodedString.h"
#include "mailparse/SAMimePart.h"
#include "mailparse/SAString.h"
#include "platform/Bundle.h"
#include "platform/Log.h"

#include <QDateTime>
#include <QTimer>

#include <cstring>

namespace {

constexpr const char* kParseErrorLine = "[SievraController filterMailData:] Error when parsing message, certainly a Spam";
constexpr const char* kAutomaticTrainingIssue = "Automatic Training issue: %1";

// Localised texts of the spam notice and the string table of the pattern.
constexpr const char* kSpamDetectedTitleKey = "Junkward - Spam Detected";
constexpr const char* kSubjectFormatKey = "Subject: %@";
constexpr const char* kRegExTable = "RegEx";
constexpr const char* kADVSubjectKey = "ADV Subject";

constexpr int kHideTaskManagerDelayMs = 1500;

// Value of the first header name (case-insensitive) as raw bytes.
std::optional<QByteArray> headerBytes(SAMIMEPart* message, const char* name)
{
    SAString key(name);
    SAString* value = message->headerValueForKey(&key);
    if (!value)
        return std::nullopt;
    return QByteArray(value->cString() ? value->cString() : "", static_cast<qsizetype>(value->length()));
}

QString decoded(SAEncodedString* encoded)
{
    return encoded ? SAEncodedText::stringWithEncodedString(encoded) : QString();
}

// A copy of data with every CR LF turned into LF, or null when it has none.
// The parser works on single line-end bytes; a message with CR LF line ends
// would otherwise read as one block of headers without a body.
SAData* copyWithLineFeeds(SAData* data)
{
    const char* bytes = data->bytes();
    const unsigned long length = data->length();
    if (!bytes || length < 2)
        return nullptr;
    // Looks for a CR followed by LF; memchr is much quicker than a general
    // substring search over the whole message.
    bool hasCRLF = false;
    for (const char* p = bytes, *end = bytes + length - 1; p < end;) {
        p = static_cast<const char*>(std::memchr(p, '\r', size_t(end - p)));
        if (!p)
            break;
        if (p[1] == '\n') {
            hasCRLF = true;
            break;
        }
        ++p;
    }
    if (!hasCRLF)
        return nullptr;
    QByteArray converted(bytes, static_cast<qsizetype>(length));
    converted.replace("\r\n", "\n");
    return new SAData(reinterpret_cast<const unsigned char*>(converted.constData()),
                      static_cast<unsigned long>(converted.size()), false);
}

}  // namespace

SAData* SievraController::copyDataWithLineFeeds(SAData* data)
{
    return ::copyWithLineFeeds(data);
}

int SievraController::filterCallBack(SADictionary* headers, void*)
{
    return SWHeaderFilterManager::defaultManager()->investigate(headers);
}

QVariantMap SievraController::createLogRecord(SAMIMEPart* message, QString* fullSubject)
{
    QVariantMap record;
    record.insert(JKW_LOG_DATE_KEY, QDateTime::currentDateTimeUtc());

    SAEncodedString* from = message->copyFrom();
    const QString sender = decoded(from).trimmed();
    SAObject::release(from);
    record.insert(JKW_LOG_FROM_KEY, sender.isEmpty() ? QStringLiteral("-") : sievra::logText(sender, sievra::kLogTextMaxLength));

    if (SAEncodedString* subject = message->copySubject()) {
        const QString text = decoded(subject).trimmed();
        SAObject::release(subject);
        record.insert(JKW_LOG_SUBJECT_KEY, sievra::logText(text, sievra::kLogTextMaxLength));
        if (fullSubject)
            *fullSubject = text;
    }

    std::optional<QByteArray> messageID;
    if (SAString* id = message->copyMessageID()) {
        messageID = QByteArray(id->cString() ? id->cString() : "", static_cast<qsizetype>(id->length()));
        SAObject::release(id);
    }
    if (const auto id = sievra::logMessageID(messageID))
        record.insert(JKW_LOG_MESSAGE_ID_KEY, *id);
    return record;
}

bool SievraController::advertisementSubjectMatches(const QString& subject)
{
    if (!hasCompiledADVRegularExpression_) {
        const QString pattern =
            platform::Bundle::mainBundle()->localizedString(kADVSubjectKey, QString(), kRegExTable).trimmed();
        // An empty expression matches every subject; without a pattern the
        // test never hits. A pattern that does not compile is tried again
        // with the next message.
        if (pattern.isEmpty())
            return false;
        const QByteArray utf8 = pattern.toUtf8();
        if (utf8.contains('\0'))
            return false;
        if (regcomp(&compiledADVRegularExpression_, utf8.constData(), REG_EXTENDED | REG_ICASE | REG_NOSUB) != 0)
            return false;
        hasCompiledADVRegularExpression_ = true;
    }
    const QByteArray text = subject.toUtf8();
    return regexec(&compiledADVRegularExpression_, text.constData(), 0, nullptr, 0) == 0;
}

qint32 SievraController::filterMailData(SAData* data, QString* reason)
{
    if (reason)
        *reason = QString::fromLatin1(JKW_LOG_FILTER_KEY_NONE);
    // 1. Nothing to judge, or the engine is switched off.
    if (!data || data->length() == 0 || !status_)
        return SWFilterStatusUndecided;

    // 2. Parse; the header callback lets the lists decide.
    SAData* lineFeedData = copyWithLineFeeds(data);
    SAMIMEPart* message = new (std::nothrow) SAMIMEPart(lineFeedData ? lineFeedData : data, true, filterCallBack, this);
    if (!message) {
        SAObject::release(lineFeedData);
        return SWFilterStatusUndecided;
    }
    const int investigation = message->process(true, false);

    qint32 verdict = SWFilterStatusUndecided;
    std::optional<QVariantMap> record;
    QString subject;
    bool eligibleForTraining = false;

    if (investigation == SAMIMEProcessFailure) {
        // 3. Unparsable: spam, without a record.
        platform::log::console(QString::fromLatin1(kParseErrorLine));
        verdict = SWFilterStatusSpam;
        if (reason)
            *reason = QString::fromLatin1(JKW_LOG_FILTER_KEY_INTERNAL_PARSE_ERROR);
        addToStatisticsGeneral(verdict);
    } else {
        // 4. The record.
        record = createLogRecord(message, &subject);
        const bool hasSubject = record->contains(JKW_LOG_SUBJECT_KEY);

        if (investigation == SWHeaderInvestigationWhiteListed || investigation == SWHeaderInvestigationBlackListed) {
            // 5. Decided by the lists.
            const bool white = investigation == SWHeaderInvestigationWhiteListed;
            record->insert(JKW_LOG_FILTER_KEY, white ? JKW_LOG_FILTER_KEY_WHITELIST : JKW_LOG_FILTER_KEY_BLACKLIST);
            verdict = white ? SWFilterStatusLegitimate : SWFilterStatusSpam;
            addToStatisticsGeneral(verdict);
        } else {
            // 6. The parsed structure, for whoever asked for it.
            if (logStructure_)
                message->description();

            // 7. The built-in checks; the first group stops at the first hit.
            const char* code = nullptr;
            auto hit = [&](const char* reason, qint32 result) {
                code = reason;
                verdict = result;
            };
            if (message->_contentType == SAMIMETypeMultipart && message->_subtype == SAMIMESubtypeSigned)
                hit(JKW_LOG_FILTER_KEY_INTERNAL_SIGNED, SWFilterStatusLegitimate);
            else if (message->usesFloatLeftTrick())
                hit(JKW_LOG_FILTER_KEY_INTERNAL_LAYOUT, SWFilterStatusSpam);
            else if (message->usesWhiteTrick())
                hit(JKW_LOG_FILTER_KEY_INTERNAL_INVISIBLE, SWFilterStatusSpam);
            else if (message->usesSmallFontTrick())
                hit(JKW_LOG_FILTER_KEY_INTERNAL_INVISIBLE, SWFilterStatusSpam);
            else if (message->usesTooManyWrongTags())
                hit(JKW_LOG_FILTER_KEY_INTERNAL_TAGS, SWFilterStatusSpam);
            else if (message->usesTooManySpanDisplayNone())
                hit(JKW_LOG_FILTER_KEY_INTERNAL_LAYOUT, SWFilterStatusSpam);
            else if (message->hasStrangeHierarchy())
                hit(JKW_LOG_FILTER_KEY_INTERNAL_HIERARCHY, SWFilterStatusSpam);
            else if (message->usesSpamCharset())
                hit(JKW_LOG_FILTER_KEY_INTERNAL_CHARSET, SWFilterStatusSpam);
            else if (message->usesAfterHTML())
                hit(JKW_LOG_FILTER_KEY_INTERNAL_AFTERHTML, SWFilterStatusSpam);
            else if (message->hasBoundaryForSinglePart())
                hit(JKW_LOG_FILTER_KEY_INTERNAL_HIERARCHY, SWFilterStatusSpam);

            if (!code) {
                verdict = SWFilterStatusUndecided;
                // k. HTML sent in base64.
                if (htmlBase64_ && message->useTextBase64Encoding())
                    hit(JKW_LOG_FILTER_KEY_HTML64, SWFilterStatusSpam);
                // l. Asian or Cyrillic charsets, also after a hit of k.
                if (asianOrCyrillicEncodingIsSpam_ && message->containsExoticCharset())
                    hit(JKW_LOG_FILTER_KEY_INTERNAL_ASIAN_ENCODING, SWFilterStatusSpam);
                // m. Japanese, or anything but Japanese.
                if (verdict == SWFilterStatusUndecided && (japaneseEncodingSpam_ || nonJapaneseEncodingSpam_)) {
                    const bool japanese = message->containsJapaneseCharset();
                    if (japanese && japaneseEncodingSpam_)
                        hit(JKW_LOG_FILTER_KEY_INTERNAL_JAPANESE_ENCODING, SWFilterStatusSpam);
                    else if (!japanese && nonJapaneseEncodingSpam_)
                        hit(JKW_LOG_FILTER_KEY_INTERNAL_NON_JAPANESE_ENCODING, SWFilterStatusSpam);
                }
                // n. Spam marks of an upstream filter.
                if (verdict == SWFilterStatusUndecided && trustSpamHeaders_) {
                    eligibleForTraining = true;
                    sievra::SpamMarkHeaders marks;
                    if (hasSubject)
                        marks.subject = subject;
                    marks.xSpamFlag = headerBytes(message, "X-Spam-Flag");
                    marks.xDtiSpamFlag = headerBytes(message, "X-DTI-Spam-Flag");
                    marks.xMeSpamLevel = headerBytes(message, "X-me-spamlevel");
                    if (sievra::hasSpamMark(marks))
                        hit(JKW_LOG_FILTER_KEY_INTERNAL_TRUST_HEADERS, SWFilterStatusSpam);
                }
                // o. A malformed Message-ID from a client claiming to be Outlook.
                if (verdict == SWFilterStatusUndecided && incorrectMessageID_
                    && sievra::hasForgedOutlookMessageID(headerBytes(message, "Message-ID"),
                                                         headerBytes(message, "X-Mailer")))
                    hit(JKW_LOG_FILTER_KEY_INTERNAL_INCORRECT_MESSAGEID, SWFilterStatusSpam);
                // p. Advertisement subject.
                if (verdict == SWFilterStatusUndecided && ADVSubjectIsSpam_ && hasSubject) {
                    eligibleForTraining = true;
                    if (advertisementSubjectMatches(subject))
                        hit(JKW_LOG_FILTER_KEY_INTERNAL_ADV_SUBJECT, SWFilterStatusSpam);
                }
            }

            if (code) {
                record->insert(JKW_LOG_FILTER_KEY, QString::fromLatin1(code));
                addToStatisticsGeneral(verdict);
            } else {
                // q. The plug-in chain records its own verdict.
                eligibleForTraining = true;
                verdict = filterWithPlugIns(message, *record);
            }
        }
    }

    // 9. The activity log.
    if (record && reason)
        *reason = record->value(JKW_LOG_FILTER_KEY).toString();
    if (record)
        JKW_LogManager::sharedLogManager().queueRecord(*record);

    // 10. A short notice for a spam.
    if (verdict == SWFilterStatusSpam && showFeedback_)
        showSpamNotice(record ? record->value(JKW_LOG_SUBJECT_KEY).toString() : QString());

    // 11. Automatic training of every plug-in, enabled or not.
    if (automaticLearning_ && eligibleForTraining) {
        const QString messageID = record ? record->value(JKW_LOG_MESSAGE_ID_KEY).toString() : QString();
        for (const SievraPlugInEntry& entry : plugIns_) {
            if (!entry.instance)
                continue;
            if (!entry.instance->automaticallyTrainWithMessage(message, messageID, verdict))
                platform::log::console(QString::fromLatin1(kAutomaticTrainingIssue)
                                           .arg(entry.identifier.value_or(entry.instance->identifier())));
        }
    }

    // 12.
    SAObject::release(message);
    SAObject::release(lineFeedData);
    return verdict;
}

qint32 SievraController::filterWithPlugIns(SAMIMEPart* message, QVariantMap& record)
{
    qint32 last = SWFilterStatusUndecided;
    for (const SievraPlugInEntry& entry : plugIns_) {
        if (!entry.instance || !entry.identifier || !entry.status || !*entry.status)
            continue;
        last = entry.instance->filter(message);
        if (last != SWFilterStatusNotApplicable)
            entry.instance->addToStatisticsSpam(last);
        if (last != SWFilterStatusUndecided && last != SWFilterStatusNotApplicable) {
            record.insert(JKW_LOG_FILTER_KEY, *entry.identifier);
            addToStatisticsGeneral(last);
            return last;
        }
    }
    record.insert(JKW_LOG_FILTER_KEY, QString::fromLatin1(JKW_LOG_FILTER_KEY_NONE));
    addToStatisticsGeneral(last);
    return SWFilterStatusUndecided;
}

void SievraController::showSpamNotice(const QString& subject)
{
    showProgressNotice(kSpamDetectedTitleKey, subject, kHideTaskManagerDelayMs);
}

void SievraController::showProgressNotice(const char* titleKey, const QString& subject, int hideAfterMs)
{
    if (!hideTaskManagerTimer_) {
        hideTaskManagerTimer_ = std::make_unique<QTimer>();
        hideTaskManagerTimer_->setSingleShot(true);
        QObject::connect(hideTaskManagerTimer_.get(), &QTimer::timeout, this, [this] { delayedHideTaskManager(); });
    }
    hideTaskManagerTimer_->stop();

    const std::shared_ptr<platform::Bundle> bundle = platform::Bundle::mainBundle();
    const QString title = bundle->localizedString(titleKey, QString::fromLatin1(titleKey));
    QString explanation = bundle->localizedString(kSubjectFormatKey, QString::fromLatin1(kSubjectFormatKey));
    const qsizetype placeholder = explanation.indexOf(QLatin1String("%@"));
    if (placeholder >= 0)
        explanation = explanation.left(placeholder) + subject + explanation.mid(placeholder + 2);

    QVariantMap information;
    information.insert(TM_MESSAGE_INFORMATION_TITLE, title);
    information.insert(TM_MESSAGE_INFORMATION_PROGRESSINDICATOR_STATUS, qint64(2));
    information.insert(TM_MESSAGE_INFORMATION_EXPLANATION, explanation);
    if (!iconData_.isEmpty())
        information.insert(TM_MESSAGE_INFORMATION_ICON, iconData_);
    TM_MessageClientManager::defaultClientManager().sendProgressionMessageLevel(0, information);

    hideTaskManagerTimer_->start(hideAfterMs);
}

void SievraController::delayedHideTaskManager()
{
    TM_MessageClientManager::defaultClientManager().sendRemoveMessage();
}

void SievraController::installHeaderFilterDelegates(SWPlugInFilter* blackList, SWPlugInFilter* whiteList)
{
    SWHeaderFilterManager* manager = SWHeaderFilterManager::defaultManager();
    manager->setBlackDelegate(dynamic_cast<SWHeaderPluginFilter*>(blackList));
    manager->setWhiteDelegate(dynamic_cast<SWHeaderPluginFilter*>(whiteList));
}
