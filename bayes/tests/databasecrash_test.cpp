// A child process learns messages in a loop and is killed with SIGKILL at random
// moments; every message whose learning had returned must still be in the store,
// and the store must open and read whole every time.

#include "SWDataBase.h"

#include "platform/PropertyList.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

SWTokenBag messageTokens(int32_t index) {
    SWTokenBag bag;
    bag.insert(QString("common"), 1);
    bag.insert(QString("message%1").arg(index), 2);
    for (int i = 0; i < 40; ++i)
        bag.insert(QString("word%1of%2").arg(i).arg(index % 7), 1);
    return bag;
}

// Runs in the child: learns message after message, reporting each on the pipe
// once learning and the count file write have returned.
[[noreturn]] void learnForever(const QString& folder, int32_t first, int reportFd) {
    SWDataBase db(folder);
    if (!db.isOpen())
        _exit(2);
    for (int32_t i = first;; ++i) {
        if (!db.addTokensToSpamDB(messageTokens(i), 0) || !db.updateCountOnDisk())
            _exit(3);
        if (write(reportFd, &i, sizeof i) != sizeof i)
            _exit(4);
    }
}

// Waits up to timeoutMs for the learner's next report; false on time-out or end.
bool readReport(int fd, int32_t* index, int timeoutMs) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, timeoutMs) != 1)
        return false;
    return read(fd, index, sizeof *index) == sizeof *index;
}

// Forks a learner (`learn` reports numbers on the descriptor it is given and
// never returns), waits for its first report, lets it run `delay` longer,
// kills it with SIGKILL and appends every number it reported to `reports`.
// Every round proves something, however slow the machine: the learner has
// returned from one step before the delay starts.
void killLearner(const std::function<void(int)>& learn, std::chrono::milliseconds delay,
                 std::vector<int32_t>& reports) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        learn(fds[1]);
        _exit(1);
    }
    close(fds[1]);
    int32_t index;
    const bool reported = readReport(fds[0], &index, 120000);
    if (reported) {
        reports.push_back(index);
        std::this_thread::sleep_for(delay);
    }
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the learner stopped by itself, status " << status;
    ASSERT_TRUE(reported) << "the learner reported nothing in two minutes";
    while (read(fds[0], &index, sizeof index) == sizeof index)
        reports.push_back(index);
    close(fds[0]);
}

class DataBaseCrash : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    // A step committed but not reported may exist: the next learner starts
    // one number further.
    static int32_t nextAfter(const std::vector<int32_t>& reports) { return reports.empty() ? 0 : reports.back() + 2; }

    QTemporaryDir dir;
    const QString folder = dir.path() + "/Caches";
    const unsigned seed = std::random_device{}();
    std::mt19937 random{seed};
};

TEST_F(DataBaseCrash, killedLearnerLeavesEveryReturnedMessageIntact) {
    std::uniform_int_distribution<int> delayMs(1, 120);
    SCOPED_TRACE("seed " + std::to_string(seed));

    std::vector<int32_t> learned;
    for (int round = 0; round < 25; ++round) {
        const int32_t next = nextAfter(learned);
        ASSERT_NO_FATAL_FAILURE(killLearner([&](int fd) { learnForever(folder, next, fd); },
                                            std::chrono::milliseconds(delayMs(random)), learned))
            << "round " << round;

        SWDataBase db(folder);
        ASSERT_TRUE(db.isOpen()) << "round " << round;
        ASSERT_GE(db.spamMailCount(), learned.size()) << "round " << round;
        for (int32_t i : learned) {
            auto value = db.valueForToken(QString("message%1").arg(i));
            ASSERT_TRUE(value) << "message " << i << " lost in round " << round;
            EXPECT_EQ(value->spam, 1u);
        }
        auto common = db.valueForToken("common");
        if (!learned.empty()) {
            ASSERT_TRUE(common);
            EXPECT_GE(common->spam, learned.size());
        }
        // The whole store reads: every record is reachable by a lookup.
        if (!learned.empty()) {
            EXPECT_GT(db.recordCount(), 0);
        }
        auto scores = db.getSpamitudeArrayFromTokens(messageTokens(0), false);
        ASSERT_TRUE(scores) << "round " << round;
        EXPECT_EQ(scores->size(), size_t(messageTokens(0).size()));
    }
}

constexpr int32_t kBatch = 25;

// Runs in the child: learns batch after batch, reporting each batch's number
// once its commit has returned.
[[noreturn]] void learnBatchesForever(const QString& folder, int32_t firstBatch, int reportFd) {
    SWDataBase db(folder);
    if (!db.isOpen())
        _exit(2);
    for (int32_t b = firstBatch;; ++b) {
        if (!db.beginBatch())
            _exit(3);
        for (int32_t i = 0; i < kBatch; ++i)
            if (!db.addTokensToSpamDB(messageTokens(b * kBatch + i), 0))
                _exit(4);
        if (!db.commitBatch())
            _exit(5);
        if (write(reportFd, &b, sizeof b) != sizeof b)
            _exit(6);
    }
}

TEST_F(DataBaseCrash, killedBatchIsWhollyAbsentAndEarlierBatchesStay) {
    std::uniform_int_distribution<int> delayMs(5, 150);
    SCOPED_TRACE("seed " + std::to_string(seed));

    std::vector<int32_t> batches;
    for (int round = 0; round < 20; ++round) {
        const int32_t next = nextAfter(batches);
        ASSERT_NO_FATAL_FAILURE(killLearner([&](int fd) { learnBatchesForever(folder, next, fd); },
                                            std::chrono::milliseconds(delayMs(random)), batches))
            << "round " << round;

        SWDataBase db(folder);
        ASSERT_TRUE(db.isOpen()) << "round " << round;
        // Whole batches only, in the totals, the count file and the records alike.
        const uint64_t total = db.spamMailCount();
        EXPECT_EQ(total % kBatch, 0u) << "round " << round;
        EXPECT_GE(total, batches.size() * kBatch) << "round " << round;
        auto common = db.valueForToken("common");
        EXPECT_EQ(common ? common->spam : 0u, total) << "round " << round;
        for (int32_t reported : batches)
            for (int32_t i = 0; i < kBatch; ++i)
                ASSERT_TRUE(db.valueForToken(QString("message%1").arg(reported * kBatch + i)))
                    << "batch " << reported << " lost in round " << round;
    }
}

// The journal left by a process killed between a batch's commit and its count
// file: the totals follow the store, whichever side of the commit it died on.
TEST_F(DataBaseCrash, batchJournalCompletesTheCountFileOnlyForACommittedBatch) {
    uint64_t last = 0;
    QString journal, counts;
    {
        SWDataBase db(folder);
        ASSERT_TRUE(db.beginBatch());
        ASSERT_TRUE(db.addTokensToSpamDB(messageTokens(1), 0));
        ASSERT_TRUE(db.addTokensToHamDB(messageTokens(2), 0));
        uint64_t promised = 0;
        ASSERT_TRUE(db.commitBatch([&](uint64_t txn) {
            promised = txn;
            return QFileInfo::exists(db.batchJournalPath());  // written before the commit
        }));
        EXPECT_FALSE(QFileInfo::exists(db.batchJournalPath()));
        last = db.lastTransaction();
        EXPECT_EQ(last, promised);
        journal = db.batchJournalPath();
        counts = db.countPath();
    }
    const auto writeJournal = [&](uint64_t txn) {
        ASSERT_TRUE(platform::plist::writeFile(
            journal, QVariantMap{{"Transaction", quint64(txn)}, {"Counts", QVariantList{quint64(7), quint64(9)}}}));
    };
    const struct {
        const char* name;
        uint64_t txn;
        uint64_t ham, spam;
    } cases[] = {
        {"died after the commit", last, 7, 9},
        {"died before the commit", last + 1, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(platform::plist::writeFile(counts, QVariantList{quint64(1), quint64(1)}));
        writeJournal(c.txn);
        SWDataBase db(folder);
        ASSERT_TRUE(db.isOpen());
        EXPECT_EQ(db.hamMailCount(), c.ham);
        EXPECT_EQ(db.spamMailCount(), c.spam);
        EXPECT_FALSE(QFileInfo::exists(journal));
    }
}

}  // namespace
