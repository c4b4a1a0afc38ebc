// The engine controller in this process: plug-in discovery and order, the
// switch and settings notifications, the "General" preferences and statistics,
// and the port's replies.
#include "EngineTestSupport.h"

#include "engine/JKW_LogManager.h"
#include "engine/SWNotifications.h"
#include "engine/SWPlugInFilter.h"
#include "engine/SievraController.h"
#include "platform/Log.h"
#include "platform/MessagePort.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QFile>
#include <cstring>

class SievraControllerTestAccess {
public:
    struct Settings {
        bool showFeedback, showSpamDetection, asian, japanese, nonJapanese, html64, trust, incorrectID, adv;
        bool operator==(const Settings&) const = default;
    };
    static Settings settings(const SievraController& c) {
        return {c.showFeedback_,         c.showSpamDetectionStatus_, c.asianOrCyrillicEncodingIsSpam_,
                c.japaneseEncodingSpam_, c.nonJapaneseEncodingSpam_, c.htmlBase64_,
                c.trustSpamHeaders_,     c.incorrectMessageID_,      c.ADVSubjectIsSpam_};
    }
    static void setJapaneseAndAsian(SievraController& c, bool on) {
        c.japaneseEncodingSpam_ = on;
        c.asianOrCyrillicEncodingIsSpam_ = on;
    }
    static bool automaticLearning(const SievraController& c) { return c.automaticLearning_; }
    static const std::optional<QVariantMap>& statistics(const SievraController& c) { return c.statistics_; }
};

namespace {

using Access = SievraControllerTestAccess;
using enginetest::Sandbox;

qint32 replyValue(const QByteArray& reply) {
    qint32 value = -1;
    if (reply.size() == 4)
        std::memcpy(&value, reply.constData(), 4);
    return value;
}

class Controller : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus.ready());
        box.useLocalLibrary();
        platform::log::setCapture(true);
    }
    void TearDown() override { platform::log::setCapture(false); }

    const SievraPlugInEntry* entry(const SievraController& c, const QString& identifier) {
        for (const SievraPlugInEntry& e : c.plugIns())
            if (e.identifier && *e.identifier == identifier)
                return &e;
        return nullptr;
    }
    QStringList chain(const SievraController& c) {
        QStringList ids;
        for (const SievraPlugInEntry& e : c.plugIns())
            ids << e.identifier.value_or(QStringLiteral("?"));
        return ids;
    }

    Sandbox box;
    testsupport::PrivateBus bus{testsupport::PrivateBus::stagedServices()};
};

TEST_F(Controller, discoveredPlugInsAreSortedByCategoryAndBrokenOnesSkipped) {
    ASSERT_TRUE(box.installTestPlugIn("Alpha", {{"SWPluginIdentifier", "Alpha"}, {"Category", 80}}));
    ASSERT_TRUE(box.installTestPlugIn("Beta", {{"SWPluginIdentifier", "Beta"}, {"Category", 10}}));
    ASSERT_TRUE(box.installTestPlugIn("Gamma", {{"SWPluginIdentifier", "Gamma"}, {"Category", 10}}));
    ASSERT_TRUE(box.installTestPlugIn("NoCode", {{"SWPluginIdentifier", "NoCode"}, {"CFBundleExecutable", "Missing"}}));
    ASSERT_TRUE(box.installTestPlugIn("NoClass", {{"SWPluginIdentifier", "NoClass"}, {"NSPrincipalClass", "Nobody"}}));
    // Code that is not a shared object at all.
    ASSERT_TRUE(box.installTestPlugIn("Garbage", {{"SWPluginIdentifier", "Garbage"}}));
    {
        QFile code(box.pluginsFolder() + "/Garbage/Engine.bundle/Contents/MacOS/TestFilter");
        ASSERT_TRUE(code.open(QIODevice::WriteOnly | QIODevice::Truncate));
        code.write(
            "\x7f"
            "ELF but not really");
    }
    ASSERT_TRUE(box.installTestPlugIn("Hidden.", {{"SWPluginIdentifier", "Hidden"}}));
    QDir().mkpath(box.pluginsFolder() + "/Empty");
    QFile(box.pluginsFolder() + "/plain").open(QIODevice::WriteOnly);

    SievraController controller;
    ASSERT_TRUE(controller.awakeFromNib());
    const QStringList ids = chain(controller);
    // The built-in lists have the engine's category; equal categories keep
    // their discovery order.
    EXPECT_EQ(ids, (QStringList{"BlackList", "WhiteList", "Beta", "Gamma", "Alpha"})) << ids.join(',').toStdString();
    EXPECT_EQ(entry(controller, "Alpha")->information.value("Category").toUInt(), 80u);
    EXPECT_TRUE(entry(controller, "Alpha")->status.value_or(false));  // "Default Engine Status" YES
    EXPECT_EQ(SievraController::currentSievraController(), &controller);
    const QString log = platform::log::captured().join('\n');
    EXPECT_TRUE(log.contains("NoClass")) << log.toStdString();
    EXPECT_TRUE(controller.hasMessagePort());
}

TEST_F(Controller, statusNotificationsSwitchTheEngineOrTheFirstNamedFilter) {
    ASSERT_TRUE(box.installTestPlugIn("Alpha", {{"SWPluginIdentifier", "Alpha"}, {"Category", 80}}));
    ASSERT_TRUE(box.installTestPlugIn("Beta", {{"SWPluginIdentifier", "Beta"}, {"Category", 10}}));
    SievraController controller;
    ASSERT_TRUE(controller.awakeFromNib());
    auto& center = platform::DistributedNotificationCenter::defaultCenter();
    auto isOn = [&](const char* id) {
        const SievraPlugInEntry* e = entry(controller, id);
        EXPECT_EQ(e->status.value(), e->instance->status());
        return e->instance->status();
    };

    struct Step {
        const char* name;
        QVariantMap userInfo;
        bool engine, alpha, beta;
    } steps[] = {
        {"two filters named: only the first in chain order", {{"Alpha", false}, {"Beta", false}}, true, true, false},
        {"a value that is no switch is ignored", {{"Alpha", "no"}}, true, true, false},
        {"the second one alone", {{"Alpha", false}}, true, false, false},
        {"General switches the engine and nothing else", {{"General", false}, {"Beta", true}}, false, false, false},
        {"back on", {{"General", 1}}, true, false, false},
        {"an unknown filter changes nothing", {{"Nobody", true}}, true, false, false},
        {"filters back on", {{"Beta", true}}, true, false, true},
    };
    // A marker after each step: once it is seen, the step was handled.
    auto handled = [&] {
        const QVariantMap marker{{"Marker", true}};
        bool seen = false;
        const int token =
            center.addObserver("Marker", std::nullopt, [&](const platform::Notification&) { seen = true; });
        center.post("Marker", {}, &marker);
        const bool arrived = testsupport::waitUntil([&] { return seen; });
        center.removeObserver(token);
        return arrived;
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        ASSERT_TRUE(center.post(sw::distributedNotificationStatusOfFilterDidChange, "Test", &step.userInfo));
        ASSERT_TRUE(handled());
        EXPECT_EQ(controller.status(), step.engine);
        EXPECT_EQ(isOn("Alpha"), step.alpha);
        EXPECT_EQ(isOn("Beta"), step.beta);
    }
    // A notification without user info is ignored.
    ASSERT_TRUE(center.post(sw::distributedNotificationStatusOfFilterDidChange, "Test", nullptr));
    ASSERT_TRUE(handled());
    EXPECT_TRUE(controller.status());
}

TEST_F(Controller, generalSettingsFollowTheirDefaultsAndKeepTwoChecksAsTheyWere) {
    SievraController controller;
    using S = Access::Settings;
    struct Case {
        const char* name;
        bool before;  // the Japanese and Asian checks before the update
        QVariantMap preferences;
        S expected;
    } cases[] = {
        {"no Settings dictionary",
         true,
         {{"Status", true}},
         S{true, true, false, false, false, false, true, true, true}},
        {"empty Settings keep the two encodings checks",
         true,
         {{"Settings", QVariantMap()}},
         S{true, true, true, true, false, false, true, true, true}},
        {"empty Settings, checks off before",
         false,
         {{"Settings", QVariantMap()}},
         S{true, true, false, false, false, false, true, true, true}},
        {"every key set against its default",
         false,
         {{"Settings", QVariantMap{{"Show Feedback", false},
                                   {"Show Spam Detection", false},
                                   {"Filter Asiatic or Cyrillic Encodings", true},
                                   {"Filter Japanese Encodings", true},
                                   {"Incorrect Message-ID", false},
                                   {"ADV Subject", false},
                                   {"Filter non Japanese Encodings", true},
                                   {"Filter HTML Base 64", true},
                                   {"Trust Spam Headers", false}}}},
         S{false, false, true, true, true, true, false, false, false}},
        {"Settings that are no dictionary count as none",
         true,
         {{"Settings", "junk"}},
         S{true, true, false, false, false, false, true, true, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Access::setJapaneseAndAsian(controller, c.before);
        controller.updatePreferences(c.preferences);
        EXPECT_TRUE(Access::settings(controller) == c.expected);
    }
}

TEST_F(Controller, generalPreferencesAreReadAtStartAndFollowTheirNotification) {
    ASSERT_TRUE(QDir().mkpath(box.preferences()));
    ASSERT_TRUE(platform::plist::writeFile(
        box.preferencesFile("General"),
        QVariantMap{{"Status", false}, {"Settings", QVariantMap{{"Filter HTML Base 64", true}}}}));
    SievraController controller;
    ASSERT_TRUE(controller.awakeFromNib());
    EXPECT_FALSE(controller.status());
    EXPECT_TRUE(Access::settings(controller).html64);

    auto& center = platform::DistributedNotificationCenter::defaultCenter();
    const QVariantMap other{{"Settings", QVariantMap{{"Filter HTML Base 64", false}, {"ADV Subject", false}}}};
    ASSERT_TRUE(center.post(sw::SWPlugInPreferencesDidChange, "BlackList", &other));  // not the engine's
    const QVariantMap general{{"Settings", QVariantMap{{"ADV Subject", false}}}};
    ASSERT_TRUE(center.post(sw::SWPlugInPreferencesDidChange, "General", &general));
    ASSERT_TRUE(testsupport::waitUntil([&] { return !Access::settings(controller).adv; }));
    EXPECT_FALSE(Access::settings(controller).html64);  // absent: off
}

TEST_F(Controller, aCorruptGeneralFileGivesTheDefaults) {
    QDir().mkpath(box.preferences());
    QFile file(box.preferencesFile("General"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("<plist><dict><key>Status</key><false/>");
    file.close();
    SievraController controller;
    ASSERT_TRUE(controller.awakeFromNib());
    EXPECT_TRUE(controller.status());
    EXPECT_TRUE(Access::settings(controller) ==
                (Access::Settings{true, true, false, false, false, false, true, true, true}));
}

TEST_F(Controller, everyRequestIsAnsweredWithFourBytes) {
    SievraController controller;
    ASSERT_TRUE(controller.awakeFromNib());
    struct Case {
        qint32 id;
        QByteArray data;
        bool noDataLogged;
    } cases[] = {
        {1024, "From: a@example.com\r\nSubject: hello\r\n\r\nbody\r\n", false},
        {1025, "anything", false},
        {-1, QByteArray(100000, 'x'), false},
        {1024, QByteArray(), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        const int before = platform::log::captured().count("Received a message with no data");
        const QByteArray reply = controller.SievraMessagePortCallBack(c.id, c.data, 0);
        ASSERT_EQ(reply.size(), 4);
        EXPECT_EQ(replyValue(reply), 0);
        EXPECT_EQ(platform::log::captured().count("Received a message with no data") - before, c.noDataLogged ? 1 : 0);
    }
}

TEST_F(Controller, generalStatisticsAreSavedOnceAfterABurstAndResetWithTheOthers) {
    ASSERT_TRUE(box.installTestPlugIn("Alpha", {{"SWPluginIdentifier", "Alpha"}}));
    SievraController controller;
    ASSERT_TRUE(controller.awakeFromNib());
    auto& center = platform::DistributedNotificationCenter::defaultCenter();
    int updates = 0;
    const int token =
        center.addObserver(sw::SWPlugInStatisticsDidUpdate, QStringLiteral("General"), [&](auto&) { ++updates; });
    controller.addToStatisticsGeneral(0);
    controller.addToStatisticsGeneral(1);
    controller.addToStatisticsGeneral(2);
    EXPECT_FALSE(QFileInfo::exists(box.statisticsFile("General")));
    ASSERT_TRUE(testsupport::waitUntil([&] { return updates == 1; }));
    testsupport::spinFor(2500);
    EXPECT_EQ(updates, 1);
    auto saved = platform::plist::readDictionary(box.statisticsFile("General"));
    ASSERT_TRUE(saved);
    EXPECT_EQ(platform::plist::unsignedValue(*saved, sw::SWMAILPROCESSED), 3u);

    // A global reset (no object) reaches every filter and the engine itself.
    const SievraPlugInEntry* alpha = entry(controller, "Alpha");
    alpha->instance->addToStatisticsSpam(0);
    const QDateTime date(QDate(2021, 1, 2), QTime(3, 4), Qt::UTC);
    const QVariantMap reset{{sw::SWMAILSTARTDATE, date}};
    ASSERT_TRUE(center.post(sw::SWSievraPlugInStatisticsDidReset, {}, &reset));
    ASSERT_TRUE(testsupport::waitUntil([&] { return Access::statistics(controller)->size() == 1; }));
    EXPECT_EQ(Access::statistics(controller)->value(sw::SWMAILSTARTDATE).toDateTime(), date);
    EXPECT_EQ(alpha->instance->statistics()->size(), 1);
    center.removeObserver(token);
}

TEST_F(Controller, theLocalLearningSwitchAndTheLogReset) {
    SievraController controller;
    ASSERT_TRUE(controller.awakeFromNib());
    platform::LocalNotificationCenter::defaultCenter().post(sw::SWAutomaticallyLearnNotification, QVariant(true));
    EXPECT_TRUE(Access::automaticLearning(controller));
    platform::LocalNotificationCenter::defaultCenter().post(sw::SWAutomaticallyLearnNotification, QVariant("yes"));
    EXPECT_TRUE(Access::automaticLearning(controller));  // not a boolean: ignored
    platform::LocalNotificationCenter::defaultCenter().post(sw::SWAutomaticallyLearnNotification, QVariant(false));
    EXPECT_FALSE(Access::automaticLearning(controller));

    JKW_LogManager::sharedLogManager().queueRecord({{JKW_LOG_MESSAGE_ID_KEY, "m"}, {JKW_LOG_FILTER_KEY, "NONE"}});
    JKW_LogManager::sharedLogManager().delayedWriteToDisk();
    JKW_LogManager::sharedLogManager().queueRecord({{JKW_LOG_MESSAGE_ID_KEY, "n"}, {JKW_LOG_FILTER_KEY, "NONE"}});
    ASSERT_TRUE(
        platform::DistributedNotificationCenter::defaultCenter().post(sw::JKW5_DISTRIBUTEDNOTIFICATION_LOG_RESET));
    ASSERT_TRUE(testsupport::waitUntil([] { return JKW_LogManager::sharedLogManager().queuedRecordCount() == 0; }));
    auto file = platform::plist::readDictionary(box.logFile());
    ASSERT_TRUE(file);
    EXPECT_TRUE(file->value(JKW_LOG_LOG).toList().isEmpty());
    EXPECT_TRUE(file->value(JKW_LOG_HISTORY).toList().isEmpty());
}

}  // namespace
