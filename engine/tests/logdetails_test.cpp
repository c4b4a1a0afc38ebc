// The details kept beside the activity log: explanations and sources stored
// with the records, pruned with them and within their caps, damaged files, and
// the engine's bus methods that explain and learn a logged message.
#include "EngineTestSupport.h"

#include "engine/JKW_LogDetails.h"
#include "engine/JKW_LogManager.h"
#include "engine/SWNotifications.h"
#include "engine/SievraAppleEventManager.h"
#include "engine/SievraPort.h"
#include "platform/Log.h"
#include "platform/MessagePort.h"
#include "platform/NotificationCenter.h"
#include "platform/ScriptingBus.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <sys/stat.h>

namespace {

using enginetest::Sandbox;

QVariantMap record(const QString& id) {
    return {{JKW_LOG_MESSAGE_ID_KEY, id},
            {JKW_LOG_FILTER_KEY, "NONE"},
            {JKW_LOG_DATE_KEY, QDateTime::currentDateTimeUtc()},
            {JKW_LOG_FROM_KEY, "-"}};
}

JKW_LogDetail detail(const char* decidedBy, std::optional<QByteArray> source) {
    JKW_LogDetail d;
    d.explanation = {{JKW_DETAILS_DECIDED_BY_KEY, decidedBy}, {JKW_DETAILS_VERDICT_KEY, 1}};
    d.source = std::move(source);
    return d;
}

QStringList sourceFiles(const QString& folder) { return QDir(folder).entryList({"*.eml"}, QDir::Files); }

bool captured(const QString& text) {
    for (const QString& line : platform::log::captured())
        if (line.contains(text))
            return true;
    return false;
}

TEST(LogDetails, keptWithTheirRecordsPrunedWithThemAndWithinTheCaps) {
    Sandbox box;
    JKW_LogManager manager;
    const QString folder = manager.details().folder();
    // A record without Message-ID gets its key when queued, and its details follow it.
    const QString anonymous = manager.queueRecord(
        {{JKW_LOG_FILTER_KEY, "INT_INVIS"}, {JKW_LOG_DATE_KEY, QDateTime::currentDateTimeUtc()}},
        detail("INT_INVIS", QByteArray("Subject: x\n\nhidden\n")));
    ASSERT_FALSE(anonymous.isEmpty());
    manager.queueRecord(record("<a@x>"), detail("Bayesian", QByteArray("Subject: a\n\nbody a\n")));
    // Too large to keep: the explanation stays, the source does not.
    manager.queueRecord(record("<big@x>"),
                        detail("NONE", QByteArray(JKW_LogDetails::kMaximumMessageBytes + 1, 'x')));
    // Learned from the log while still queued, then written.
    ASSERT_TRUE(manager.keptSource("<a@x>"));
    EXPECT_EQ(manager.keptSource("<a@x>")->bytes, QByteArray("Subject: a\n\nbody a\n"));
    manager.delayedWriteToDisk();

    const auto index = JKW_LogDetails::readIndex(manager.details().indexPath());
    ASSERT_EQ(index.size(), 3);
    EXPECT_EQ(index.value(anonymous).value(JKW_DETAILS_DECIDED_BY_KEY).toString(), "INT_INVIS");
    EXPECT_FALSE(JKW_LogDetails::entryHasSource(index.value("<big@x>")));
    const auto kept = JKW_LogDetails::readSource(folder, index.value("<a@x>"));
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->bytes, QByteArray("Subject: a\n\nbody a\n"));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(folder + "/" + JKW_LogDetails::sourceFileName("<a@x>")).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(manager.detailOf("<a@x>").value("Source Kept").toBool(), true);

    // A learn record replaces the judged one; its explanation and source stay.
    manager.queueRecord({{JKW_LOG_MESSAGE_ID_KEY, "<a@x>"}, {JKW_LOG_FILTER_KEY, "LEARN_HAM"}});
    manager.delayedWriteToDisk();
    EXPECT_TRUE(manager.keptSource("<a@x>"));

    // The log drops old records: their details and sources go too; of the
    // rest, only the newest sources within the count cap are kept.
    for (int i = 0; i < JKW_LogManager::kMaximumRecords; ++i)
        manager.queueRecord(record(QString("<n%1@x>").arg(i)), detail("NONE", QByteArray("Subject: n\n\nn\n")));
    manager.delayedWriteToDisk();
    const auto after = JKW_LogDetails::readIndex(manager.details().indexPath());
    EXPECT_EQ(after.size(), JKW_LogManager::kMaximumRecords);
    EXPECT_FALSE(after.contains("<a@x>"));
    EXPECT_FALSE(manager.keptSource("<a@x>"));
    EXPECT_EQ(sourceFiles(folder).size(), JKW_LogDetails::kMaximumSources);
    EXPECT_TRUE(manager.keptSource(QString("<n%1@x>").arg(JKW_LogManager::kMaximumRecords - 1)));
    EXPECT_FALSE(manager.keptSource("<n0@x>"));
    EXPECT_FALSE(manager.detailOf("<n0@x>").isEmpty());

    // Switching keeping off lets every source go; clearing the log, the rest.
    manager.setKeepsSources(false);
    EXPECT_TRUE(sourceFiles(folder).isEmpty());
    manager.queueRecord(record("<late@x>"), detail("NONE", QByteArray("Subject: l\n\nl\n")));
    EXPECT_FALSE(manager.keptSource("<late@x>"));
    manager.setKeepsSources(true);
    manager.queueRecord(record("<later@x>"), detail("NONE", QByteArray("Subject: l\n\nl\n")));
    ASSERT_TRUE(manager.clearLog());
    EXPECT_TRUE(JKW_LogDetails::readIndex(manager.details().indexPath()).isEmpty());
    EXPECT_TRUE(sourceFiles(folder).isEmpty());
    EXPECT_FALSE(manager.keptSource("<later@x>"));
}

TEST(LogDetails, damagedIndexesAndSourcesAreIgnoredWithALogLine) {
    Sandbox box;
    platform::log::setCapture(true);
    JKW_LogDetails details;
    ASSERT_TRUE(details.commit({{"<a@x>", detail("NONE", QByteArray("Subject: a\n\nbody\n"))}}, {"<a@x>"}));
    QFile index(details.indexPath());
    ASSERT_TRUE(index.open(QIODevice::ReadOnly));
    const QByteArray good = index.readAll();
    index.close();

    const QByteArray shapes[] = {good.left(good.size() / 2), "[1,2,3]", "{\"Format\":\"other\",\"Records\":{}}",
                                 "{\"Format\":\"Junkward Log Details 1\",\"Records\":[]}", QByteArray(4096, '\0')};
    for (const QByteArray& bytes : shapes) {
        SCOPED_TRACE(bytes.left(40).toStdString());
        platform::log::setCapture(false);
        platform::log::setCapture(true);
        ASSERT_TRUE(index.open(QIODevice::WriteOnly | QIODevice::Truncate));
        index.write(bytes);
        index.close();
        EXPECT_TRUE(JKW_LogDetails::readIndex(details.indexPath()).isEmpty());
        EXPECT_TRUE(captured("is not a log details index"));
        // The engine starts over from such a file and writes a sound one.
        JKW_LogDetails again;
        ASSERT_TRUE(again.commit({{"<b@x>", detail("NONE", std::nullopt)}}, {"<a@x>", "<b@x>"}));
        EXPECT_EQ(JKW_LogDetails::readIndex(details.indexPath()).keys(), QStringList{"<b@x>"});
    }

    // A source altered, cut, or named outside the folder is not trusted.
    ASSERT_TRUE(details.commit({{"<a@x>", detail("NONE", QByteArray("Subject: a\n\nbody\n"))}}, {"<a@x>"}));
    QVariantMap entry = JKW_LogDetails::readIndex(details.indexPath()).value("<a@x>");
    ASSERT_TRUE(JKW_LogDetails::readSource(details.folder(), entry));
    QFile source(details.folder() + "/" + JKW_LogDetails::sourceFileName("<a@x>"));
    ASSERT_TRUE(source.open(QIODevice::ReadWrite));
    source.write("X");
    source.close();
    EXPECT_FALSE(JKW_LogDetails::readSource(details.folder(), entry));
    ASSERT_TRUE(source.resize(3));
    EXPECT_FALSE(JKW_LogDetails::readSource(details.folder(), entry));
    QVariantMap elsewhere = entry.value(JKW_DETAILS_SOURCE_KEY).toMap();
    elsewhere.insert(JKW_DETAILS_SOURCE_FILE_KEY, "../../Preferences/x.plist");
    entry.insert(JKW_DETAILS_SOURCE_KEY, elsewhere);
    EXPECT_FALSE(JKW_LogDetails::readSource(details.folder(), entry));
    platform::log::setCapture(false);
}

// The staged engine with the Bayesian plug-in: a judged message's explanation
// and source survive a restart and the message is learned by its log key.
class LoggedMessages : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus.ready());
        const QString bayesian = QString::fromLocal8Bit(std::getenv("JUNKWARD_STAGE")) +
                                 "/Library/Application Support/Quillon/Junkward/Plugins/Bayesian/Engine.bundle";
        if (!QFileInfo(bayesian).isDir())
            GTEST_SKIP() << "the Bayesian plug-in is not staged";
        ASSERT_TRUE(Sandbox::copyTree(bayesian, box.pluginsFolder() + "/Bayesian/Engine.bundle"));
    }
    void startEngine() {
        ASSERT_TRUE(engine.start());
        ASSERT_TRUE(testsupport::waitUntil([] {
            return platform::ScriptingBus::hasOwner(platform::kEngineBusName) &&
                   platform::RemoteMessagePort::connect(SievraMessagePortName) != nullptr;
        })) << engine.errorOutput().toStdString();
    }
    void quitEngine() {
        EXPECT_TRUE(call("Quit").ok);
        EXPECT_EQ(engine.waitForExit(), 0) << engine.errorOutput().toStdString();
    }
    platform::ScriptingReply call(const QString& method, const QVariantList& arguments = {}) {
        return platform::ScriptingBus::call(platform::kEngineBusName, platform::kEngineObjectPath,
                                            platform::kEngineInterface, method, arguments, 300.0);
    }
    static QByteArray message(int n, bool spam) {
        const QByteArray id = QByteArray::number(n);
        return "Message-ID: <" + id + "@example.org>\nFrom: Ann <ann@example.org>\nSubject: " +
               (spam ? QByteArray("cheap pills casino winner") : QByteArray("minutes of the meeting")) + " " + id +
               "\n\n" +
               (spam ? QByteArray("buy cheap pills now casino jackpot winner viagra offer")
                     : QByteArray("the agenda of the committee meeting and the budget review")) +
               "\n";
    }
    QString logFilter(const QString& key) const {
        const auto log = platform::plist::readDictionary(box.logFile());
        QString filter;
        for (const QVariant& r : log ? log->value(JKW_LOG_LOG).toList() : QVariantList())
            if (r.toMap().value(JKW_LOG_MESSAGE_ID_KEY).toString() == key)
                filter = r.toMap().value(JKW_LOG_FILTER_KEY).toString();
        return filter;
    }

    Sandbox box;
    testsupport::PrivateBus bus{(box.useLocalLibrary(), testsupport::PrivateBus::stagedServices())};
    testsupport::Program engine{"junkward-engine"};
};

TEST_F(LoggedMessages, explainedAfterARestartAndLearnedByTheirLogKey) {
    startEngine();
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(call("LearnSpam", {message(i, true), false}).ok);
        EXPECT_TRUE(call("LearnHam", {message(100 + i, false), false}).ok);
    }
    ASSERT_TRUE(call("CheckSpamStatus", {message(7, true), false}).ok);
    const QString key = "<7@example.org>";
    // Asked before the log is written: the queued details answer.
    const platform::ScriptingReply early = call("ExplainLoggedMessage", {key});
    ASSERT_TRUE(early.ok) << early.errorMessage.toStdString();
    quitEngine();

    startEngine();
    const platform::ScriptingReply explained = call("ExplainLoggedMessage", {key});
    ASSERT_TRUE(explained.ok) << explained.errorMessage.toStdString();
    const QVariantMap details =
        QJsonDocument::fromJson(explained.values.value(0).toString().toUtf8()).object().toVariantMap();
    EXPECT_TRUE(details.value("Source Kept").toBool());
    EXPECT_EQ(details.value(JKW_DETAILS_DECIDED_BY_KEY).toString(), logFilter(key));
    QVariantMap bayesian;
    for (const QVariant& f : details.value(JKW_DETAILS_FILTERS_KEY).toList())
        if (f.toMap().value("SWPluginIdentifier") == "Bayesian")
            bayesian = f.toMap();
    ASSERT_FALSE(bayesian.isEmpty()) << explained.values.value(0).toString().toStdString();
    const QVariantList tokens = bayesian.value("Tokens").toList();
    EXPECT_FALSE(tokens.isEmpty());
    EXPECT_LE(tokens.size(), 15);
    // As the filter explains the message now, from the same store.
    const platform::ScriptingReply fresh = call("Explain", {message(7, true), false});
    ASSERT_TRUE(fresh.ok);
    QVariantMap now;
    for (const QVariant& f : QJsonDocument::fromJson(fresh.values.value(0).toString().toUtf8())
                                 .object()
                                 .toVariantMap()
                                 .value("Filters")
                                 .toList())
        if (f.toMap().value("SWPluginIdentifier") == "Bayesian")
            now = f.toMap();
    EXPECT_DOUBLE_EQ(bayesian.value("Score").toDouble(), now.value("Score").toDouble());
    EXPECT_EQ(tokens, now.value("Tokens").toList());

    // Learned by its key: the log shows the learn in the judged record's place.
    const platform::ScriptingReply learned = call("LearnLoggedMessage", {key, false});
    EXPECT_TRUE(learned.ok) << learned.errorMessage.toStdString();
    EXPECT_TRUE(testsupport::waitUntil([&] { return logFilter(key) == "LEARN_HAM"; }));

    // Keys that name nothing kept: a clear error, and the engine goes on.
    for (const QString& bad : {QString("<nobody@example.org>"), QString(), QString(4096, 'k')}) {
        const platform::ScriptingReply refused = call("LearnLoggedMessage", {bad, true});
        EXPECT_FALSE(refused.ok);
        EXPECT_EQ(refused.errorName, SievraErrorNotKept);
        EXPECT_EQ(call("ExplainLoggedMessage", {bad}).errorName, SievraErrorNoDetails);
    }

    // Clearing the log takes the details with it.
    platform::DistributedNotificationCenter::defaultCenter().post(sw::JKW5_DISTRIBUTEDNOTIFICATION_LOG_RESET);
    EXPECT_TRUE(testsupport::waitUntil([&] { return call("ExplainLoggedMessage", {key}).errorName == SievraErrorNoDetails; }));
    quitEngine();
}

}  // namespace
