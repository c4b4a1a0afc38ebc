// Training: a message the user marks as spam or as legitimate is handed to
// every filter of the chain and recorded in the activity log.

#include "SievraController.h"

#include "JKW_LogManager.h"
#include "SWPlugInFilter.h"
#include "TM_MessageClientManager.h"

#include "mailparse/SAData.h"
#include "mailparse/SAMimePart.h"
#include "mailparse/SARef.h"
#include "platform/Bundle.h"
#include "platform/Log.h"

#include <QTimer>

namespace {

constexpr const char* kLearnSpamIssue = "Learn Spam issue: %1";
constexpr const char* kLearnLegitimateIssue = "Learn Legitimate issue: %1";

// Localised titles of the learning notice and the subject line under it.
constexpr const char* kLearningSpamTitleKey = "Junkward - Learning Message as Spam";
constexpr const char* kLearningLegitimateTitleKey = "Junkward - Learning Message as Legitimate";

constexpr int kHideLearningNoticeDelayMs = 1000;

}  // namespace

void SievraController::learnSpamMailData(SAData* data) { learnMailData(data, true); }

void SievraController::learnHamMailData(SAData* data) { learnMailData(data, false); }

QByteArray SievraController::learnMailDataBatch(const std::vector<SAData*>& messages, bool spam) {
    QByteArray learned(qsizetype(messages.size()), '\0');
    if (messages.empty())
        return learned;
    for (const SievraPlugInEntry& entry : plugIns_)
        if (entry.instance)
            entry.instance->beginLearningBatch();
    QString subject;
    for (size_t i = 0; i < messages.size(); ++i)
        learned[qsizetype(i)] = learnMailData(messages[i], spam, true, &subject) ? 1 : 0;
    // A filter that could not store the batch kept none of it.
    for (const SievraPlugInEntry& entry : plugIns_) {
        if (!entry.instance || entry.instance->endLearningBatch())
            continue;
        platform::log::console(QString::fromLatin1(spam ? kLearnSpamIssue : kLearnLegitimateIssue)
                                   .arg(entry.identifier.value_or(entry.instance->identifier())));
        learned.fill('\0');
    }
    if (showFeedback_)
        showLearningNotice(spam, subject);
    return learned;
}

bool SievraController::learnLoggedMessage(const QString& logKey, bool spam, QString* error) {
    const std::optional<JKW_KeptSource> kept = JKW_LogManager::sharedLogManager().keptSource(logKey);
    if (!kept) {
        if (error)
            *error = QStringLiteral("No message source is kept for the log record \"%1\"").arg(logKey);
        return false;
    }
    const auto data = SARef<SAData>::adopt(new SAData(reinterpret_cast<const unsigned char*>(kept->bytes.constData()),
                                                      static_cast<unsigned long>(kept->bytes.size()), false));
    // The line ends the message was judged with, for this message only.
    const char lineEnd = MIME_EOL_CHAR;
    if (kept->carriageReturns)
        MIME_EOL_CHAR = '\r';
    const bool learned = learnMailData(data.get(), spam, false, nullptr, logKey);
    MIME_EOL_CHAR = lineEnd;
    if (!learned && error)
        *error = QStringLiteral("The message of the log record \"%1\" could not be learned").arg(logKey);
    return learned;
}

bool SievraController::learnMailData(SAData* data, bool spam, bool inBatch, QString* subject, const QString& logKey) {
    // 1. Nothing without data; the engine's on/off switch does not apply.
    if (!data || data->length() == 0)
        return false;

    // 2. Parse in learning mode: the header callback is not called, so the
    // lists do not decide. An unparsable message is neither learned nor logged.
    // The parse tree points into the data: declared first, released last.
    const SARef<SAData> lineFeedData = SARef<SAData>::adopt(copyDataWithLineFeeds(data));
    const SARef<SAMIMEPart> owner = SARef<SAMIMEPart>::adopt(
        new (std::nothrow) SAMIMEPart(lineFeedData ? lineFeedData.get() : data, true, filterCallBack, this));
    SAMIMEPart* message = owner.get();
    if (!message || message->process(true, true) == SAMIMEProcessFailure)
        return false;

    // 3. The record.
    QVariantMap record = createLogRecord(message);
    if (!logKey.isEmpty())
        record.insert(JKW_LOG_MESSAGE_ID_KEY, logKey);
    record.insert(JKW_LOG_FILTER_KEY,
                  QString::fromLatin1(spam ? JKW_LOG_FILTER_KEY_LEARN_SPAM : JKW_LOG_FILTER_KEY_LEARN_HAM));

    // 4. Every filter learns.
    const QString messageID = record.value(JKW_LOG_MESSAGE_ID_KEY).toString();
    const bool learned =
        spam ? learnSpamFilterWithPlugIns(message, messageID) : learnHamFilterWithPlugIns(message, messageID);

    // 5. The record replaces the message's earlier one.
    JKW_LogManager::sharedLogManager().queueRecord(record);

    // 6. The notice.
    if (subject)
        *subject = record.value(JKW_LOG_SUBJECT_KEY).toString();
    if (showFeedback_ && !inBatch)
        showLearningNotice(spam, record.value(JKW_LOG_SUBJECT_KEY).toString());
    return learned;
}

bool SievraController::learnSpamFilterWithPlugIns(SAMIMEPart* message, const QString& messageID) {
    bool all = true;
    for (const SievraPlugInEntry& entry : plugIns_) {
        if (!entry.instance)
            continue;
        if (!entry.instance->learnMessageAsSpam(message, messageID)) {
            all = false;
            platform::log::console(
                QString::fromLatin1(kLearnSpamIssue).arg(entry.identifier.value_or(entry.instance->identifier())));
        }
    }
    return all;
}

bool SievraController::learnHamFilterWithPlugIns(SAMIMEPart* message, const QString& messageID) {
    bool all = true;
    for (const SievraPlugInEntry& entry : plugIns_) {
        if (!entry.instance)
            continue;
        if (!entry.instance->learnMessageAsLegitimate(message, messageID)) {
            all = false;
            platform::log::console(QString::fromLatin1(kLearnLegitimateIssue)
                                       .arg(entry.identifier.value_or(entry.instance->identifier())));
        }
    }
    return all;
}

void SievraController::showLearningNotice(bool spam, const QString& subject) {
    showProgressNotice(spam ? kLearningSpamTitleKey : kLearningLegitimateTitleKey, subject, kHideLearningNoticeDelayMs);
}
