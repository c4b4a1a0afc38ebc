#pragma once
// The Chi-Square filter's token store: per token the number of learned spam and
// good messages that contained it, the two message totals, and the training
// history (how each message is counted now), all in one LMDB file
// "ChiSquare.db" in the user's caches folder.
//
// Learning a message is one write transaction: its tokens, the totals and its
// history entry change together, so a killed process leaves either all of a
// training or none of it. A message learned the other way is taken back from
// the side it was counted on before it is added to the new one; learned again
// the same way, it is not counted twice. A batch of messages shares one
// transaction: the token counts it changes are gathered in memory and written
// once each, in key order, with the totals when the batch commits.

#include "SWChiSquareTokens.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct MDB_env;

inline constexpr const char* SWChiSquareStoreName = "ChiSquare.db";
// Token keys longer than this many bytes are cut (LMDB keys are bounded).
inline constexpr int SWChiSquareMaximumKeyBytes = 120;
// The history keeps this many messages; the oldest entry goes first.
inline constexpr int SWChiSquareHistoryLimit = 50000;

struct SWChiSquareCounts {
    uint32_t spam = 0;  // learned spam messages containing the token
    uint32_t ham = 0;   // learned good messages containing the token
};

class SWChiSquareStore {
public:
    enum class Training { Learned, AlreadyLearned, Failed };

    // Opens or creates the store in folder. A file that is not a store of this
    // format is replaced by an empty store, with a log line.
    explicit SWChiSquareStore(const QString& folder);
    ~SWChiSquareStore();
    SWChiSquareStore(const SWChiSquareStore&) = delete;
    SWChiSquareStore& operator=(const SWChiSquareStore&) = delete;

    bool isOpen() const { return env_ != nullptr; }
    QString path() const { return path_; }

    // What learning a message writes under: the store keys of its distinct
    // tokens in key order, and its history key. Built from the message's key (a
    // message ID or a digest of the message) and tokens alone, on any thread.
    struct Keys {
        Keys(const QString& key, const std::vector<QString>& tokens);
        Keys(const QString& key, const SWChiSquareTokenList& tokens);
        std::string_view operator[](size_t i) const {
            return std::string_view(bytes).substr(spans[i].first, spans[i].second);
        }
        size_t size() const { return spans.size(); }

        std::string bytes;
        std::vector<std::pair<uint32_t, uint32_t>> spans;  // offset and size in bytes
        std::vector<uint32_t> hashes;                       // of each key, for the count table
        QByteArray hashed;                                  // the history key

    private:
        template <typename Tokens>
        void build(const Tokens& tokens, size_t count);
    };

    // Learns one message (its distinct tokens) as spam or good mail under key
    // (a message ID or a digest of the message), in one transaction.
    Training learn(const QString& key, const std::vector<QString>& tokens, bool spam);
    Training learn(Keys keys, bool spam);
    // Bulk learning: the learn() calls between beginBatch() and commitBatch()
    // form one transaction, stored whole by commitBatch() or not at all (a
    // failed commit, abortBatch(), a killed process). Each message still gets
    // its history entry; a message learned twice in one batch counts as if the
    // two trainings had been made one after the other. beginBatch() is false
    // when the store is closed or a batch is open; learn() then works alone.
    bool beginBatch();
    bool commitBatch();
    void abortBatch();
    bool inBatch() const { return batch_ != nullptr; }

    // -1: counted as spam, +1: counted as good mail; nullopt: not learned.
    std::optional<int> markForKey(const QString& key);

    // The counts of each token, in order (zero for unknown tokens), and the
    // totals; false when the store is closed or fails.
    bool lookUp(const std::vector<QString>& tokens, std::vector<SWChiSquareCounts>& counts, uint64_t* spamTotal,
                uint64_t* hamTotal);
    bool lookUp(const SWChiSquareTokenList& tokens, std::vector<SWChiSquareCounts>& counts, uint64_t* spamTotal,
                uint64_t* hamTotal);
    uint64_t spamTotal() const { return spamTotal_; }
    uint64_t hamTotal() const { return hamTotal_; }
    int64_t tokenCount();

    // Writes committed transactions to disk now (they survive a killed process
    // without it; this is for a power loss).
    void sync();
    // Deletes every record.
    bool reset();

private:
    template <typename Tokens>
    bool lookUpTokens(const Tokens& tokens, std::vector<SWChiSquareCounts>& counts, uint64_t* spamTotal,
                      uint64_t* hamTotal);
    bool open();
    void close();
    bool verifyOrInitialise();
    bool readTotals();
    bool grow();
    struct Pending;
    struct Batch;
    int begin(Pending& pending);
    int apply(Pending& pending, const Keys& keys, bool spam, Training* outcome);
    int finish(Pending& pending);
    int replayBatch();

    QString folder_;
    QString path_;
    MDB_env* env_ = nullptr;
    unsigned tokens_ = 0, meta_ = 0, history_ = 0, order_ = 0;
    uint64_t spamTotal_ = 0, hamTotal_ = 0;
    size_t mapSize_ = 0;
    Batch* batch_ = nullptr;
};
