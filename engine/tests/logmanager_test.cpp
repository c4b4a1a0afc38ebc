// The activity log: merging records into the file, its limit, one record per
// message, clearing, and what happens when the file cannot be written.
#include "EngineTestSupport.h"

#include "engine/JKW_LogManager.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

namespace {

using enginetest::Sandbox;

QVariantMap record(const QString& id, const QString& filter) {
    QVariantMap r{
        {JKW_LOG_FILTER_KEY, filter}, {JKW_LOG_DATE_KEY, QDateTime::currentDateTimeUtc()}, {JKW_LOG_FROM_KEY, "-"}};
    if (!id.isNull())
        r.insert(JKW_LOG_MESSAGE_ID_KEY, id);
    return r;
}

struct LogFile {
    QString version;
    QStringList history;
    QVariantList log;
};

std::optional<LogFile> readLog(const QString& path) {
    auto file = platform::plist::readDictionary(path);
    if (!file)
        return std::nullopt;
    LogFile result;
    result.version = file->value(JKW_LOG_VERSION).toString();
    for (const QVariant& v : file->value(JKW_LOG_HISTORY).toList())
        result.history << v.toString();
    result.log = file->value(JKW_LOG_LOG).toList();
    EXPECT_EQ(file->size(), 3) << "exactly Version, History and Log";
    return result;
}

int countCaptured(const QString& text) {
    int n = 0;
    for (const QString& line : platform::log::captured())
        n += line.contains(text) ? 1 : 0;
    return n;
}

TEST(ActivityLog, recordsMergeIntoOnePerMessageAtThePositionOfTheLatest) {
    struct Case {
        const char* name;
        QList<QPair<QString, QString>> queued;  // (Msg-ID or null, Filt-ID)
        QStringList expectedHistory;            // "*" = a fresh UUID
        QStringList expectedFilters;
    } cases[] = {
        {"distinct messages keep their order", {{"a", "NONE"}, {"b", "BLACKLIST"}}, {"a", "b"}, {"NONE", "BLACKLIST"}},
        {"a later record replaces the earlier one",
         {{"a", "NONE"}, {"b", "NONE"}, {"a", "LEARN_SPAM"}},
         {"b", "a"},
         {"NONE", "LEARN_SPAM"}},
        {"messages without Message-ID are never replaced",
         {{QString(), "NONE"}, {QString(), "NONE"}},
         {"*", "*"},
         {"NONE", "NONE"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        JKW_LogManager manager;
        ASSERT_EQ(manager.logPath(), box.logFile());
        for (const auto& [id, filter] : c.queued)
            manager.queueRecord(record(id, filter));
        manager.delayedWriteToDisk();
        EXPECT_EQ(manager.queuedRecordCount(), 0);
        auto file = readLog(box.logFile());
        ASSERT_TRUE(file);
        EXPECT_EQ(file->version, "5");
        ASSERT_EQ(file->history.size(), c.expectedHistory.size());
        ASSERT_EQ(file->log.size(), c.expectedHistory.size());
        for (int i = 0; i < c.expectedHistory.size(); ++i) {
            const QVariantMap r = file->log.at(i).toMap();
            EXPECT_EQ(r.value(JKW_LOG_MESSAGE_ID_KEY).toString(), file->history.at(i));
            EXPECT_EQ(r.value(JKW_LOG_FILTER_KEY).toString(), c.expectedFilters.at(i));
            if (c.expectedHistory.at(i) == "*") {
                EXPECT_TRUE(QRegularExpression("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")
                                .match(file->history.at(i))
                                .hasMatch())
                    << file->history.at(i).toStdString();
            } else {
                EXPECT_EQ(file->history.at(i), c.expectedHistory.at(i));
            }
        }
        if (c.expectedHistory.size() == 2 && c.expectedHistory.at(0) == "*") {
            EXPECT_NE(file->history.at(0), file->history.at(1));
        }
    }
}

TEST(ActivityLog, aLearnRecordReplacesTheRecordAlreadyInTheFile) {
    Sandbox box;
    JKW_LogManager manager;
    manager.queueRecord(record("m1", "NONE"));
    manager.queueRecord(record("m2", "NONE"));
    manager.delayedWriteToDisk();
    manager.queueRecord(record("m1", "LEARN_SPAM"));
    manager.delayedWriteToDisk();
    auto file = readLog(box.logFile());
    ASSERT_TRUE(file);
    EXPECT_EQ(file->history, (QStringList{"m2", "m1"}));
    EXPECT_EQ(file->log.last().toMap().value(JKW_LOG_FILTER_KEY).toString(), "LEARN_SPAM");
}

TEST(ActivityLog, theFileKeepsTheNewest1024Records) {
    Sandbox box;
    JKW_LogManager manager;
    for (int i = 0; i < 1024; ++i)
        manager.queueRecord(record(QString::number(i), "NONE"));
    manager.delayedWriteToDisk();
    ASSERT_EQ(readLog(box.logFile())->history.size(), 1024);

    manager.queueRecord(record("1024", "NONE"));
    manager.queueRecord(record(QString(), "NONE"));
    manager.queueRecord(record("5", "LEARN_HAM"));  // present: replaced, nothing else dropped
    manager.delayedWriteToDisk();
    auto file = readLog(box.logFile());
    ASSERT_TRUE(file);
    EXPECT_EQ(file->history.size(), 1024);
    EXPECT_EQ(file->log.size(), 1024);
    EXPECT_EQ(file->history.first(), "2");  // 0 and 1 made room
    EXPECT_EQ(file->history.at(1021), "1024");
    EXPECT_EQ(file->history.last(), "5");
    EXPECT_EQ(file->history.count("5"), 1);
}

TEST(ActivityLog, aHostileFileIsBroughtBackWithinTheRules) {
    struct Case {
        const char* name;
        QVariant content;
        int expectedSize;
        bool inconsistent;
    };
    QVariantList bigHistory, bigLog;
    for (int i = 0; i < 3000; ++i) {
        bigHistory << QString("h%1").arg(i);
        bigLog << record(QString("h%1").arg(i), "NONE");
    }
    const Case cases[] = {
        {"more than the limit", QVariantMap{{"Version", "5"}, {"History", bigHistory}, {"Log", bigLog}}, 1024, false},
        {"a Log shorter than its History",
         QVariantMap{
             {"Version", "5"}, {"History", QVariantList{"x", "y", "z"}}, {"Log", QVariantList{record("x", "NONE")}}},
         3, true},
        {"arrays of the wrong type", QVariantMap{{"Version", "5"}, {"History", "x"}, {"Log", 3}}, 1, false},
        {"not a dictionary", QVariantList{1, 2, 3}, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox box;
        platform::log::setCapture(true);
        JKW_LogManager manager;
        ASSERT_TRUE(platform::plist::writeFile(box.logFile(), c.content));
        manager.queueRecord(record(c.inconsistent ? "z" : "new", "NONE"));
        manager.delayedWriteToDisk();
        auto file = readLog(box.logFile());
        ASSERT_TRUE(file);
        EXPECT_EQ(file->history.size(), c.expectedSize);
        EXPECT_EQ(file->history.last(), c.inconsistent ? "z" : "new");
        EXPECT_EQ(countCaptured("Inconsistency between Log and History array") > 0, c.inconsistent);
        platform::log::setCapture(false);
    }
}

TEST(ActivityLog, aFailedWriteKeepsTheQueuedRecordsForTheNextWrite) {
    Sandbox box;
    platform::log::setCapture(true);
    JKW_LogManager manager;
    // A folder where the file must go: the atomic rename fails, even for root.
    ASSERT_TRUE(QDir().mkpath(box.logFile() + "/blocker"));
    for (int i = 0; i < 1500; ++i)
        manager.queueRecord(record(QString::number(i), "NONE"));
    manager.queueRecord(record(QString(), "INT_ADVSUB"));
    manager.delayedWriteToDisk();
    EXPECT_EQ(countCaptured("[JKW_LogManager delayedWriteToDisk:]: Error occured while writing log on disk"), 1);
    // The newest 1024 are kept, the oldest dropped first.
    EXPECT_EQ(manager.queuedRecordCount(), 1024);

    ASSERT_TRUE(QDir(box.logFile()).removeRecursively());
    manager.delayedWriteToDisk();
    EXPECT_EQ(manager.queuedRecordCount(), 0);
    auto file = readLog(box.logFile());
    ASSERT_TRUE(file);
    ASSERT_EQ(file->history.size(), 1024);
    EXPECT_EQ(file->history.first(), "477");
    EXPECT_EQ(file->log.last().toMap().value(JKW_LOG_FILTER_KEY).toString(), "INT_ADVSUB");
    platform::log::setCapture(false);
}

TEST(ActivityLog, clearingDiscardsTheQueueAndLeavesAnEmptyLog) {
    Sandbox box;
    JKW_LogManager manager;
    manager.queueRecord(record("old", "NONE"));
    manager.delayedWriteToDisk();
    manager.queueRecord(record("queued", "NONE"));
    ASSERT_TRUE(manager.clearLog());
    EXPECT_EQ(manager.queuedRecordCount(), 0);
    testsupport::spinFor(100);
    auto file = readLog(box.logFile());
    ASSERT_TRUE(file);
    EXPECT_EQ(file->version, "5");
    EXPECT_TRUE(file->history.isEmpty());
    EXPECT_TRUE(file->log.isEmpty());
}

TEST(ActivityLog, queuedRecordsReachTheFileAfterTheBurstAndAtDestruction) {
    Sandbox box;
    {
        JKW_LogManager manager;
        manager.queueRecord(record("one", "NONE"));
        testsupport::spinFor(1000);
        manager.queueRecord(record("two", "NONE"));
        EXPECT_FALSE(QFileInfo::exists(box.logFile()));
        ASSERT_TRUE(testsupport::waitUntil([&] { return QFileInfo::exists(box.logFile()); }));
        EXPECT_EQ(readLog(box.logFile())->history, (QStringList{"one", "two"}));
        manager.queueRecord(record("three", "NONE"));
    }
    EXPECT_EQ(readLog(box.logFile())->history, (QStringList{"one", "two", "three"}));
}

TEST(ActivityLog, plainFilesInThePlaceOfTheFoldersAreReplaced) {
    for (const QString& blocked : {QStringLiteral("Logs"), QStringLiteral("Logs/Junkward")}) {
        SCOPED_TRACE(blocked.toStdString());
        Sandbox box;
        QDir().mkpath(QFileInfo(box.userLibrary() + "/" + blocked).absolutePath());
        QFile file(box.userLibrary() + "/" + blocked);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("in the way");
        file.close();
        JKW_LogManager manager;
        EXPECT_EQ(manager.logPath(), box.logFile());
        EXPECT_TRUE(QFileInfo(box.userLibrary() + "/Logs/Junkward").isDir());
        manager.queueRecord(record("m", "NONE"));
        manager.delayedWriteToDisk();
        EXPECT_TRUE(readLog(box.logFile()).has_value());
    }
}

}  // namespace
