#pragma once
// The log viewer: a window that shows the engine's activity log, one row per
// judged or learned message (verdict icon, sender, subject, date, deciding
// reason). It follows the log file while it is on screen (one attribute check
// a second, the file read off the main thread), filters by verdict class and
// by a search text, sorts by any column, exports the visible rows as text and
// asks the engine to clear the log. It never writes the log file itself.

#include "frontend/app/TableColumnDateFormatter.h"

#include <QAbstractTableModel>
#include <QDateTime>
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QVariantMap>
#include <QVector>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QAbstractButton;
class QLabel;
class QLineEdit;
class QTreeWidget;
class QPushButton;
class QTableView;
class QTimer;
class JKW_LogWindowController;
namespace platform {
class UserDefaults;
}
namespace Ui {
class LogWindow;
}

// Base of the front end's window controllers: the window and its visibility.
class JKW_WindowController : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    QWidget* window() const { return window_; }
    bool isVisible() const;
    // Brings the window to the front and gives it the focus.
    void showWindow();

protected:
    QPointer<QWidget> window_;
};

// One record of the log as the viewer uses it: the raw dictionary and the
// fields taken from it (a field of the wrong type counts as missing).
struct JKW_LogRecord {
    QVariantMap raw;
    std::optional<QString> filterKey;  // "Filt-ID"
    std::optional<QString> from;       // "From", raw
    std::optional<QString> subject;    // "Subject"
    QDateTime date;                    // "Date"; invalid when missing
    QString sender;                    // display string of "From"
    QString status;                    // "Filt-ID" through the "Log" string table
    bool spam = true;
    bool corrected = false;
    bool operator==(const JKW_LogRecord& other) const { return raw == other.raw; }
};

// The ten comparisons of two log records: negative when a sorts before b.
// Each "Asc" comparison is the exact negation of its "Desc" twin.
namespace compareLogRecords {
int compareLogFlagDesc(const JKW_LogRecord& a, const JKW_LogRecord& b);
int compareLogFlagAsc(const JKW_LogRecord& a, const JKW_LogRecord& b);
int compareLogFromDesc(const JKW_LogRecord& a, const JKW_LogRecord& b);
int compareLogFromAsc(const JKW_LogRecord& a, const JKW_LogRecord& b);
int compareLogSubjectDesc(const JKW_LogRecord& a, const JKW_LogRecord& b);
int compareLogSubjectAsc(const JKW_LogRecord& a, const JKW_LogRecord& b);
int compareLogDateDesc(const JKW_LogRecord& a, const JKW_LogRecord& b);
int compareLogDateAsc(const JKW_LogRecord& a, const JKW_LogRecord& b);
int compareLogStatusDesc(const JKW_LogRecord& a, const JKW_LogRecord& b);
int compareLogStatusAsc(const JKW_LogRecord& a, const JKW_LogRecord& b);
// The comparison named "compareLog" + column + "Asc"/"Desc"; null for an
// unknown column.
using Comparison = int (*)(const JKW_LogRecord&, const JKW_LogRecord&);
Comparison byName(const QString& column, bool descending);
}  // namespace compareLogRecords

// The table's rows: the visible records.
class JKW_LogTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { FlagColumn, FromColumn, SubjectColumn, DateColumn, StatusColumn, ColumnCount };
    explicit JKW_LogTableModel(JKW_LogWindowController* controller);
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    void reset(std::function<void()> change);
    void changed();

private:
    JKW_LogWindowController* controller_;
};

class JKW_LogWindowController : public JKW_WindowController {
    Q_OBJECT
public:
    // Column identifiers, in table order.
    static const QStringList& columnIdentifiers();
    enum DisplayedInfo { ShowAll = 0, ShowLegitimate = 1, ShowSpam = 2, ShowCorrected = 3 };
    enum class Sender { None, Timer };

    // The one instance; with load, made (and its window built) when missing.
    static JKW_LogWindowController* sharedControllerLoadIfNeeded(bool load);
    static JKW_LogWindowController* sharedController() { return sharedControllerLoadIfNeeded(true); }
    // Drops the instance (tests, and the application at its end).
    static void releaseSharedController();

    ~JKW_LogWindowController() override;

    // Verdict class of a record by its "Filt-ID": spam unless "NONE",
    // "LEARN_HAM", "WHITELIST" or "INT_SIGNED"; a record without one is spam.
    static bool isLogRecordSpam(const QVariantMap& record);
    // The sender as shown: the display name, or with the address-only mode
    // the address between the last "<" and ">"; quotes and spaces trimmed.
    static QString displayStringForSender(const QString& from);
    static bool showMailAddressOnly();
    static void setShowMailAddressOnly(bool on);

    // Re-reads the log file when it changed. From the timer, nothing is read
    // while the window is not on screen, and the file is read on a worker
    // thread; other callers read it at once.
    void updateTableFromFile(Sender sender = Sender::None);
    bool shouldShowLogRecord(const JKW_LogRecord& record) const;
    // Rebuilds the visible rows from the records (filter, search, sort).
    void insertionSortLog();
    // Re-sorts the visible rows.
    void sortLog();
    void switchDisplayedInfo(int tag);
    void find();
    void searchFor(const QString& text);
    // Asks whether to clear (a sheet on the log window); the answer goes to
    // sheetClearLogDidEnd.
    void clearLog();
    void sheetClearLogDidEnd(bool clear);
    // Asks for a file and exports the visible rows to it.
    void exportLog();
    // The export text of the visible rows, and writing it (UTF-16, atomically).
    QString exportText() const;
    bool exportToPath(const QString& path);
    // A click on a column header; withOption toggles the sender form instead.
    void tableViewDidClickTableColumn(int column, bool withOption = false);
    void windowWillClose();
    void applicationWillTerminate();

    // State, for the window, the model and the tests.
    const QVector<JKW_LogRecord>& logsArray() const { return logsArray_; }
    const QVector<JKW_LogRecord>& visibleLogsArray() const { return visibleLogsArray_; }
    bool hasLog() const { return hasLog_; }
    QString logLocation() const { return logLocation_; }
    QString currentSortedColumn() const { return currentSortedColumn_; }
    int sortDirection() const { return sortDirection_; }
    int displayedInfo() const { return displayedInfo_; }
    QTableView* tableView() const;
    QPushButton* exportButton() const;
    QPushButton* clearButton() const;
    QLineEdit* searchField() const;
    QAbstractButton* displayItem(int tag) const;
    JKW_LogTableModel* model() const { return model_; }
    TableColumnDateFormatter& dateFormatter() { return dateFormatter_; }
    // The date cell's text at the column's current width.
    QString dateDisplayString(int row) const;
    QIcon flagIcon(bool spam) const { return spam ? flagSpam_ : flagLegitimate_; }
    // Reads a log file: its records, as far as they can be read. Null when the
    // file cannot be read at all or holds no "Log" array.
    static std::optional<QVariantList> readLogFile(const QString& path);

    // The details the engine keeps beside the log (why each record was judged
    // so, and recent sources), read with the log.
    QString detailsFolder() const { return detailsFolder_; }
    void setDetailsFolder(const QString& folder) { detailsFolder_ = folder; }
    const QHash<QString, QVariantMap>& detailsIndex() const { return details_; }
    // The details of a record (by its "Msg-ID"); empty when none are kept.
    QVariantMap detailsOf(const JKW_LogRecord& record) const;
    // Whether the engine still keeps the record's source (so it can be learned).
    bool isSourceKept(const JKW_LogRecord& record) const;
    // Shows the selected record's explanation and sets the learn buttons.
    void updateDetailPane();
    // Asks the engine to learn the kept sources of the selected records.
    void learnSelection(bool spam);
    QLabel* detailTitle() const;
    QTreeWidget* detailTree() const;
    QPushButton* learnSpamButton() const;
    QPushButton* learnHamButton() const;

private:
    JKW_LogWindowController();
    void awakeFromNib();
    void applyLog(std::optional<QVariantList> log);
    JKW_LogRecord makeRecord(const QVariantMap& raw) const;
    QString localizedStatus(const QString& code) const;
    void updateSortIndicator();
    void updateCountLabel();
    QList<JKW_LogRecord> selectedRecords() const;
    void selectRecords(const QList<JKW_LogRecord>& records);
    void storeFrame();
    bool eventFilter(QObject* watched, QEvent* event) override;

    struct FileStamp {
        qint64 mtimeNs = 0;
        quint64 inode = 0;
        qint64 size = -1;
        bool operator==(const FileStamp&) const = default;
    };

    QString logLocation_;
    QString detailsFolder_;
    QHash<QString, QVariantMap> details_;
    QString learnProblem_;  // the engine's answer to the last failed learn
    std::optional<FileStamp> modificationDate_;
    FileStamp detailsStamp_;
    QVector<JKW_LogRecord> logsArray_;
    QVector<JKW_LogRecord> visibleLogsArray_;
    bool hasLog_ = false;
    QString currentSortedColumn_;
    int sortDirection_ = 0;
    int displayedInfo_ = ShowAll;
    bool isFiltering_ = false;
    QString searchString_;
    QIcon flagLegitimate_;
    QIcon flagSpam_;
    QTimer* timer_ = nullptr;
    bool readInFlight_ = false;
    quint64 readGeneration_ = 0;
    std::unique_ptr<platform::UserDefaults> defaults_;
    std::unique_ptr<Ui::LogWindow> ui_;
    JKW_LogTableModel* model_ = nullptr;
    TableColumnDateFormatter dateFormatter_;
    mutable QHash<QString, QString> statusCache_;
};
