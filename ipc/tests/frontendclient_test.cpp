#include "ipc/JKW5FrontEndCommunicationCenter.h"

#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "platform/tests/ipc_test_support.h"

#include <QDBusConnection>

#include <mutex>
#include <vector>

using platform::PortScope;

namespace {

struct Request {
    qint32 msgid;
    QVariantMap body;
};

// A stand-in for the daemon's port, on a thread of its own, that records each
// request and answers with the reply set for it.
class FakeDaemon {
public:
    FakeDaemon()
        : port_(
              JKW5_FRONTENDCOMMUNICATIONCENTER_DAEMON_MESSAGEPORT_NAME,
              [this](qint32 msgid, const QByteArray& data, uid_t) {
                  std::lock_guard<std::mutex> lock(mutex_);
                  const auto parsed = platform::plist::fromData(data);
                  requests_.push_back({msgid, parsed ? parsed->toMap() : QVariantMap()});
                  return reply_;
              },
              PortScope::System) {}
    bool valid() const { return port_.port() != nullptr; }
    void setReply(const QByteArray& reply) {
        std::lock_guard<std::mutex> lock(mutex_);
        reply_ = reply;
    }
    std::vector<Request> requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    std::mutex mutex_;
    QByteArray reply_;
    std::vector<Request> requests_;
    ipctest::PortThread port_;
};

class FrontEndClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ipctest::app();
        ASSERT_FALSE(runtime.path().isEmpty());
        ::setenv("JUNKWARD_SYSTEM_RUNTIME_DIR", runtime.path().toLocal8Bit().constData(), 1);
        platform::log::setCapture(true);
    }
    static bool logged(const QString& line) { return platform::log::captured().contains(line); }
    ipctest::ShortTempDir runtime;
};

}  // namespace

TEST_F(FrontEndClientTest, waitsForTheDaemonThenSendsItsRequests) {
    JKW5FrontEndCommunicationCenter client;
    EXPECT_TRUE(logged("[JKW5FrontEndCommunicationCenter init] Missing Bundle Identifier"));
    EXPECT_FALSE(client.existsRemoteMessagePort());
    EXPECT_TRUE(client.isWaiting());
    qint32 error = 99;
    EXPECT_FALSE(client.sendMessage(2000, QString("x"), &error).isValid());
    EXPECT_EQ(error, 1);
    EXPECT_TRUE(
        logged("[JKW5FrontEndCommunicationCenter sendMessage:2000 withData:waitForAnswer:error:] "
               "Remote Message Port not referenced yet."));

    // The poll finds the port within its 2-second period.
    FakeDaemon daemon;
    ASSERT_TRUE(daemon.valid());
    ASSERT_TRUE(ipctest::waitUntil([&] { return client.existsRemoteMessagePort(); }));
    EXPECT_FALSE(client.isWaiting());

    EXPECT_TRUE(
        client.JKW5_FECC_UserManual_MoveFromPath("/tmp/dl/Manual.pdf", "/L/Documentation/Junkward/M/Manual.pdf"));
    error = 99;
    EXPECT_FALSE(client.sendMessage(33, QVariant(), &error).isValid());
    EXPECT_EQ(error, 0);
    client.setIdentifier("com.quillon.junkward.x5");
    daemon.setReply(platform::plist::toData(QVariantMap{{"Done", true}}, platform::plist::Format::Binary));
    const QVariant answer = client.sendMessage(7, qint64(5), true, &error);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(answer.toMap().value("Done"), QVariant(true));

    const auto got = daemon.requests();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].msgid, 2000);
    EXPECT_EQ(got[0].body,
              (QVariantMap{{"Identifier", "Default Bundle Identifier"},
                           {"Object", QVariantMap{{"Source", "/tmp/dl/Manual.pdf"},
                                                  {"Destination", "/L/Documentation/Junkward/M/Manual.pdf"}}}}));
    EXPECT_EQ(got[1].msgid, 33);
    EXPECT_EQ(got[1].body, (QVariantMap{{"Identifier", "Default Bundle Identifier"}}));  // nil object: no "Object"
    EXPECT_EQ(got[2].body.value("Identifier"), QVariant("com.quillon.junkward.x5"));
}

TEST_F(FrontEndClientTest, badRepliesAndUnserialisableObjectsGiveTheirCodes) {
    FakeDaemon daemon;
    ASSERT_TRUE(daemon.valid());
    JKW5FrontEndCommunicationCenter client;
    ASSERT_TRUE(client.existsRemoteMessagePort());
    EXPECT_FALSE(client.isWaiting());

    qint32 error = 99;
    daemon.setReply("not a property list");
    EXPECT_FALSE(client.sendMessage(12, QVariant(), true, &error).isValid());
    EXPECT_EQ(error, 4);
    EXPECT_TRUE(
        logged("[JKW5FrontEndCommunicationCenter sendMessage:12 withData:waitForAnswer:error:] "
               "propertyListFromData: the reply is not a property list"));

    daemon.setReply({});
    EXPECT_FALSE(client.sendMessage(12, QVariant(), true, &error).isValid());
    EXPECT_EQ(error, 0);

    EXPECT_FALSE(client.sendMessage(12, QVariant::fromValue(static_cast<void*>(nullptr)), &error).isValid());
    EXPECT_EQ(error, 3);
    EXPECT_EQ(daemon.requests().size(), 2u);
}

TEST_F(FrontEndClientTest, aVanishedDaemonSendsTheClientBackToWaiting) {
    // A session bus of its own, so notices of tests running beside it stay apart.
    ipctest::ShortTempDir busFolder;
    ipctest::PrivateBus bus(busFolder.path());
    ASSERT_FALSE(bus.address().isEmpty());
    ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().toLocal8Bit().constData(), 1);
    JKW5FrontEndCommunicationCenter client;
    {
        FakeDaemon daemon;
        ASSERT_TRUE(daemon.valid());
        client.checkForDaemonStatus();
        ASSERT_TRUE(client.existsRemoteMessagePort());
    }
    // The change notification makes the client reconnect; with no port it polls again.
    ASSERT_TRUE(platform::DistributedNotificationCenter::defaultCenter().post(
        JKW5_FRONTENDCOMMUNICATIONCENTER_NOTIFICATION_DAEMONMESSAGEPORTDIDCHANGE));
    ASSERT_TRUE(ipctest::waitUntil([&] { return !client.existsRemoteMessagePort(); }));
    EXPECT_TRUE(client.isWaiting());

    // A send to a daemon that went away without notice reconnects to its successor.
    FakeDaemon second;
    ASSERT_TRUE(second.valid());
    client.checkForDaemonStatus();
    ASSERT_TRUE(client.existsRemoteMessagePort());
    qint32 error = 99;
    client.sendMessage(1, QVariant(), &error);
    EXPECT_EQ(error, 0);
    EXPECT_TRUE(ipctest::waitUntil([&] { return second.requests().size() == 1; }));
}
