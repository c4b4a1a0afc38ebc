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
#include "mailparse/SARef.h"
#include "mailparse/SAString.h"
#include "platform/Bundle.h"
#include "platform/Log.h"

#include <QDateTime>
#include <QTimer>

#include <cstring>

namespace {

constexpr const char* kParseErrorLine =
    "[SievraController filterMailData:] Error when parsing message, certainly a Spam";
constexpr const char* kAutomaticTrainingIssue = "Automatic Training issue: %1";

// Localised texts of the spam notice and the string table of the pattern.
constexpr const char* kSpamDetectedTitleKey = "Junkward - Spam Detected";
constexpr const char* kSubjectFormatKey = "Subject: %@";
constexpr const char* kRegExTable = "RegEx";
constexpr const char* kADVSubjectKey = "ADV Subject";

constexpr int kHideTaskManagerDelayMs = 1500;

QString decoded(SAEncodedString* encoded) {
    return encoded ? SAEncodedText::stringWithEncodedString(encoded) : QString();
}

// A copy of data with every CR LF turned into LF, or null when it has none.
// The parser works on single line-end bytes; a message with CR LF line ends
// would otherwise read as one block of headers without a body.
SAData* copyWithLineFeeds(SAData* data) {
    const char* bytes = data->bytes();
    const unsigned long length = data->length();
    if (!bytes || length < 2)
        return nullptr;
    // Looks for a CR followed by LF; memchr is much quicker than a general
    // substring search over the whole message.
    bool hasCRLF = false;
    for (const char *p = bytes, *end = bytes + length - 1; p < end;) {
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

SAData* SievraController::copyDataWithLineFeeds(SAData* data) { return ::copyWithLineFeeds(data); }

int SievraController::filterCallBack(SADictionary* headers, void*) {
    return SWHeaderFilterManager::defaultManager()->investigate(headers);
}

QVariantMap SievraController::createLogRecord(SAMIMEPart* message, std::optional<QString>* fullSubject) {
    QVariantMap record;
    record.insert(JKW_LOG_DATE_KEY, QDateTime::currentDateTimeUtc());

    const auto from = SARef<SAEncodedString>::adopt(message->copyFrom());
    const QString sender = decoded(from.get()).trimmed();
    record.insert(JKW_LOG_FROM_KEY,
                  sender.isEmpty() ? QStringLiteral("-") : sievra::logText(sender, sievra::kLogTextMaxLength));

    if (const auto subject = SARef<SAEncodedString>::adopt(message->copySubject())) {
        const QString text = decoded(subject.get()).trimmed();
        record.insert(JKW_LOG_SUBJECT_KEY, sievra::logText(text, sievra::kLogTextMaxLength));
        if (fullSubject)
            *fullSubject = text;
    }

    std::optional<QByteArray> messageID;
    if (const auto id = SARef<SAString>::adopt(message->copyMessageID()))
        messageID = QByteArray(id->cString() ? id->cString() : "", static_cast<qsizetype>(id->length()));
    if (const auto id = sievra::logMessageID(messageID))
        record.insert(JKW_LOG_MESSAGE_ID_KEY, *id);
    return record;
}

bool SievraController::advertisementSubjectMatches(const QString& subject) {
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

qint32 SievraController::filterMailData(SAData* data, QString* reason) {
    if (reason)
        *reason = QString::fromLatin1(JKW_LOG_FILTER_KEY_NONE);
    // 1. Nothing to judge, or the engine is switched off.
    if (!data || data->length() == 0 || !status_)
        return SWFilterStatusUndecided;

    // 2. Parse (CR LF line ends read as LF); the header callback lets the lists decide.
    const auto lineFeedData = SARef<SAData>::adopt(copyWithLineFeeds(data));
    const auto message = SARef<SAMIMEPart>::adopt(
        new (std::nothrow) SAMIMEPart(lineFeedData ? lineFeedData.get() : data, true, filterCallBack, this));
    if (!message)
        return SWFilterStatusUndecided;
    const int investigation = message->process(true, false);
    const bool parsed = investigation != SAMIMEProcessFailure;
    qint32 verdict = SWFilterStatusUndecided;

    // 3. Unparsable: spam, without a record.
    if (!parsed) {
        platform::log::console(QString::fromLatin1(kParseErrorLine));
        verdict = SWFilterStatusSpam;
        if (reason)
            *reason = QString::fromLatin1(JKW_LOG_FILTER_KEY_INTERNAL_PARSE_ERROR);
    }

    // 4. The record.
    std::optional<QVariantMap> record;
    std::optional<QString> subject;
    if (parsed)
        record = createLogRecord(message.get(), &subject);

    // 5. Decided by the lists.
    const bool listed =
        investigation == SWHeaderInvestigationWhiteListed || investigation == SWHeaderInvestigationBlackListed;
    if (listed) {
        const bool white = investigation == SWHeaderInvestigationWhiteListed;
        record->insert(JKW_LOG_FILTER_KEY, white ? JKW_LOG_FILTER_KEY_WHITELIST : JKW_LOG_FILTER_KEY_BLACKLIST);
        verdict = white ? SWFilterStatusLegitimate : SWFilterStatusSpam;
    }

    // 6. The parsed structure, for whoever asked for it.
    const bool judged = parsed && !listed;
    if (judged && logStructure_)
        message->description();

    // 7. The built-in checks.
    sievra::BuiltInCheckResult check;
    if (judged) {
        check = sievra::runBuiltInChecks(message.get(), builtInCheckSwitches(), subject,
                                         [this](const QString& text) { return advertisementSubjectMatches(text); });
        if (check.code) {
            record->insert(JKW_LOG_FILTER_KEY, QString::fromLatin1(check.code));
            verdict = check.verdict;
        }
    }

    // 8. The plug-in chain, which counts its own verdict.
    const bool chained = judged && !check.code;
    QVariantList explanations;
    if (chained)
        verdict = filterWithPlugIns(message.get(), *record, &explanations);

    // 9. Any other verdict goes into the engine statistics.
    if (!chained)
        addToStatisticsGeneral(verdict);

    // 10. The activity log.
    if (record && reason)
        *reason = record->value(JKW_LOG_FILTER_KEY).toString();
    if (record) {
        // Beside the record: what decided, each asked filter's explanation, and
        // the source for a later "learn from the log".
        JKW_LogManager& log = JKW_LogManager::sharedLogManager();
        JKW_LogDetail detail;
        detail.date = record->value(JKW_LOG_DATE_KEY).toDateTime();
        detail.explanation.insert(QLatin1String(JKW_DETAILS_DECIDED_BY_KEY), record->value(JKW_LOG_FILTER_KEY));
        detail.explanation.insert(QLatin1String(JKW_DETAILS_VERDICT_KEY), qint64(verdict));
        if (!explanations.isEmpty())
            detail.explanation.insert(QLatin1String(JKW_DETAILS_FILTERS_KEY), explanations);
        if (log.keepsSources() && qint64(data->length()) <= JKW_LogDetails::kMaximumMessageBytes)
            detail.source = QByteArray(data->bytes(), qsizetype(data->length()));
        detail.carriageReturns = MIME_EOL_CHAR == '\r';
        log.queueRecord(*record, std::move(detail));
    }

    // 11. A short notice for a spam.
    if (verdict == SWFilterStatusSpam && showFeedback_)
        showSpamNotice(record ? record->value(JKW_LOG_SUBJECT_KEY).toString() : QString());

    // 12. Automatic training, for messages the chain or the later checks looked at.
    if (automaticLearning_ && (chained || check.eligibleForTraining))
        trainPlugInsAutomatically(message.get(), record, verdict);
    return verdict;
}

sievra::BuiltInCheckSwitches SievraController::builtInCheckSwitches() const {
    sievra::BuiltInCheckSwitches switches;
    switches.htmlBase64 = htmlBase64_;
    switches.asianOrCyrillic = asianOrCyrillicEncodingIsSpam_;
    switches.japanese = japaneseEncodingSpam_;
    switches.nonJapanese = nonJapaneseEncodingSpam_;
    switches.trustSpamHeaders = trustSpamHeaders_;
    switches.incorrectMessageID = incorrectMessageID_;
    switches.advertisementSubject = ADVSubjectIsSpam_;
    return switches;
}

void SievraController::trainPlugInsAutomatically(SAMIMEPart* message, const std::optional<QVariantMap>& record,
                                                 qint32 verdict) {
    // Every plug-in, enabled or not, in chain order.
    const QString messageID = record ? record->value(JKW_LOG_MESSAGE_ID_KEY).toString() : QString();
    for (const SievraPlugInEntry& entry : plugIns_) {
        if (!entry.instance)
            continue;
        if (!entry.instance->automaticallyTrainWithMessage(message, messageID, verdict))
            platform::log::console(QString::fromLatin1(kAutomaticTrainingIssue)
                                       .arg(entry.identifier.value_or(entry.instance->identifier())));
    }
}

qint32 SievraController::filterWithPlugIns(SAMIMEPart* message, QVariantMap& record, QVariantList* explanations) {
    qint32 last = SWFilterStatusUndecided;
    for (const SievraPlugInEntry& entry : plugIns_) {
        if (!entry.instance || !entry.identifier || !entry.status || !*entry.status)
            continue;
        last = entry.instance->filter(message);
        if (explanations) {
            QVariantMap explanation = entry.instance->lastExplanation();
            if (!explanation.isEmpty()) {
                explanation.insert(QLatin1String(SievraExplainIdentifierKey), *entry.identifier);
                explanations->append(explanation);
            }
        }
        if (last != SWFilterStatusNotApplicable)
            entry.instance->addToStatisticsSpam(last);
        if (last != SWFilterStatusUndecided && last != SWFilterStatusNotApplicable) {
            record.insert(JKW_LOG_FILTER_KEY, *entry.identifier);
            if (last == SWFilterStatusLegitimate)
                record.insert(JKW_LOG_LEGITIMATE_KEY, true);
            addToStatisticsGeneral(last);
            return last;
        }
    }
    record.insert(JKW_LOG_FILTER_KEY, QString::fromLatin1(JKW_LOG_FILTER_KEY_NONE));
    addToStatisticsGeneral(last);
    return SWFilterStatusUndecided;
}

void SievraController::showSpamNotice(const QString& subject) {
    showProgressNotice(kSpamDetectedTitleKey, subject, kHideTaskManagerDelayMs);
}

void SievraController::showProgressNotice(const char* titleKey, const QString& subject, int hideAfterMs) {
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

void SievraController::delayedHideTaskManager() { TM_MessageClientManager::defaultClientManager().sendRemoveMessage(); }

void SievraController::installHeaderFilterDelegates(SWPlugInFilter* blackList, SWPlugInFilter* whiteList) {
    SWHeaderFilterManager* manager = SWHeaderFilterManager::defaultManager();
    manager->setBlackDelegate(dynamic_cast<SWHeaderPluginFilter*>(blackList));
    manager->setWhiteDelegate(dynamic_cast<SWHeaderPluginFilter*>(whiteList));
}
