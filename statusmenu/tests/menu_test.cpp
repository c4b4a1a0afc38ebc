// The status menu loaded from its staged bundle as the tray program loads it,
// with a machine-wide Library of its own, the root daemon and (for the last
// test) the engine on a private bus.

#include "statusmenu/JKW5_MenuController.h"

#include "engine/SWNotifications.h"
#include "engine/SievraPort.h"
#include "platform/Bundle.h"
#include "platform/MessagePort.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "tests/support/TestSupport.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QMenu>
#include <QtEndian>

#include <gtest/gtest.h>

using testsupport::Program;

namespace {

QApplication& widgets() {
    static int argc = 1;
    static char name[] = "statusmenu-test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

class StatusMenu : public ::testing::Test {
protected:
    void SetUp() override {
        widgets();
        ASSERT_TRUE(dir_.isValid() && bus_.ready());
        root_ = dir_.path();
        for (const char* sub : {"user", "local", "run", "xdg"})
            QDir().mkpath(root_ + "/" + sub);
        qputenv("JUNKWARD_USER_LIBRARY", (root_ + "/user").toUtf8());
        qputenv("JUNKWARD_LOCAL_LIBRARY", (root_ + "/local").toUtf8());
        qputenv("JUNKWARD_SYSTEM_RUNTIME_DIR", (root_ + "/run").toUtf8());
        qputenv("XDG_RUNTIME_DIR", (root_ + "/xdg").toUtf8());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", bus_.address().toUtf8());
        platform::DistributedNotificationCenter::defaultCenter().addObserver(
            {}, std::nullopt, [this](const platform::Notification& n) { posted_.append(n); });
    }

    // Plugins/<folder>/UI.bundle with the information given and a name table.
    void addFilter(const QString& folder, const QVariantMap& info, const QString& name = {}) {
        const QString ui = plugins() + "/" + folder + "/UI.bundle/Contents";
        QDir().mkpath(ui + "/Resources/English.lproj");
        ASSERT_TRUE(platform::plist::writeFile(ui + "/Info.plist", info));
        QFile strings(ui + "/Resources/English.lproj/Localizable.strings");
        ASSERT_TRUE(strings.open(QIODevice::WriteOnly));
        strings.write(QStringLiteral("\"ToolBarName\" = \"%1\";\n").arg(name.isEmpty() ? folder : name).toUtf8());
    }
    QString plugins() const { return root_ + "/local/Application Support/Quillon/Junkward/Plugins"; }
    QString preferences(const QString& identifier) const {
        return root_ + "/user/Preferences/com.quillon.junkward." + identifier + ".plist";
    }
    void writePreferences(const QString& identifier, const QVariantMap& preferences) {
        QDir().mkpath(root_ + "/user/Preferences");
        ASSERT_TRUE(platform::plist::writeFile(this->preferences(identifier), preferences));
    }

    // The menu with the resources of its staged bundle.
    std::unique_ptr<JKW5_MenuController> loadMenu() {
        auto menu = std::make_unique<JKW5_MenuController>();
        if (!menu->initWithBundle(platform::Bundle::open(stagedBundle())) || !menu->startPlugin())
            return nullptr;
        return menu;
    }
    static QString stagedBundle() {
        return qEnvironmentVariable("JUNKWARD_STAGE") +
               "/Library/Application Support/Quillon/StatusItems/JunkwardMenu.bundle";
    }

    void startDaemon() {
        daemon_ = std::make_unique<Program>("junkward-daemon", QStringList{"--log-to-stderr"});
        ASSERT_TRUE(daemon_->start());
        ASSERT_TRUE(testsupport::waitUntil([] {
            return platform::RemoteMessagePort::connect("Junkward 5 Daemon", platform::PortScope::System) != nullptr;
        }));
    }

    static QStringList titles(const QList<QAction*>& items) {
        QStringList result;
        for (QAction* item : items)
            result << item->text() + (item->isChecked() ? " [x]" : " [ ]");
        return result;
    }

    testsupport::ShortTempDir dir_;
    testsupport::PrivateBus bus_{testsupport::PrivateBus::stagedServices()};
    QString root_;
    std::unique_ptr<Program> daemon_;
    QList<platform::Notification> posted_;
};

TEST_F(StatusMenu, waitsForTheDaemonThenSwitchesTheEngineAndEachFilter) {
    addFilter("General", {{"SWPluginIdentifier", "General"}, {"Prefered Position", "First"}});
    addFilter("WhiteList", {{"SWPluginIdentifier", "WhiteList"}, {"Prefered Position", "Last"}}, "White List");
    addFilter("BlackList", {{"SWPluginIdentifier", "BlackList"}}, "Black List");
    addFilter("Bayesian", {{"SWPluginIdentifier", "Bayesian"}});
    addFilter("Ignored.", {{"SWPluginIdentifier", "Ignored"}});
    QDir().mkpath(plugins() + "/NoInterface");
    // The Bayesian filter has no preference file yet; its engine bundle says it starts off.
    QDir().mkpath(plugins() + "/Bayesian/Engine.bundle/Contents");
    platform::plist::writeFile(plugins() + "/Bayesian/Engine.bundle/Contents/Info.plist",
                               QVariantMap{{"SWPluginIdentifier", "Bayesian"}, {"Default Engine Status", false}});
    writePreferences("BlackList", {{"Settings", QVariantMap{{"Learn", true}}}});  // no "Status": on
    writePreferences("WhiteList", {{"Status", false}});

    auto menu = loadMenu();
    ASSERT_TRUE(menu);
    EXPECT_EQ(menu->version(), "10.5");
    EXPECT_FALSE(menu->statusIcon().isNull());

    // Waiting: only the open command works; the poll slows down after 72 failures.
    menu->validateMenu();
    EXPECT_FALSE(menu->isRunningFine());
    EXPECT_TRUE(menu->openItem()->isEnabled());
    EXPECT_FALSE(menu->engineItem()->isEnabled());
    EXPECT_EQ(menu->pollInterval(), JKW5_MENU_FAST_POLL_MS);
    for (int i = 0; i < JKW5_MENU_FAST_POLL_COUNT - 1; ++i)
        menu->checkForDaemonStatus();
    EXPECT_EQ(menu->pollInterval(), JKW5_MENU_FAST_POLL_MS);
    menu->checkForDaemonStatus();
    EXPECT_EQ(menu->pollInterval(), JKW5_MENU_SLOW_POLL_MS);

    startDaemon();
    menu->checkForDaemonStatus();
    ASSERT_TRUE(menu->isRunningFine());
    EXPECT_EQ(menu->pollInterval(), 0);
    EXPECT_EQ(titles(menu->filterItems()), (QStringList{"Bayesian [ ]", "Black List [x]", "White List [ ]"}));
    EXPECT_EQ(menu->engineItem()->text(), "Turn Junkward Engine Off");

    // A switch writes the file (keeping its other keys) and announces the change.
    QAction* black = menu->filterItems().at(1);
    black->trigger();
    auto saved = platform::plist::readDictionary(preferences("BlackList"));
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->value("Status"), QVariant(false));
    EXPECT_EQ(saved->value("Settings").toMap().value("Learn"), QVariant(true));
    bool sawStatus = false, sawFilter = false;
    QString own;
    testsupport::waitUntil([&] {
        for (const platform::Notification& n : posted_) {
            const bool mine = n.userInfo == QVariantMap{{"BlackList", false}};
            sawStatus |= mine && n.name == sw::SWSievraPlugInsStatusDidChange && n.object.isEmpty();
            if (mine && n.name == sw::distributedNotificationStatusOfFilterDidChange && !n.object.isEmpty()) {
                sawFilter = true;
                own = n.object;
            }
        }
        return sawStatus && sawFilter;
    });
    EXPECT_TRUE(sawStatus && sawFilter);

    // A filter without a file gets one, from its engine bundle's defaults.
    menu->filterItems().at(0)->trigger();
    saved = platform::plist::readDictionary(preferences("Bayesian"));
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->value("Status"), QVariant(true));

    // Its own announcement coming back changes nothing; another process's does.
    const QVariantMap on{{"BlackList", true}};
    auto& center = platform::DistributedNotificationCenter::defaultCenter();
    center.post(sw::distributedNotificationStatusOfFilterDidChange, own, &on);
    testsupport::spinFor(300);
    menu->validateMenu();
    EXPECT_EQ(titles(menu->filterItems()), (QStringList{"Bayesian [x]", "Black List [ ]", "White List [ ]"}));
    center.post(sw::distributedNotificationStatusOfFilterDidChange, "com.quillon.Junkward", &on);
    ASSERT_TRUE(testsupport::waitUntil([&] {
        menu->validateMenu();
        return titles(menu->filterItems()).at(1) == "Black List [x]";
    }));

    // The engine switched off: every filter item is disabled, the engine item and
    // the open command stay enabled.
    menu->engineItem()->trigger();
    menu->validateMenu();
    EXPECT_FALSE(menu->engineStatus());
    EXPECT_EQ(platform::plist::readDictionary(preferences("General"))->value("Status"), QVariant(false));
    EXPECT_EQ(menu->engineItem()->text(), "Turn Junkward Engine On");
    EXPECT_TRUE(menu->engineItem()->isEnabled());
    EXPECT_TRUE(menu->openItem()->isEnabled());
    for (QAction* item : menu->filterItems())
        EXPECT_FALSE(item->isEnabled()) << item->text().toStdString();

    // A preference file that cannot be read is not replaced.
    QFile broken(preferences("WhiteList"));
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly | QIODevice::Truncate));
    broken.write("<plist><dict><key>Status");
    broken.close();
    EXPECT_FALSE(menu->forwardStatus(true, "WhiteList"));
    EXPECT_TRUE(QFile(preferences("WhiteList")).open(QIODevice::ReadOnly));
    EXPECT_EQ(QFile(preferences("WhiteList")).size(), qint64(strlen("<plist><dict><key>Status")));
}

TEST_F(StatusMenu, opensOnlyAFrontEndOfTheCurrentGeneration) {
    const auto bundle = [&](const QString& name, const QString& build) {
        const QString path = root_ + "/" + name + ".app";
        QDir().mkpath(path + "/Contents");
        platform::plist::writeFile(path + "/Contents/Info.plist", QVariantMap{{"ASBuildVersion", build}});
        return path;
    };
    EXPECT_TRUE(JKW5_MenuController::isOlderFrontEnd(bundle("old", "JKW4.0.4")));
    EXPECT_TRUE(JKW5_MenuController::isOlderFrontEnd(bundle("old2", "X5 4")));
    EXPECT_FALSE(JKW5_MenuController::isOlderFrontEnd(bundle("current", "JKW5.0.5")));
    EXPECT_FALSE(JKW5_MenuController::isOlderFrontEnd(bundle("newer", "JKW6.0.1")));
    EXPECT_FALSE(JKW5_MenuController::isOlderFrontEnd(root_ + "/missing.app"));
}

// The engine follows the menu: a message the black list catches is judged
// without the black list once the menu has switched it off.
TEST_F(StatusMenu, theEngineJudgesTheNextMessageWithoutTheFilterSwitchedOff) {
    addFilter("General", {{"SWPluginIdentifier", "General"}, {"Prefered Position", "First"}});
    addFilter("BlackList", {{"SWPluginIdentifier", "BlackList"}}, "Black List");
    writePreferences("General", {{"Status", true}, {"Settings", QVariantMap{{"Show Feedback", false}}}});
    const QVariantMap rule{{"Status", true}, {"Key", "From"}, {"Method", qint64(1)}, {"Value", "spammer.example"}};
    writePreferences("BlackList", {{"Status", true}, {"Settings", QVariantMap{{"Array", QVariantList{rule}}}}});
    startDaemon();
    Program engine("junkward-engine");
    ASSERT_TRUE(engine.start());
    auto port = testsupport::waitForPort(SievraMessagePortName);
    ASSERT_TRUE(port) << engine.errorOutput().toStdString();
    int sent = 0;
    const auto judge = [&] {
        const QByteArray message = QStringLiteral(
                                       "From: Offers <deals@spammer.example>\nTo: me@example.com\n"
                                       "Subject: hello\nMessage-ID: <m%1@spammer.example>\n\nHello there.\n")
                                       .arg(++sent)
                                       .toUtf8();
        QByteArray reply;
        if (port->sendRequest(1024, message, 60.0, 60.0, true, &reply) != platform::kMessagePortSuccess ||
            reply.size() != 4)
            return -1;
        return int(qFromLittleEndian<qint32>(reply.constData()));
    };
    ASSERT_EQ(judge(), 1) << engine.errorOutput().toStdString();

    auto menu = loadMenu();
    ASSERT_TRUE(menu);
    ASSERT_TRUE(menu->isRunningFine());
    ASSERT_EQ(titles(menu->filterItems()), QStringList{"Black List [x]"});
    menu->filterItems().at(0)->trigger();
    EXPECT_TRUE(testsupport::waitUntil([&] { return judge() == 0; })) << engine.errorOutput().toStdString();
    // Switched on again from the menu, the black list decides once more.
    menu->filterItems().at(0)->trigger();
    EXPECT_TRUE(testsupport::waitUntil([&] { return judge() == 1; }));
}

// The tray program loads the bundle through its principal class and shows its
// menu; --grab renders the menu and quits.
TEST_F(StatusMenu, theTrayProgramLoadsTheBundleAndRendersItsMenu) {
    addFilter("General", {{"SWPluginIdentifier", "General"}, {"Prefered Position", "First"}});
    addFilter("BlackList", {{"SWPluginIdentifier", "BlackList"}}, "Black List");
    startDaemon();
    Program tray("junkward-statusitem", {"--grab", root_ + "/shots", stagedBundle()});
    ASSERT_TRUE(tray.start());
    ASSERT_TRUE(testsupport::waitUntil([&] { return !tray.running(); }));
    EXPECT_EQ(tray.waitForExit(), 0) << tray.errorOutput().toStdString();
    const QImage shot(root_ + "/shots/JunkwardMenu.png");
    ASSERT_FALSE(shot.isNull());
    EXPECT_GT(shot.height(), 4 * 16);  // engine, separator, filters title, one filter, open

    Program nothing("junkward-statusitem", {root_ + "/missing.bundle"});
    ASSERT_TRUE(nothing.start());
    EXPECT_EQ(nothing.waitForExit(), 1);
}

}  // namespace
