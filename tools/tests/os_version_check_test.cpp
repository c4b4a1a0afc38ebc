// The version comparison, and os-version-check run as a program against target
// roots in a temporary folder, with and without a notification server.

#include "tools/OSVersionCheck.h"

#include "platform/PropertyList.h"
#include "tests/support/TestSupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QObject>

#include <gtest/gtest.h>

using testsupport::Program;

namespace {

TEST(VersionComparison, comparesComponentsAsIntegersAndCountsExtraComponentsAsNewer) {
    const struct {
        const char* a;
        const char* b;
        int expected;
    } cases[] = {
        {"10.5.0", "10.5", 1},   {"10.5", "10.5.0", -1}, {"10.10", "10.9", 1}, {"10.4.11", "10.5", -1},
        {"10.5.2", "10.5.2", 0}, {"13", "12", 1},        {"12", "12", 0},      {"24.04", "24.10", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(QCFStringCompareVersion(c.a, c.b), c.expected) << c.a << " vs " << c.b;
}

// A notification server in this test process: keeps every Notify call.
class NotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList summaries;
    QList<int> timeouts;
public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString&, const QStringList&,
                const QVariantMap&, int timeout) {
        summaries << summary;
        timeouts << timeout;
        return uint(summaries.size());
    }
};

class VersionCheck : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::application();
        ASSERT_TRUE(dir_.isValid());
        resources_ = dir_.path() + "/resources";
        QDir().mkpath(resources_);
        platform::plist::writeFile(resources_ + "/SoftVersion.plist",
                                   QVariantMap{{"OS Version", "10.5"}, {"Name", "Junkward"}});
    }

    // A target root whose system reports version.
    QString target(const QString& name, const QString& version) {
        const QString root = dir_.path() + "/" + name;
        QDir().mkpath(root + "/System/Library/CoreServices");
        platform::plist::writeFile(root + "/System/Library/CoreServices/SystemVersion.plist",
                                   QVariantMap{{"ProductVersion", version}});
        return root;
    }

    // Runs the program; its exit code and standard error.
    std::pair<int, QString> run(const QStringList& arguments) {
        Program check(QStringLiteral("os-version-check"), arguments);
        if (!check.start())
            return {-1, {}};
        testsupport::waitUntil([&] { return !check.running(); });
        return {check.waitForExit(), check.errorOutput()};
    }

    testsupport::ShortTempDir dir_;
    QString resources_;
};

TEST_F(VersionCheck, warnsOnStandardErrorOnlyForANewerSystemAndAlwaysSucceeds) {
    const auto [newerCode, newer] = run({resources_, target("newer", "10.5.0")});
    EXPECT_EQ(newerCode, 0);
    EXPECT_TRUE(newer.contains("Junkward: This software has not been certified")) << newer.toStdString();

    const auto [sameCode, same] = run({resources_, target("same", "10.5")});
    EXPECT_EQ(sameCode, 0);
    EXPECT_EQ(same, QString());

    // An os-release file stands for the system version file on Linux.
    const QString debian = dir_.path() + "/debian";
    QDir().mkpath(debian + "/etc");
    QFile release(debian + "/etc/os-release");
    ASSERT_TRUE(release.open(QIODevice::WriteOnly));
    release.write("NAME=\"Debian\"\nVERSION_ID=\"10.6\"\n");
    release.close();
    EXPECT_TRUE(run({resources_, debian}).second.contains("Junkward:"));

    // Missing arguments, files or keys: silent, still 0.
    EXPECT_EQ(run({}), std::make_pair(0, QString()));
    EXPECT_EQ(run({resources_, dir_.path() + "/nowhere"}), std::make_pair(0, QString()));
    EXPECT_EQ(run({dir_.path() + "/nowhere", target("t", "11.0")}), std::make_pair(0, QString()));
    platform::plist::writeFile(resources_ + "/SoftVersion.plist", QVariantMap{{"OS Version", "10.5"}});
    EXPECT_EQ(run({resources_, target("t", "11.0")}), std::make_pair(0, QString()));
}

TEST_F(VersionCheck, showsADesktopNotificationWhenTheSessionHasAServer) {
    testsupport::PrivateBus bus(QString(), testsupport::PrivateBus::Address::Keep);
    ASSERT_TRUE(bus.ready());
    QDBusConnection connection = QDBusConnection::connectToBus(bus.address(), "versioncheck");
    NotificationServer server;
    ASSERT_TRUE(connection.registerObject("/org/freedesktop/Notifications", &server, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(connection.registerService("org.freedesktop.Notifications"));

    const QByteArray before = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus.address().toUtf8());
    const auto [code, errors] = run({resources_, target("newer", "10.6")});
    qputenv("DBUS_SESSION_BUS_ADDRESS", before);

    EXPECT_EQ(code, 0);
    EXPECT_EQ(errors, QString());
    EXPECT_EQ(server.summaries, QStringList{"Junkward"});
    EXPECT_EQ(server.timeouts, QList<int>{90000});
}

}  // namespace

#include "os_version_check_test.moc"
