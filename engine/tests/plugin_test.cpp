// The plug-in contract: initialisation from a bundle, the preference rules, the
// information dictionary, statistics resets and the delayed statistics save.
#include "EngineTestSupport.h"

#include "engine/SWNotifications.h"
#include "engine/SWPlugInFilter.h"
#include "engine/SWPluginPreferencesManager.h"
#include "platform/Bundle.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QFile>

namespace {

using enginetest::Sandbox;

// Remembers the preferences it was given.
class RecordingFilter : public SWPlugInFilter {
public:
    void updatePreferences(const QVariantMap& preferences) override {
        lastPreferences = preferences;
        ++updates;
    }
    QVariantMap lastPreferences;
    int updates = 0;
};

// Writes Plugins/<folder>/Engine.bundle with the information given; no code.
std::shared_ptr<platform::Bundle> makeBundle(const Sandbox& box, const QString& folder, const QVariantMap& info) {
    const QString path = box.pluginsFolder() + QLatin1Char('/') + folder + QStringLiteral("/Engine.bundle");
    QDir().mkpath(path + QStringLiteral("/Contents"));
    if (!platform::plist::writeFile(path + QStringLiteral("/Contents/Info.plist"), info))
        return nullptr;
    return platform::Bundle::open(path);
}

QVariantMap baseInfo(const QString& identifier) {
    return {{"CFBundleIdentifier", "com.example." + identifier},
            {sw::SWPluginIdentifierKey, identifier},
            {sw::SWPluginCategoryKey, 20},
            {sw::SWPluginVersionKey, "1.2"},
            {sw::SWPluginServiceIDKey, 7}};
}

TEST(PlugInContract, preferencesComeFromTheFileThenTheBundleDefaultsThenSwitchedOn) {
    Sandbox box;
    struct Case {
        const char* name;
        QVariantMap infoExtra;
        QByteArray preferenceFile;  // empty: none
        bool expectedStatus;
        QVariantMap expectedSettings;
    } cases[] = {
        {"no defaults in the bundle: off", {}, {}, false, {}},
        {"bundle defaults",
         {{sw::SWDefaultEngineStatusKey, true}, {sw::SWDefaultEngineSettingsKey, QVariantMap{{"A", 1}}}},
         {},
         true,
         {{"A", 1}}},
        {"the user's file wins",
         {{sw::SWDefaultEngineStatusKey, false}},
         platform::plist::toData(QVariantMap{{"Status", true}, {"Settings", QVariantMap{{"B", 2}}}},
                                 platform::plist::Format::XML),
         true,
         {{"B", 2}}},
        {"a corrupt file counts as missing",
         {{sw::SWDefaultEngineStatusKey, true}},
         "<?xml version=\"1.0\"?><plist><dict><key>",
         true,
         {}},
        {"a file that is no dictionary counts as missing",
         {},
         platform::plist::toData(QVariantList{1, 2}, platform::plist::Format::XML),
         false,
         {}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString identifier = QStringLiteral("Filter%1").arg(n++);
        QVariantMap info = baseInfo(identifier);
        for (auto it = c.infoExtra.cbegin(); it != c.infoExtra.cend(); ++it)
            info.insert(it.key(), it.value());
        auto bundle = makeBundle(box, identifier, info);
        ASSERT_TRUE(bundle);
        if (!c.preferenceFile.isEmpty()) {
            QDir().mkpath(box.preferences());
            QFile file(box.preferencesFile(identifier));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(c.preferenceFile);
        }
        RecordingFilter filter;
        ASSERT_EQ(filter.initializeWithBundle(bundle, QStringLiteral("ignored")), &filter);
        EXPECT_EQ(filter.identifier(), identifier);
        EXPECT_EQ(filter.status(), c.expectedStatus);
        EXPECT_EQ(filter.updates, 1);
        EXPECT_EQ(filter.lastPreferences.value("Settings").toMap(), c.expectedSettings);
    }
}

TEST(PlugInContract, withoutABundleTheDefaultIsSwitchedOn) {
    Sandbox box;
    const QVariantMap preferences = SWPluginPreferencesManager::loadPreferencesWithBundle(nullptr, "Nobody");
    EXPECT_EQ(preferences, (QVariantMap{{"Status", true}}));
    // A filter created without bundle stays off and anonymous.
    RecordingFilter filter;
    EXPECT_EQ(filter.initializeWithBundle(nullptr, "X"), &filter);
    EXPECT_FALSE(filter.status());
    EXPECT_TRUE(filter.identifier().isEmpty());
    EXPECT_TRUE(filter.dictionary().isEmpty());
    EXPECT_EQ(filter.updates, 0);
}

TEST(PlugInContract, informationDictionaryEndsAtTheFirstMissingValue) {
    Sandbox box;
    struct Case {
        const char* name;
        QStringList removed;
        QStringList expectedKeys;
    } cases[] = {
        {"complete", {}, {"SWPluginIdentifier", "Path", "Category", "Version", "ServiceID", "UpdateSupport"}},
        {"no version", {sw::SWPluginVersionKey}, {"SWPluginIdentifier", "Path", "Category"}},
        {"no category still has a category",
         {sw::SWPluginCategoryKey},
         {"SWPluginIdentifier", "Path", "Category", "Version", "ServiceID", "UpdateSupport"}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString identifier = QStringLiteral("Info%1").arg(n++);
        QVariantMap info = baseInfo(identifier);
        for (const QString& key : c.removed)
            info.remove(key);
        auto bundle = makeBundle(box, identifier, info);
        ASSERT_TRUE(bundle);
        SWPlugInFilter filter;
        filter.initializeWithBundle(bundle, {});
        const QVariantMap dictionary = filter.dictionary();
        QStringList keys = dictionary.keys();
        QStringList expected = c.expectedKeys;
        keys.sort();
        expected.sort();
        EXPECT_EQ(keys, expected);
        EXPECT_EQ(dictionary.value("Path").toString(), bundle->path());
        if (dictionary.contains("ServiceID")) {
            EXPECT_EQ(dictionary.value("ServiceID").toUInt(), 7u);
            EXPECT_FALSE(dictionary.value("UpdateSupport").toBool());
        }
    }
}

TEST(PlugInContract, hostileInformationValuesReadAsNothing) {
    Sandbox box;
    QVariantMap info{{sw::SWPluginIdentifierKey, QVariantList{1}},
                     {sw::SWPluginCategoryKey, "not a number"},
                     {sw::SWPluginVersionKey, 12},
                     {sw::SWPluginServiceIDKey, QVariantMap()}};
    auto bundle = makeBundle(box, "Hostile", info);
    ASSERT_TRUE(bundle);
    SWPlugInFilter filter;
    filter.initializeWithBundle(bundle, {});
    EXPECT_TRUE(filter.identifier().isEmpty());
    EXPECT_EQ(filter.category(), 0u);
    EXPECT_TRUE(filter.version().isEmpty());
    EXPECT_EQ(filter.serviceID(), 0u);
}

TEST(PlugInContract, identifiersThatLeaveThePreferencesFolderGetNoFile) {
    Sandbox box;
    for (const QString& identifier : {QString(), QStringLiteral(".."), QStringLiteral("."), QStringLiteral("../x"),
                                      QStringLiteral("a/b"), QStringLiteral("a") + QChar(0) + QStringLiteral("b")}) {
        SCOPED_TRACE(identifier.toStdString());
        EXPECT_TRUE(SWPluginPreferencesManager::preferencesPathWithIdentifier(identifier).isEmpty());
        EXPECT_TRUE(SWPluginPreferencesManager::statisticsPathWithIdentifier(identifier).isEmpty());
        EXPECT_FALSE(SWPluginPreferencesManager::saveStatistics(QVariantMap{{"a", 1}}, identifier));
        EXPECT_FALSE(SWPluginPreferencesManager::savePreferences(QVariantMap{{"a", 1}}, identifier));
        EXPECT_FALSE(SWPluginPreferencesManager::loadStatisticsWithIdentifier(identifier).has_value());
    }
    // Nothing was made beside or above the files' own place.
    EXPECT_FALSE(QFileInfo::exists(box.preferences() + "/com.quillon.junkward.statistics.."));
    EXPECT_FALSE(QFileInfo::exists(box.preferences() + "/com.quillon.junkward.a"));
    EXPECT_EQ(SWPluginPreferencesManager::preferencesPathWithIdentifier("General"), box.preferencesFile("General"));
    EXPECT_EQ(SWPluginPreferencesManager::statisticsPathWithIdentifier("General"), box.statisticsFile("General"));
}

TEST(PlugInContract, savedFilesReadBackAndCorruptStatisticsReadAsMissing) {
    Sandbox box;
    const QVariantMap statistics{{sw::SWMAILPROCESSED, quint64(3)},
                                 {"2008", QVariantMap{{"5", QVariantMap{{sw::SWMAILSPAMDETECTED, quint64(2)}}}}}};
    ASSERT_TRUE(SWPluginPreferencesManager::saveStatistics(statistics, "Saved"));
    auto loaded = SWPluginPreferencesManager::loadStatisticsWithIdentifier("Saved");
    ASSERT_TRUE(loaded);
    EXPECT_EQ(platform::plist::unsignedValue(*loaded, sw::SWMAILPROCESSED), 3u);
    EXPECT_EQ(platform::plist::unsignedValue(loaded->value("2008").toMap().value("5").toMap(), sw::SWMAILSPAMDETECTED),
              2u);

    const QVariantMap preferences{{"Status", false}, {"Settings", QVariantMap{{"K", "v"}}}};
    ASSERT_TRUE(SWPluginPreferencesManager::savePreferences(preferences, "Saved"));
    EXPECT_EQ(SWPluginPreferencesManager::loadPreferencesWithBundle(nullptr, "Saved"), preferences);

    for (const QByteArray& garbage :
         {QByteArray("bplist00\xff\xff\xff", 10), QByteArray("<plist><dict><key>a</key>"), QByteArray(4096, '\0')}) {
        QFile file(box.statisticsFile("Corrupt"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(garbage);
        file.close();
        EXPECT_FALSE(SWPluginPreferencesManager::loadStatisticsWithIdentifier("Corrupt").has_value());
    }
}

class PlugInStatistics : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus.ready());
        bundle = makeBundle(box, "Counted", baseInfo("Counted"));
        ASSERT_TRUE(bundle);
        filter.initializeWithBundle(bundle, {});
        token = platform::DistributedNotificationCenter::defaultCenter().addObserver(
            sw::SWPlugInStatisticsDidUpdate, QStringLiteral("Counted"),
            [this](const platform::Notification&) { ++updates; });
    }
    void TearDown() override { platform::DistributedNotificationCenter::defaultCenter().removeObserver(token); }

    Sandbox box;
    testsupport::PrivateBus bus{testsupport::PrivateBus::stagedServices()};
    std::shared_ptr<platform::Bundle> bundle;
    SWPlugInFilter filter;
    int token = -1;
    int updates = 0;
};

TEST_F(PlugInStatistics, aBurstOfRecordsIsWrittenOnceAfterTheLastOne) {
    filter.addToStatisticsSpam(SWFilterStatusSpam);
    testsupport::spinFor(600);
    filter.addToStatisticsSpam(SWFilterStatusLegitimate);
    testsupport::spinFor(600);
    filter.addToStatisticsSpam(SWFilterStatusSpam);
    // Nothing is written while records keep coming.
    EXPECT_FALSE(QFileInfo::exists(box.statisticsFile("Counted")));
    ASSERT_TRUE(testsupport::waitUntil([&] { return updates > 0; }));
    testsupport::spinFor(2500);  // room for a second, wrong, save
    EXPECT_EQ(updates, 1);
    auto saved = platform::plist::readDictionary(box.statisticsFile("Counted"));
    ASSERT_TRUE(saved);
    EXPECT_EQ(platform::plist::unsignedValue(*saved, sw::SWMAILPROCESSED), 3u);
    EXPECT_EQ(platform::plist::unsignedValue(*saved, sw::SWMAILSPAMDETECTED), 2u);
    EXPECT_EQ(platform::plist::unsignedValue(*saved, sw::SWMAILHAMDETECTED), 1u);
}

TEST_F(PlugInStatistics, aFailedWriteKeepsTheCountsForTheNextSave) {
    // A folder where the file must go makes the rename fail, even for root.
    ASSERT_TRUE(QDir().mkpath(box.statisticsFile("Counted") + "/blocker"));
    filter.addToStatisticsSpam(SWFilterStatusSpam);
    filter.flushPendingStatistics();
    EXPECT_EQ(updates, 0);
    testsupport::spinFor(200);
    EXPECT_EQ(updates, 0);
    ASSERT_TRUE(QDir(box.statisticsFile("Counted")).removeRecursively());

    filter.addToStatisticsSpam(SWFilterStatusLegitimate);
    filter.flushPendingStatistics();
    auto saved = platform::plist::readDictionary(box.statisticsFile("Counted"));
    ASSERT_TRUE(saved);
    EXPECT_EQ(platform::plist::unsignedValue(*saved, sw::SWMAILPROCESSED), 2u);
    ASSERT_TRUE(testsupport::waitUntil([&] { return updates == 1; }));
}

TEST_F(PlugInStatistics, aCorruptFileIsReplacedByACompleteNewSave) {
    ASSERT_TRUE(QDir().mkpath(box.preferences()));
    QFile file(box.statisticsFile("Counted"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>SWMAILPROC");
    file.close();
    SWPlugInFilter fresh;
    fresh.initializeWithBundle(bundle, {});
    EXPECT_FALSE(fresh.statistics().has_value());
    fresh.addToStatisticsSpam(SWFilterStatusSpam);
    fresh.flushPendingStatistics();
    auto saved = platform::plist::readDictionary(box.statisticsFile("Counted"));
    ASSERT_TRUE(saved);
    EXPECT_EQ(platform::plist::unsignedValue(*saved, sw::SWMAILSPAMDETECTED), 1u);
    EXPECT_TRUE(saved->contains(sw::SWMAILSTARTDATE));
}

TEST_F(PlugInStatistics, aResetNotificationStartsAfreshAndAMalformedOneIsIgnored) {
    filter.addToStatisticsSpam(SWFilterStatusSpam);
    filter.flushPendingStatistics();
    auto& center = platform::DistributedNotificationCenter::defaultCenter();

    const QVariantMap malformed{{sw::SWMAILSTARTDATE, QStringLiteral("2008-01-01")}};
    ASSERT_TRUE(center.post(sw::SWSievraPlugInStatisticsDidReset, "Counted", &malformed));
    const QVariantMap otherFilter{{sw::SWMAILSTARTDATE, QDateTime::currentDateTimeUtc()}};
    ASSERT_TRUE(center.post(sw::SWSievraPlugInStatisticsDidReset, "SomeoneElse", &otherFilter));
    testsupport::spinFor(500);
    EXPECT_EQ(platform::plist::unsignedValue(*filter.statistics(), sw::SWMAILSPAMDETECTED), 1u);

    const QDateTime resetDate(QDate(2020, 2, 3), QTime(4, 5, 6), Qt::UTC);
    const QVariantMap reset{{sw::SWMAILSTARTDATE, resetDate}};
    ASSERT_TRUE(center.post(sw::SWSievraPlugInStatisticsDidReset, "Counted", &reset));
    ASSERT_TRUE(testsupport::waitUntil([&] { return filter.statistics()->size() == 1; }));
    EXPECT_EQ(filter.statistics()->value(sw::SWMAILSTARTDATE).toDateTime(), resetDate);
    filter.addToStatisticsSpam(SWFilterStatusLegitimate);
    EXPECT_EQ(filter.statistics()->value(sw::SWMAILSTARTDATE).toDateTime(), resetDate);
    EXPECT_EQ(platform::plist::unsignedValue(*filter.statistics(), sw::SWMAILPROCESSED), 1u);
}

TEST_F(PlugInStatistics, preferencesNotificationsReachOnlyTheirFilter) {
    RecordingFilter recording;
    recording.initializeWithBundle(bundle, {});
    ASSERT_EQ(recording.updates, 1);
    auto& center = platform::DistributedNotificationCenter::defaultCenter();
    const QVariantMap preferences{{"Status", true}, {"Settings", QVariantMap{{"Z", 26}}}};
    ASSERT_TRUE(center.post(sw::SWPlugInPreferencesDidChange, "Other", &preferences));
    ASSERT_TRUE(center.post(sw::SWPlugInPreferencesDidChange, "Counted", nullptr));  // nothing to apply
    ASSERT_TRUE(center.post(sw::SWPlugInPreferencesDidChange, "Counted", &preferences));
    ASSERT_TRUE(testsupport::waitUntil([&] { return recording.updates == 2; }));
    testsupport::spinFor(300);
    EXPECT_EQ(recording.updates, 2);
    EXPECT_EQ(recording.lastPreferences, preferences);
}

}  // namespace
