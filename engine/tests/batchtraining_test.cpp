// Bulk training through the tool and the engine's batch method: an engine
// killed with SIGKILL in the middle of a mailbox keeps every batch it stored,
// in the token totals and the training history alike, and nothing of the
// batch it was storing.
#include "EngineTestSupport.h"

#include "cli/EngineClient.h"
#include "platform/ScriptingBus.h"

#include <csignal>

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
    constexpr int kMessages = junkwardcli::kFirstBatchMessages + 2 * junkwardcli::kBatchMessages;
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
    // The tool's batches end after the first one and every full one after it.
    bool whole = false;
    for (qint64 end = junkwardcli::kFirstBatchMessages; end < kMessages; end += junkwardcli::kBatchMessages)
        whole = whole || total == end;
    EXPECT_TRUE(whole) << total << ": a batch was stored in part";
    const std::optional<QVariant> trained = readPlist(history);
    ASSERT_TRUE(trained);
    EXPECT_EQ(trained->toMap().value("History").toList().size(), total) << "history and store disagree";
}

}  // namespace
