// Task-progress notices: the engine's client and the staged service program.
#include "EngineTestSupport.h"

#include "engine/TM_MessageClientManager.h"
#include "platform/Log.h"
#include "platform/MessagePort.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"

namespace {

using enginetest::Sandbox;
using testsupport::Program;

QVariantMap notice(const QString& title) {
    return {{TM_MESSAGE_INFORMATION_TITLE, title},
            {TM_MESSAGE_INFORMATION_EXPLANATION, QStringLiteral("explained")},
            {TM_MESSAGE_INFORMATION_ICON, QByteArray("\x89PNG")},
            {TM_MESSAGE_INFORMATION_PROGRESSINDICATOR_STATUS, 0}};
}

class TaskProgress : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus.ready());
        platform::log::setCapture(true);
    }
    void TearDown() override { platform::log::setCapture(false); }
    bool logged(const QString& text) { return platform::log::captured().join('\n').contains(text); }

    Sandbox box;
    testsupport::PrivateBus bus{testsupport::PrivateBus::stagedServices()};
};

TEST_F(TaskProgress, messagesCarryTheirTypeAndARemovalNoInformation) {
    TM_MessageClientManager client;
    const QString uuid = client.uniqueIdentifier();
    EXPECT_EQ(uuid.size(), 36);
    EXPECT_EQ(uuid, uuid.toLower());
    struct Case {
        int action;
        bool withInformation;
        int expectedType;  // -1: no information entry
    } cases[] = {{0, true, 0}, {1, true, 0}, {2, true, 1}, {3, true, 2}, {1, false, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.action);
        const QVariantMap information = notice("t");
        const QVariantMap message = client.messageDictionary(c.action == 1 && !c.withInformation ? 1 : 0, c.action,
                                                             c.withInformation ? &information : nullptr, uuid);
        ASSERT_FALSE(message.isEmpty());
        EXPECT_EQ(message.value(TM_MESSAGE_ACTION).toInt(), c.action);
        EXPECT_EQ(message.value(TM_MESSAGE_UUID).toString(), uuid);
        EXPECT_EQ(message.value(TM_MESSAGE_USER_ID).toLongLong(), qint64(::getuid()));
        EXPECT_EQ(message.value(TM_MESSAGE_PARENT_PID).toLongLong(), qint64(::getpid()));
        EXPECT_EQ(message.contains(TM_MESSAGE_INFORMATION), c.expectedType >= 0);
        if (c.expectedType >= 0) {
            const QVariantMap info = message.value(TM_MESSAGE_INFORMATION).toMap();
            EXPECT_EQ(info.value(TM_MESSAGE_INFORMATION_TYPE).toInt(), c.expectedType);
            EXPECT_EQ(info.value(TM_MESSAGE_INFORMATION_TITLE).toString(), "t");
        }
        // Every message has a binary property-list form.
        EXPECT_TRUE(platform::plist::toData(message, platform::plist::Format::Binary).startsWith("bplist00"));
    }
    // Without information only a removal can be sent.
    EXPECT_TRUE(client.messageDictionary(0, 0, nullptr, uuid).isEmpty());
    const QVariantMap otherUser{{TM_MESSAGE_USER_ID, 4242}};
    EXPECT_EQ(client.messageDictionary(0, 3, &otherUser, uuid).value(TM_MESSAGE_USER_ID).toInt(), 4242);
}

TEST_F(TaskProgress, noticesAreDroppedUntilTheServiceIsFoundThenShownAndRemoved) {
    TM_MessageClientManager client;
    EXPECT_FALSE(client.isConnected());
    EXPECT_FALSE(client.sendInfoMessageLevel(0, notice("Lost")));
    EXPECT_TRUE(logged("Remote Message Port not referenced yet."));

    Program service("junkward-taskmanager");
    ASSERT_TRUE(service.start());
    // The client looks again every 2 s.
    ASSERT_TRUE(testsupport::waitUntil([&] { return client.isConnected(); }));

    EXPECT_TRUE(client.sendProgressionMessageLevel(0, notice("Learning")));
    EXPECT_TRUE(client.sendErrorMessageLevel(0, notice("Broken"), "0000aaaa-0000-0000-0000-000000000001"));
    EXPECT_TRUE(client.sendInfoMessageLevel(0, notice("Spam detected"), "0000aaaa-0000-0000-0000-000000000002"));
    EXPECT_TRUE(client.sendRemoveMessage());
    EXPECT_FALSE(client.sendMessageLevel(0, 0, nullptr));
    EXPECT_TRUE(logged("Missing information dictionary."));
    EXPECT_FALSE(client.sendProgressionMessageLevel(0, notice("x"), QString()));
    EXPECT_TRUE(logged("Missing unique identifier."));

    EXPECT_TRUE(service.waitForError("progression notice " + client.uniqueIdentifier() + ": Learning - explained"))
        << service.errorOutput().toStdString();
    EXPECT_TRUE(service.waitForError("error notice 0000aaaa-0000-0000-0000-000000000001: Broken"));
    EXPECT_TRUE(service.waitForError("information notice 0000aaaa-0000-0000-0000-000000000002: Spam detected"));
    EXPECT_TRUE(service.waitForError("Removed notice " + client.uniqueIdentifier()));
}

TEST_F(TaskProgress, aNoticeThatAsksForAReactionGetsOne) {
    Program service("junkward-taskmanager");
    ASSERT_TRUE(service.start());
    TM_MessageClientManager client;
    ASSERT_TRUE(testsupport::waitUntil([&] { return client.isConnected(); }));

    QVariant reactedFor;
    QVariantMap reaction;
    const int token = platform::LocalNotificationCenter::defaultCenter().addObserver(
        TM_MESSAGE_NOTIFICATION_DIDRECEIVEREACTION, [&](const platform::Notification& n) {
            reactedFor = n.localObject;
            reaction = n.userInfo;
        });
    QVariantMap information = notice("Question");
    information.insert(TM_MESSAGE_INFORMATION_REACTION, 1);
    const QString uuid = QStringLiteral("0000bbbb-0000-0000-0000-000000000003");
    ASSERT_TRUE(client.sendInfoMessageLevel(0, information, uuid));
    ASSERT_TRUE(testsupport::waitUntil([&] { return reactedFor.isValid(); })) << service.errorOutput().toStdString();
    EXPECT_EQ(reactedFor.toString(), uuid);
    EXPECT_EQ(reaction.value(TM_MESSAGE_UUID).toString(), uuid);
    platform::LocalNotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(TaskProgress, theServiceIgnoresHostileRequestsAndKeepsServing) {
    Program service("junkward-taskmanager");
    ASSERT_TRUE(service.start());
    const auto port = testsupport::waitForPort(TM_MESSAGECLIENTMANAGER_PORT_NAME);
    ASSERT_TRUE(port);
    const QByteArray requests[] = {
        QByteArray("bplist00garbage"),
        QByteArray(),
        platform::plist::toData(QVariantList{1, 2}, platform::plist::Format::Binary),
        platform::plist::toData(QVariantMap{{TM_MESSAGE_ACTION, 99}, {TM_MESSAGE_UUID, "u"}},
                                platform::plist::Format::Binary),
        platform::plist::toData(QVariantMap{{TM_MESSAGE_ACTION, "0"}, {TM_MESSAGE_UUID, "u"}},
                                platform::plist::Format::Binary),
        platform::plist::toData(
            QVariantMap{{TM_MESSAGE_ACTION, 3}, {TM_MESSAGE_UUID, "u"}, {TM_MESSAGE_INFORMATION, 5}},
            platform::plist::Format::Binary),
    };
    for (const QByteArray& request : requests)
        EXPECT_EQ(port->sendRequest(TM_MESSAGECLIENTMANAGER_MESSAGE_ID, request, 60.0, 60.0, true, nullptr),
                  platform::kMessagePortSuccess);
    EXPECT_EQ(port->sendRequest(7, "x", 60.0, 60.0, true, nullptr), platform::kMessagePortSuccess);
    EXPECT_TRUE(testsupport::waitUntil([&] { return service.errorOutput().count("Ignored a notice") == 7; }))
        << service.errorOutput().toStdString();

    TM_MessageClientManager client;
    ASSERT_TRUE(client.isConnected());
    EXPECT_TRUE(client.sendInfoMessageLevel(0, notice("Still here")));
    EXPECT_TRUE(service.waitForError("Still here"));
}

TEST_F(TaskProgress, aRestartedServiceIsFoundAgain) {
    auto service = std::make_unique<Program>("junkward-taskmanager");
    ASSERT_TRUE(service->start());
    TM_MessageClientManager client;
    ASSERT_TRUE(testsupport::waitUntil([&] { return client.isConnected(); }));
    service.reset();  // terminated
    bool failed = false;
    for (int i = 0; i < 3 && !failed; ++i)
        failed = !client.sendInfoMessageLevel(0, notice("Nobody listens"));
    EXPECT_TRUE(failed);
    EXPECT_FALSE(client.isConnected());

    service = std::make_unique<Program>("junkward-taskmanager");
    ASSERT_TRUE(service->start());
    ASSERT_TRUE(testsupport::waitUntil([&] { return client.isConnected(); }));
    EXPECT_TRUE(client.sendInfoMessageLevel(0, notice("Back again")));
    EXPECT_TRUE(service->waitForError("Back again"));
}

}  // namespace
