// Messages per second through the engine's port "Sievra", one message per
// request as the mail plug-in sends them, with the built-in checks and the
// white and black lists in the chain (no plug-in bundles), and how many
// messages each check decided, split by ham and spam.
//
// Usage: dbus-run-session -- build/bench/pipeline_bench [corpus folder] [engine]
// The corpus folder defaults to bench/data/spam-assassin (bench/fetch-corpus);
// a set whose name contains "spam" holds spam, every other set ham. The engine
// defaults to the staged junkward-engine. The engine runs with a temporary
// user Library and an empty machine-wide plug-in folder. With
// JUNKWARD_BENCH_MISJUDGED set, every good message answered spam is listed
// with its "Filt-ID" (2: the missed spam too).

#include "engine/SievraPort.h"
#include "mailparse/SARef.h"
#include "mailparse/SAString.h"
#include "platform/MessagePort.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "tests/support/ParsedMessage.h"

#include "BenchSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

constexpr int kBatchSize = 1000;  // the log keeps 1 024 records

struct Message {
    QString path;
    QByteArray bytes;
    bool spam = false;
    bool answeredSpam = false;
    QString messageID;  // trimmed Message-ID header, empty when none
};

QString trimmedMessageID(const QByteArray& bytes) {
    const testsupport::ParsedMessage parsed(bytes);
    QString id;
    if (parsed.result() != -1) {
        auto value = SARef<SAString>::adopt(parsed->copyMessageID());
        if (value && value->cString())
            id = QString::fromLatin1(value->cString(), static_cast<qsizetype>(value->length())).trimmed();
    }
    return id;
}

QList<Message> loadCorpus(const QString& folder) {
    QList<Message> messages;
    QStringList files;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(it.next());
    files.sort();
    for (const QString& path : files) {
        if (QFileInfo(path).fileName().startsWith('.'))
            continue;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        Message m;
        m.path = path;
        m.bytes = file.read(SievraMaximumMessageBytes);
        m.spam = QFileInfo(path).dir().dirName().contains("spam", Qt::CaseInsensitive);
        m.messageID = trimmedMessageID(m.bytes);
        messages.append(m);
    }
    return messages;
}

bool writePreferences(const QString& library, const QString& identifier, const QVariantMap& settings) {
    QDir().mkpath(library + "/Preferences");
    QVariantMap preferences{{"Status", true}, {"Settings", settings}};
    return platform::plist::writeFile(library + "/Preferences/com.quillon.junkward." + identifier + ".plist",
                                      preferences);
}

QVariantMap rule(const char* key, int method, const char* value) {
    return {{"Status", true}, {"Key", key}, {"Method", qint64(method)}, {"Value", value}};
}

QVariantList readLog(const QString& logPath) {
    const auto log = platform::plist::readDictionary(logPath);
    return log ? log->value("Log").toList() : QVariantList();
}

bool looksLikeUUID(const QString& s) {
    static const QRegularExpression uuid("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$");
    return uuid.match(s).hasMatch();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString corpus = bench::corpusFolder(args);
    const QString engine = bench::engineProgram(args);

    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
        std::fprintf(stderr, "pipeline_bench: run it inside dbus-run-session\n");
        return 2;
    }
    if (!QFileInfo(engine).isExecutable()) {
        std::fprintf(stderr, "pipeline_bench: no engine at %s\n", qPrintable(engine));
        return 2;
    }
    QList<Message> messages = loadCorpus(corpus);
    if (messages.isEmpty()) {
        std::fprintf(stderr, "pipeline_bench: no messages under %s (run bench/fetch-corpus)\n", qPrintable(corpus));
        return 2;
    }

    // A private user Library, runtime folder and plug-in folder.
    QTemporaryDir library;
    QTemporaryDir localLibrary;
    QByteArray runtimeTemplate = "/tmp/jwb-XXXXXX";
    const char* runtime = mkdtemp(runtimeTemplate.data());
    if (!library.isValid() || !localLibrary.isValid() || !runtime) {
        std::fprintf(stderr, "pipeline_bench: cannot make temporary folders\n");
        return 2;
    }
    QDir().mkpath(localLibrary.path() + "/Application Support/Quillon/Junkward/Plugins");
    qputenv("XDG_RUNTIME_DIR", runtime);
    qputenv("JUNKWARD_USER_LIBRARY", library.path().toUtf8());
    qputenv("JUNKWARD_LOCAL_LIBRARY", localLibrary.path().toUtf8());

    // Every built-in check on except "Filter non Japanese Encodings", which
    // would call every other message spam; no progress notices.
    writePreferences(library.path(), "General",
                     {{"Show Feedback", false},
                      {"Filter HTML Base 64", true},
                      {"Filter Asiatic or Cyrillic Encodings", true},
                      {"Filter Japanese Encodings", true},
                      {"Filter non Japanese Encodings", false},
                      {"Trust Spam Headers", true},
                      {"Incorrect Message-ID", true},
                      {"ADV Subject", true}});
    writePreferences(library.path(), "WhiteList",
                     {{"Use AddressBook", true},
                      {"Array", QVariantList{rule("Any Recipient", 1, "friends@example.org"),
                                             rule("From", 4, "^boss@(mail\\.)?example\\.com$")}}});
    writePreferences(library.path(), "BlackList",
                     {{"Array", QVariantList{rule("Subject", 4, "(^|[^a-z])(v[i1]agra|c[i1]al[i1]s)([^a-z]|$)"),
                                             rule("From", 2, "@spam.example")}}});

    bench::EngineProcess engineProcess;
    if (!engineProcess.start(engine)) {
        std::fprintf(stderr, "pipeline_bench: the engine did not open its port\n");
        return 1;
    }

    const QString logPath = library.path() + "/Logs/Junkward/Junkward Log.log";
    struct Counts {
        quint64 ham = 0;
        quint64 spam = 0;
    };
    QMap<QString, Counts> decisions;
    quint64 replySpam[2] = {0, 0};  // by label: ham, spam
    QStringList misjudged, missed;
    quint64 sent = 0;
    quint64 bytes = 0;
    quint64 failures = 0;
    quint64 unmatched = 0;
    qint64 sendNanoseconds = 0;
    quint64 hamTotal = 0;
    quint64 spamTotal = 0;

    for (qsizetype start = 0; start < messages.size(); start += kBatchSize) {
        const qsizetype end = std::min<qsizetype>(messages.size(), start + kBatchSize);
        // An empty log for each batch, so its records line up with the batch.
        platform::DistributedNotificationCenter::defaultCenter().post("JKW5_DISTRIBUTEDNOTIFICATION_LOG_RESET");
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 500)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

        QElapsedTimer timer;
        timer.start();
        for (qsizetype i = start; i < end; ++i) {
            qint32 answer = 0;
            if (!engineProcess.judge(messages[i].bytes, &answer)) {
                ++failures;
                continue;
            }
            messages[i].answeredSpam = answer == SievraReplySpam;
            if (answer == SievraReplySpam)
                ++replySpam[messages[i].spam ? 1 : 0];
            ++sent;
            bytes += static_cast<quint64>(messages[i].bytes.size());
        }
        sendNanoseconds += timer.nsecsElapsed();

        // The log is written 3 s after the last record.
        QThread::msleep(3800);
        QVariantList records = readLog(logPath);
        for (int wait = 0; wait < 20 && records.isEmpty(); ++wait) {
            QThread::msleep(500);
            records = readLog(logPath);
        }

        // Records come in send order; a message whose Message-ID returns later
        // in the batch lost its record to the later one.
        QMap<QString, qsizetype> lastIndex;
        for (qsizetype i = start; i < end; ++i) {
            if (!messages[i].messageID.isEmpty())
                lastIndex[messages[i].messageID] = i;
        }
        qsizetype next = 0;
        for (qsizetype i = start; i < end; ++i) {
            const Message& m = messages[i];
            (m.spam ? spamTotal : hamTotal)++;
            if (!m.messageID.isEmpty() && lastIndex.value(m.messageID) != i) {
                ++unmatched;
                continue;
            }
            if (next >= records.size()) {
                ++unmatched;
                continue;
            }
            const QVariantMap record = records.at(next).toMap();
            const QString recordID = record.value("Msg-ID").toString();
            if (!m.messageID.isEmpty() && recordID != m.messageID && !looksLikeUUID(recordID)) {
                ++unmatched;
                continue;
            }
            ++next;
            const QString decider = record.value("Filt-ID").toString();
            Counts& c = decisions[decider];
            (m.spam ? c.spam : c.ham)++;
            if (!m.spam && m.answeredSpam)
                misjudged.append("  good judged spam\t" + decider + "\t" + m.path);
            else if (m.spam && !m.answeredSpam)
                missed.append("  spam missed\t" + decider + "\t" + m.path);
        }
    }

    // Peak resident memory of the engine over the whole run.
    QString peakMemory = "unknown";
    QFile status(QStringLiteral("/proc/%1/status").arg(engineProcess.processId()));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM:"))
                peakMemory = QString::fromLatin1(line.mid(6).simplified());
        }
    }

    engineProcess.stop();
    QDir(QString::fromLocal8Bit(runtime)).removeRecursively();

    const double seconds = static_cast<double>(sendNanoseconds) / 1e9;
    std::printf("pipeline_bench: %llu messages (%llu ham, %llu spam), %.1f MB, from %s\n",
                static_cast<unsigned long long>(sent), static_cast<unsigned long long>(hamTotal),
                static_cast<unsigned long long>(spamTotal), static_cast<double>(bytes) / 1e6, qPrintable(corpus));
    std::printf("  through the port: %.0f messages/s, %.1f MB/s (%.3f s judging; %llu failed requests)\n",
                seconds > 0 ? static_cast<double>(sent) / seconds : 0.0,
                seconds > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0.0, seconds,
                static_cast<unsigned long long>(failures));
    std::printf("  engine peak resident memory: %s\n", qPrintable(peakMemory));
    std::printf(
        "  checks on: all but \"Filter non Japanese Encodings\"; lists with two rules each, empty address book\n");
    std::printf("  answered spam: %llu of %llu ham (false positives), %llu of %llu spam\n",
                static_cast<unsigned long long>(replySpam[0]), static_cast<unsigned long long>(hamTotal),
                static_cast<unsigned long long>(replySpam[1]), static_cast<unsigned long long>(spamTotal));
    std::printf("  decisions by Filt-ID:           ham      spam\n");
    for (auto it = decisions.cbegin(); it != decisions.cend(); ++it) {
        std::printf("    %-24s %8llu  %8llu\n", qPrintable(it.key()), static_cast<unsigned long long>(it->ham),
                    static_cast<unsigned long long>(it->spam));
    }
    if (unmatched)
        std::printf("    %-24s %8llu\n", "(no record: replaced or unparsed)",
                    static_cast<unsigned long long>(unmatched));
    const int listing = qEnvironmentVariableIntValue("JUNKWARD_BENCH_MISJUDGED");
    for (const QString& line : listing >= 1 ? misjudged : QStringList())
        std::printf("%s\n", qPrintable(line));
    for (const QString& line : listing >= 2 ? missed : QStringList())
        std::printf("%s\n", qPrintable(line));
    std::printf("  no peer tool judges with header rules and these checks on this machine; none is timed beside it\n");
    return failures == 0 ? 0 : 1;
}
