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

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

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

namespace {

// Messages of a batch are taken apart at most this many ahead of the one being
// stored: their parse trees stay in memory until it is stored.
constexpr size_t kLearningLookAhead = 64;

// A message taken apart for learning. The parse tree points into the data:
// declared first, released last.
struct LearningMessage {
    SARef<SAData> lineFeedData;
    SARef<SAMIMEPart> owner;
    QVariantMap record;
    QString messageID;
    SAMIMEPart* message() const { return owner.get(); }
};

// Parses in learning mode (the header callback is not called, so the lists do
// not decide) and makes the log record. Nothing for a message without data or
// that cannot be parsed: it is neither learned nor logged.
// logKey, when given, is the record's key in the log and the message ID the
// filters learn the message under.
std::optional<LearningMessage> takeApart(SAData* data, bool spam, SAMIMEHeaderCallback callback, void* context,
                                         const QString& logKey = QString()) {
    if (!data || data->length() == 0)
        return std::nullopt;
    LearningMessage m;
    m.lineFeedData = SARef<SAData>::adopt(SievraController::copyDataWithLineFeeds(data));
    m.owner = SARef<SAMIMEPart>::adopt(
        new (std::nothrow) SAMIMEPart(m.lineFeedData ? m.lineFeedData.get() : data, true, callback, context));
    if (!m.owner || m.owner->process(true, true) == SAMIMEProcessFailure)
        return std::nullopt;
    m.record = SievraController::createLogRecord(m.message());
    if (!logKey.isEmpty())
        m.record.insert(JKW_LOG_MESSAGE_ID_KEY, logKey);
    m.record.insert(JKW_LOG_FILTER_KEY,
                    QString::fromLatin1(spam ? JKW_LOG_FILTER_KEY_LEARN_SPAM : JKW_LOG_FILTER_KEY_LEARN_HAM));
    m.messageID = m.record.value(JKW_LOG_MESSAGE_ID_KEY).toString();
    return m;
}

}  // namespace

QByteArray SievraController::learnMailDataBatch(const std::vector<SAData*>& messages, bool spam) {
    QByteArray learned(qsizetype(messages.size()), '\0');
    if (messages.empty())
        return learned;
    for (const SievraPlugInEntry& entry : plugIns_)
        if (entry.instance)
            entry.instance->beginLearningBatch();
    // The filters that take messages apart beforehand. A second thread takes
    // the messages apart in order, a few ahead, while this one stores each as
    // soon as it is ready (and takes the next ones apart itself while the one
    // it waits for is not); the second thread also frees what was stored.
    std::vector<SWPlugInFilter*> preparing;
    for (const SievraPlugInEntry& entry : plugIns_)
        if (entry.instance && entry.instance->preparesLearning())
            preparing.push_back(entry.instance.get());
    struct Slot {
        std::optional<LearningMessage> message;
        std::vector<std::unique_ptr<SWPreparedLearning>> prepared;  // per preparing filter
        bool ready = false;                                         // under the lock
    };
    const size_t count = messages.size();
    const std::unique_ptr<Slot[]> work(new Slot[count]);
    std::mutex parsing;  // the parser keeps state of its own while it works: one parse at a time
    std::mutex lock;     // guards ready, claimed and storedCount
    std::condition_variable changed;
    size_t claimed = 0;      // messages a thread has begun to take apart
    size_t storedCount = 0;  // messages stored
    // The next message to take apart, or count when none may be yet.
    const auto claim = [&] { return claimed < count && claimed < storedCount + kLearningLookAhead ? claimed++ : count; };
    // Parsed, then prepared by every preparing filter, on either thread.
    const auto takeApartOne = [&](size_t i) {
        Slot& slot = work[i];
        {
            const std::lock_guard parse(parsing);
            slot.message = takeApart(messages[i], spam, filterCallBack, this);
        }
        if (slot.message)
            for (SWPlugInFilter* filter : preparing)
                slot.prepared.push_back(filter->prepareToLearn(slot.message->message(), slot.message->messageID));
        {
            const std::lock_guard guard(lock);
            slot.ready = true;
        }
        changed.notify_all();
    };
    std::thread helper([&] {
        size_t freed = 0;
        std::unique_lock guard(lock);
        while (freed < count) {
            if (freed < storedCount) {
                const size_t upTo = storedCount;
                guard.unlock();
                for (; freed < upTo; ++freed) {
                    work[freed].prepared.clear();
                    work[freed].message.reset();
                }
                guard.lock();
            } else if (const size_t i = claim(); i < count) {
                guard.unlock();
                takeApartOne(i);
                guard.lock();
            } else {
                changed.wait(guard);
            }
        }
    });
    QString subject;
    for (size_t k = 0; k < count; ++k) {
        {
            std::unique_lock guard(lock);
            while (!work[k].ready) {
                if (const size_t i = claim(); i < count) {
                    guard.unlock();
                    takeApartOne(i);
                    guard.lock();
                } else {
                    changed.wait(guard);
                }
            }
        }
        Slot& slot = work[k];
        if (slot.message) {
            const bool all = learnWithPlugIns(slot.message->message(), slot.message->messageID, spam, slot.prepared);
            learned[qsizetype(k)] = all ? 1 : 0;
            JKW_LogManager::sharedLogManager().queueRecord(slot.message->record);
            subject = slot.message->record.value(JKW_LOG_SUBJECT_KEY).toString();
        }
        {
            const std::lock_guard guard(lock);
            storedCount = k + 1;
        }
        changed.notify_all();
    }
    helper.join();
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
    const bool learned = learnMailData(data.get(), spam, logKey);
    MIME_EOL_CHAR = lineEnd;
    if (!learned && error)
        *error = QStringLiteral("The message of the log record \"%1\" could not be learned").arg(logKey);
    return learned;
}

bool SievraController::learnMailData(SAData* data, bool spam, const QString& logKey) {
    // 1. Nothing without data; the engine's on/off switch does not apply.
    // 2. Parse in learning mode; 3. the record.
    std::optional<LearningMessage> m = takeApart(data, spam, filterCallBack, this, logKey);
    if (!m)
        return false;

    // 4. Every filter learns.
    const bool learned = spam ? learnSpamFilterWithPlugIns(m->message(), m->messageID)
                              : learnHamFilterWithPlugIns(m->message(), m->messageID);

    // 5. The record replaces the message's earlier one.
    JKW_LogManager::sharedLogManager().queueRecord(m->record);

    // 6. The notice.
    if (showFeedback_)
        showLearningNotice(spam, m->record.value(JKW_LOG_SUBJECT_KEY).toString());
    return learned;
}

// Every filter learns a message of a batch, the preparing ones (in order) with
// what they prepared.
bool SievraController::learnWithPlugIns(SAMIMEPart* message, const QString& messageID, bool spam,
                                        std::vector<std::unique_ptr<SWPreparedLearning>>& prepared) {
    bool all = true;
    size_t next = 0;
    for (const SievraPlugInEntry& entry : plugIns_) {
        if (!entry.instance)
            continue;
        SWPlugInFilter* filter = entry.instance.get();
        bool ok;
        if (filter->preparesLearning() && next < prepared.size())
            ok = filter->learnPreparedMessage(message, messageID, spam, std::move(prepared[next++]));
        else
            ok = spam ? filter->learnMessageAsSpam(message, messageID)
                      : filter->learnMessageAsLegitimate(message, messageID);
        if (ok)
            continue;
        all = false;
        platform::log::console(QString::fromLatin1(spam ? kLearnSpamIssue : kLearnLegitimateIssue)
                                   .arg(entry.identifier.value_or(filter->identifier())));
    }
    return all;
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
