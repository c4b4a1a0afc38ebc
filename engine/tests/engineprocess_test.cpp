// The staged engine program, started with a temporary user Library, a private
// session bus and a short runtime folder: its port, a second engine, D-Bus
// activation, plug-in statistics, the log reset and termination.
#include "EngineTestSupport.h"

#include "engine/JKW_LogManager.h"
#include "engine/SWNotifications.h"
#include "engine/SievraPort.h"
#include "platform/MessagePort.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "platform/ScriptingBus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QtEndian>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

namespace {

using enginetest::Sandbox;
using testsupport::Program;

std::unique_ptr<platform::RemoteMessagePort> waitForPort() { return testsupport::waitForPort(SievraMessagePortName); }

QByteArray ask(platform::RemoteMessagePort& port, qint32 id, const QByteArray& data, int* status) {
    QByteArray reply;
    *status = port.sendRequest(id, data, 60.0, 60.0, true, &reply);
    return reply;
}

const QByteArray kMessage =
    "Message-ID: <1@example.com>\r\nFrom: Someone <someone@example.com>\r\n"
    "Subject: Cheap pills\r\nContent-Type: text/plain\r\n\r\nBuy now.\r\n";

class EngineProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus.ready());
        box.useLocalLibrary();
        ASSERT_TRUE(box.installTestPlugIn("TestFilter", {}));
    }
    Sandbox box;
    testsupport::PrivateBus bus{testsupport::PrivateBus::stagedServices()};
};

TEST_F(EngineProcess, everyRequestGetsFourZeroBytesAndABadOneStopsNothing) {
    Program engine("junkward-engine");
    ASSERT_TRUE(engine.start());
    auto port = waitForPort();
    ASSERT_TRUE(port) << engine.errorOutput().toStdString();

    struct Case {
        qint32 id;
        QByteArray data;
    } cases[] = {{1024, kMessage}, {1025, kMessage}, {1024, QByteArray()}, {0, QByteArray(1 << 20, '\xff')}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        int status = 1;
        const QByteArray reply = ask(*port, c.id, c.data, &status);
        ASSERT_EQ(status, platform::kMessagePortSuccess);
        EXPECT_EQ(reply, QByteArray(4, '\0'));
    }
    EXPECT_TRUE(engine.waitForError("Received a message with no data"));

    // A request of more than 64 MiB on a raw connection: refused with the reply
    // 0, and the engine goes on serving.
    const QByteArray path = QFile::encodeName(platform::messagePortPath(SievraMessagePortName));
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const quint32 oversize = 64u * 1024u * 1024u + 1u;
    QByteArray request(12, '\0');
    qToLittleEndian<qint32>(1024, reinterpret_cast<uchar*>(request.data()));
    qToLittleEndian<quint32>(1, reinterpret_cast<uchar*>(request.data()) + 4);
    qToLittleEndian<quint32>(oversize, reinterpret_cast<uchar*>(request.data()) + 8);
    request += QByteArray(qsizetype(oversize), 'S');
    std::thread sender([&] {
        qsizetype sent = 0;
        while (sent < request.size()) {
            const ssize_t n = ::send(fd, request.constData() + sent, size_t(request.size() - sent), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += n;
        }
    });
    timeval timeout{60, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    QByteArray answer;
    while (answer.size() < 8) {
        char buffer[8];
        const ssize_t n = ::recv(fd, buffer, size_t(8 - answer.size()), 0);
        if (n <= 0)
            break;
        answer.append(buffer, n);
    }
    sender.join();
    ::close(fd);
    EXPECT_EQ(answer, QByteArray("\x04\0\0\0", 4) + QByteArray(4, '\0')) << "length 4, then the reply 0";
    EXPECT_TRUE(engine.waitForError("64 MiB")) << engine.errorOutput().toStdString();

    int status = 1;
    auto again = platform::RemoteMessagePort::connect(SievraMessagePortName);
    ASSERT_TRUE(again);
    EXPECT_EQ(ask(*again, SievraMessageIDFilterMail, kMessage, &status), QByteArray(4, '\0'));
    EXPECT_EQ(status, platform::kMessagePortSuccess);
    EXPECT_TRUE(engine.running());
}

TEST_F(EngineProcess, aSecondEngineLogsThePortMessageAndLeaves) {
    Program first("junkward-engine");
    ASSERT_TRUE(first.start());
    ASSERT_TRUE(waitForPort());
    ASSERT_TRUE(testsupport::waitUntil([] { return platform::ScriptingBus::hasOwner(platform::kEngineBusName); }));

    Program second("junkward-engine");
    ASSERT_TRUE(second.start());
    EXPECT_EQ(second.waitForExit(), 1);
    EXPECT_TRUE(second.errorOutput().contains("It was not possible to add the message port source"))
        << second.errorOutput().toStdString();
    EXPECT_TRUE(first.running());
    int status = 1;
    auto port = platform::RemoteMessagePort::connect(SievraMessagePortName);
    ASSERT_TRUE(port);
    EXPECT_EQ(ask(*port, SievraMessageIDFilterMail, kMessage, &status), QByteArray(4, '\0'));
}

TEST_F(EngineProcess, busActivationStartsTheEngine) {
    ASSERT_FALSE(platform::ScriptingBus::hasOwner(platform::kEngineBusName));
    ASSERT_TRUE(platform::ScriptingBus::startService(platform::kEngineBusName, 60.0));
    auto port = waitForPort();
    EXPECT_TRUE(port);
    EXPECT_TRUE(platform::ScriptingBus::hasOwner(platform::kEngineBusName));
    // The bus started the engine, not this test: find it through the bus to end it.
    QDBusConnection bus = QDBusConnection::sessionBus();
    const auto pid = bus.interface()->servicePid(platform::kEngineBusName);
    ASSERT_TRUE(pid.isValid());
    ::kill(pid_t(pid.value()), SIGTERM);
    EXPECT_TRUE(testsupport::waitUntil([] { return !platform::ScriptingBus::hasOwner(platform::kEngineBusName); }));
}

TEST_F(EngineProcess, aBurstOfPlugInRecordsWritesOneFileAndPostsOneUpdate) {
    Program engine("junkward-engine");
    ASSERT_TRUE(engine.start());
    ASSERT_TRUE(waitForPort());
    auto& center = platform::DistributedNotificationCenter::defaultCenter();
    int updates = 0;
    center.addObserver(sw::SWPlugInStatisticsDidUpdate, QStringLiteral("TestFilter"), [&](auto&) { ++updates; });

    const QVariantMap one{{"Record", 0}, {"Count", 1}};
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(center.post("JunkwardTestPlugInRecord", "TestFilter", &one));
    ASSERT_TRUE(testsupport::waitUntil([&] { return updates > 0; })) << engine.errorOutput().toStdString();
    testsupport::spinFor(2500);  // room for a second, wrong, save
    EXPECT_EQ(updates, 1);
    auto saved = platform::plist::readDictionary(box.statisticsFile("TestFilter"));
    ASSERT_TRUE(saved);
    EXPECT_EQ(platform::plist::unsignedValue(*saved, sw::SWMAILSPAMDETECTED), 3u);
}

TEST_F(EngineProcess, pendingRecordsAreWrittenWhenTheEngineIsTerminated) {
    Program engine("junkward-engine");
    ASSERT_TRUE(engine.start());
    ASSERT_TRUE(waitForPort());
    auto& center = platform::DistributedNotificationCenter::defaultCenter();
    bool recorded = false;
    const int token =
        center.addObserver("JunkwardTestPlugInRecorded", QStringLiteral("TestFilter"), [&](auto&) { recorded = true; });
    const QVariantMap two{{"Record", 1}, {"Count", 2}};
    ASSERT_TRUE(center.post("JunkwardTestPlugInRecord", "TestFilter", &two));
    // Terminated as soon as the records are in, before the 2 s save delay.
    ASSERT_TRUE(testsupport::waitUntil([&] { return recorded; }));
    center.removeObserver(token);
    engine.stop();
    auto saved = platform::plist::readDictionary(box.statisticsFile("TestFilter"));
    ASSERT_TRUE(saved) << engine.errorOutput().toStdString();
    EXPECT_EQ(platform::plist::unsignedValue(*saved, sw::SWMAILHAMDETECTED), 2u);
}

TEST_F(EngineProcess, theLogResetNotificationEmptiesTheLogFile) {
    QVariantList history, log;
    for (int i = 0; i < 5; ++i) {
        history << QString("m%1").arg(i);
        log << QVariantMap{{JKW_LOG_MESSAGE_ID_KEY, QString("m%1").arg(i)}, {JKW_LOG_FILTER_KEY, "NONE"}};
    }
    ASSERT_TRUE(QDir().mkpath(QFileInfo(box.logFile()).absolutePath()));
    ASSERT_TRUE(
        platform::plist::writeFile(box.logFile(), QVariantMap{{"Version", "5"}, {"History", history}, {"Log", log}}));
    Program engine("junkward-engine");
    ASSERT_TRUE(engine.start());
    ASSERT_TRUE(waitForPort());
    ASSERT_TRUE(
        platform::DistributedNotificationCenter::defaultCenter().post(sw::JKW5_DISTRIBUTEDNOTIFICATION_LOG_RESET));
    ASSERT_TRUE(testsupport::waitUntil([&] {
        auto file = platform::plist::readDictionary(box.logFile());
        return file && file->value(JKW_LOG_LOG).toList().isEmpty();
    }));
    auto file = platform::plist::readDictionary(box.logFile());
    EXPECT_EQ(file->value(JKW_LOG_VERSION).toString(), "5");
    EXPECT_TRUE(file->value(JKW_LOG_HISTORY).toList().isEmpty());
}

}  // namespace
