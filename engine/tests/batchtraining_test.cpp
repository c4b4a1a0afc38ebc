// Bulk training through the tool and the engine's batch method: an engine
// killed with SIGKILL in the middle of a mailbox keeps every batch it stored,
// in the token totals and the training history alike, and nothing of the
// batch it was storing.
#include "EngineTestSupport.h"

#include "cli/EngineClient.h"
#include "engine/SievraAppleEventManager.h"
#include "platform/BatchFile.h"
#include "platform/ScriptingBus.h"

#include <QDBusMetaType>
#include <QDBusUnixFileDescriptor>

#include <csignal>
#include <unistd.h>

namespace {

using enginetest::Sandbox;

QByteArray mailbox(int count) {
    QByteArray box;
    for (int i = 0; i < count; ++i)
        box += "From bulk@example.org Sat Mar 15 12:00:00 2008\nMessage-ID: <bulk" + QByteArray::number(i) +
               "@example.org>\nFrom: Bulk <bulk@example.org>\nSubject: Offer number " + QByteArray::number(i) +
               "\n\nCheap watches and pills, offer " + QByteArray::number(i) + " of many, order today.\n\n";
    return box;
}

std::optional<QVariant> readPlist(const QString& path) { return platform::plist::readFile(path); }

TEST(BatchTraining, killedEngineKeepsWholeBatchesOnly) {
    Sandbox box;
    // No activation: a killed engine stays dead until the test starts it.
    testsupport::PrivateBus bus;
    ASSERT_TRUE(bus.ready());
    const QString caches = box.userLibrary() + "/Caches";
    const QString counts = caches + "/Junkward.cnt";
    const QString history = caches + "/Junkward Training Center History";
    const QString file = box.userLibrary() + "/../bulk.mbox";
    constexpr int kMessages = 2 * junkwardcli::kBatchMessages + junkwardcli::kBatchMessages / 5;
    {
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(mailbox(kMessages));
    }
    const auto spamTotal = [&]() -> qint64 {
        const std::optional<QVariant> list = readPlist(counts);
        return list && list->toList().size() == 2 ? list->toList().at(1).toLongLong() : -1;
    };

    // The engine learns the mailbox and is killed once a first batch is stored.
    auto engine = std::make_unique<testsupport::Program>(QStringLiteral("junkward-engine"));
    ASSERT_TRUE(engine->start());
    ASSERT_TRUE(
        testsupport::waitUntil([] { return platform::ScriptingBus::hasOwner(platform::kEngineBusName); }, 30000));
    QProcess tool;
    tool.start(testsupport::stagedProgram("junkward"), {"learn-spam", file});
    ASSERT_TRUE(testsupport::waitUntil([&] { return spamTotal() > 0; }, 120000)) << "no batch was stored";
    const qint64 seen = spamTotal();
    engine->process().kill();
    engine->process().waitForFinished(10000);
    EXPECT_TRUE(tool.waitForFinished(60000));
    EXPECT_LT(seen, kMessages) << "the whole mailbox was learned before the kill";

    // A restarted engine finishes what the journals say, then quits.
    testsupport::Program again("junkward-engine");
    ASSERT_TRUE(again.start());
    ASSERT_TRUE(
        testsupport::waitUntil([] { return platform::ScriptingBus::hasOwner(platform::kEngineBusName); }, 30000));
    platform::ScriptingBus::call(platform::kEngineBusName, platform::kEngineObjectPath, platform::kEngineInterface,
                                 "Quit", {}, 30);
    EXPECT_EQ(again.waitForExit(30000), 0);

    const qint64 total = spamTotal();
    EXPECT_GE(total, seen);
    EXPECT_LT(total, kMessages);
    EXPECT_EQ(total % junkwardcli::kBatchMessages, 0) << total << ": a batch was stored in part";
    const std::optional<QVariant> trained = readPlist(history);
    ASSERT_TRUE(trained);
    EXPECT_EQ(trained->toMap().value("History").toList().size(), total) << "history and store disagree";
}

// The batch-file methods refuse what is not a batch file, and the engine goes on.
TEST(BatchTraining, batchFilesAreCheckedAndLearned) {
    Sandbox box;
    testsupport::PrivateBus bus;
    ASSERT_TRUE(bus.ready());
    testsupport::Program engine("junkward-engine");
    ASSERT_TRUE(engine.start());
    ASSERT_TRUE(
        testsupport::waitUntil([] { return platform::ScriptingBus::hasOwner(platform::kEngineBusName); }, 30000));
    const auto learn = [](int fd) {
        const QDBusUnixFileDescriptor descriptor(fd);
        return platform::ScriptingBus::call(platform::kEngineBusName, platform::kEngineObjectPath,
                                            platform::kEngineInterface, "LearnSpamBatchFile",
                                            {QVariant::fromValue(descriptor), false}, 60);
    };
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    platform::ScriptingReply reply = learn(pipe[0]);
    ::close(pipe[0]);
    ::close(pipe[1]);
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.errorName, SievraErrorBadBatch);

    // Two messages and an empty one; first cut short by a byte.
    const QByteArrayList messages{mailbox(1), mailbox(2).mid(mailbox(1).size()), QByteArray()};
    QByteArray cut = platform::batchfile::encode(messages);
    cut.chop(1);
    int fd = platform::batchfile::createSealed(cut);
    reply = learn(fd);
    ::close(fd);
    EXPECT_EQ(reply.errorName, SievraErrorBadBatch);

    fd = platform::batchfile::createSealed(platform::batchfile::encode(messages));
    reply = learn(fd);
    ::close(fd);
    ASSERT_TRUE(reply.ok) << reply.errorMessage.toStdString();
    EXPECT_EQ(reply.values.value(0).toByteArray(), QByteArray("\1\1\0", 3));

    // The method with the bytes on the bus still learns.
    qDBusRegisterMetaType<QByteArrayList>();
    reply = platform::ScriptingBus::call(platform::kEngineBusName, platform::kEngineObjectPath,
                                         platform::kEngineInterface, "LearnHamBatch",
                                         {QVariant::fromValue(QByteArrayList{mailbox(3).mid(mailbox(2).size())}), false},
                                         60);
    ASSERT_TRUE(reply.ok) << reply.errorMessage.toStdString();
    EXPECT_EQ(reply.values.value(0).toByteArray(), QByteArray("\1", 1));

    platform::ScriptingBus::call(platform::kEngineBusName, platform::kEngineObjectPath, platform::kEngineInterface,
                                 "Quit", {}, 30);
    EXPECT_EQ(engine.waitForExit(30000), 0);
    const std::optional<QVariant> counts = readPlist(box.userLibrary() + "/Caches/Junkward.cnt");
    ASSERT_TRUE(counts);
    EXPECT_EQ(counts->toList(), (QVariantList{1, 2}));
}

}  // namespace
