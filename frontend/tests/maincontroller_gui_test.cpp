// The main window with the staged filter panels: the order of the list, the
// wait for the daemon, menu validation, status changes in both directions,
// statistics reset and imports from the window.
#include "FrontEndTestSupport.h"

#include "engine/SWNotifications.h"
#include "engine/SWPlugInFilter.h"
#include "frontend/kit/SWUICommon.h"
#include "engine/SWPluginPreferencesManager.h"
#include "frontend/app/JKW5SettingsPackage.h"
#include "frontend/kit/SWPlugInUI.h"
#include "frontend/kit/SWRuleListUI.h"
#include "platform/Folders.h"
#include "platform/LoginItems.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"

#include <QAction>
#include <QMainWindow>

namespace {

using testsupport::waitUntil;

class Window : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(bus.ready()); }
    std::unique_ptr<MainController> start(bool withDaemon = true) {
        if (withDaemon)
            EXPECT_TRUE(box.startDaemon());
        auto controller = std::make_unique<MainController>();
        controller->awakeFromNib();
        controller->applicationDidFinishLaunching();
        return controller;
    }
    static QStringList identifiers(const MainController& c) {
        QStringList out;
        for (const PlugInEntry* e : c.sortedFilters())
            out << (e->separator ? QStringLiteral("-") : e->identifier);
        return out;
    }
    static QVariantMap preferences(const QString& identifier) {
        return platform::plist::readDictionary(SWPluginPreferencesManager::preferencesPathWithIdentifier(identifier))
            .value_or(QVariantMap());
    }

    frontendtest::FrontEndSandbox box;
    testsupport::PrivateBus bus{testsupport::PrivateBus::stagedServices()};
};

TEST_F(Window, waitsForTheDaemonThenShowsTheFirstFilterWithMenusThatFollowTheState) {
    auto c = start(false);
    EXPECT_FALSE(c->isInitialized());
    EXPECT_EQ(identifiers(*c), (QStringList{"General", "-", "WhiteList", "BlackList", "ChiSquare", "Bayesian"}));
    EXPECT_FALSE(c->window()->isVisible());
    EXPECT_FALSE(c->action("actionExportSettings")->isEnabled());

    ASSERT_TRUE(box.startDaemon());
    ASSERT_TRUE(waitUntil([&] { return c->window()->isVisible(); }));
    EXPECT_EQ(c->window()->windowTitle(), "Junkward X5 - Junkward");
    EXPECT_TRUE(c->action("actionExportSettings")->isEnabled());
    EXPECT_FALSE(c->action("actionShowSettings")->isEnabled());
    EXPECT_TRUE(c->action("actionShowStatistics")->isEnabled());
    c->action("actionShowStatistics")->trigger();
    EXPECT_TRUE(c->currentController()->isStatisticsViewVisible());
    EXPECT_TRUE(c->action("actionShowSettings")->isEnabled());
    EXPECT_FALSE(c->action("actionShowStatistics")->isEnabled());

    // The separator cannot be chosen; another filter can.
    EXPECT_FALSE(c->selectRow(1));
    ASSERT_TRUE(c->selectRow(5));
    EXPECT_EQ(c->currentController()->identifier(), "Bayesian");
    EXPECT_EQ(c->window()->windowTitle(), "Junkward X5 - Bayesian");

    // An open dialog disables the menus.
    platform::LocalNotificationCenter::defaultCenter().post("JKW5_USERINTERFACE_DIALOGDISPLAYED_DIDCHANGE",
                                                            QVariant(true));
    EXPECT_FALSE(c->action("actionImportSettings")->isEnabled());
    platform::LocalNotificationCenter::defaultCenter().post("JKW5_USERINTERFACE_DIALOGDISPLAYED_DIDCHANGE",
                                                            QVariant(false));
    EXPECT_TRUE(c->action("actionImportSettings")->isEnabled());

    // Hits: hidden and remembered.
    EXPECT_EQ(c->action("actionShowHideDetectedSpams")->text(), "Hide Filters &Hits");
    c->showHideDetectedSpams();
    EXPECT_EQ(c->action("actionShowHideDetectedSpams")->text(), "Show Filters &Hits");
    auto defaults = platform::plist::readDictionary(box.preferences() + "/com.quillon.Junkward5.plist");
    ASSERT_TRUE(defaults);
    EXPECT_EQ(defaults->value("ui.show.FilterHits"), QVariant(false));

    // The engine is a login item; the window frame is kept at quit.
    const auto items = platform::loginitems::ListLoginItems(platform::loginitems::LoginItemDomain::CurrentUser);
    ASSERT_EQ(items.size(), 1);
    EXPECT_EQ(items.first().path, platform::folders::engineApplication());
    c->window()->setGeometry(40, 50, 800, 560);
    c->applicationWillTerminate();
    defaults = platform::plist::readDictionary(box.preferences() + "/com.quillon.Junkward5.plist");
    EXPECT_TRUE(defaults->value("ui.mainwindow.view.window.frame").toString().endsWith("{800, 560}}"));
}

TEST(FilterOrder, preferredPositionsThenIdentifiersWithoutRegardToCase) {
    auto entry = [](const char* id, std::optional<QString> position) {
        PlugInEntry e;
        e.identifier = QString::fromLatin1(id);
        e.preferedPosition = std::move(position);
        return e;
    };
    struct Case {
        PlugInEntry a, b;
        int sign;
    };
    const std::vector<Case> cases{
        {entry("zeta", QString("First")), entry("alpha", std::nullopt), -1},
        {entry("alpha", std::nullopt), entry("zeta", QString("First engine")), 1},
        {entry("alpha", QString("Last")), entry("zeta", std::nullopt), 1},
        {entry("zeta", std::nullopt), entry("alpha", QString("Last one")), -1},
        {entry("Beta", std::nullopt), entry("alpha", std::nullopt), 1},
        {entry("a", QString("order 2")), entry("b", QString("Order 1")), 1},
        {entry("Beta", QString("Middle")), entry("alpha", std::nullopt), 1},  // neither First nor Last: identifiers
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const int r = cases[i].a.comparePlugin(cases[i].b);
        EXPECT_EQ((r > 0) - (r < 0), cases[i].sign) << "case " << i;
    }
}

TEST_F(Window, aFilterSwitchedInTheListIsSavedAndAnnouncedAndOutsideChangesComeBack) {
    auto c = start();
    QList<platform::Notification> heard;
    auto& center = platform::DistributedNotificationCenter::defaultCenter();
    const int token = center.addObserver(sw::distributedNotificationStatusOfFilterDidChange, std::nullopt,
                                         [&](const platform::Notification& n) { heard << n; });
    FilterListModel* model = c->filterModel();
    const int row = model->rowOf("BlackList");
    ASSERT_GT(row, 1);
    ASSERT_TRUE(model->setData(model->index(row, FilterListModel::StatusColumn), Qt::Unchecked, Qt::CheckStateRole));
    EXPECT_EQ(preferences("BlackList").value("Status"), QVariant(false));
    ASSERT_TRUE(waitUntil([&] { return !heard.isEmpty(); }));
    EXPECT_EQ(heard.first().userInfo, (QVariantMap{{"BlackList", false}}));
    EXPECT_EQ(heard.first().object, swui::communicationIdentifier());
    EXPECT_FALSE(c->plugin("BlackList")->status);

    // Another front end switches it back on: list and file follow.
    const QVariantMap on{{"BlackList", true}};
    ASSERT_TRUE(center.post(sw::distributedNotificationStatusOfFilterDidChange, "com.example.statusmenu", &on));
    ASSERT_TRUE(waitUntil([&] { return c->plugin("BlackList")->status; }));
    EXPECT_EQ(preferences("BlackList").value("Status"), QVariant(true));

    // The engine switched off: the other filters' boxes are disabled.
    const QVariantMap off{{"General", false}};
    ASSERT_TRUE(center.post(sw::distributedNotificationStatusOfFilterDidChange, "com.example.statusmenu", &off));
    ASSERT_TRUE(waitUntil([&] { return !c->engineStatus(); }));
    EXPECT_FALSE(model->flags(model->index(row, FilterListModel::StatusColumn)) & Qt::ItemIsEnabled);
    center.removeObserver(token);
}

TEST_F(Window, aResetRemovesTheFilterStatisticsAndTellsTheEngineAndHitCountsFollowTheFiles) {
    QVariantMap stats;
    SWPlugInFilter::addToStatistics(stats, 0);
    SWPlugInFilter::addToStatistics(stats, 0);
    ASSERT_TRUE(SWPluginPreferencesManager::saveStatistics(stats, "BlackList"));
    ASSERT_TRUE(SWPluginPreferencesManager::saveStatistics(stats, "General"));
    auto c = start();
    EXPECT_EQ(c->plugin("BlackList")->score, 2);
    EXPECT_EQ(c->filterModel()->data(c->filterModel()->index(c->filterModel()->rowOf("BlackList"), 2), Qt::DisplayRole),
              "2");

    QList<platform::Notification> heard;
    auto& center = platform::DistributedNotificationCenter::defaultCenter();
    const int token = center.addObserver(sw::SWSievraPlugInStatisticsDidReset, std::nullopt,
                                         [&](const platform::Notification& n) { heard << n; });
    c->plugin("BlackList")->instance->resetStatisticsConfirmed();
    EXPECT_FALSE(QFileInfo::exists(SWPluginPreferencesManager::statisticsPathWithIdentifier("BlackList")));
    EXPECT_TRUE(QFileInfo::exists(SWPluginPreferencesManager::statisticsPathWithIdentifier("General")));
    EXPECT_EQ(c->plugin("BlackList")->score, 0);
    ASSERT_TRUE(waitUntil([&] { return !heard.isEmpty(); }));
    EXPECT_EQ(heard.first().object, "BlackList");
    EXPECT_EQ(heard.first().userInfo.value(sw::SWMAILSTARTDATE).typeId(), QMetaType::QDateTime);

    frontendtest::AlertRecorder confirm(0);
    c->resetAllStatistics();
    EXPECT_FALSE(QFileInfo::exists(SWPluginPreferencesManager::statisticsPathWithIdentifier("General")));
    ASSERT_TRUE(waitUntil([&] { return heard.size() == 2; }));
    EXPECT_TRUE(heard.last().object.isEmpty());
    center.removeObserver(token);
}

TEST_F(Window, importsFromTheWindowRefuseBadPackagesAndReloadThePanelsOnGoodOnes) {
    auto c = start();
    frontendtest::AlertRecorder alerts;
    EXPECT_FALSE(c->importSettingsAtPath(box.userLibrary() + "/missing.junkward5"));
    ASSERT_EQ(alerts.alerts.size(), 1u);
    EXPECT_EQ(alerts.alerts.front().title, "Import failed");

    // A package from elsewhere with a white rule: the white list's panel shows it.
    const QString elsewhere = box.userLibrary() + "/Elsewhere";
    QDir().mkpath(elsewhere);
    const QVariantList rules{
        QVariantMap{{"Status", true}, {"Key", "From"}, {"Method", 1}, {"Value", "friend@example.org"}}};
    ASSERT_TRUE(platform::plist::writeFile(elsewhere + "/com.quillon.junkward.WhiteList.plist",
                                           QVariantMap{{"Status", true}, {"Settings", QVariantMap{{"Array", rules}}}}));
    ASSERT_TRUE(JKW5SettingsPackage::exportSettings(box.userLibrary() + "/Friends", elsewhere).ok);
    ASSERT_TRUE(c->importSettingsAtPath(box.userLibrary() + "/Friends.junkward5"));
    auto* white = dynamic_cast<SWRuleListUI*>(c->plugin("WhiteList")->instance);
    ASSERT_TRUE(white);
    ASSERT_EQ(white->model()->rowCount(), 1);
    EXPECT_EQ(white->model()->data(white->model()->index(0, SWRuleTableModel::ValueColumn), Qt::DisplayRole),
              "friend@example.org");
    EXPECT_EQ(alerts.alerts.size(), 1u);
}

}  // namespace
