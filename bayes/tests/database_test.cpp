// The token store on real files: probabilities, learning, ageing, maintenance and
// what happens to damaged files.

#include "SWDataBase.h"

#include "platform/Log.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class DataBaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        folder_ = dir_.path() + "/Caches";
        platform::log::setCapture(true);
        open();
    }
    void TearDown() override { db_.reset(); }

    void open() {
        db_.reset();
        db_ = std::make_unique<SWDataBase>(folder_);
        ASSERT_TRUE(db_->isOpen());
    }
    // Reopens the store with the given totals in its count file.
    void reopenWithTotals(quint64 spam, quint64 ham) {
        db_.reset();
        ASSERT_TRUE(platform::plist::writeFile(folder_ + "/Junkward.cnt", QVariantList{ham, spam}));
        open();
        ASSERT_EQ(db_->spamMailCount(), spam);
        ASSERT_EQ(db_->hamMailCount(), ham);
    }
    void addWord(const QString& word, quint64 spam, quint64 ham) {
        const QVariantMap item{{"Keyword", word}, {"Spam", spam}, {"Ham", ham}};
        ASSERT_TRUE(db_->addItem(&item)) << word.toStdString();
    }
    float probability(const QString& token) {
        auto result = db_->getSpamitudeArrayFromTokens(SWTokenBag{{token, 1}}, false);
        EXPECT_TRUE(result.has_value());
        return result && result->size() == 1 ? result->front() : -1.0f;
    }
    bool logged(const QString& line) const { return platform::log::captured().contains(line); }

    QTemporaryDir dir_;
    QString folder_;
    std::unique_ptr<SWDataBase> db_;
};

TEST_F(DataBaseTest, probabilityFollowsCountsAndTotals) {
    struct Case {
        quint64 spam, ham, spamTotal, hamTotal;
        float expected;
    };
    const Case cases[] = {
        {3, 0, 10, 10, 0.4f},         // weight 3 is not above 5
        {6, 0, 10, 10, 0.999f},       // only seen in spam
        {0, 3, 10, 10, 0.001f},       // only seen in ham (weight 6)
        {6, 0, 0, 10, 0.01f},         // nothing learned as spam yet
        {6, 0, 10, 0, 0.99f},         // nothing learned as ham yet
        {5, 1, 10, 10, 0.5f / 0.7f},  // a = 0.5, b = 0.2
        {10, 10, 10, 10, 0.5f},       // both frequencies capped at 1
        {100, 1, 10, 1000, 0.99f},    // above 0.99 but seen in ham
        {1, 100, 1000, 10, 0.01f},    // below 0.01 but seen in spam
    };
    for (const Case& c : cases) {
        reopenWithTotals(c.spamTotal, c.hamTotal);
        db_->removeItemsFromArray({"token"});
        addWord("token", c.spam, c.ham);
        EXPECT_FLOAT_EQ(probability("token"), c.expected)
            << "spam " << c.spam << " ham " << c.ham << " totals " << c.spamTotal << "/" << c.hamTotal;
    }
}

TEST_F(DataBaseTest, variantsAreTriedWhileTheTokenLacksWeight) {
    reopenWithTotals(10, 10);
    // Variants are tried only from a known token that lacks weight.
    addWord("Hello", 3, 0);   // weight 3
    addWord("hello", 9, 0);   // weight 9: 0.999
    addWord("Offer!", 4, 0);  // weight 4, "Offer" unknown
    addWord("deal", 0, 5);    // weight 10: 0.001
    addWord("deal?!", 1, 0);
    addWord("deal?", 1, 0);
    addWord("Deal", 2, 0);
    addWord("DEAL", 1, 0);
    addWord("CASH", 2, 2);  // weight 6: a 0.2, b 0.4
    addWord("cash", 1, 0);
    addWord("42deal", 1, 0);
    struct Case {
        const char* token;
        float expected;
    };
    const Case cases[] = {
        {"Hello", 0.999f},      // its lower-case form decides
        {"Offer!", 0.4f},       // the shortened form is unknown
        {"deal?!", 0.001f},     // both marks dropped, one at a time
        {"Deal", 0.001f},       // lower-cased
        {"DEAL", 0.001f},       // every upper-case letter lowered
        {"cash", 0.2f / 0.6f},  // upper-cased
        {"42deal", 0.4f},       // no letter first: no case variant
        {"Cash", 0.4f},         // unknown itself: its variants are not tried
        {"unknown", 0.4f},
    };
    for (const Case& c : cases) {
        EXPECT_FLOAT_EQ(probability(c.token), c.expected) << c.token;
    }
}

TEST_F(DataBaseTest, repeatedCharactersScoreWithoutTheStore) {
    reopenWithTotals(10, 10);
    addWord("xxxxxxx", 0, 50);
    addWord("7777777", 0, 50);
    EXPECT_FLOAT_EQ(probability("xxxxxxx"), 0.99f);
    EXPECT_FLOAT_EQ(probability("7777777"), 0.001f);
    EXPECT_FLOAT_EQ(probability("xxxx"), 0.4f);  // too short to count
    EXPECT_FLOAT_EQ(probability("abxxxxab"), 0.99f);
    EXPECT_FLOAT_EQ(probability("abxxxab"), 0.4f);
}

TEST_F(DataBaseTest, tokensSharingTwentyBytesShareOneRecord) {
    const QString a = "abcdefghijklmnopqrstUVWXY";
    const QString b = "abcdefghijklmnopqrstZZZZZ";
    ASSERT_TRUE(db_->addTokensToSpamDB({{a, 1}}, 0));
    ASSERT_TRUE(db_->addTokensToSpamDB({{b, 3}}, 0));
    auto value = db_->valueForToken("abcdefghijklmnopqrst");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->spam, 2u);
    // Multi-byte characters are cut by bytes, not characters.
    const QString accents = QString(19, 'a') + QStringLiteral("\u00e9x");
    ASSERT_TRUE(db_->addTokensToHamDB({{accents, 1}}, 0));
    EXPECT_EQ(db_->recordCount(), 2);
}

TEST_F(DataBaseTest, learningCountsMessagesAndTakesBackOffsets) {
    const SWTokenBag message{{"alpha", 4}, {"beta", 1}};
    ASSERT_TRUE(db_->addTokensToSpamDB(message, 0));
    ASSERT_TRUE(db_->addTokensToSpamDB(message, 0));
    EXPECT_EQ(db_->valueForToken("alpha")->spam, 2u);  // once per message, not per occurrence
    EXPECT_EQ(db_->spamMailCount(), 2u);

    // Re-learned as ham with spam offset 2: the spam counts go back to 0.
    ASSERT_TRUE(db_->addTokensToHamDB(message, 2));
    auto alpha = db_->valueForToken("alpha");
    EXPECT_EQ(alpha->spam, 0u);
    EXPECT_EQ(alpha->ham, 1u);
    EXPECT_EQ(db_->spamMailCount(), 2u);  // totals are never reduced
    EXPECT_EQ(db_->hamMailCount(), 1u);

    // An offset larger than the count floors at 0; a count above it is reduced.
    ASSERT_TRUE(db_->addTokensToHamDB({{"gamma", 1}}, 0));
    ASSERT_TRUE(db_->addTokensToHamDB({{"gamma", 1}}, 0));
    ASSERT_TRUE(db_->addTokensToHamDB({{"gamma", 1}}, 0));
    ASSERT_TRUE(db_->addTokensToSpamDB({{"gamma", 1}}, 1));
    EXPECT_EQ(db_->valueForToken("gamma")->ham, 2u);
    ASSERT_TRUE(db_->addTokensToSpamDB({{"gamma", 1}}, 5));
    EXPECT_EQ(db_->valueForToken("gamma")->ham, 0u);
    EXPECT_EQ(db_->valueForToken("gamma")->spam, 2u);
}

// A batch holds its changes in memory until the commit: the records must come
// out as the same learning one message at a time leaves them, also where
// messages of one batch share records and take counts back.
TEST_F(DataBaseTest, aBatchStoresWhatTheSameMessagesOneByOneStore) {
    const std::vector<std::tuple<SWTokenBag, bool, int32_t>> messages{
        {{{"alpha", 4}, {"beta", 1}}, true, 0},
        {{{"alpha", 1}, {"abcdefghijklmnopqrstUVWXY", 1}, {"abcdefghijklmnopqrstZZZ", 1}}, true, 0},
        {{{"alpha", 1}, {"gamma", 1}}, false, 0},
        {{{"alpha", 1}, {"beta", 1}}, false, 2},
        {{{"gamma", 1}}, true, 5}};
    QTemporaryDir other;
    SWDataBase single(other.path());
    ASSERT_TRUE(db_->beginBatch());
    for (const auto& [tokens, spam, offset] : messages) {
        ASSERT_TRUE(spam ? single.addTokensToSpamDB(tokens, offset) : single.addTokensToHamDB(tokens, offset));
        ASSERT_TRUE(spam ? db_->addTokensToSpamDB(tokens, offset) : db_->addTokensToHamDB(tokens, offset));
    }
    ASSERT_TRUE(db_->commitBatch());
    for (const char* token : {"alpha", "beta", "gamma", "abcdefghijklmnopqrst"}) {
        const auto batched = db_->valueForToken(token), alone = single.valueForToken(token);
        ASSERT_TRUE(batched && alone) << token;
        EXPECT_EQ(batched->spam, alone->spam) << token;
        EXPECT_EQ(batched->ham, alone->ham) << token;
    }
    EXPECT_EQ(db_->spamMailCount(), single.spamMailCount());
    EXPECT_EQ(db_->hamMailCount(), single.hamMailCount());
}

TEST_F(DataBaseTest, totalsSurviveThroughTheCountFile) {
    ASSERT_TRUE(db_->addTokensToSpamDB({{"alpha", 1}}, 0));
    ASSERT_TRUE(db_->addTokensToHamDB({{"beta", 1}}, 0));
    ASSERT_TRUE(db_->addTokensToHamDB({{"beta", 1}}, 0));
    ASSERT_TRUE(db_->updateCountOnDisk());
    auto counts = platform::plist::readFile(folder_ + "/Junkward.cnt");
    ASSERT_TRUE(counts);
    EXPECT_EQ(counts->toList().value(0).toULongLong(), 2u);  // ham first
    EXPECT_EQ(counts->toList().value(1).toULongLong(), 1u);
    open();
    EXPECT_EQ(db_->spamMailCount(), 1u);
    EXPECT_EQ(db_->hamMailCount(), 2u);
    EXPECT_EQ(db_->valueForToken("beta")->ham, 2u);
}

// Lookups keep the records they read; what they answer must still follow every
// change: the store's own learning and another process writing the same file.
TEST_F(DataBaseTest, lookupsFollowLearningAndOtherProcesses) {
    reopenWithTotals(10, 10);
    addWord("alpha", 6, 0);
    EXPECT_FLOAT_EQ(probability("alpha"), 0.999f);
    EXPECT_FLOAT_EQ(probability("beta"), 0.4f);  // unknown, and remembered as such

    // Four ham messages with alpha: 6 spam, 4 ham, totals 10 and 14.
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(db_->addTokensToHamDB({{"alpha", 1}, {"beta", 1}}, 0));
    const float a = 6.0f / 10.0f, b = 8.0f / 14.0f;
    EXPECT_FLOAT_EQ(probability("alpha"), a / (a + b));
    EXPECT_FLOAT_EQ(probability("beta"), 0.001f);  // weight 8, no spam: only ham
    EXPECT_EQ(db_->valueForToken("beta")->ham, 4u);

    // Another process deletes alpha and adds gamma in the same file.
    EXPECT_FLOAT_EQ(probability("gamma"), 0.4f);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SWDataBase other(folder_);
        const QVariantMap gamma{{"Keyword", "gamma"}, {"Spam", 9}, {"Ham", 0}};
        _exit(other.isOpen() && other.removeItemsFromArray({"alpha"}) && other.addItem(&gamma) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FLOAT_EQ(probability("alpha"), 0.4f);
    EXPECT_FLOAT_EQ(probability("gamma"), 0.999f);
}

// Keys come from the token's UTF-8 form; a lone surrogate is written as "?"
// whichever path encodes it.
TEST_F(DataBaseTest, tokensWithLoneSurrogatesKeepOneKey) {
    const char16_t loneUnits[] = {u'a', u'b', 0xD800, u'c', u'd'};
    const char16_t pairUnits[] = {u'x', 0xD83D, 0xDE00, 0x00E9, 0x4E2D};
    const QString lone = QStringView(loneUnits, 5).toString();
    const QString pair = QStringView(pairUnits, 5).toString();
    ASSERT_TRUE(db_->addTokensToSpamDB({{lone, 1}, {pair, 1}}, 0));
    EXPECT_EQ(db_->valueForToken(lone)->spam, 1u);
    EXPECT_EQ(db_->valueForToken("ab?cd")->spam, 1u);
    EXPECT_EQ(db_->valueForToken(pair)->spam, 1u);
}

TEST_F(DataBaseTest, lookupsRefreshDatesOnlyWhenAsked) {
    int64_t clock = 1'000'000;
    db_->setClock([&] { return clock; });
    ASSERT_TRUE(db_->addTokensToSpamDB({{"alpha", 1}, {"beta", 1}}, 0));
    clock += 4000;
    ASSERT_TRUE(db_->getSpamitudeArrayFromTokens({{"alpha", 1}}, false));
    EXPECT_EQ(db_->valueForToken("alpha")->date, 1'000'000);
    ASSERT_TRUE(db_->getSpamitudeArrayFromTokens({{"alpha", 1}, {"unknown", 1}}, true));
    EXPECT_EQ(db_->valueForToken("alpha")->date, 1'004'000);
    EXPECT_EQ(db_->valueForToken("beta")->date, 1'000'000);
    EXPECT_FALSE(db_->valueForToken("unknown"));  // lookups never create records
    EXPECT_EQ(db_->valueForToken("alpha")->spam, 1u);
    // A date less than an hour old is left as it is.
    clock += 3599;
    ASSERT_TRUE(db_->getSpamitudeArrayFromTokens({{"alpha", 1}}, true));
    EXPECT_EQ(db_->valueForToken("alpha")->date, 1'004'000);
    clock += 1;
    ASSERT_TRUE(db_->getSpamitudeArrayFromTokens({{"alpha", 1}}, true));
    EXPECT_EQ(db_->valueForToken("alpha")->date, 1'007'600);
}

TEST_F(DataBaseTest, ageingRemovesRecordsOlderThanTheirWeightAllows) {
    struct Case {
        const char* token;
        quint64 spam, ham;
        int64_t ageHours;
        bool expires;
    };
    const Case cases[] = {
        {"spam2old", 2, 0, 31, true},                                    // weight 1: 30 hours
        {"spam2young", 2, 0, 29, false},  {"spam3old", 3, 0, 31, true},  // 3 / 2 = 1
        {"spam4old", 4, 0, 121, true},                                   // weight 4: 120 hours
        {"spam4young", 4, 0, 119, false}, {"zero", 0, 0, 31, true},      // weight 0 counts as 1
        {"ham31", 0, 31, 931, true},                                     // 31 x 30 = 930 hours
        {"ham32", 0, 32, 100000, false},                                 // heavier than 31: never expires
        {"mixed", 3, 2, 89, false},                                      // 2 + 1 = 3: 90 hours
    };
    const int64_t now = 2'000'000'000;
    for (const Case& c : cases) {
        db_->setClock([&] { return now - c.ageHours * 3600; });
        addWord(c.token, c.spam, c.ham);
    }
    db_->setClock([&] { return now; });
    ASSERT_TRUE(db_->removeOldItemsFromDataBase());
    for (const Case& c : cases)
        EXPECT_EQ(!db_->valueForToken(c.token).has_value(), c.expires) << c.token;
}

TEST_F(DataBaseTest, addingAndRemovingWords) {
    const QVariantMap noKeyword{{"Spam", 1}};
    const QVariantMap empty{{"Keyword", ""}, {"Spam", 1}};
    const QVariantMap notText{{"Keyword", QVariantList{1, 2}}};
    const QVariantMap word{{"Keyword", "bargain"}, {"Spam", 7}, {"Ham", 2}};
    const QVariantMap badCounts{{"Keyword", "odd"}, {"Spam", "many"}, {"Ham", QVariantMap{}}};
    EXPECT_TRUE(db_->addItem(nullptr));
    EXPECT_TRUE(db_->addItem(&noKeyword));
    EXPECT_TRUE(db_->addItem(&notText));
    EXPECT_FALSE(db_->addItem(&empty));
    EXPECT_TRUE(db_->addItem(&word));
    EXPECT_FALSE(db_->addItem(&word));  // known already
    EXPECT_TRUE(db_->addItem(&badCounts));
    EXPECT_EQ(db_->valueForToken("bargain")->spam, 7u);
    EXPECT_EQ(db_->valueForToken("bargain")->ham, 2u);
    EXPECT_EQ(db_->valueForToken("odd")->spam, 0u);
    EXPECT_EQ(db_->recordCount(), 2);

    EXPECT_TRUE(db_->removeItemsFromArray({"bargain", "never-learned", ""}));
    EXPECT_FALSE(db_->valueForToken("bargain"));
    EXPECT_EQ(db_->recordCount(), 1);
}

TEST_F(DataBaseTest, resetEmptiesStoreAndTotals) {
    ASSERT_TRUE(db_->addTokensToSpamDB({{"alpha", 1}}, 0));
    ASSERT_TRUE(db_->updateCountOnDisk());
    EXPECT_TRUE(db_->reset());
    EXPECT_TRUE(db_->isOpen());
    EXPECT_EQ(db_->recordCount(), 0);
    EXPECT_EQ(db_->spamMailCount(), 0u);
    ASSERT_TRUE(db_->addTokensToSpamDB({{"beta", 1}}, 0));  // usable afterwards
    EXPECT_EQ(db_->recordCount(), 1);
}

TEST_F(DataBaseTest, badCountFileEmptiesTheStore) {
    struct Case {
        const char* name;
        QByteArray content;  // empty: no file; "DIR": a folder in its place
        const char* log;
    };
    const QString missing = "-[SWDataBase _reload]: Junkward.db = OK, Junkward.cnt = NOK (missing)";
    const QString incorrect = "-[SWDataBase _reload]: Junkward.db = OK, Junkward.cnt = NOK (incorrect)";
    auto plist = [](const QVariant& v) { return platform::plist::toData(v, platform::plist::Format::XML); };
    const Case cases[] = {
        {"missing", {}, "missing"},
        {"folder", "DIR", "missing"},
        {"garbage", QByteArray("\x00\x01not a property list", 22), "incorrect"},
        {"dictionary", plist(QVariantMap{{"a", 1}}), "incorrect"},
        {"one element", plist(QVariantList{1}), "incorrect"},
        {"strings", plist(QVariantList{"1", "2"}), "incorrect"},
        {"negative", plist(QVariantList{qint64(-1), 2}), "incorrect"},
    };
    const QString countPath = folder_ + "/Junkward.cnt";
    for (const Case& c : cases) {
        ASSERT_TRUE(db_->addTokensToSpamDB({{"alpha", 1}}, 0));
        ASSERT_TRUE(db_->updateCountOnDisk());
        db_.reset();
        QFile::remove(countPath);
        if (c.content == "DIR")
            ASSERT_TRUE(QDir().mkdir(countPath));
        else if (!c.content.isEmpty()) {
            QFile f(countPath);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(c.content);
        }
        platform::log::setCapture(false);
        platform::log::setCapture(true);
        db_ = std::make_unique<SWDataBase>(folder_);
        if (c.content == "DIR") {
            // The folder stays in the way: no count file can be written, but the
            // emptied store still serves.
            QDir(countPath).removeRecursively();
        }
        ASSERT_TRUE(db_->isOpen()) << c.name;
        EXPECT_EQ(db_->recordCount(), 0) << c.name;
        EXPECT_EQ(db_->spamMailCount(), 0u) << c.name;
        EXPECT_TRUE(logged(QString(c.log) == QString("missing") ? missing : incorrect)) << c.name;
    }
    // A valid pair is kept as it is.
    ASSERT_TRUE(db_->addTokensToSpamDB({{"alpha", 1}}, 0));
    ASSERT_TRUE(db_->updateCountOnDisk());
    open();
    EXPECT_EQ(db_->recordCount(), 1);
    EXPECT_EQ(db_->spamMailCount(), 1u);
}

TEST_F(DataBaseTest, damagedStoreFileIsReplaced) {
    const QString storePath = folder_ + "/Junkward.db";
    for (int i = 0; i < 2000; ++i)
        ASSERT_TRUE(db_->addTokensToSpamDB({{QString("token%1").arg(i), 1}}, 0));
    ASSERT_TRUE(db_->updateCountOnDisk());
    db_.reset();
    QFile file(storePath);
    const qint64 fullSize = file.size();
    ASSERT_GT(fullSize, 8192);

    struct Case {
        const char* name;
        std::function<void(QFile&)> damage;
    };
    const Case cases[] = {
        {"truncated", [&](QFile& f) { f.resize(fullSize / 2); }},
        {"empty", [](QFile& f) { f.resize(0); }},
        {"not a store",
         [](QFile& f) {
             f.open(QIODevice::WriteOnly | QIODevice::Truncate);
             f.write(QByteArray(20000, 'J'));
             f.close();
         }},
        {"meta pages overwritten",
         [](QFile& f) {
             f.open(QIODevice::ReadWrite);
             f.write(QByteArray(4096 * 2, '\xff'));
             f.close();
         }},
    };
    for (const Case& c : cases) {
        db_ = std::make_unique<SWDataBase>(folder_);
        for (int i = 0; db_->recordCount() < 2000 && i < 2000; ++i)
            db_->addTokensToSpamDB({{QString("token%1").arg(i), 1}}, 0);
        ASSERT_TRUE(db_->updateCountOnDisk());
        db_.reset();
        QFile f(storePath);
        c.damage(f);
        platform::log::setCapture(false);
        platform::log::setCapture(true);
        db_ = std::make_unique<SWDataBase>(folder_);
        ASSERT_TRUE(db_->isOpen()) << c.name;
        EXPECT_TRUE(logged("-[SWDataBase _reload]: Junkward.db = KO (unreadable)")) << c.name;
        EXPECT_EQ(db_->recordCount(), 0) << c.name;
        EXPECT_EQ(db_->spamMailCount(), 0u) << c.name;
        EXPECT_TRUE(db_->addTokensToSpamDB({{"fresh", 1}}, 0)) << c.name;
        EXPECT_EQ(db_->valueForToken("fresh")->spam, 1u);
        db_.reset();
    }
}

TEST_F(DataBaseTest, closedStoreAnswersNothing) {
    db_->close();
    EXPECT_FALSE(db_->getSpamitudeArrayFromTokens({{"alpha", 1}}, true));
    EXPECT_FALSE(db_->addTokensToSpamDB({{"alpha", 1}}, 0));
    EXPECT_TRUE(db_->removeItemsFromArray({"alpha"}));
    EXPECT_TRUE(db_->removeOldItemsFromDataBase());
    const QVariantMap word{{"Keyword", "bargain"}};
    EXPECT_TRUE(db_->addItem(&word));
    EXPECT_EQ(db_->spamMailCount(), 0u);
}

TEST_F(DataBaseTest, valueSwapIsBigEndian) {
    SWDataBaseValue v{0x0102030405060708ull, 9, 0x0A0B0C0D, 0};
    SWDataBaseValueSwap(&v);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&v);
    EXPECT_EQ(bytes[0], 0x01);
    EXPECT_EQ(bytes[7], 0x08);
    EXPECT_EQ(bytes[15], 9);
    EXPECT_EQ(bytes[16], 0x0A);
    EXPECT_EQ(bytes[19], 0x0D);
    SWDataBaseValueSwap(&v);
    EXPECT_EQ(v.spam, 0x0102030405060708ull);
}

}  // namespace
