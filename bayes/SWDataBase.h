#pragma once
// The Bayesian filter's token store: per token how many learned spam and ham
// messages contained it and when it was last seen, plus the message totals.
//
// Records live in an LMDB file "Junkward.db" in the user's caches folder, keyed by
// the first 20 bytes of the token's UTF-8 form (zero-padded) with a 24-byte
// big-endian value; the totals live in the property list "Junkward.cnt".
// One shared instance serves the process; a non-recursive lock guards every
// store operation. Lookups and sync only try that lock, so filtering never
// waits for maintenance (it gets no answer instead).

#include "SWTokenBag.h"

struct MDB_txn;

#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

inline constexpr const char* SWDataBaseBaseName = "Junkward.db";
inline constexpr const char* SWDataBaseCountName = "Junkward.cnt";
// Beside the count file while a batch commits: {"Transaction", "Counts"}.
inline constexpr const char* SWDataBaseBatchJournalName = "Junkward.cnt.batch";
inline constexpr int SWDataBaseKeySize = 20;
inline constexpr int SWDataBaseValueSize = 24;

// Keys of the dictionary given to addItem().
inline constexpr const char* SWDataBaseKeywordKey = "Keyword";
inline constexpr const char* SWDataBaseSpamKey = "Spam";
inline constexpr const char* SWDataBaseHamKey = "Ham";

// One record value. On disk the integers are big-endian; SWDataBaseValueSwap
// converts between that order and the host order in place.
struct SWDataBaseValue {
    uint64_t spam = 0;      // learned spam messages that contained the token
    uint64_t ham = 0;       // learned legitimate messages that contained the token
    int32_t date = 0;       // last seen, seconds since 1970-01-01 UTC
    uint32_t reserved = 0;  // written as zero, ignored on reading
};
static_assert(sizeof(SWDataBaseValue) == SWDataBaseValueSize);

void SWDataBaseValueSwap(SWDataBaseValue* value);

class SWDataBase {
public:
    // A record's key: the first 20 bytes of the token's UTF-8 form, zero-padded.
    struct Key {
        unsigned char bytes[SWDataBaseKeySize] = {};
    };

    // The process-wide instance, opened on first call; nullptr when no store could
    // be opened (the next call tries again).
    static SWDataBase* sharedDataBase();
    // Closes and destroys the shared instance (the plug-in does this when it goes).
    static void releaseSharedDataBase();

    // Opens (or creates) the store in cachesFolder; empty = the user's caches
    // folder. Check isOpen() afterwards.
    explicit SWDataBase(const QString& cachesFolder = {});
    ~SWDataBase();
    SWDataBase(const SWDataBase&) = delete;
    SWDataBase& operator=(const SWDataBase&) = delete;

    bool isOpen() const;

    // (Re)opens the store and reads the totals. A store that cannot be opened, that
    // is not a store at all, or that lacks a readable count file is replaced by an
    // empty one with zero totals.
    void _reload();
    // Closes the store handle if open.
    void close();
    // Deletes both files and opens a new empty store. True when both files were
    // deleted (or the caches folder does not exist).
    bool reset();
    // Flushes committed changes to disk; does nothing when the lock is busy.
    // Refreshed dates alone are flushed at most every 10 seconds.
    void sync();
    // Writes [ham total, spam total] to the count file atomically.
    bool updateCountOnDisk();

    // Learns one message, in one write transaction: every distinct token gets one
    // more spam (ham) count, its opposite count reduced by the offset (floored at
    // 0), and its date set to now; the spam (ham) total grows by one. False, with
    // nothing changed, when the store is closed or fails.
    bool addTokensToSpamDB(const SWTokenBag& tokens, int32_t hamOffset);
    bool addTokensToHamDB(const SWTokenBag& tokens, int32_t spamOffset);

    // Batched learning. From beginBatch() to commitBatch() or abortBatch() the
    // addTokensTo*DB calls of the calling thread share one write transaction and
    // the store is locked to every other thread; the totals and the count file
    // change only at the commit. commitBatch() makes the whole batch durable at
    // once (one flush, one count-file write) or none of it: a journal with the
    // new totals and the commit's transaction id is written first, so that the
    // next open completes the count file of a batch whose commit happened before
    // the process died, and drops the journal of one whose commit did not.
    // beforeCommit, when given, runs after the journal and before the commit with
    // that transaction id (a caller's companion file can record it), on a second
    // thread while the records are written; false from it abandons the batch. It
    // may run twice when the map grows during the commit. afterCommit, when
    // given, runs on the calling thread after the commit while the count file is
    // written. A failed learning call inside the batch fails the whole batch.
    // beginBatch() is false when the store is closed or the calling thread
    // already has a batch.
    bool beginBatch();
    bool commitBatch(const std::function<bool(uint64_t)>& beforeCommit = {},
                     const std::function<void()>& afterCommit = {});
    void abortBatch();
    // True when the calling thread has a batch open.
    bool inBatch() const;
    // The id of the store's last committed transaction; 0 when closed.
    uint64_t lastTransaction();
    QString batchJournalPath() const;

    // One spam probability per token, in the bag's order; with updateDate, the
    // known records get the current date (when theirs is an hour old or more). nullopt when the store is closed, busy
    // (maintenance holds the lock) or fails.
    std::optional<std::vector<float>> getSpamitudeArrayFromTokens(const SWTokenBag& tokens, bool updateDate);

    // Deletes the records of the given tokens. Always true.
    bool removeItemsFromArray(const QStringList& tokens);
    // Deletes the records not seen for longer than their weight allows. Always true.
    bool removeOldItemsFromDataBase();
    // Adds the word item["Keyword"] with the counts item["Spam"], item["Ham"].
    // True when added or when there is nothing to add (no item, no store, no
    // keyword); false when the keyword is empty, already known, or the store fails.
    bool addItem(const QVariantMap* item);

    uint64_t spamMailCount() const { return spamMailCount_.load(); }
    uint64_t hamMailCount() const { return hamMailCount_.load(); }
    QString storePath() const;
    QString countPath() const { return countPath_; }

    // The record of a token, as stored (host order); nullopt when unknown or on
    // failure. Waits for the lock.
    std::optional<SWDataBaseValue> valueForToken(const QString& token);
    // Number of records in the store; -1 on failure.
    int64_t recordCount();

    // The clock used for dates and ageing (seconds since 1970); tests move it.
    void setClock(std::function<int64_t()> clock);

private:
    struct Env;
    struct Batch;
    bool addTokensToBatch(const SWTokenBag& tokens, int32_t offset, bool spam);
    void endBatch();
    void completeJournal();
    bool addTokens(const SWTokenBag& tokens, int32_t offset, bool spam);
    int lookUpRecord(MDB_txn* txn, Key& key, SWDataBaseValue* value);
    int learnInBatch(size_t message);  // by its index in the batch
    int writeBatch();
    bool writeBatchJournal(uint64_t transaction, uint64_t ham, uint64_t spam,
                           const std::function<bool(uint64_t)>& beforeCommit) const;
    void takeOverCommit(size_t txnid, const std::vector<std::pair<Key, SWDataBaseValue>>& written);
    void refreshDates(const std::vector<Key>& keys, int32_t date);
    bool openStore(bool create);
    bool verifyStore();
    bool readCounts();
    bool growMap();
    int64_t now() const;

    std::mutex sharedLock_;
    std::unique_ptr<Env> dataBase_;  // null while the store is closed
    QString folder_;
    QString countPath_;
    std::atomic<uint64_t> spamMailCount_{0};
    std::atomic<uint64_t> hamMailCount_{0};
    size_t mapSize_ = 0;
    bool changesPending_ = false;  // learned or maintained since the last flush
    bool datesPending_ = false;    // dates refreshed since the last flush
    int64_t lastFlush_ = 0;        // monotonic seconds
    std::function<int64_t()> clock_;
    Batch* batch_ = nullptr;  // owned; set and used by the batch's thread only
    std::atomic<std::thread::id> batchThread_{};
};
