// The engine's per-message bookkeeping: recording one verdict in a statistics
// calendar (counters at five levels and the pruning walk), and merging a batch
// of log records into a full activity log (1024 records, one per Message-ID)
// with its atomic write. No other program does this work, so there is no peer
// figure.
//
//   activitylog_bench [batches, default 50]

#include "engine/JKW_LogManager.h"
#include "engine/SWPlugInFilter.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

namespace {

QVariantMap record(int i) {
    return {{JKW_LOG_MESSAGE_ID_KEY, QStringLiteral("<%1@bench.example.org>").arg(i)},
            {JKW_LOG_FILTER_KEY, i % 3 ? "NONE" : "BayesianFilter"},
            {JKW_LOG_DATE_KEY, QDateTime::currentDateTimeUtc()},
            {JKW_LOG_FROM_KEY, QStringLiteral("Sender %1 <sender%1@example.com>").arg(i)},
            {JKW_LOG_SUBJECT_KEY, QStringLiteral("Subject line number %1").arg(i)}};
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int batches = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;

    // Statistics: a year of hourly records, then as many at "now".
    QVariantMap statistics;
    const QDateTime start(QDate(2026, 1, 1), QTime(0, 0), Qt::LocalTime);
    const int hours = 365 * 24;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < hours; ++i)
        SWPlugInFilter::addToStatistics(statistics, i % 5 == 0 ? SWFilterStatusSpam : SWFilterStatusLegitimate,
                                        start.addSecs(qint64(i) * 3600));
    const double calendarSeconds = timer.nsecsElapsed() / 1e9;
    std::printf("statistics: %d records across a year in %.3f s: %.0f records/s\n", hours, calendarSeconds,
                hours / calendarSeconds);

    // Activity log: fill to the limit, then merge batches of 20 (the usual queue
    // of a burst), half of them replacing earlier records.
    QTemporaryDir dir;
    qputenv("JUNKWARD_USER_LIBRARY", dir.path().toLocal8Bit());
    JKW_LogManager manager;
    for (int i = 0; i < JKW_LogManager::kMaximumRecords; ++i)
        manager.queueRecord(record(i));
    manager.delayedWriteToDisk();
    int next = JKW_LogManager::kMaximumRecords;
    timer.restart();
    for (int b = 0; b < batches; ++b) {
        for (int i = 0; i < 20; ++i)
            manager.queueRecord(record(i % 2 ? next++ : next - 500));
        manager.delayedWriteToDisk();
    }
    const double logSeconds = timer.nsecsElapsed() / 1e9;
    std::printf("activity log: %d merges of 20 records into a full log in %.3f s: %.2f ms per merge and write\n",
                batches, logSeconds, logSeconds * 1000.0 / batches);

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak resident memory: %ld KiB\n", usage.ru_maxrss);
    return 0;
}
