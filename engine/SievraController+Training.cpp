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
#include <atomic>
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

// Messages of a batch are taken apart and learned this many at a time: the
// parse trees of one group stay in memory together.
constexpr size_t kLearningGroup = 64;

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
    // The filters that take messages apart beforehand. Each group of messages
    // is parsed and prepared on a second thread while the group before it is
    // stored here; once that is done, this thread takes on what is left.
    std::vector<SWPlugInFilter*> preparing;
    for (const SievraPlugInEntry& entry : plugIns_)
        if (entry.instance && entry.instance->preparesLearning())
            preparing.push_back(entry.instance.get());
    struct Group {
        size_t start = 0;
        std::vector<std::optional<LearningMessage>> messages;
        std::vector<std::vector<std::unique_ptr<SWPreparedLearning>>> prepared;  // per message, per preparing filter
        std::atomic<size_t> next{0};                                              // the next message to take apart
    };
    const auto group = [&](size_t start) {
        auto g = std::make_unique<Group>();
        g->start = start;
        const size_t count = std::min(messages.size(), start + kLearningGroup) - start;
        g->messages.resize(count);
        g->prepared.resize(count);
        return g;
    };
    // Takes the messages of a group apart, one at a time, on whichever thread
    // comes first: parsed, then prepared by every preparing filter. The parser
    // keeps state of its own while it works: one message is parsed at a time.
    std::mutex parsing;
    const auto takeApartGroup = [&](Group& g) {
        for (size_t i; (i = g.next.fetch_add(1)) < g.messages.size();) {
            std::optional<LearningMessage>& m = g.messages[i];
            {
                const std::lock_guard lock(parsing);
                m = takeApart(messages[g.start + i], spam, filterCallBack, this);
            }
            if (m)
                for (SWPlugInFilter* filter : preparing)
                    g.prepared[i].push_back(filter->prepareToLearn(m->message(), m->messageID));
        }
    };
    QString subject;
    std::unique_ptr<Group> current = group(0);
    {
        std::thread helper([&] { takeApartGroup(*current); });
        takeApartGroup(*current);
        helper.join();
    }
    std::unique_ptr<Group> stored;  // the group before, freed on the second thread
    for (;;) {
        std::unique_ptr<Group> next;
        std::thread helper;
        if (current->start + kLearningGroup < messages.size()) {
            next = group(current->start + kLearningGroup);
            helper = std::thread([&] {
                takeApartGroup(*next);
                stored.reset();
            });
        }
        for (size_t i = 0; i < current->messages.size(); ++i) {
            std::optional<LearningMessage>& m = current->messages[i];
            if (!m)
                continue;
            const bool all = learnWithPlugIns(m->message(), m->messageID, spam, current->prepared[i]);
            learned[qsizetype(current->start + i)] = all ? 1 : 0;
            JKW_LogManager::sharedLogManager().queueRecord(m->record);
            subject = m->record.value(JKW_LOG_SUBJECT_KEY).toString();
        }
        if (next)
            takeApartGroup(*next);
        if (helper.joinable())
            helper.join();
        if (!next)
            break;
        stored = std::move(current);
        current = std::move(next);
    }
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
