// The Bayesian filter plug-in with its staged bundle, a temporary user Library,
// the real token store and the session bus (run under dbus-run-session).

#include "SWBayesFilter.h"
#include "SWDataBase.h"

#include "engine/SWNotifications.h"
#include "mailparse/SAData.h"
#include "mailparse/SAMimePart.h"
#include "mailparse/SARef.h"
#include "platform/Bundle.h"
#include "platform/Log.h"
#include "platform/MessagePort.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "tests/support/ParsedMessage.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdlib>
#include <atomic>
#include <functional>
#include <thread>

namespace {

QByteArray message(int id, const QByteArray& subject, const QByteArray& body) {
    return "Message-ID: <" + QByteArray::number(id) + "@test.example>\nSubject: " + subject +
           "\nContent-Type: text/plain\n\n" + body + "\n";
}

const QByteArray kSpamBody = "cheap pills casino jackpot winner discount pharmacy";
const QByteArray kHamBody = "meeting agenda minutes project schedule colleagues review";

using testsupport::spinFor;
using testsupport::waitUntil;

class BayesFilterTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        testsupport::application();
        bus_ = new testsupport::PrivateBus();
        ASSERT_TRUE(bus_->ready()) << "dbus-daemon did not start";
    }
    static void TearDownTestSuite() {
        delete bus_;
        bus_ = nullptr;
    }
    static inline testsupport::PrivateBus* bus_ = nullptr;

    void SetUp() override {
        ASSERT_TRUE(library_.isValid());
        ASSERT_TRUE(runtime_.isValid());
        qputenv("JUNKWARD_USER_LIBRARY", QFile::encodeName(library_.path()));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime_.path()));
        platform::log::setCapture(true);
        const QString bundlePath = qEnvironmentVariable("JUNKWARD_LOCAL_LIBRARY") +
                                   "/Application Support/Quillon/Junkward/Plugins/Bayesian/Engine.bundle";
        bundle_ = platform::Bundle::open(bundlePath);
        ASSERT_TRUE(bundle_) << bundlePath.toStdString();
        auto& center = platform::DistributedNotificationCenter::defaultCenter();
        observer_ = center.addObserver({}, std::nullopt, [this](const platform::Notification& n) {
            if (n.object == "Bayesian")
                received_ << n.name;
        });
    }
    void TearDown() override {
        filter_.reset();
        platform::DistributedNotificationCenter::defaultCenter().removeObserver(observer_);
    }

    void start(const QVariantMap& settings = {}) {
        if (!settings.isEmpty()) {
            const QVariantMap prefs{{"Status", true}, {"Settings", settings}};
            ASSERT_TRUE(QDir().mkpath(library_.path() + "/Preferences"));
            ASSERT_TRUE(platform::plist::writeFile(library_.path() + "/Preferences/com.quillon.junkward.Bayesian.plist",
                                                   prefs));
        }
        filter_ = std::make_unique<SWBayesFilter>();
        ASSERT_EQ(filter_->initializeWithBundle(bundle_, "Bayesian"), filter_.get());
        ASSERT_EQ(filter_->identifier(), "Bayesian");
    }
    bool learn(int id, bool spam, const QByteArray& body) {
        auto parsed = testsupport::ParsedMessage(message(id, "note", body));
        const QString messageID = QString("<%1@test.example>").arg(id);
        return spam ? filter_->learnMessageAsSpam(parsed.part(), messageID)
                    : filter_->learnMessageAsLegitimate(parsed.part(), messageID);
    }
    qint32 judge(const QByteArray& body) {
        auto parsed = testsupport::ParsedMessage(message(9999, "question", body));
        return filter_->filter(parsed.part());
    }
    SWDataBase* db() { return SWDataBase::sharedDataBase(); }
    QString caches() const { return library_.path() + "/Caches"; }

    QTemporaryDir library_;
    QTemporaryDir runtime_{"/tmp/jkwXXXXXX"};
    std::shared_ptr<platform::Bundle> bundle_;
    std::unique_ptr<SWBayesFilter> filter_;
    QStringList received_;
    int observer_ = -1;
};

TEST_F(BayesFilterTest, learnedMessagesDecideLaterVerdicts) {
    start();
    EXPECT_TRUE(filter_->status());  // "Default Engine Status" of the bundle
    EXPECT_TRUE(filter_->hasConfigurationUI());
    // Six of each: a token needs a weight above 5 to count.
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(learn(i, true, kSpamBody + " offer" + QByteArray::number(i)));
        ASSERT_TRUE(learn(100 + i, false, kHamBody + " topic" + QByteArray::number(i)));
    }
    EXPECT_EQ(judge("casino jackpot winner pills"), SWFilterStatusSpam);
    EXPECT_EQ(judge("project meeting schedule review"), SWFilterStatusUndecided);  // never "legitimate"
    EXPECT_EQ(filter_->filter(nullptr), SWFilterStatusUndecided);

    EXPECT_EQ(db()->spamMailCount(), 6u);
    EXPECT_EQ(db()->hamMailCount(), 6u);
    auto counts = platform::plist::readFile(caches() + "/Junkward.cnt");
    ASSERT_TRUE(counts);
    EXPECT_EQ(counts->toList().value(1).toULongLong(), 6u);
    EXPECT_TRUE(waitUntil([&] { return received_.count(sw::SWPlugInPreferencesDidLearn) >= 14; }));

    // The history reaches its file a second after the last training.
    const QString history = caches() + "/Junkward Training Center History";
    EXPECT_EQ(filter_->bulletinPath(), history);
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(history); }));
    auto saved = platform::plist::readDictionary(history);
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->value("Version").toString(), "5");
    EXPECT_EQ(saved->value("History").toList().size(), 12);
    EXPECT_EQ(saved->value("Marks").toMap().value("<0@test.example>").toInt(), -1);
    EXPECT_EQ(saved->value("Marks").toMap().value("<100@test.example>").toInt(), 1);

    // A new filter over the same files knows the same history.
    filter_.reset();
    start();
    EXPECT_EQ(filter_->history().size(), 12);
    EXPECT_EQ(filter_->markForMessageID("<3@test.example>"), -1);
    EXPECT_EQ(judge("casino jackpot winner pills"), SWFilterStatusSpam);
}

TEST_F(BayesFilterTest, anUntrainedFilterHasNoOpinion) {
    start();
    // Three malus points (no Message-ID, empty subject, HTML alone) would score
    // 0.999 three times: spam for a filter that has learned something.
    const QByteArray bare = "Subject: \nContent-Type: text/html\n\n<p>hi</p>\n";
    auto parsed = testsupport::ParsedMessage(bare);
    EXPECT_EQ(filter_->filter(parsed.part()), SWFilterStatusUndecided);
    ASSERT_TRUE(learn(1, false, "an ordinary note about lunch"));
    auto again = testsupport::ParsedMessage(bare);
    EXPECT_EQ(filter_->filter(again.part()), SWFilterStatusSpam);
}

TEST_F(BayesFilterTest, spamStartsAtNinetyPercent) {
    start();
    ASSERT_TRUE(db());  // creates the store
    filter_.reset();    // and closes it, so its totals can be set
    ASSERT_TRUE(platform::plist::writeFile(caches() + "/Junkward.cnt", QVariantList{20, 10}));
    start();
    ASSERT_EQ(db()->hamMailCount(), 20u);
    struct Case {
        const char* word;
        quint64 spam, ham;
        qint32 verdict;
    };
    const Case cases[] = {
        {"ninety", 9, 1, SWFilterStatusSpam},           // a = 0.9, b = 0.1: exactly 0.9
        {"almost", 17, 2, SWFilterStatusUndecided},     // a = 1, b = 0.2: 0.833
        {"eightynine", 8, 1, SWFilterStatusUndecided},  // a = 0.8, b = 0.1: 0.889
    };
    for (const Case& c : cases) {
        const QVariantMap item{{"Keyword", c.word}, {"Spam", c.spam}, {"Ham", c.ham}};
        ASSERT_TRUE(db()->addItem(&item));
        // No Subject: the word's probability is the only one scored.
        auto parsed = testsupport::ParsedMessage("Message-ID: <77@test.example>\nContent-Type: text/plain\n\n" +
                                                 QByteArray(c.word) + "\n");
        EXPECT_EQ(filter_->filter(parsed.part()), c.verdict) << c.word;
    }
}

TEST_F(BayesFilterTest, relearningTakesBackTheOppositeTraining) {
    start();
    ASSERT_TRUE(learn(1, false, "alpha beta gamma"));
    ASSERT_TRUE(learn(1, false, "alpha beta gamma"));
    EXPECT_EQ(filter_->markForMessageID("<1@test.example>"), 2);
    EXPECT_EQ(db()->valueForToken("alpha")->ham, 2u);

    ASSERT_TRUE(learn(1, true, "alpha beta gamma"));  // ham offset 2
    EXPECT_EQ(filter_->markForMessageID("<1@test.example>"), -1);
    EXPECT_EQ(db()->valueForToken("alpha")->ham, 0u);
    EXPECT_EQ(db()->valueForToken("alpha")->spam, 1u);

    ASSERT_TRUE(learn(1, true, "alpha beta gamma"));
    EXPECT_EQ(filter_->markForMessageID("<1@test.example>"), -2);
    EXPECT_EQ(db()->valueForToken("alpha")->spam, 2u);
    EXPECT_EQ(db()->spamMailCount(), 2u);
    EXPECT_EQ(db()->hamMailCount(), 2u);  // totals are not taken back
    EXPECT_EQ(filter_->history().size(), 1);

    // Without a message ID nothing is learned.
    auto parsed = testsupport::ParsedMessage(message(5, "x", "delta"));
    EXPECT_FALSE(filter_->learnMessageAsSpam(parsed.part(), QString()));
    EXPECT_FALSE(db()->valueForToken("delta"));
}

TEST_F(BayesFilterTest, automaticTrainingLeavesUserTrainingAlone) {
    start();
    ASSERT_TRUE(learn(1, true, "alpha beta gamma"));
    struct Case {
        int id;
        qint32 verdict;
        std::optional<int> mark;
        bool learned;
    };
    const Case cases[] = {
        {1, SWFilterStatusLegitimate, -1, false},                               // the user's training stays
        {2, SWFilterStatusUndecided, 1, true},                                  // undecided counts as legitimate
        {3, SWFilterStatusSpam, -1, true},        {4, 7, std::nullopt, false},  // no verdict: listed, not trained
        {2, SWFilterStatusSpam, 1, false},                                      // trained automatically once only
    };
    int index = 0;
    for (const Case& c : cases) {
        const QString unique = QString("case%1").arg(++index);
        const QByteArray body = "token" + QByteArray::number(c.id) + "x " + unique.toUtf8();
        auto parsed = testsupport::ParsedMessage(message(c.id, "auto", body));
        const QString id = QString("<%1@test.example>").arg(c.id);
        EXPECT_TRUE(filter_->automaticallyTrainWithMessage(parsed.part(), id, c.verdict));
        EXPECT_EQ(filter_->markForMessageID(id), c.mark) << c.id;
        EXPECT_TRUE(filter_->history().contains(id)) << c.id;
        EXPECT_EQ(db()->valueForToken(unique).has_value(), c.learned) << c.id;
    }
    EXPECT_TRUE(filter_->automaticallyTrainWithMessage(nullptr, QString(), SWFilterStatusSpam));
    EXPECT_EQ(filter_->history().size(), 4);
}

TEST_F(BayesFilterTest, automaticTrainingReportsAFailedStore) {
    start();
    auto parsed = testsupport::ParsedMessage(message(1, "auto", "alpha beta"));
    const QString id = "<1@test.example>";
    db()->close();
    EXPECT_FALSE(filter_->automaticallyTrainWithMessage(parsed.part(), id, SWFilterStatusSpam));
    EXPECT_FALSE(filter_->markForMessageID(id)) << "nothing was stored, nothing to take back";

    // The user's training later counts from zero instead of taking back a spam
    // training that never happened.
    ASSERT_TRUE(db()->reset());
    ASSERT_TRUE(learn(1, false, "alpha beta"));
    EXPECT_EQ(filter_->markForMessageID(id), 1);
    EXPECT_EQ(db()->valueForToken("alpha")->ham, 1u);
    EXPECT_EQ(db()->valueForToken("alpha")->spam, 0u);
}

TEST_F(BayesFilterTest, aFailedLearnKeepsTheEarlierMark) {
    start();
    ASSERT_TRUE(learn(1, true, "alpha beta"));
    const QString id = "<1@test.example>";
    ASSERT_EQ(filter_->markForMessageID(id), -1);
    db()->close();
    EXPECT_FALSE(learn(1, false, "alpha beta"));
    EXPECT_EQ(filter_->markForMessageID(id), -1) << "the spam training is still what the store holds";
    EXPECT_FALSE(learn(2, true, "gamma"));
    EXPECT_FALSE(filter_->markForMessageID("<2@test.example>")) << "nothing was stored";
}

TEST_F(BayesFilterTest, historyKeepsTheNewest8193Messages) {
    start();
    // Entries without a verdict fill the history without training anything.
    for (int i = 0; i < SWBayesHistoryLimit; ++i)
        filter_->automaticallyTrainWithMessage(nullptr, QString("id%1").arg(i), 99);
    ASSERT_TRUE(learn(1, false, "alpha"));  // one more: id0 goes
    auto parsed = testsupport::ParsedMessage(message(2, "x", "beta"));
    ASSERT_EQ(filter_->history().size(), SWBayesHistoryLimit);
    EXPECT_EQ(filter_->history().first(), "id1");
    ASSERT_TRUE(filter_->learnMessageAsSpam(parsed.part(), "id1"));  // known: stays
    ASSERT_TRUE(learn(3, true, "gamma"));
    EXPECT_EQ(filter_->history().size(), SWBayesHistoryLimit);
    EXPECT_EQ(filter_->history().first(), "id2");
    EXPECT_FALSE(filter_->markForMessageID("id1"));  // its mark went with it
    EXPECT_EQ(filter_->history().last(), "<3@test.example>");
}

TEST_F(BayesFilterTest, damagedHistoryFileStartsAFreshHistory) {
    ASSERT_TRUE(QDir().mkpath(caches()));
    const QString path = caches() + "/Junkward Training Center History";
    auto plist = [](const QVariant& v) { return platform::plist::toData(v, platform::plist::Format::XML); };
    struct Case {
        const char* name;
        QByteArray content;
        int historySize;
        std::optional<int> mark;
    };
    const Case cases[] = {
        {"garbage", QByteArray("\x01\x02 not a plist", 15), 0, std::nullopt},
        {"array", plist(QVariantList{1, 2}), 0, std::nullopt},
        {"history not an array", plist(QVariantMap{{"History", "x"}, {"Marks", QVariantMap{}}}), 0, std::nullopt},
        {"no marks", plist(QVariantMap{{"History", QVariantList{"a"}}}), 0, std::nullopt},
        {"stray entries",
         plist(QVariantMap{{"Version", "5"},
                           {"History", QVariantList{"a", 7, "b", "a", QVariantMap{}}},
                           {"Marks", QVariantMap{{"a", -3}, {"b", "x"}, {"zz", 4}}}}),
         2, -3},
    };
    for (const Case& c : cases) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(c.content);
        f.close();
        start();
        EXPECT_EQ(filter_->history().size(), c.historySize) << c.name;
        EXPECT_EQ(filter_->markForMessageID("a"), c.mark) << c.name;
        EXPECT_FALSE(filter_->markForMessageID("zz")) << c.name;
        EXPECT_TRUE(learn(1, true, "alpha")) << c.name;  // training works whatever the file held
        filter_.reset();
    }
}

TEST_F(BayesFilterTest, aBatchHistoryCountsOnlyWhenTheStoreHoldsItsCommit) {
    start();
    filter_->beginLearningBatch();
    EXPECT_TRUE(learn(1, true, kSpamBody));
    EXPECT_TRUE(learn(2, false, kHamBody));
    ASSERT_TRUE(filter_->endLearningBatch());
    const QString path = filter_->bulletinPath();
    const auto pendingFiles = [&] {
        return QDir(caches()).entryList({"Junkward Training Center History.batch*"}, QDir::Files | QDir::Hidden);
    };
    EXPECT_EQ(platform::plist::readDictionary(path).value_or(QVariantMap()).value("History").toList().size(), 2);
    EXPECT_TRUE(pendingFiles().isEmpty());
    const quint64 stored = db()->lastTransaction();
    filter_.reset();

    // A process that died around a commit left the history of each batch it was
    // storing: the newest one the store holds wins, the others go.
    const auto history = [](const char* id) {
        return QVariantMap{{"Version", "5"}, {"History", QVariantList{id}}, {"Marks", QVariantMap{}}};
    };
    QVariantMap older = history("older");
    older.insert("Transaction", stored - 1);  // the earlier form, the commit under a key
    ASSERT_TRUE(platform::plist::writeFile(path + ".batch", older));
    ASSERT_TRUE(platform::plist::writeFile(path + ".batch-" + QString::number(stored), history("held")));
    ASSERT_TRUE(platform::plist::writeFile(path + ".batch-" + QString::number(stored + 1), history("lost")));
    start();
    EXPECT_EQ(filter_->history(), QStringList{"held"});
    EXPECT_TRUE(pendingFiles().isEmpty()) << pendingFiles().join(", ").toStdString();
    filter_.reset();

    QVariantMap earlierForm = history("earlier");
    earlierForm.insert("Transaction", stored);
    ASSERT_TRUE(platform::plist::writeFile(path + ".batch", earlierForm));
    start();
    EXPECT_EQ(filter_->history(), QStringList{"earlier"});
    EXPECT_FALSE(platform::plist::readDictionary(path).value_or(QVariantMap()).contains("Transaction"));
    EXPECT_TRUE(pendingFiles().isEmpty());
}

TEST_F(BayesFilterTest, periodicCleaningRunsWeekly) {
    start({{"Clean Periodically", true}, {"Automatically Learn", true}});
    EXPECT_TRUE(filter_->periodicCleaning());
    EXPECT_TRUE(filter_->automaticLearning());
    QDateTime now = QDateTime::currentDateTimeUtc();
    filter_->setClock([&] { return now; });
    const QString cookie = library_.path() + "/Preferences/com.quillon.junkward.lastClean";
    EXPECT_EQ(filter_->cookiePath(), cookie);

    // An old token that ageing removes, and a fresh one it keeps.
    db()->setClock([] { return int64_t(1000); });
    ASSERT_TRUE(learn(1, true, "ancient"));
    db()->setClock({});
    ASSERT_TRUE(learn(2, true, "recent"));

    struct Case {
        const char* name;
        std::optional<qint64> lastCleanAgoDays;  // nullopt: no file
        bool cleans;
    };
    const Case cases[] = {
        {"six days ago", 6, false},
        {"seven days ago", 7, true},
        {"in the future", -3, true},
        {"no file", std::nullopt, true},
    };
    for (const Case& c : cases) {
        QFile::remove(cookie);
        if (c.lastCleanAgoDays) {
            ASSERT_TRUE(
                platform::plist::writeFile(cookie, QVariantMap{{"Last Clean", now.addDays(-*c.lastCleanAgoDays)}}));
        }
        received_.clear();
        filter_->periodicClean();
        if (c.cleans) {
            ASSERT_TRUE(waitUntil([&] { return received_.contains(SWBayesDataBaseDidClean); })) << c.name;
            EXPECT_EQ(received_.indexOf(SWBayesDataBaseWillClean), 0) << c.name;
            auto written = platform::plist::readDictionary(cookie);
            ASSERT_TRUE(written) << c.name;
            EXPECT_EQ(written->value("Last Clean").toDateTime().toSecsSinceEpoch(), now.toSecsSinceEpoch());
        } else {
            spinFor(300);
            EXPECT_FALSE(received_.contains(SWBayesDataBaseWillClean)) << c.name;
        }
        EXPECT_FALSE(filter_->cleaningInProgress());
    }
    EXPECT_FALSE(db()->valueForToken("ancient"));
    EXPECT_TRUE(db()->valueForToken("recent"));

    // Switched off, the timer goes and nothing cleans.
    filter_->updatePreferences({{"Settings", QVariantMap{{"Clean Periodically", false}}}});
    QFile::remove(cookie);
    received_.clear();
    filter_->periodicClean();
    spinFor(200);
    EXPECT_FALSE(received_.contains(SWBayesDataBaseWillClean));
    EXPECT_FALSE(filter_->automaticLearning());
}

TEST_F(BayesFilterTest, maintenanceRequestsArriveOverTheBus) {
    start();
    ASSERT_TRUE(learn(1, true, "alpha beta"));
    auto& center = platform::DistributedNotificationCenter::defaultCenter();
    auto request = [&](const char* name, const QString& object, const QVariantMap* info) {
        received_.clear();
        ASSERT_TRUE(center.post(name, object, info));
    };
    auto done = [&] { return waitUntil([&] { return received_.contains(SWBayesDataBaseOperationDone); }); };

    const QVariantMap word{{"Keyword", "bargain"}, {"Spam", 12}, {"Ham", 1}};
    request(SWBayesDataBaseShouldAddWord, "Bayesian", &word);
    ASSERT_TRUE(done());
    ASSERT_TRUE(db()->valueForToken("bargain"));
    EXPECT_EQ(db()->valueForToken("bargain")->spam, 12u);

    request(SWBayesDataBaseShouldAddWord, "Bayesian", nullptr);  // no user info
    ASSERT_TRUE(done());

    const QVariantMap ignored{{"Keyword", "ignored"}};
    request(SWBayesDataBaseShouldAddWord, "SomeOtherFilter", &ignored);
    spinFor(300);
    EXPECT_FALSE(received_.contains(SWBayesDataBaseOperationDone));
    EXPECT_FALSE(db()->valueForToken("ignored"));

    const QVariantMap selection{{"Selection", QVariantList{"alpha", 42, QVariantMap{}}}};
    request(SWBayesDataBaseShouldRemoveWords, "Bayesian", &selection);
    ASSERT_TRUE(done());
    EXPECT_FALSE(db()->valueForToken("alpha"));
    EXPECT_TRUE(db()->valueForToken("beta"));

    const QVariantMap badSelection{{"Selection", "alpha"}};
    request(SWBayesDataBaseShouldRemoveWords, "Bayesian", &badSelection);
    ASSERT_TRUE(done());

    request(SWBayesDataBaseShouldOptimize, "Bayesian", nullptr);
    ASSERT_TRUE(waitUntil([&] { return received_.contains(SWBayesDataBaseDidClean); }));
    EXPECT_FALSE(received_.contains(SWBayesDataBaseOperationDone));

    request(SWBayesDataBaseShouldReset, "Bayesian", nullptr);
    ASSERT_TRUE(done());
    EXPECT_EQ(db()->recordCount(), 0);
    EXPECT_EQ(db()->spamMailCount(), 0u);
    EXPECT_TRUE(learn(2, true, "after reset"));
}

TEST_F(BayesFilterTest, portAnswersWithNoDataAndReasonsAreLogged) {
    start();
    // The port is served by this thread's event loop: ask from another thread.
    std::atomic<int> status{1};
    QByteArray reply("unchanged");
    std::thread client([&] {
        auto port = platform::RemoteMessagePort::connect("Junkward Bayesian");
        status = port ? port->sendRequest(1, "anything", 60, 60, true, &reply) : -100;
    });
    waitUntil([&] { return status != 1; });
    client.join();
    EXPECT_EQ(status, platform::kMessagePortSuccess);
    EXPECT_TRUE(reply.isEmpty());

    ASSERT_TRUE(learn(1, false, "something learned"));
    filter_->setLogReason(true);
    platform::log::setCapture(false);
    platform::log::setCapture(true);
    judge("some words");
    bool found = false;
    for (const QString& line : platform::log::captured())
        found = found || line.startsWith("Bayesian: Spamitude: ");
    EXPECT_TRUE(found);
}

TEST_F(BayesFilterTest, closingDuringCleaningWaitsForTheCleaner) {
    start();
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(learn(i, i % 2, "word" + QByteArray::number(i) + " other" + QByteArray::number(i)));
    filter_->dataBaseShouldOptimize({});
    filter_.reset();  // joins the ageing thread before the store is closed
    start();
    EXPECT_TRUE(db()->valueForToken("word3"));
}

}  // namespace
