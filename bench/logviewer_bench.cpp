// The log viewer on a full activity log (1024 records with 1000-character
// subjects): reading the file (done off the main thread), rebuilding the rows
// on the main thread after a change, and re-sorting by each column. No other
// program shows this log, so there is no peer figure.
//
//   logviewer_bench [rounds, default 20]

#include "engine/JKW_LogManager.h"
#include "frontend/app/JKW_LogWindowController.h"
#include "platform/PropertyList.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

namespace {

QVariantMap fullLog(int generation) {
    QVariantList records;
    QVariantList history;
    const QString filler(1000, QLatin1Char('x'));
    for (int i = 0; i < JKW_LogManager::kMaximumRecords; ++i) {
        const QString id = QStringLiteral("<%1.%2@bench.example.org>").arg(generation).arg(i);
        records << QVariantMap{{JKW_LOG_MESSAGE_ID_KEY, id},
                               {JKW_LOG_FILTER_KEY, i % 3 ? "Bayesian" : "NONE"},
                               {JKW_LOG_DATE_KEY, QDateTime::currentDateTimeUtc().addSecs(-i * 60)},
                               {JKW_LOG_FROM_KEY, QStringLiteral("Sender %1 <sender%1@example.com>").arg(i % 97)},
                               {JKW_LOG_SUBJECT_KEY, QStringLiteral("%1 subject %2 ").arg(generation).arg(i) + filler}};
        history << id;
    }
    return {{JKW_LOG_VERSION, JKW_LOG_VERSION_VERSION_5}, {JKW_LOG_HISTORY, history}, {JKW_LOG_LOG, records}};
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir dir;
    qputenv("JUNKWARD_USER_LIBRARY", dir.path().toLocal8Bit());
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;

    JKW_LogWindowController* viewer = JKW_LogWindowController::sharedController();
    const QString path = viewer->logLocation();
    QDir().mkpath(QFileInfo(path).path());
    platform::plist::writeFile(path, fullLog(0));
    std::printf("log file: %lld bytes, %d records\n", static_cast<long long>(QFileInfo(path).size()),
                JKW_LogManager::kMaximumRecords);

    QElapsedTimer timer;
    timer.start();
    for (int r = 0; r < rounds; ++r)
        JKW_LogWindowController::readLogFile(path);
    std::printf("reading (worker thread): %.1f ms per read\n", timer.nsecsElapsed() / 1e6 / rounds);

    double rebuild = 0;
    for (int r = 1; r <= rounds; ++r) {
        platform::plist::writeFile(path, fullLog(r));
        timer.restart();
        viewer->updateTableFromFile();
        const double total = timer.nsecsElapsed() / 1e6;
        timer.restart();
        JKW_LogWindowController::readLogFile(path);
        rebuild += total - timer.nsecsElapsed() / 1e6;
    }
    std::printf("rows rebuilt after a change (main thread, read excluded): %.1f ms\n", rebuild / rounds);

    for (int column = 0; column < JKW_LogTableModel::ColumnCount; ++column) {
        timer.restart();
        for (int r = 0; r < rounds; ++r)
            viewer->tableViewDidClickTableColumn(column);
        std::printf("sort by %-7s: %.2f ms\n", qPrintable(JKW_LogWindowController::columnIdentifiers().at(column)),
                    timer.nsecsElapsed() / 1e6 / rounds);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak resident memory: %ld KiB\n", usage.ru_maxrss);
    JKW_LogWindowController::releaseSharedController();
    return 0;
}
