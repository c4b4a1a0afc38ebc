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

void SievraController::learnMailData(SAData* data, bool spam) {
    // 1. Nothing without data; the engine's on/off switch does not apply.
    if (!data || data->length() == 0)
        return;

    // 2. Parse in learning mode: the header callback is not called, so the
    // lists do not decide. An unparsable message is neither learned nor logged.
    // The parse tree points into the data: declared first, released last.
    const SARef<SAData> lineFeedData = SARef<SAData>::adopt(copyDataWithLineFeeds(data));
    const SARef<SAMIMEPart> owner = SARef<SAMIMEPart>::adopt(
        new (std::nothrow) SAMIMEPart(lineFeedData ? lineFeedData.get() : data, true, filterCallBack, this));
    SAMIMEPart* message = owner.get();
    if (!message || message->process(true, true) == SAMIMEProcessFailure)
        return;

    // 3. The record.
    QVariantMap record = createLogRecord(message);
    record.insert(JKW_LOG_FILTER_KEY,
                  QString::fromLatin1(spam ? JKW_LOG_FILTER_KEY_LEARN_SPAM : JKW_LOG_FILTER_KEY_LEARN_HAM));

    // 4. Every filter learns.
    const QString messageID = record.value(JKW_LOG_MESSAGE_ID_KEY).toString();
    if (spam)
        learnSpamFilterWithPlugIns(message, messageID);
    else
        learnHamFilterWithPlugIns(message, messageID);

    // 5. The record replaces the message's earlier one.
    JKW_LogManager::sharedLogManager().queueRecord(record);

    // 6. The notice.
    if (showFeedback_)
        showLearningNotice(spam, record.value(JKW_LOG_SUBJECT_KEY).toString());
}

void SievraController::learnSpamFilterWithPlugIns(SAMIMEPart* message, const QString& messageID) {
    for (const SievraPlugInEntry& entry : plugIns_) {
        if (!entry.instance)
            continue;
        if (!entry.instance->learnMessageAsSpam(message, messageID))
            platform::log::console(QString::fromLatin1(kLearnSpamIssue)
                                       .arg(entry.identifier.value_or(entry.instance->identifier())));
    }
}

void SievraController::learnHamFilterWithPlugIns(SAMIMEPart* message, const QString& messageID) {
    for (const SievraPlugInEntry& entry : plugIns_) {
        if (!entry.instance)
            continue;
        if (!entry.instance->learnMessageAsLegitimate(message, messageID))
            platform::log::console(QString::fromLatin1(kLearnLegitimateIssue)
                                       .arg(entry.identifier.value_or(entry.instance->identifier())));
    }
}

void SievraController::showLearningNotice(bool spam, const QString& subject) {
    showProgressNotice(spam ? kLearningSpamTitleKey : kLearningLegitimateTitleKey, subject, kHideLearningNoticeDelayMs);
}
