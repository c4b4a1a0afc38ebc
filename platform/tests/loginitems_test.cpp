#include "ipc_test_support.h"

#include "platform/LoginItems.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QFile>

using namespace platform::loginitems;

namespace {

constexpr char kEngine[] = "/usr/lib/junkward/Library/Application Support/Quillon/Junkward/Junkward Engine.app";

class LoginItemsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(home.path().isEmpty());
        ::setenv("XDG_CONFIG_HOME", (home.path() + "/config").toLocal8Bit().constData(), 1);
        ::setenv("XDG_CONFIG_DIRS", (home.path() + "/etc-xdg:/etc/xdg").toLocal8Bit().constData(), 1);
    }
    QString userFolder() const { return home.path() + "/config/autostart"; }
    void writeEntry(const QString& file, const QByteArray& text) {
        ASSERT_TRUE(QDir().mkpath(userFolder()));
        QFile f(userFolder() + "/" + file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    ipctest::ShortTempDir home;
};

QStringList pathsOf(LoginItemDomain domain) {
    QStringList paths;
    for (const LoginItem& item : ListLoginItems(domain))
        paths << item.path;
    return paths;
}

}  // namespace

TEST_F(LoginItemsTest, foldersFollowTheXdgVariables) {
    EXPECT_EQ(autostartFolder(LoginItemDomain::CurrentUser), userFolder());
    EXPECT_EQ(autostartFolder(LoginItemDomain::AnyUser), home.path() + "/etc-xdg/autostart");
    EXPECT_TRUE(autostartFolder(LoginItemDomain::System).isEmpty());
    ::setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
    ::setenv("HOME", home.path().toLocal8Bit().constData(), 1);
    EXPECT_EQ(autostartFolder(LoginItemDomain::CurrentUser), home.path() + "/.config/autostart");
    ::unsetenv("XDG_CONFIG_DIRS");
    EXPECT_EQ(autostartFolder(LoginItemDomain::AnyUser), "/etc/xdg/autostart");
}

TEST_F(LoginItemsTest, anItemIsAddedOnceByPathWithItsHideFlag) {
    EXPECT_EQ(CountLoginItems(LoginItemDomain::CurrentUser), 0);
    ASSERT_TRUE(AddLoginItemWithPropertiesToUser(LoginItemDomain::CurrentUser, kEngine, true));
    ASSERT_EQ(CountLoginItems(LoginItemDomain::CurrentUser), 1);
    const LoginItem item = ListLoginItems(LoginItemDomain::CurrentUser).first();
    EXPECT_EQ(item.path, kEngine);
    EXPECT_TRUE(item.hide);
    EXPECT_EQ(item.name, "Junkward Engine");
    EXPECT_TRUE(item.file.startsWith(userFolder() + "/"));

    // The same path, also in another case, is there already: yes, and nothing new.
    EXPECT_TRUE(AddLoginItemWithPropertiesToUser(LoginItemDomain::CurrentUser, kEngine, false));
    EXPECT_TRUE(AddLoginItemWithPropertiesToUser(LoginItemDomain::CurrentUser, QString(kEngine).toUpper(), true));
    EXPECT_EQ(CountLoginItems(LoginItemDomain::CurrentUser), 1);
    EXPECT_TRUE(ListLoginItems(LoginItemDomain::CurrentUser).first().hide) << "the first entry is kept as it was";

    ASSERT_TRUE(AddLoginItemWithPropertiesToUser(LoginItemDomain::CurrentUser, "/opt/other/Tool.app", false));
    EXPECT_EQ(CountLoginItems(LoginItemDomain::CurrentUser), 2);
    EXPECT_EQ(CountLoginItems(LoginItemDomain::AnyUser), 0) << "domains are separate";
}

TEST_F(LoginItemsTest, theEntryStartsTheBundlesProgramAtLogin) {
    const QString bundle = home.path() + "/Junkward Engine.app";
    ASSERT_TRUE(QDir().mkpath(bundle + "/Contents/MacOS"));
    ASSERT_TRUE(platform::plist::writeFile(bundle + "/Contents/Info.plist",
                                           QVariantMap{{"CFBundleExecutable", "junkward-engine"}}));
    QFile exe(bundle + "/Contents/MacOS/junkward-engine");
    ASSERT_TRUE(exe.open(QIODevice::WriteOnly));
    exe.write("#!/bin/sh\n");
    exe.close();
    exe.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    ASSERT_TRUE(AddLoginItemWithPropertiesToUser(LoginItemDomain::CurrentUser, bundle, true));

    QFile entry(ListLoginItems(LoginItemDomain::CurrentUser).first().file);
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(entry.readAll());
    EXPECT_TRUE(text.startsWith("[Desktop Entry]\n"));
    EXPECT_TRUE(text.contains("\nType=Application\n"));
    EXPECT_TRUE(text.contains("\nExec=\"" + bundle + "/Contents/MacOS/junkward-engine\"\n")) << text.toStdString();
    EXPECT_FALSE(text.contains("\nHidden=")) << "Hidden=true would switch the item off";
}

TEST_F(LoginItemsTest, awkwardPathsSurviveTheExecQuoting) {
    // Without the path key, the item's path is read back from the Exec line alone.
    const QStringList paths = {"/opt/with space/run", "/opt/quote\"d/run", "/opt/$HOME/`x`/run", "/opt/100%/run",
                               "/opt/back\\slash/run"};
    for (const QString& path : paths) {
        ASSERT_TRUE(AddLoginItemWithPropertiesToUser(LoginItemDomain::CurrentUser, path, false)) << path.toStdString();
        const QList<LoginItem> items = ListLoginItems(LoginItemDomain::CurrentUser);
        ASSERT_EQ(items.size(), 1);
        QFile f(items[0].file);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        QByteArray text = f.readAll();
        f.close();
        QByteArray stripped;
        for (const QByteArray& line : text.split('\n'))
            if (!line.startsWith("X-Junkward-Path="))
                stripped += line + "\n";
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(stripped);
        f.close();
        EXPECT_EQ(pathsOf(LoginItemDomain::CurrentUser), QStringList{path});
        ASSERT_TRUE(RemoveLoginItemAtIndex(LoginItemDomain::CurrentUser, 0));
    }
}

TEST_F(LoginItemsTest, entriesOfOtherProgramsAreListedAndHiddenOnesAreNot) {
    const struct {
        const char* file;
        QByteArray text;
        const char* path;  // nullptr: not an item
    } cases[] = {
        {"a-plain.desktop", "[Desktop Entry]\nType=Application\nName=Plain\nExec=/usr/bin/plain --flag %U\n",
         "/usr/bin/plain"},
        {"b-quoted.desktop", "[Desktop Entry]\nExec=\"/opt/my app/bin/run\" -x\n", "/opt/my app/bin/run"},
        {"c-other-group-first.desktop",
         "# comment\n[Desktop Action x]\nExec=/wrong\n[Desktop Entry]\nName[de]=X\nExec=/usr/bin/right\n",
         "/usr/bin/right"},
        {"d-hidden.desktop", "[Desktop Entry]\nExec=/usr/bin/off\nHidden=true\n", nullptr},
        {"e-no-group.desktop", "Exec=/usr/bin/nothing\n", nullptr},
        {"f-no-exec.desktop", "[Desktop Entry]\nName=Nothing\n", nullptr},
        {"g-binary.desktop", QByteArray("\x00\xff[Desktop Entry\x00", 16), nullptr},
        {"h-crlf.desktop", "[Desktop Entry]\r\nExec=/usr/bin/crlf\r\n", "/usr/bin/crlf"},
        {"not-an-entry.txt", "[Desktop Entry]\nExec=/usr/bin/txt\n", nullptr},
    };
    QStringList expected;
    for (const auto& c : cases) {
        writeEntry(c.file, c.text);
        if (c.path)
            expected << c.path;
    }
    writeEntry("z-huge.desktop", "[Desktop Entry]\nExec=/usr/bin/huge\n" + QByteArray(100 * 1024, '#'));
    EXPECT_EQ(pathsOf(LoginItemDomain::CurrentUser), expected);
    EXPECT_EQ(CountLoginItems(LoginItemDomain::CurrentUser), expected.size());
}

TEST_F(LoginItemsTest, itemsArePrintedAndRemovedByIndex) {
    ASSERT_TRUE(AddLoginItemWithPropertiesToUser(LoginItemDomain::CurrentUser, "/opt/a/Alpha.app", true));
    ASSERT_TRUE(AddLoginItemWithPropertiesToUser(LoginItemDomain::CurrentUser, "/opt/b/Beta.app", false));
    ASSERT_TRUE(AddLoginItemWithPropertiesToUser(LoginItemDomain::CurrentUser, "/opt/c/Gamma.app", false));
    EXPECT_EQ(PrintLoginItems(LoginItemDomain::CurrentUser),
              "0: /opt/a/Alpha.app (hidden)\n1: /opt/b/Beta.app\n2: /opt/c/Gamma.app\n");

    const struct {
        int index;
        bool removed;
        QStringList left;
    } steps[] = {
        {3, false, {"/opt/a/Alpha.app", "/opt/b/Beta.app", "/opt/c/Gamma.app"}},
        {-1, false, {"/opt/a/Alpha.app", "/opt/b/Beta.app", "/opt/c/Gamma.app"}},
        {1, true, {"/opt/a/Alpha.app", "/opt/c/Gamma.app"}},
        {0, true, {"/opt/c/Gamma.app"}},
        {0, true, {}},
        {0, false, {}},
    };
    for (const auto& s : steps) {
        EXPECT_EQ(RemoveLoginItemAtIndex(LoginItemDomain::CurrentUser, s.index), s.removed) << s.index;
        EXPECT_EQ(pathsOf(LoginItemDomain::CurrentUser), s.left) << s.index;
    }
}

TEST_F(LoginItemsTest, onlyTheUserAndAnyUserDomainsAreAccepted) {
    EXPECT_FALSE(AddLoginItemWithPropertiesToUser(LoginItemDomain::System, kEngine, true));
    EXPECT_FALSE(RemoveLoginItemAtIndex(LoginItemDomain::System, 0));
    EXPECT_EQ(CountLoginItems(LoginItemDomain::System), 0);
    ASSERT_TRUE(AddLoginItemWithPropertiesToUser(LoginItemDomain::AnyUser, kEngine, false));
    EXPECT_EQ(pathsOf(LoginItemDomain::AnyUser), QStringList{kEngine});
    EXPECT_TRUE(QFile::exists(home.path() + "/etc-xdg/autostart"));
}

TEST_F(LoginItemsTest, pathsThatWouldBreakTheEntryAreRefused) {
    for (const QString& path : {QString(), QString("/opt/x\n[Desktop Entry]\nExec=/bin/evil"),
                                QString("/opt/tab\there"), QString("/opt/nul") + QChar(0) + "x"})
        EXPECT_FALSE(AddLoginItemWithPropertiesToUser(LoginItemDomain::CurrentUser, path, false));
    EXPECT_EQ(CountLoginItems(LoginItemDomain::CurrentUser), 0);
}

TEST_F(LoginItemsTest, aFailedWriteAnswersNo) {
    // A plain file where the autostart folder should be.
    ASSERT_TRUE(QDir().mkpath(home.path() + "/config"));
    QFile blocker(userFolder());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    EXPECT_FALSE(AddLoginItemWithPropertiesToUser(LoginItemDomain::CurrentUser, kEngine, true));
}
