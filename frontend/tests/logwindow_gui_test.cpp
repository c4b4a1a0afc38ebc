// The log viewer: senders, verdict filters and search, the sort orders, the
// date column, the export of a filtered view, damaged and large log files, and
// following and clearing the log of a running engine.
#include "FrontEndTestSupport.h"

#include "engine/JKW_LogDetails.h"
#include "engine/JKW_LogManager.h"
#include "frontend/app/JKW_LogWindowController.h"
#include "platform/PropertyList.h"
#include "platform/ScriptingBus.h"

#include <QAction>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStringDecoder>
#include <QTableView>
#include <QTimeZone>
#include <QTreeWidget>

namespace {

using testsupport::waitUntil;
using Controller = JKW_LogWindowController;

QVariantMap rec(const char* filter, const QString& from, const QString& subject, const QDateTime& date) {
    QVariantMap r{{"Msg-ID", QStringLiteral("<%1@example>").arg(subject)}};
    if (filter)
        r.insert("Filt-ID", QString::fromLatin1(filter));
    if (!from.isNull())
        r.insert("From", from);
    if (!subject.isNull())
        r.insert("Subject", subject);
    if (date.isValid())
        r.insert("Date", date);
    return r;
}

QDateTime day(int d, int h = 12) { return QDateTime(QDate(2026, 3, d), QTime(h, 0), QTimeZone::utc()); }

class LogViewer : public ::testing::Test {
protected:
    void TearDown() override {
        Controller::releaseSharedController();
        Controller::setShowMailAddressOnly(false);
    }
    bool writeLog(const QVariantList& records) {
        QDir().mkpath(QFileInfo(box.logFile()).path());
        QVariantList history;
        for (const QVariant& r : records)
            history << r.toMap().value("Msg-ID");
        return platform::plist::writeFile(box.logFile(),
                                          QVariantMap{{"Version", "5"}, {"History", history}, {"Log", records}});
    }
    // The subjects of the visible rows, in order.
    static QStringList subjects(Controller* c) {
        QStringList out;
        for (const auto& r : c->visibleLogsArray())
            out << r.subject.value_or(QStringLiteral("-"));
        return out;
    }
    // A log of each kind of record.
    QVariantList sampleLog() {
        return {rec("NONE", "Ann Lee <ann@example.org>", "Minutes", day(1)),
                rec("INT_SIGNED", "\"Bob\" <bob@example.org>", "Signed report", day(2)),
                rec("LEARN_HAM", "carol@example.org", "Lunch", day(3)),
                rec("LEARN_SPAM", "Deals <deals@shop.example>", "Cheap watches", day(4)),
                rec("BLACKLIST", "<x@spam.example>", "WIN NOW", day(5)),
                rec("Bayesian", "Zed <zed@spam.example>", "Pills", day(6)),
                rec(nullptr, "Nobody <n@example>", "No reason", day(7))};
    }
    Controller* open() {
        Controller* c = Controller::sharedController();
        c->updateTableFromFile();
        return c;
    }

    frontendtest::FrontEndSandbox box;
};

TEST_F(LogViewer, sendersShowTheNameOrWithOptionTheBareAddress) {
    const struct {
        const char* from;
        const char* name;
        const char* address;
    } cases[] = {
        {"Ann Lee <ann@example.org>", "Ann Lee", "ann@example.org"},
        {"\"Lee, Ann\" <ann@example.org>", "Lee, Ann", "ann@example.org"},
        {"'Bob' <bob@example.org>", "Bob", "bob@example.org"},
        {"<only@example.org>", "", "only@example.org"},
        {"plain@example.org", "plain@example.org", "plain@example.org"},
        {"odd > order < here", "odd > order < here", "odd > order < here"},
        {"a <b> <c@example.org>", "a <b>", "c@example.org"},
    };
    for (const auto& c : cases) {
        Controller::setShowMailAddressOnly(false);
        EXPECT_EQ(Controller::displayStringForSender(QString::fromUtf8(c.from)), QString::fromUtf8(c.name)) << c.from;
        Controller::setShowMailAddressOnly(true);
        EXPECT_EQ(Controller::displayStringForSender(QString::fromUtf8(c.from)), QString::fromUtf8(c.address))
            << c.from;
    }
    EXPECT_TRUE(Controller::displayStringForSender(QString()).isNull());

    // The Option-click on the "From" header switches the form; the sort stays.
    Controller::setShowMailAddressOnly(false);
    ASSERT_TRUE(writeLog(sampleLog()));
    Controller* c = open();
    const QString column = c->currentSortedColumn();
    c->tableViewDidClickTableColumn(JKW_LogTableModel::FromColumn, true);
    EXPECT_TRUE(Controller::showMailAddressOnly());
    EXPECT_EQ(c->currentSortedColumn(), column);
    EXPECT_EQ(c->model()->index(0, JKW_LogTableModel::FromColumn).data().toString(), "n@example");  // newest first
}

TEST_F(LogViewer, verdictFiltersAndSearchChooseTheRows) {
    ASSERT_TRUE(writeLog(sampleLog()));
    Controller* c = open();
    ASSERT_EQ(c->currentSortedColumn(), "Date");
    EXPECT_EQ(subjects(c).size(), 7);
    EXPECT_TRUE(c->exportButton()->isEnabled());
    EXPECT_TRUE(c->clearButton()->isEnabled());

    // Newest first.
    const QStringList legitimate{"Lunch", "Signed report", "Minutes"};
    const QStringList spam{"Pills", "WIN NOW", "Cheap watches"};
    const QStringList corrected{"Cheap watches", "Lunch"};
    c->switchDisplayedInfo(Controller::ShowLegitimate);
    EXPECT_EQ(subjects(c), legitimate);
    c->switchDisplayedInfo(Controller::ShowSpam);
    EXPECT_EQ(subjects(c), spam);  // the record without a reason is in no class
    c->switchDisplayedInfo(Controller::ShowCorrected);
    EXPECT_EQ(subjects(c), corrected);
    EXPECT_TRUE(c->displayItem(Controller::ShowCorrected)->isChecked());
    EXPECT_FALSE(c->displayItem(Controller::ShowAll)->isChecked());

    // Search: subject or raw sender, case-insensitive, within the filter.
    c->searchField()->setText("WATCHES");
    EXPECT_EQ(subjects(c), QStringList{"Cheap watches"});
    c->switchDisplayedInfo(Controller::ShowAll);
    c->searchField()->setText("spam.example");  // only in the address of a sender shown by name
    EXPECT_EQ(subjects(c), (QStringList{"Pills", "WIN NOW"}));
    c->searchField()->setText("");
    EXPECT_EQ(subjects(c).size(), 7);

    // A plug-in's verdict is spam unless the record marks it legitimate.
    EXPECT_TRUE(Controller::isLogRecordSpam({{"Filt-ID", "Bayesian"}}));
    EXPECT_FALSE(Controller::isLogRecordSpam({{"Filt-ID", "Bayesian"}, {"Legitimate", true}}));
    EXPECT_TRUE(Controller::isLogRecordSpam({{"Legitimate", true}}));

    // The filter is kept for the next opening.
    c->switchDisplayedInfo(Controller::ShowSpam);
    Controller::releaseSharedController();
    EXPECT_EQ(open()->displayedInfo(), Controller::ShowSpam);
}

TEST_F(LogViewer, headerClicksSortAndEveryAscendingOrderIsTheDescendingReversed) {
    QVariantList log = sampleLog();
    log << rec("NONE", "ann lee <other@example.org>", "Agenda", day(1, 8));  // same sender as "Minutes", earlier
    ASSERT_TRUE(writeLog(log));
    Controller* c = open();
    EXPECT_EQ(subjects(c).first(), "No reason");  // by date, newest first
    c->tableViewDidClickTableColumn(JKW_LogTableModel::DateColumn);
    EXPECT_EQ(subjects(c).first(), "Agenda");
    EXPECT_EQ(c->sortDirection(), 1);
    c->tableViewDidClickTableColumn(JKW_LogTableModel::FromColumn);  // the direction stays
    EXPECT_EQ(c->sortDirection(), 1);
    // A to Z; the same sender (case aside) older first; the empty name first.
    EXPECT_EQ(subjects(c).mid(0, 4), (QStringList{"WIN NOW", "Agenda", "Minutes", "Signed report"}));
    c->tableViewDidClickTableColumn(JKW_LogTableModel::FromColumn);
    EXPECT_EQ(subjects(c).mid(0, 2), (QStringList{"Pills", "No reason"}));  // Z to A
    c->tableViewDidClickTableColumn(JKW_LogTableModel::FlagColumn);
    // Spam first, then by sender Z to A, the same sender newer first.
    EXPECT_EQ(subjects(c), (QStringList{"Pills", "No reason", "Cheap watches", "WIN NOW", "Lunch", "Signed report",
                                        "Minutes", "Agenda"}));

    // Stored for the next opening.
    Controller::releaseSharedController();
    EXPECT_EQ(open()->currentSortedColumn(), "Flag");

    // Asc is the exact negation of Desc for every pair, ties included.
    Controller* d = Controller::sharedController();
    const auto& rows = d->logsArray();
    for (const QString& column : Controller::columnIdentifiers()) {
        const auto desc = compareLogRecords::byName(column, true);
        const auto asc = compareLogRecords::byName(column, false);
        for (const auto& a : rows)
            for (const auto& b : rows)
                ASSERT_EQ(asc(a, b), -desc(a, b)) << column.toStdString();
    }
}

TEST_F(LogViewer, theDateColumnUsesDayWordsAndTheLongestFormThatFits) {
    TableColumnDateFormatter f;
    const QDateTime now(QDate(2026, 3, 10), QTime(15, 0));
    f.setClock([now] { return now; });
    EXPECT_EQ(f.dayWord(QDateTime(QDate(2026, 3, 9), QTime(23, 59))), "Yesterday");
    EXPECT_EQ(f.dayWord(QDateTime(QDate(2026, 3, 10), QTime(0, 0))), "Today");
    EXPECT_EQ(f.dayWord(QDateTime(QDate(2026, 3, 11), QTime(0, 0))), "");
    EXPECT_EQ(f.dayWord(QDateTime(QDate(2026, 3, 8), QTime(23, 59))), "");

    const QFontMetrics metrics(QApplication::font());
    const QDateTime old(QDate(2025, 11, 4), QTime(9, 30));
    const QStringList formats = f.absoluteFormats();
    ASSERT_EQ(formats.size(), 5);
    EXPECT_EQ(f.stringForObjectValue(old, 1, metrics), QLocale().toString(old, formats.first()));
    QString previous;
    int steps = 0;
    for (int width = 1; width < 2000; width += 4) {
        const QString text = f.stringForObjectValue(old, width, metrics);
        EXPECT_TRUE(metrics.horizontalAdvance(text) <= width || text == QLocale().toString(old, formats.first()));
        if (text != previous)
            ++steps;
        previous = text;
    }
    EXPECT_EQ(previous, QLocale().toString(old, formats.last()));
    EXPECT_GE(steps, 4);  // short date, then with the time, then the longer forms
    const QString yesterday = f.stringForObjectValue(QDateTime(QDate(2026, 3, 9), QTime(8, 5)), 2000, metrics);
    EXPECT_TRUE(yesterday.startsWith("Yesterday ")) << yesterday.toStdString();
    EXPECT_EQ(f.stringForObjectValue(QDateTime(), 2000, metrics), "");
}

TEST_F(LogViewer, exportWritesExactlyTheFilteredRowsInTheirOrder) {
    QVariantList log = sampleLog();
    QVariantMap bare{{"Msg-ID", "<bare@example>"}, {"Filt-ID", "INT_TAGS"}};
    QVariantMap future{{"Msg-ID", "<f@example>"}, {"Filt-ID", "FutureFilter"}, {"Subject", "New"}};
    log << bare << future;
    ASSERT_TRUE(writeLog(log));
    Controller* c = open();
    c->switchDisplayedInfo(Controller::ShowSpam);
    c->tableViewDidClickTableColumn(JKW_LogTableModel::SubjectColumn);  // Z to A
    const QString path = box.userLibrary() + "/export.txt";
    ASSERT_TRUE(c->exportToPath(path));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    ASSERT_GE(bytes.size(), 2);
    EXPECT_TRUE(bytes.startsWith("\xff\xfe") || bytes.startsWith("\xfe\xff"));
    QStringDecoder decode(QStringDecoder::Utf16);
    QStringList lines = QString(decode(bytes)).split('\n');
    ASSERT_EQ(lines.size(), 6);                               // five rows and the end after the last line feed
    EXPECT_EQ(lines.takeAt(2), "[S] \t\tNew\tFutureFilter");  // a code without a text shows as it is
    EXPECT_TRUE(lines[0].endsWith("\t\tWIN NOW\tBlack list"));
    EXPECT_TRUE(lines[1].endsWith("\tZed\tPills\tBayesian filter"));
    EXPECT_TRUE(lines[2].startsWith("[S] ") && lines[2].endsWith("\tDeals\tCheap watches\tLearned as spam"));
    EXPECT_EQ(lines[3], "[S] \t\t\tJunk HTML tags");  // missing fields keep their tabs; reasons through the "Log" table
    EXPECT_EQ(lines[4], "");
    EXPECT_EQ(lines.size(), 5);
    const QString pattern =
        TableColumnDateFormatter::datePatterns().first() + ", " + TableColumnDateFormatter::shortTimePattern();
    EXPECT_TRUE(lines[2].startsWith("[S] " + QLocale().toString(day(4).toLocalTime(), pattern) + "\t"));

    c->switchDisplayedInfo(Controller::ShowLegitimate);
    EXPECT_TRUE(c->exportText().startsWith("[L] "));  // "INT_SIGNED" among them
    EXPECT_EQ(c->exportText().count("[L] "), 3);

    // After a clear nothing is written, and a write that cannot be made fails.
    EXPECT_FALSE(c->exportToPath(box.userLibrary() + "/no such folder/x.txt"));
    c->sheetClearLogDidEnd(true);
    EXPECT_FALSE(c->exportButton()->isEnabled());
    EXPECT_FALSE(c->exportToPath(box.userLibrary() + "/after-clear.txt"));
    EXPECT_FALSE(QFile::exists(box.userLibrary() + "/after-clear.txt"));
}

TEST_F(LogViewer, damagedFilesShowWhatIsReadableAndAMissingFileKeepsTheRows) {
    QVariantList log;
    for (int i = 0; i < 20; ++i)
        log << rec("NONE", QStringLiteral("S%1 <s@example>").arg(i), QStringLiteral("Subject %1").arg(i),
                   day(1 + i % 20));
    ASSERT_TRUE(writeLog(log));
    QFile file(box.logFile());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray whole = file.readAll();
    file.close();
    Controller* c = open();
    ASSERT_EQ(c->visibleLogsArray().size(), 20);

    // Cut in the middle of a write: the complete records before the cut.
    auto writeBytes = [&](const QByteArray& bytes) {
        QFile out(box.logFile());
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(bytes);
        out.close();
        c->updateTableFromFile();
    };
    const qsizetype cut = whole.lastIndexOf("Subject 12");
    ASSERT_GT(cut, 0);
    writeBytes(whole.left(cut + 4));
    EXPECT_EQ(c->visibleLogsArray().size(), 12);
    for (qsizetype n = 0; n < whole.size(); n += 97) {  // any cut: never a crash, never more than there was
        writeBytes(whole.left(n));
        EXPECT_LE(c->logsArray().size(), 20);
    }

    // Wrong shapes: nothing shown, buttons off; odd entries skipped, odd fields ignored.
    for (const QByteArray& bytes :
         {QByteArray(), QByteArray("\x00\x01garbage", 9),
          platform::plist::toData(QVariantList{rec("NONE", "a", "b", day(1))}, platform::plist::Format::XML),
          platform::plist::toData(QVariantMap{{"Log", "not an array"}}, platform::plist::Format::Binary)}) {
        writeBytes(bytes);
        EXPECT_EQ(c->visibleLogsArray().size(), 0);
        EXPECT_FALSE(c->clearButton()->isEnabled());
    }
    const QVariantList odd{42, "text", QVariantMap{{"Filt-ID", 7}, {"Subject", QVariantList{1}}, {"Date", "yesterday"}},
                           rec("NONE", "Ann <a@example>", "Fine", day(2))};
    writeBytes(platform::plist::toData(QVariantMap{{"Log", odd}}, platform::plist::Format::XML));
    ASSERT_EQ(c->visibleLogsArray().size(), 2);
    EXPECT_TRUE(c->model()->index(0, JKW_LogTableModel::SubjectColumn).data().toString().isEmpty() ||
                c->model()->index(1, JKW_LogTableModel::SubjectColumn).data().toString().isEmpty());
    for (int row = 0; row < 2; ++row)
        for (int col = 0; col < JKW_LogTableModel::ColumnCount; ++col)
            c->model()->index(row, col).data();

    // The file gone (or a folder in its place): the rows stay, the buttons go off.
    ASSERT_TRUE(QFile::remove(box.logFile()));
    ASSERT_TRUE(QDir().mkpath(box.logFile()));
    c->updateTableFromFile();
    EXPECT_EQ(c->visibleLogsArray().size(), 2);
    EXPECT_FALSE(c->exportButton()->isEnabled());
}

TEST_F(LogViewer, followsAFullLogRewrittenEveryFewSecondsWhileShown) {
    auto fullLog = [](int generation) {
        QVariantList log;
        const QString filler(1000, QLatin1Char('x'));
        for (int i = 0; i < JKW_LogManager::kMaximumRecords; ++i)
            log << rec(i % 3 ? "Bayesian" : "NONE", QStringLiteral("Sender %1 <s%1@example>").arg(i),
                       QStringLiteral("%1 %2 ").arg(generation).arg(i) + filler, day(1 + i % 28, i % 24));
        return log;
    };
    ASSERT_TRUE(writeLog(fullLog(0)));
    Controller* c = open();
    c->showWindow();
    ASSERT_EQ(c->visibleLogsArray().size(), 1024);
    c->searchField()->setText(" 77 ");
    for (int generation = 1; generation <= 3; ++generation) {
        ASSERT_TRUE(writeLog(fullLog(generation)));
        QElapsedTimer clock;
        clock.start();
        ASSERT_TRUE(waitUntil([&] {
            return c->visibleLogsArray().size() == 1 &&
                   c->visibleLogsArray().first().subject->startsWith(QStringLiteral("%1 77 ").arg(generation));
        }));
        std::printf("generation %d shown after %lld ms\n", generation, static_cast<long long>(clock.elapsed()));
    }
    // Hidden, the viewer leaves the file alone.
    c->window()->hide();
    ASSERT_TRUE(writeLog(fullLog(9)));
    testsupport::spinFor(1500);
    EXPECT_TRUE(c->visibleLogsArray().first().subject->startsWith("3 77 "));
}

TEST_F(LogViewer, theSelectedRecordShowsItsExplanationOrWhyThereIsNone) {
    ASSERT_TRUE(writeLog({rec("Bayesian", "Zed <zed@spam.example>", "Pills", day(6)),
                          rec("INT_INVIS", "Ink <i@spam.example>", "Hidden", day(7)),
                          rec("NONE", "Ann <ann@example.org>", "Minutes", day(8))}));
    const QVariantList tokens{QVariantMap{{"Token", "viagra"}, {"Probability", 0.99}},
                              QVariantMap{{"Token", "Sub*pills"}, {"Probability", 0.97}}};
    const QVariantMap bayesian{{"SWPluginIdentifier", "Bayesian"}, {"Score", 0.9987}, {"Verdict", 0},
                               {"Trained", true}, {"Tokens", tokens}};
    const QVariantMap records{
        {"<Pills@example>", QVariantMap{{"Decided By", "Bayesian"}, {"Verdict", 0}, {"Filters", QVariantList{bayesian}}}},
        {"<Hidden@example>", QVariantMap{{"Decided By", "INT_INVIS"}, {"Verdict", 0}}}};
    const QString index = JKW_LogDetails::defaultFolder() + "/Details.json";
    QDir().mkpath(JKW_LogDetails::defaultFolder());
    auto writeIndex = [&](const QByteArray& bytes) {
        QFile file(index);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
    };
    ASSERT_TRUE(writeIndex(QJsonDocument(QJsonObject{{"Format", "Junkward Log Details 1"},
                                                     {"Records", QJsonObject::fromVariantMap(records)}})
                               .toJson()));
    Controller* c = open();
    auto select = [&](const QString& subject) {
        c->tableView()->clearSelection();
        for (int row = 0; row < c->visibleLogsArray().size(); ++row)
            if (c->visibleLogsArray().at(row).subject == subject)
                c->tableView()->selectRow(row);
    };

    select("Pills");
    EXPECT_TRUE(c->detailTitle()->text().contains("Bayesian filter scored it 0.9987")) << c->detailTitle()->text().toStdString();
    ASSERT_EQ(c->detailTree()->topLevelItemCount(), 1);
    ASSERT_EQ(c->detailTree()->topLevelItem(0)->childCount(), 2);
    EXPECT_EQ(c->detailTree()->topLevelItem(0)->child(1)->text(0), "Sub*pills");
    EXPECT_EQ(c->detailTree()->topLevelItem(0)->child(1)->text(1), "0.9700");
    // No source kept: the learn actions are off and say why.
    EXPECT_FALSE(c->learnSpamButton()->isEnabled());
    EXPECT_TRUE(c->learnSpamButton()->toolTip().contains("no longer keeps"));

    select("Hidden");
    EXPECT_TRUE(c->detailTitle()->text().contains("Invisible text")) << c->detailTitle()->text().toStdString();
    EXPECT_TRUE(c->detailTitle()->text().contains("INT_INVIS"));
    ASSERT_EQ(c->detailTree()->topLevelItemCount(), 1);
    EXPECT_TRUE(c->detailTree()->topLevelItem(0)->text(0).contains("not asked"));

    select("Minutes");
    EXPECT_TRUE(c->detailTitle()->text().contains("No explanation is kept"));

    // An index cut in the middle of a write, or of another shape: no
    // explanations, the rows as before.
    for (const QByteArray& bad : {QByteArray("{\"Format\": \"Junkward Log Details 1\", \"Rec"), QByteArray("[]")}) {
        ASSERT_TRUE(writeIndex(bad));
        ASSERT_TRUE(writeLog({rec("Bayesian", "Zed <zed@spam.example>", "Pills", day(6)),
                              rec("NONE", "Ann <ann@example.org>", "Minutes", day(9))}));
        c->updateTableFromFile();
        select("Pills");
        EXPECT_EQ(c->visibleLogsArray().size(), 2);
        EXPECT_TRUE(c->detailTitle()->text().contains("No explanation is kept"));
        EXPECT_EQ(c->detailTree()->topLevelItemCount(), 0);
    }
}

// With the staged engine on a private bus.
class LogViewerWithEngine : public LogViewer {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus.ready());
        ASSERT_TRUE(engine.start());
        ASSERT_TRUE(waitUntil([] { return platform::ScriptingBus::hasOwner(platform::kEngineBusName); }))
            << engine.errorOutput().toStdString();
    }
    static bool judge(int n) {
        const QByteArray message =
            QStringLiteral(
                "Message-ID: <%1@example.net>\r\nFrom: Writer %1 <w%1@example.net>\r\nTo: you@example.org\r\n"
                "Subject: Note %1\r\nContent-Type: text/plain\r\n\r\nA short note, number %1.\r\n")
                .arg(n)
                .toUtf8();
        return platform::ScriptingBus::call(platform::kEngineBusName, platform::kEngineObjectPath,
                                            platform::kEngineInterface, "CheckSpamStatus", {message, false}, 30.0)
            .ok;
    }

    testsupport::PrivateBus bus{testsupport::PrivateBus::stagedServices()};
    testsupport::Program engine{"junkward-engine"};
};

TEST_F(LogViewerWithEngine, followsTheEngineAndClearsTheLogThroughIt) {
    ASSERT_TRUE(box.startDaemon());
    MainController main;
    main.awakeFromNib();
    main.applicationDidFinishLaunching();
    ASSERT_TRUE(waitUntil([&] { return main.isInitialized(); }));
    QAction* show = main.action("actionShowLog");
    ASSERT_TRUE(show && show->isVisible());
    main.validateMenuItems();
    show->trigger();
    Controller* c = Controller::sharedControllerLoadIfNeeded(false);
    ASSERT_TRUE(c);
    EXPECT_TRUE(c->isVisible());

    ASSERT_TRUE(judge(1));
    ASSERT_TRUE(judge(2));
    ASSERT_TRUE(waitUntil([&] { return c->visibleLogsArray().size() == 2; })) << engine.errorOutput().toStdString();
    EXPECT_TRUE(c->clearButton()->isEnabled());
    QStringList senders;
    for (int row = 0; row < 2; ++row)
        senders << c->model()->index(row, JKW_LogTableModel::FromColumn).data().toString();
    senders.sort();
    EXPECT_EQ(senders, (QStringList{"Writer 1", "Writer 2"}));

    c->sheetClearLogDidEnd(true);
    EXPECT_EQ(c->visibleLogsArray().size(), 0);
    ASSERT_TRUE(waitUntil([&] {
        const auto log = platform::plist::readDictionary(box.logFile());
        return log && log->value("Log").toList().isEmpty();
    }));
    ASSERT_TRUE(judge(3));
    ASSERT_TRUE(waitUntil([&] { return c->visibleLogsArray().size() == 1; }));
    EXPECT_EQ(c->visibleLogsArray().first().subject, QStringLiteral("Note 3"));
}

TEST_F(LogViewerWithEngine, aJudgedMessageIsLearnedFromTheViewerWhileTheEngineKeepsJudging) {
    Controller* c = open();
    c->showWindow();
    ASSERT_TRUE(judge(5));
    ASSERT_TRUE(waitUntil([&] { return c->visibleLogsArray().size() == 1; })) << engine.errorOutput().toStdString();
    c->tableView()->selectRow(0);
    ASSERT_TRUE(c->learnSpamButton()->isEnabled()) << c->learnSpamButton()->toolTip().toStdString();
    EXPECT_FALSE(c->detailTitle()->text().contains("No explanation is kept"));

    // More messages judged while the viewer follows the log and its details.
    for (int n = 6; n < 30; ++n)
        ASSERT_TRUE(judge(n));
    c->learnSelection(true);
    ASSERT_TRUE(waitUntil([&] {
        for (const JKW_LogRecord& r : c->logsArray())
            if (r.subject == QStringLiteral("Note 5"))
                return r.filterKey == QStringLiteral("LEARN_SPAM");
        return false;
    })) << engine.errorOutput().toStdString();
    ASSERT_TRUE(waitUntil([&] { return c->logsArray().size() == 25; }));

    // Its source gone from the engine's keeping: the actions go off.
    for (int row = 0; row < c->visibleLogsArray().size(); ++row)
        if (c->visibleLogsArray().at(row).subject == QStringLiteral("Note 5"))
            c->tableView()->selectRow(row);
    EXPECT_TRUE(c->detailTitle()->text().contains("You taught Junkward this is spam."));
    ASSERT_TRUE(c->learnHamButton()->isEnabled());
    QDir folder(JKW_LogDetails::defaultFolder());
    for (const QString& name : folder.entryList({"*.eml"}, QDir::Files))
        ASSERT_TRUE(folder.remove(name));
    c->updateDetailPane();
    EXPECT_FALSE(c->learnHamButton()->isEnabled());
}

}  // namespace
