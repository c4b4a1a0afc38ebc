// The Bayesian filter against bogofilter on the public SpamAssassin corpus.
//
// The corpus is split in two, every other message of each set by file name:
// the first half is learned, the second judged. Printed, for each side, the
// messages learned and judged per second and the confusion table (false
// positives: ham judged spam; missed: spam not judged spam):
//   1. the plug-in's own classifier, in this process (parse, process tree, token
//      store), learning through learnMessageAsSpam / learnMessageAsLegitimate and
//      judging through filter();
//   2. the whole engine: the staged junkward-engine with the Bayesian bundle,
//      judging the second half through its port "Sievra" over the store that
//      step 1 trained (parse, built-in checks, lists, Bayesian filter);
//   3. bogofilter in bulk mode, trained and run on the same halves.
//
// The Chi-Square filter is learned and judged on its own as well, and the whole
// engine runs once more with it switched off; a side-by-side table ends the run,
// with the engine's resident size once it holds the learned stores.
//
// Then, per deciding check or filter, the good and spam messages it decided on
// the judged half (answers of the whole engine) and, for the built-in checks,
// on the whole corpus (bench/decisions.h; JUNKWARD_BENCH_MISJUDGED lists them).
//
// Usage: dbus-run-session -- build/bench/bayes_bench [corpus folder] [engine]
// The corpus defaults to bench/data/spam-assassin (bench/fetch-corpus); a set
// whose name contains "spam" holds spam, every other set ham.

#include "SWBayesFilter.h"
#include "SWChiSquareFilter.h"
#include "SWDataBase.h"
#include "bench/decisions.h"

#include "engine/SievraPort.h"
#include "platform/Bundle.h"
#include "platform/Folders.h"
#include "platform/MessagePort.h"
#include "platform/PropertyList.h"
#include "tests/support/ParsedMessage.h"

#include "BenchSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct Message {
    QString path;
    QByteArray bytes;
    bool spam = false;
};

struct Confusion {
    quint64 ham = 0, spam = 0;
    quint64 falsePositives = 0;  // ham judged spam
    quint64 missed = 0;          // spam not judged spam
    quint64 failures = 0;
    void add(bool isSpam, bool judgedSpam) {
        (isSpam ? spam : ham) += 1;
        if (!isSpam && judgedSpam)
            ++falsePositives;
        if (isSpam && !judgedSpam)
            ++missed;
    }
};

void loadCorpus(const QString& folder, QList<Message>& train, QList<Message>& test) {
    QDir root(folder);
    for (const QString& set : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        QDir dir(root.filePath(set));
        const QStringList files = dir.entryList(QDir::Files, QDir::Name);
        for (qsizetype i = 0; i < files.size(); ++i) {
            QFile f(dir.filePath(files[i]));
            if (!f.open(QIODevice::ReadOnly))
                continue;
            Message m{f.fileName(), f.readAll(), set.contains("spam", Qt::CaseInsensitive)};
            (i % 2 == 0 ? train : test).append(std::move(m));
        }
    }
}

using testsupport::ParsedMessage;

void printRow(const char* who, const char* what, quint64 count, qint64 ns) {
    const double seconds = double(ns) / 1e9;
    std::printf("  %-26s %-8s %6llu messages in %7.3f s = %9.1f messages/s\n", who, what, (unsigned long long)count,
                seconds, seconds > 0 ? double(count) / seconds : 0.0);
}

void printConfusion(const char* who, const Confusion& c) {
    std::printf("  %-26s ham %5llu: %4llu false positives (%5.2f%%) | spam %5llu: %4llu missed (%5.2f%%)", who,
                (unsigned long long)c.ham, (unsigned long long)c.falsePositives,
                c.ham ? 100.0 * double(c.falsePositives) / double(c.ham) : 0.0, (unsigned long long)c.spam,
                (unsigned long long)c.missed, c.spam ? 100.0 * double(c.missed) / double(c.spam) : 0.0);
    if (c.failures)
        std::printf(" | %llu failed", (unsigned long long)c.failures);
    std::printf("\n");
}

// bogofilter with the given arguments, file names on standard input (-b);
// returns its standard output, or an empty array when it failed.
QByteArray runBogofilter(const QStringList& args, const QList<Message>& messages, bool* ok) {
    QProcess p;
    p.start("bogofilter", args);
    if (!p.waitForStarted(10000)) {
        *ok = false;
        return {};
    }
    QByteArray names;
    for (const Message& m : messages)
        names += QFile::encodeName(m.path) + '\n';
    p.write(names);
    p.closeWriteChannel();
    QByteArray out;
    while (!p.waitForFinished(100))
        out += p.readAllStandardOutput();
    out += p.readAllStandardOutput();
    *ok = p.exitStatus() == QProcess::NormalExit;
    return out;
}

// The decisions of the judged half, each message credited to the built-in
// check that decides it or else to the plug-in chain, with the whole engine's
// answer where it ran; and the built-in checks alone on the whole corpus.
// The Chi-Square filter's verdicts and scores on the judged half (in this
// process), to name who decides in the chain.
struct ChiSquareVerdicts {
    QList<qint32> status;
    QList<double> score;
};

void reportDecisions(const QList<Message>& train, const QList<Message>& test, const QList<qint32>& pluginVerdicts,
                     const ChiSquareVerdicts& chiSquare, const QList<qint32>& engineAnswers,
                     const QString& engineBundle) {
    const bench::AdvertisementPattern pattern(engineBundle);
    if (!pattern.loaded())
        std::fprintf(stderr, "bayes_bench: no advertisement pattern in %s\n", qPrintable(engineBundle));
    bench::DecisionTally judged, corpus;
    quint64 disagreements = 0;
    auto tallyCorpus = [&](const Message& m, const bench::BuiltInDecision& d) {
        corpus.add(m.path, m.spam, d.code.isEmpty() ? QStringLiteral("(none)") : d.code, d.spam);
    };
    for (const Message& m : train)
        tallyCorpus(m, bench::builtInDecision(m.bytes.left(SievraMaximumMessageBytes), pattern));
    for (qsizetype i = 0; i < test.size(); ++i) {
        const Message& m = test[i];
        const bench::BuiltInDecision d = bench::builtInDecision(m.bytes.left(SievraMaximumMessageBytes), pattern);
        tallyCorpus(m, d);
        const qint32 plugin = pluginVerdicts.value(i, SWFilterStatusUndecided);
        // Undecided by the checks: the plug-in chain, labelled by the verdicts
        // of its filters in this process: the Chi-Square filter first, the
        // Bayesian filter where it is unsure.
        const qint32 chi = chiSquare.status.value(i, SWFilterStatusUndecided);
        const bool chiDecides = chi == SWFilterStatusSpam || chi == SWFilterStatusLegitimate;
        const QString decider = !d.code.isEmpty()                 ? d.code
                                : chi == SWFilterStatusSpam       ? QStringLiteral("chain, Chi-Square spam")
                                : chi == SWFilterStatusLegitimate ? QStringLiteral("chain, Chi-Square good")
                                : plugin == SWFilterStatusSpam    ? QStringLiteral("chain, Bayesian spam")
                                                                  : QStringLiteral("chain, Bayesian not spam");
        const bool expected = !d.code.isEmpty() ? d.spam
                              : chiDecides      ? chi == SWFilterStatusSpam
                                                : plugin == SWFilterStatusSpam;
        const qint32 answer = engineAnswers.value(i, -1);
        if (answer >= 0 && (answer == SievraReplySpam) != expected)
            ++disagreements;
        const QString where = i < chiSquare.score.size()
                                  ? m.path + QStringLiteral("\tChi-Square score %1").arg(chiSquare.score[i], 0, 'f', 4)
                                  : m.path;
        judged.add(where, m.spam, decider, answer >= 0 ? answer == SievraReplySpam : expected);
    }
    judged.print("Judged half (whole engine's answers; deciding check run in this process)");
    if (disagreements)
        std::printf("  %llu answers of the engine differ from this process's checks and filters\n",
                    (unsigned long long)disagreements);
    corpus.print("Whole corpus, built-in checks only (default settings)");
}

// ---- The Chi-Square filter beside the others ----

struct SideBySideRow {
    const char* who = "";
    quint64 ham = 0, spam = 0, falsePositives = 0, caught = 0;
    qint64 unsure = -1;  // -1: the classifier has no unsure answer
    double learnedPerSecond = -1, judgedPerSecond = -1;
};

double perSecond(quint64 count, qint64 ns) { return ns > 0 ? double(count) / (double(ns) / 1e9) : -1; }

SideBySideRow rowOf(const char* who, const Confusion& c, qint64 unsure, quint64 learned, qint64 learnNs,
                    qint64 judgeNs) {
    return {who,
            c.ham,
            c.spam,
            c.falsePositives,
            c.spam - c.missed,
            unsure,
            learnNs > 0 ? perSecond(learned, learnNs) : -1,
            perSecond(c.ham + c.spam, judgeNs)};
}

void printSideBySide(const std::vector<SideBySideRow>& rows, long residentKilobytes) {
    std::printf("\nSide by side on the judged half\n  %-30s %12s %16s %8s %11s %11s\n", "", "false pos.", "spam caught",
                "unsure", "learned/s", "judged/s");
    for (const SideBySideRow& r : rows) {
        char unsure[16] = "-", learned[16] = "-", judged[16] = "-";
        if (r.unsure >= 0)
            std::snprintf(unsure, sizeof unsure, "%lld", (long long)r.unsure);
        if (r.learnedPerSecond >= 0)
            std::snprintf(learned, sizeof learned, "%.1f", r.learnedPerSecond);
        if (r.judgedPerSecond >= 0)
            std::snprintf(judged, sizeof judged, "%.1f", r.judgedPerSecond);
        std::printf("  %-30s %5llu / %-5llu %5llu (%5.1f%%) %8s %11s %11s\n", r.who,
                    (unsigned long long)r.falsePositives, (unsigned long long)r.ham, (unsigned long long)r.caught,
                    r.spam ? 100.0 * double(r.caught) / double(r.spam) : 0.0, unsure, learned, judged);
    }
    if (residentKilobytes > 0)
        std::printf("  engine resident size with the learned stores: %.1f MB\n", double(residentKilobytes) / 1024.0);
}

// The resident set of a process, in kilobytes; -1 when unknown.
long residentKilobytes(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

// The Chi-Square filter alone, in this process, over the user's caches folder
// (the engine opens the same store afterwards).
struct ChiSquareRun {
    Confusion confusion;
    ChiSquareVerdicts verdicts;
    qint64 unsure = 0, learnNs = 0, judgeNs = 0;
    quint64 failures = 0;
};

ChiSquareRun runChiSquare(const QString& localLibrary, const QList<Message>& train, const QList<Message>& test) {
    ChiSquareRun run;
    const auto bundle =
        platform::Bundle::open(localLibrary + "/Application Support/Quillon/Junkward/Plugins/ChiSquare/Engine.bundle");
    auto filter = std::make_unique<SWChiSquareFilter>();
    if (!bundle || !filter->initializeWithBundle(bundle, "ChiSquare")) {
        std::fprintf(stderr, "bayes_bench: the Chi-Square bundle is not staged; its rows are left out\n");
        run.failures = quint64(train.size());
        return run;
    }
    QElapsedTimer timer;
    timer.start();
    for (const Message& m : train) {
        const ParsedMessage p(m.bytes);
        const QString id = QFileInfo(m.path).fileName();
        const bool ok =
            m.spam ? filter->learnMessageAsSpam(p.part(), id) : filter->learnMessageAsLegitimate(p.part(), id);
        run.failures += ok ? 0 : 1;
    }
    run.learnNs = timer.nsecsElapsed();
    timer.restart();
    for (const Message& m : test) {
        const ParsedMessage p(m.bytes);
        const qint32 status = filter->filter(p.part());
        run.unsure += status == SWFilterStatusUndecided ? 1 : 0;
        run.verdicts.status.append(status);
        run.verdicts.score.append(filter->lastVerdict().score);
        run.confusion.add(m.spam, status == SWFilterStatusSpam);
    }
    run.judgeNs = timer.nsecsElapsed();
    return run;
}

// The whole engine judging the judged half through its port; its resident
// size at the end when asked for.
Confusion runEngine(const QString& engine, const QList<Message>& test, qint64* judgeNs, long* resident) {
    Confusion result;
    bench::EngineProcess process;
    if (!process.start(engine)) {
        result.failures = quint64(test.size());
        return result;
    }
    QElapsedTimer timer;
    timer.start();
    for (const Message& m : test) {
        qint32 answer = 0;
        if (!process.judge(m.bytes.left(SievraMaximumMessageBytes), &answer)) {
            ++result.failures;
            continue;
        }
        result.add(m.spam, answer == 1);
    }
    *judgeNs = timer.nsecsElapsed();
    if (resident)
        *resident = residentKilobytes(process.processId());
    return result;
}

void setChiSquareStatus(const QString& library, bool on) {
    platform::plist::writeFile(library + "/Preferences/com.quillon.junkward.ChiSquare.plist",
                               QVariantMap{{"Status", on}});
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString benchDir = QCoreApplication::applicationDirPath();
    const QStringList args = app.arguments();
    const QString corpus = bench::corpusFolder(args);
    const QString stage =
        qEnvironmentVariableIsEmpty("JUNKWARD_STAGE") ? benchDir + "/../stage" : qEnvironmentVariable("JUNKWARD_STAGE");
    const QString engine = bench::engineProgram(args);
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
        std::fprintf(stderr, "bayes_bench: run it inside dbus-run-session\n");
        return 2;
    }
    QList<Message> train, test;
    loadCorpus(corpus, train, test);
    if (train.isEmpty() || test.isEmpty()) {
        std::fprintf(stderr, "bayes_bench: no messages under %s (run bench/fetch-corpus)\n", qPrintable(corpus));
        return 2;
    }

    QTemporaryDir library;
    QByteArray runtimeTemplate = "/tmp/jbb-XXXXXX";
    const char* runtime = mkdtemp(runtimeTemplate.data());
    if (!library.isValid() || !runtime)
        return 2;
    qputenv("XDG_RUNTIME_DIR", runtime);
    qputenv("JUNKWARD_USER_LIBRARY", library.path().toUtf8());
    const QString localLibrary = QDir::cleanPath(stage + "/Library");
    qputenv("JUNKWARD_LOCAL_LIBRARY", localLibrary.toUtf8());
    const auto bundle =
        platform::Bundle::open(localLibrary + "/Application Support/Quillon/Junkward/Plugins/Bayesian/Engine.bundle");
    if (!bundle) {
        std::fprintf(stderr, "bayes_bench: the Bayesian bundle is not staged\n");
        return 2;
    }
    // Engine settings: no progress notices; periodic cleaning off for a steady run.
    QDir().mkpath(library.path() + "/Preferences");
    platform::plist::writeFile(library.path() + "/Preferences/com.quillon.junkward.General.plist",
                               QVariantMap{{"Status", true}, {"Settings", QVariantMap{{"Show Feedback", false}}}});
    platform::plist::writeFile(
        library.path() + "/Preferences/com.quillon.junkward.Bayesian.plist",
        QVariantMap{{"Status", true},
                    {"Settings", QVariantMap{{"Clean Periodically", false}, {"Automatically Learn", false}}}});

    quint64 trainHam = 0, trainSpam = 0;
    for (const Message& m : train)
        (m.spam ? trainSpam : trainHam) += 1;
    std::printf("Corpus %s: learning %lld messages (%llu ham, %llu spam), judging %lld\n\n", qPrintable(corpus),
                (long long)train.size(), (unsigned long long)trainHam, (unsigned long long)trainSpam,
                (long long)test.size());

    // 1. The plug-in's own classifier.
    Confusion plugin;
    QList<qint32> pluginVerdicts;
    qint64 pluginLearnNs = 0, pluginJudgeNs = 0;
    quint64 learnFailures = 0;
    {
        auto filter = std::make_unique<SWBayesFilter>();
        if (!filter->initializeWithBundle(bundle, "Bayesian")) {
            std::fprintf(stderr, "bayes_bench: the filter did not initialise\n");
            return 1;
        }
        QElapsedTimer timer;
        timer.start();
        for (const Message& m : train) {
            const ParsedMessage p(m.bytes);
            const QString id = QFileInfo(m.path).fileName();
            const bool ok =
                m.spam ? filter->learnMessageAsSpam(p.part(), id) : filter->learnMessageAsLegitimate(p.part(), id);
            learnFailures += ok ? 0 : 1;
        }
        pluginLearnNs = timer.nsecsElapsed();
        timer.restart();
        for (const Message& m : test) {
            const ParsedMessage p(m.bytes);
            pluginVerdicts.append(filter->filter(p.part()));
            plugin.add(m.spam, pluginVerdicts.back() == SWFilterStatusSpam);
        }
        pluginJudgeNs = timer.nsecsElapsed();
        filter->delayedSaveBulletinOnDisk();
        QCoreApplication::processEvents();
        std::printf("Token store: %lld records after learning (%llu learn failures)\n\n",
                    (long long)(SWDataBase::sharedDataBase() ? SWDataBase::sharedDataBase()->recordCount() : -1),
                    (unsigned long long)learnFailures);
    }  // closes the store, so the engine can open it
    const ChiSquareRun chiSquare = runChiSquare(localLibrary, train, test);

    // 2. The whole engine on the trained store.
    Confusion engineResult;
    QList<qint32> engineAnswers(test.size(), -1);
    qint64 engineJudgeNs = 0;
    bool engineRan = false;
    if (QFileInfo(engine).isExecutable()) {
        bench::EngineProcess engineProcess;
        if (engineProcess.start(engine)) {
            engineRan = true;
            QElapsedTimer timer;
            timer.start();
            for (qsizetype i = 0; i < test.size(); ++i) {
                const Message& m = test[i];
                qint32 answer = 0;
                if (!engineProcess.judge(m.bytes.left(SievraMaximumMessageBytes), &answer)) {
                    ++engineResult.failures;
                    continue;
                }
                engineAnswers[i] = answer;
                engineResult.add(m.spam, answer == SievraReplySpam);
            }
            engineJudgeNs = timer.nsecsElapsed();
        } else {
            std::fprintf(stderr, "bayes_bench: the engine did not open its port\n");
        }
    } else {
        std::fprintf(stderr, "bayes_bench: no engine at %s; the whole-engine row is left out\n", qPrintable(engine));
    }

    // 2b. The whole engine again, for its size, and with the Chi-Square filter off.
    qint64 engineOnNs = 0, engineOffNs = 0;
    long resident = -1;
    Confusion engineOn, engineOff;
    if (QFileInfo(engine).isExecutable()) {
        engineOn = runEngine(engine, test, &engineOnNs, &resident);
        setChiSquareStatus(library.path(), false);
        engineOff = runEngine(engine, test, &engineOffNs, nullptr);
        setChiSquareStatus(library.path(), true);
    }

    // 3. bogofilter on the same halves.
    Confusion bogo;
    qint64 bogoLearnNs = 0, bogoJudgeNs = 0;
    bool bogoRan = !QStandardPaths::findExecutable("bogofilter").isEmpty();
    QTemporaryDir bogoDir;
    qint64 bogoUnsure = -1;
    if (bogoRan) {
        QList<Message> spamTrain, hamTrain;
        for (const Message& m : train)
            (m.spam ? spamTrain : hamTrain).append(m);
        bool ok1 = false, ok2 = false, ok3 = false;
        QElapsedTimer timer;
        timer.start();
        runBogofilter({"-d", bogoDir.path(), "-s", "-b"}, spamTrain, &ok1);
        runBogofilter({"-d", bogoDir.path(), "-n", "-b"}, hamTrain, &ok2);
        bogoLearnNs = timer.nsecsElapsed();
        timer.restart();
        const QByteArray out = runBogofilter({"-d", bogoDir.path(), "-T", "-b"}, test, &ok3);
        bogoJudgeNs = timer.nsecsElapsed();
        bogoRan = ok1 && ok2 && ok3;
        // One line per file: "<path> S|H|U <score>".
        QHash<QString, bool> verdicts;
        bogoUnsure = 0;
        for (const QByteArray& line : out.split('\n')) {
            const qsizetype space = line.lastIndexOf(' ');
            const qsizetype space2 = space > 0 ? line.lastIndexOf(' ', space - 1) : -1;
            if (space2 <= 0)
                continue;
            verdicts.insert(QFile::decodeName(line.left(space2)), line.mid(space2 + 1, 1) == "S");
            bogoUnsure += line.mid(space2 + 1, 1) == "U" ? 1 : 0;
        }
        for (const Message& m : test) {
            const auto it = verdicts.constFind(m.path);
            if (it == verdicts.constEnd())
                ++bogo.failures;
            else
                bogo.add(m.spam, *it);
        }
    } else {
        std::fprintf(stderr, "bayes_bench: bogofilter is not installed; its rows are left out\n");
    }

    std::printf("Rates\n");
    printRow("Bayesian plug-in", "learn", quint64(train.size()), pluginLearnNs);
    printRow("Bayesian plug-in", "judge", quint64(test.size()), pluginJudgeNs);
    if (engineRan)
        printRow("whole engine (port)", "judge", engineResult.ham + engineResult.spam, engineJudgeNs);
    if (bogoRan) {
        printRow("bogofilter -b", "learn", quint64(train.size()), bogoLearnNs);
        printRow("bogofilter -b", "judge", quint64(test.size()), bogoJudgeNs);
    }
    std::printf("\nConfusion on the judged half\n");
    printConfusion("Bayesian plug-in", plugin);
    if (engineRan)
        printConfusion("whole engine (port)", engineResult);
    if (bogoRan)
        printConfusion("bogofilter", bogo);
    if (engineRan && bogoRan) {
        const double engineRate = double(engineResult.ham + engineResult.spam) / (double(engineJudgeNs) / 1e9);
        const double bogoRate = double(test.size()) / (double(bogoJudgeNs) / 1e9);
        std::printf("\nEngine judging rate / bogofilter bulk judging rate: %.2f\n", engineRate / bogoRate);
    }
    std::vector<SideBySideRow> rows;
    if (engineOn.ham + engineOn.spam > 0)
        rows.push_back(rowOf("whole engine", engineOn, -1, 0, 0, engineOnNs));
    if (engineOff.ham + engineOff.spam > 0)
        rows.push_back(rowOf("whole engine, Chi-Square off", engineOff, -1, 0, 0, engineOffNs));
    if (chiSquare.confusion.ham + chiSquare.confusion.spam > 0)
        rows.push_back(rowOf("Chi-Square plug-in", chiSquare.confusion, chiSquare.unsure, quint64(train.size()),
                             chiSquare.learnNs, chiSquare.judgeNs));
    rows.push_back(rowOf("Bayesian plug-in", plugin, -1, quint64(train.size()), pluginLearnNs, pluginJudgeNs));
    if (bogoRan)
        rows.push_back(rowOf("bogofilter -b", bogo, bogoUnsure, quint64(train.size()), bogoLearnNs, bogoJudgeNs));
    printSideBySide(rows, resident);
    reportDecisions(train, test, pluginVerdicts, chiSquare.verdicts, engineAnswers,
                    localLibrary + "/Application Support/Quillon/Junkward/Junkward Engine.app");
    return 0;
}
