// Renders the main window with each filter's settings and each statistics
// period into PNG files of a folder, from the user Library of the environment:
//   x5_screenshots FOLDER
// The root daemon's port must exist (the window waits for it, as at any start).

#include "frontend/app/JKW_LogWindowController.h"
#include "frontend/app/MainController.h"
#include "frontend/app/SUAMainController.h"
#include "frontend/kit/SWPlugInUI.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QCheckBox>
#include <QLineEdit>
#include <QMainWindow>
#include <QSplitter>
#include <QTableView>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

void settle(int ms = 150) {
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "Usage: x5_screenshots FOLDER\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(folder);
    MainController controller;
    controller.awakeFromNib();
    controller.applicationDidFinishLaunching();
    QDeadlineTimer deadline(20000);
    while (!controller.isInitialized() && !deadline.hasExpired())
        settle(100);
    if (!controller.isInitialized()) {
        std::fprintf(stderr, "x5_screenshots: the daemon's port never appeared\n");
        return 1;
    }
    QMainWindow* window = controller.window();
    window->resize(960, 680);
    settle(300);

    int written = 0;
    auto shoot = [&](const QString& name) {
        settle();
        const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".png");
        if (window->grab().save(path)) {
            std::printf("%s\n", qPrintable(path));
            ++written;
        }
    };
    const auto& rows = controller.sortedFilters();
    int index = 0;
    for (int row = 0; row < rows.size(); ++row) {
        PlugInEntry* entry = rows[row];
        if (entry->separator || !controller.selectRow(row))
            continue;
        ++index;
        const QString stem = QStringLiteral("%1-%2").arg(index, 2, 10, QLatin1Char('0')).arg(entry->identifier);
        controller.showSettings();
        shoot(stem + QStringLiteral("-settings"));
        controller.showStatistics();
        const int period = entry->instance->period();
        const char* names[] = {"day", "week", "month"};
        for (int p = 0; p < 3; ++p) {
            entry->instance->takePeriodFrom(p);
            shoot(stem + QStringLiteral("-statistics-") + QLatin1String(names[p]));
        }
        entry->instance->takePeriodFrom(period);
        controller.showSettings();
    }
    // The log viewer on the engine's log: every record newest first, the spam
    // sorted by sender, and a search.
    controller.showLog();
    if (JKW_LogWindowController* log = JKW_LogWindowController::sharedControllerLoadIfNeeded(false)) {
        QWidget* logWindow = log->window();
        logWindow->resize(980, 520);
        log->updateTableFromFile();
        auto shootLog = [&](const QString& name) {
            settle();
            const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".png");
            if (logWindow->grab().save(path)) {
                std::printf("%s (%d rows)\n", qPrintable(path), int(log->visibleLogsArray().size()));
                ++written;
            }
        };
        shootLog(QStringLiteral("log-all-by-date"));
        log->switchDisplayedInfo(JKW_LogWindowController::ShowSpam);
        log->tableViewDidClickTableColumn(JKW_LogTableModel::FromColumn);
        shootLog(QStringLiteral("log-spam-by-sender"));
        log->switchDisplayedInfo(JKW_LogWindowController::ShowAll);
        log->searchField()->setText(QStringLiteral("re:"));
        shootLog(QStringLiteral("log-search"));
        log->searchField()->clear();

        // A record's explanation: one a learning filter decided (its tokens),
        // then one a built-in check decided.
        logWindow->resize(980, 720);
        if (auto* splitter = logWindow->findChild<QSplitter*>())
            splitter->setSizes({300, 360});
        auto selectFirst = [&](const std::function<bool(const JKW_LogRecord&)>& wanted) {
            const auto& rows = log->visibleLogsArray();
            for (int row = 0; row < rows.size(); ++row) {
                if (!wanted(rows.at(row)))
                    continue;
                log->tableView()->clearSelection();
                log->tableView()->selectRow(row);
                log->tableView()->scrollTo(log->tableView()->model()->index(row, 0));
                return true;
            }
            return false;
        };
        auto decidedBy = [&](const JKW_LogRecord& r, bool filter) {
            const QVariantMap details = log->detailsOf(r);
            const QString by = details.value(QStringLiteral("Decided By")).toString();
            const bool isFilter = by == QLatin1String("Bayesian") || by == QLatin1String("ChiSquare");
            return !details.isEmpty() && (filter ? isFilter : !isFilter && by != QLatin1String("NONE"));
        };
        // Preferably spam with a plain subject and a full list of tokens.
        auto plain = [](const JKW_LogRecord& r) {
            const QString subject = r.subject.value_or(QString());
            return !subject.isEmpty() && std::all_of(subject.begin(), subject.end(), [](QChar c) {
                return c.unicode() >= 0x20 && c.unicode() < 0x7f;
            });
        };
        auto tokens = [&](const JKW_LogRecord& r) {
            const QVariantMap details = log->detailsOf(r);
            const QString by = details.value(QStringLiteral("Decided By")).toString();
            for (const QVariant& f : details.value(QStringLiteral("Filters")).toList())
                if (f.toMap().value(QStringLiteral("SWPluginIdentifier")).toString() == by)
                    return f.toMap().value(QStringLiteral("Tokens")).toList().size();
            return qsizetype(0);
        };
        if (selectFirst([&](const JKW_LogRecord& r) { return decidedBy(r, true) && r.spam && plain(r) && tokens(r) >= 8; }) ||
            selectFirst([&](const JKW_LogRecord& r) { return decidedBy(r, true) && plain(r); }) ||
            selectFirst([&](const JKW_LogRecord& r) { return decidedBy(r, true); }))
            shootLog(QStringLiteral("log-explanation-filter"));
        if (selectFirst([&](const JKW_LogRecord& r) { return decidedBy(r, false); }))
            shootLog(QStringLiteral("log-explanation-check"));
        // Good mail that every filter was asked about: the evidence of each.
        if (selectFirst([&](const JKW_LogRecord& r) {
                const QVariantMap details = log->detailsOf(r);
                return plain(r) && details.value(QStringLiteral("Decided By")).toString() == QLatin1String("NONE") &&
                       details.value(QStringLiteral("Filters")).toList().size() >= 2;
            }))
            shootLog(QStringLiteral("log-explanation-good"));
    }
    // Each pane of the set-up assistant, with the mail program chosen.
    SUAMainController& assistant = SUAMainController::sharedMainController();
    if (assistant.open(false)) {
        QWidget* window = assistant.window();
        window->resize(760, 470);
        for (int pane = 0; pane < assistant.paneCount(); ++pane) {
            if (auto* clients = dynamic_cast<SUAMailClientsController*>(assistant.paneControllerAtIndex(pane)))
                clients->mailBox()->setChecked(clients->mailBox()->isEnabled());
            settle();
            const QString path = folder + QStringLiteral("/assistant-%1.png").arg(pane + 1);
            if (window->grab().save(path)) {
                std::printf("%s\n", qPrintable(path));
                ++written;
            }
            assistant.nextSlide();
        }
        window->hide();
    }
    return written > 0 ? 0 : 1;
}
