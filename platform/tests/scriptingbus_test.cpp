#include "ipc_test_support.h"

#include "platform/Launching.h"
#include "platform/PropertyList.h"
#include "platform/ScriptingBus.h"

#include <QDBusConnection>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <atomic>
#include <thread>
#include <vector>

using namespace platform;
using ipctest::Peer;

namespace {

// The engine's commands as a test object.
class FakeEngineCommands : public QObject {
    Q_OBJECT
public:
    std::atomic<int> quits{0};
public slots:
    bool CheckSpamStatus(const QByteArray& message, bool isEntourage) {
        return message.contains("Subject: ADV") && !isEntourage;
    }
    QString GetFiltersVersion() { return QStringLiteral("2007-10-26"); }
    void Quit() { ++quits; }
    int Sleep(int ms) {
        QThread::msleep(ulong(ms));
        return ms;
    }
};

// Runs a blocking bus call on a worker thread while this thread serves the bus.
ScriptingReply callAside(const QString& service, const QString& method, const QVariantList& args, double timeout) {
    ScriptingReply reply;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        reply = ScriptingBus::call(service, kEngineObjectPath, kEngineInterface, method, args, timeout);
        done = true;
    });
    ipctest::waitUntil([&] { return done.load(); });
    worker.join();
    return reply;
}

// Every test has a session bus of its own (with an activation folder), started
// before the process first touches the bus: names and calls of parallel tests
// cannot meet.
class ScriptingBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        ipctest::app();
        ASSERT_FALSE(folder.path().isEmpty());
        services = folder.path() + "/services";
        ASSERT_TRUE(QDir().mkpath(services));
        bus = std::make_unique<ipctest::PrivateBus>(services);
        ASSERT_FALSE(bus->address().isEmpty());
        ::setenv("DBUS_SESSION_BUS_ADDRESS", bus->address().toLocal8Bit().constData(), 1);
        ASSERT_TRUE(QDBusConnection::sessionBus().isConnected());
    }
    ipctest::ShortTempDir folder;
    QString services;
    std::unique_ptr<ipctest::PrivateBus> bus;
};

void writeFile(const QString& path, const QByteArray& bytes, QFile::Permissions perms = {}) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    f.close();
    if (perms)
        f.setPermissions(perms);
}

constexpr QFile::Permissions kExecutable =
    QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup;

}  // namespace

TEST_F(ScriptingBusTest, exportedSlotsAnswerCallsWithTheirResults) {
    FakeEngineCommands engine;
    ASSERT_TRUE(ScriptingBus::exportObject(kEngineBusName, kEngineObjectPath, kEngineInterface, &engine));
    const struct {
        const char* method;
        QVariantList args;
        QVariant expected;
    } cases[] = {
        {"CheckSpamStatus", {QByteArray("Subject: ADV cheap\r\n\r\n"), false}, true},
        {"CheckSpamStatus", {QByteArray("Subject: ADV cheap\r\n\r\n"), true}, false},
        {"CheckSpamStatus", {QByteArray("Subject: hello\r\n\r\n"), false}, false},
        {"GetFiltersVersion", {}, QString("2007-10-26")},
    };
    for (const auto& c : cases) {
        const ScriptingReply reply = callAside(kEngineBusName, c.method, c.args, 60);
        ASSERT_TRUE(reply.ok) << c.method << " " << reply.errorName.toStdString();
        ASSERT_EQ(reply.values.size(), 1);
        EXPECT_EQ(reply.values[0], c.expected) << c.method;
    }
    const ScriptingReply quit = callAside(kEngineBusName, "Quit", {}, 60);
    EXPECT_TRUE(quit.ok);
    EXPECT_TRUE(quit.values.isEmpty());
    EXPECT_EQ(engine.quits.load(), 1);

    const ScriptingReply unknown = callAside(kEngineBusName, "LearnEverything", {}, 60);
    EXPECT_FALSE(unknown.ok);
    EXPECT_FALSE(unknown.timedOut());
    EXPECT_FALSE(unknown.errorName.isEmpty());
    const ScriptingReply badArgs = callAside(kEngineBusName, "CheckSpamStatus", {QString("text"), 3}, 60);
    EXPECT_FALSE(badArgs.ok);
    const ScriptingReply nobody = callAside("com.quillon.junkward.Nobody", "Quit", {}, 60);
    EXPECT_FALSE(nobody.ok);
    ScriptingBus::unexportObject(kEngineBusName, kEngineObjectPath);
}

TEST_F(ScriptingBusTest, callsInFlightGetTheirOwnAnswersInOrder) {
    FakeEngineCommands engine;
    ASSERT_TRUE(ScriptingBus::exportObject(kEngineBusName, kEngineObjectPath, kEngineInterface, &engine));
    QDBusConnection caller = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "async-caller");
    ASSERT_TRUE(caller.isConnected());
    std::vector<ScriptingReply> replies;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        // All three are sent before the first is answered; the failing one in
        // the middle leaves the others their answers.
        std::vector<QDBusPendingCall> sent;
        for (const QVariantList& args : {QVariantList{80}, QVariantList{QString("text")}, QVariantList{5}})
            sent.push_back(ScriptingBus::callAsync(kEngineBusName, kEngineObjectPath, kEngineInterface, "Sleep", args,
                                                   60, caller));
        for (QDBusPendingCall& call : sent)
            replies.push_back(ScriptingBus::answerOf(call));
        done = true;
    });
    ipctest::waitUntil([&] { return done.load(); });
    worker.join();
    ASSERT_EQ(replies.size(), 3u);
    ASSERT_TRUE(replies[0].ok);
    EXPECT_EQ(replies[0].values.value(0).toInt(), 80);
    EXPECT_FALSE(replies[1].ok);
    EXPECT_FALSE(replies[1].errorName.isEmpty());
    ASSERT_TRUE(replies[2].ok);
    EXPECT_EQ(replies[2].values.value(0).toInt(), 5);

    QDBusPendingCall unreachable = ScriptingBus::callAsync(kEngineBusName, kEngineObjectPath, kEngineInterface, "Sleep",
                                                           {1}, 60, QDBusConnection("not-connected"));
    const ScriptingReply none = ScriptingBus::answerOf(unreachable);
    EXPECT_FALSE(none.ok);
    EXPECT_FALSE(none.errorName.isEmpty());
    ScriptingBus::unexportObject(kEngineBusName, kEngineObjectPath);
}

TEST_F(ScriptingBusTest, aCallThatGetsNoAnswerEndsAtItsTimeOut) {
    FakeEngineCommands engine;
    ASSERT_TRUE(ScriptingBus::exportObject(kEngineBusName, kEngineObjectPath, kEngineInterface, &engine));
    QElapsedTimer timer;
    timer.start();
    // The slot blocks this (serving) thread longer than the caller waits.
    ScriptingReply reply;
    std::atomic<bool> done{false};
    // A connection of its own, so the call travels through the bus: Qt delivers a
    // call on the exporting connection itself in-process, where no time-out applies.
    QDBusConnection caller = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "timeout-caller");
    ASSERT_TRUE(caller.isConnected());
    std::thread worker([&] {
        reply = ScriptingBus::call(kEngineBusName, kEngineObjectPath, kEngineInterface, "Sleep", {2000}, 0.3, caller);
        done = true;
    });
    ipctest::waitUntil([&] { return done.load(); });
    worker.join();
    EXPECT_FALSE(reply.ok);
    EXPECT_TRUE(reply.timedOut()) << reply.errorName.toStdString();
    EXPECT_LT(timer.elapsed(), 10000);
    ScriptingBus::unexportObject(kEngineBusName, kEngineObjectPath);
    QDBusConnection::disconnectFromBus("timeout-caller");
}

TEST_F(ScriptingBusTest, aNameOwnedElsewhereCannotBeExportedAndLeavesNothingBehind) {
    Peer other({"bus-name", kFrontEndBusName});
    ASSERT_EQ(other.readLine(), "owned");
    FakeEngineCommands frontEnd;
    EXPECT_FALSE(ScriptingBus::exportObject(kFrontEndBusName, kFrontEndObjectPath, kFrontEndInterface, &frontEnd));
    EXPECT_TRUE(QDBusConnection::sessionBus().objectRegisteredAt(kFrontEndObjectPath) == nullptr);
    EXPECT_FALSE(ScriptingBus::exportObject(kEngineBusName, kEngineObjectPath, kEngineInterface, nullptr));
}

TEST_F(ScriptingBusTest, anApplicationIsRunningWhileItOwnsItsBusName) {
    EXPECT_FALSE(launching::isApplicationRunning(launching::kEngineSignature));
    FakeEngineCommands engine;
    ASSERT_TRUE(ScriptingBus::exportObject(kEngineBusName, kEngineObjectPath, kEngineInterface, &engine));
    EXPECT_TRUE(launching::isApplicationRunning(launching::kEngineSignature));
    EXPECT_FALSE(launching::isApplicationRunning(launching::kFrontEndSignature));
    EXPECT_FALSE(launching::isApplicationRunning("emal")) << "an unknown signature";
    ScriptingBus::unexportObject(kEngineBusName, kEngineObjectPath);
    EXPECT_TRUE(ipctest::waitUntil([] { return !launching::isApplicationRunning(launching::kEngineSignature); }));

    Peer frontEnd({"bus-name", kFrontEndBusName});
    ASSERT_EQ(frontEnd.readLine(), "owned");
    EXPECT_TRUE(launching::isApplicationRunning(launching::kFrontEndSignature));
}

TEST(LaunchingTableTest, signaturesAndBundleNamesMapToOneEntry) {
    const launching::ApplicationEntry* engine = launching::applicationForSignature("_SM2");
    ASSERT_NE(engine, nullptr);
    EXPECT_STREQ(engine->busName, "com.quillon.junkward.Engine");
    EXPECT_STREQ(engine->bundleName, "Junkward Engine.app");
    const launching::ApplicationEntry* frontEnd = launching::applicationForBundleName("Junkward X5.app");
    ASSERT_NE(frontEnd, nullptr);
    EXPECT_STREQ(frontEnd->signature, "_SM0");
    EXPECT_STREQ(frontEnd->busName, "com.quillon.junkward.FrontEnd");
    EXPECT_EQ(launching::applicationForSignature("_SM1"), nullptr);
    EXPECT_EQ(launching::applicationForSignature(""), nullptr);
}

TEST_F(ScriptingBusTest, openingStartsTheApplicationThroughBusActivation) {
    const QString peer = ipctest::peerProgram();
    writeFile(services + "/com.quillon.junkward.Engine.service",
              "[D-BUS Service]\nName=com.quillon.junkward.Engine\nExec=" + peer.toUtf8() +
                  " bus-name com.quillon.junkward.Engine\n");
    EXPECT_FALSE(launching::isApplicationRunning("_SM2"));
    EXPECT_TRUE(launching::openApplication("_SM2"));
    EXPECT_TRUE(ipctest::waitUntil([] { return launching::isApplicationRunning("_SM2"); }));
}

TEST_F(ScriptingBusTest, openingFallsBackToTheExecutableAtItsKnownPlace) {
    const QString library = folder.path() + "/Library";
    const QString bundle = library + "/Application Support/Quillon/Junkward/Junkward Engine.app";
    ASSERT_TRUE(QDir().mkpath(bundle + "/Contents/MacOS"));
    ASSERT_TRUE(plist::writeFile(
        bundle + "/Contents/Info.plist",
        QVariantMap{{"CFBundleExecutable", "Junkward Engine"}, {"CFBundleIdentifier", "com.quillon.junkward.engine"}}));
    const QString marker = folder.path() + "/engine-started";
    writeFile(bundle + "/Contents/MacOS/Junkward Engine", "#!/bin/sh\necho \"$PWD\" > '" + marker.toUtf8() + "'\n",
              kExecutable);
    ::setenv("JUNKWARD_LOCAL_LIBRARY", library.toLocal8Bit().constData(), 1);

    EXPECT_EQ(launching::findApplication("_SM2"), bundle + "/Contents/MacOS/Junkward Engine");
    EXPECT_TRUE(launching::openApplication("_SM2"));
    EXPECT_TRUE(ipctest::waitUntil([&] { return QFile::exists(marker); }));

    // Nothing to start: no service, no bundle, no program of that name.
    ::setenv("PATH", folder.path().toLocal8Bit().constData(), 1);
    EXPECT_TRUE(launching::findApplication("_SM0").isEmpty());
    EXPECT_FALSE(launching::openApplication("_SM0"));
    EXPECT_FALSE(launching::openApplication("????"));
}

TEST(LaunchingPathTest, theExecutableOfABundleMustStayInsideIt) {
    ipctest::ShortTempDir folder;
    const QString outside = folder.path() + "/outside";
    writeFile(outside, "#!/bin/sh\n", kExecutable);
    const struct {
        const char* executable;
        bool found;
    } cases[] = {{"Tool", true}, {"../../../outside", false}, {"..", false}, {"", false}, {"Missing", false}};
    for (const auto& c : cases) {
        const QString bundle = folder.path() + "/B" + QString::number(qHash(QString(c.executable))) + ".app";
        ASSERT_TRUE(QDir().mkpath(bundle + "/Contents/MacOS"));
        ASSERT_TRUE(
            plist::writeFile(bundle + "/Contents/Info.plist", QVariantMap{{"CFBundleExecutable", c.executable}}));
        writeFile(bundle + "/Contents/MacOS/Tool", "#!/bin/sh\n", kExecutable);
        EXPECT_EQ(!launching::executableForPath(bundle).isEmpty(), c.found) << c.executable;
    }
    EXPECT_EQ(launching::executableForPath(outside), outside);
    writeFile(folder.path() + "/plain", "text");
    EXPECT_TRUE(launching::executableForPath(folder.path() + "/plain").isEmpty()) << "not executable";
    EXPECT_FALSE(launching::launchApplicationAtPath(folder.path() + "/plain"));
}

#include "scriptingbus_test.moc"
