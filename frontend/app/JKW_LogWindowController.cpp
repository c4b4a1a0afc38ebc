#include "frontend/app/JKW_LogWindowController.h"

#include "engine/JKW_LogDetails.h"
#include "engine/JKW_LogManager.h"
#include "engine/SWNotifications.h"
#include "frontend/kit/SWUICommon.h"
#include "frontend/kit/SWUIConstants.h"
#include "frontend/app/FrontEndStrings.h"
#include "platform/Bundle.h"
#include "platform/Folders.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "platform/ScriptingBus.h"
#include "platform/UserDefaults.h"

#include "ui_Log.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStringEncoder>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QThreadPool>
#include <QTimer>
#include <QTreeWidget>
#include <QXmlStreamReader>

#include <algorithm>
#include <sys/stat.h>

namespace {

constexpr const char* kDefaultsSortColumn = "ui.log.sortcolumn";
constexpr const char* kDefaultsSortDirection = "ui.log.sortdirection";
constexpr const char* kDefaultsDisplayedInfo = "ui.log.displayedInformation";
constexpr const char* kDefaultsFrame = "ui.log.view.window.frame";
constexpr const char* kLogTable = "Log";
constexpr int kRefreshIntervalMs = 1000;

constexpr const char* kLogRemoveLogsFile =
    "[JKW_LogWindowController awakeFromNib] Unable to remove the ~/Library/Logs file";
constexpr const char* kLogCreateLogsFolder =
    "[JKW_LogWindowController awakeFromNib] Unable to create the ~/Library/Logs folder";
constexpr const char* kLogExportWrite =
    "[JKW_LogWindowController selectLogExportFolderDidEnd:returnCode:contextInfo:]: Error when writing log file to disk";

JKW_LogWindowController*& sharedInstance() {
    static JKW_LogWindowController* instance = nullptr;
    return instance;
}

bool& addressOnly() {
    static bool on = false;
    return on;
}

QString logText(const char* key, const char* fallback) {
    return swui::frontEndString(QLatin1String(key), QLatin1String(fallback), QLatin1String(kLogTable));
}

std::optional<QString> stringField(const QVariantMap& record, const char* key) {
    const auto it = record.constFind(QLatin1String(key));
    if (it == record.constEnd() || it->typeId() != QMetaType::QString)
        return std::nullopt;
    return it->toString();
}

// A plug-in that judged the message legitimate says so beside its identifier.
bool judgedLegitimateByPlugIn(const QVariantMap& record) {
    const QVariant value = record.value(QLatin1String(JKW_LOG_LEGITIMATE_KEY));
    return value.typeId() == QMetaType::Bool && value.toBool();
}

bool isLegitimateKey(const QString& key) {
    return key == QLatin1String(JKW_LOG_FILTER_KEY_NONE) || key == QLatin1String(JKW_LOG_FILTER_KEY_LEARN_HAM) ||
           key == QLatin1String(JKW_LOG_FILTER_KEY_WHITELIST) ||
           key == QLatin1String(JKW_LOG_FILTER_KEY_INTERNAL_SIGNED);
}

int sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

int compareText(const QString& a, const QString& b) { return sign(QString::compare(a, b, Qt::CaseInsensitive)); }

// Missing dates sort before every date.
int compareDates(const QDateTime& a, const QDateTime& b) {
    if (a.isValid() != b.isValid())
        return a.isValid() ? 1 : -1;
    if (!a.isValid())
        return 0;
    return a < b ? -1 : b < a ? 1 : 0;
}

using swui::frameFromString;
using swui::frameString;

// The verdict icons: the bundle's images when present, else drawn here.
QIcon flagImage(const char* name, bool spam) {
    const QString path = swui::frontEndBundle()->pathForResource(QLatin1String(name), QStringLiteral("png"));
    if (!path.isEmpty()) {
        QIcon icon(path);
        if (!icon.isNull())
            return icon;
    }
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(spam ? QColor(0xc6, 0x28, 0x28) : QColor(0x2e, 0x7d, 0x32));
    p.drawEllipse(QRectF(3, 3, 26, 26));
    QPen pen(Qt::white, 3.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    if (spam) {
        p.drawLine(QPointF(11, 11), QPointF(21, 21));
        p.drawLine(QPointF(21, 11), QPointF(11, 21));
    } else {
        QPainterPath tick;
        tick.moveTo(9.5, 16.5);
        tick.lineTo(14, 21);
        tick.lineTo(22.5, 11.5);
        p.drawPath(tick);
    }
    return QIcon(pixmap);
}

// The date column: the formatter fits the date to the column's width.
class DateColumnDelegate : public QStyledItemDelegate {
public:
    DateColumnDelegate(JKW_LogWindowController* controller, QObject* parent)
        : QStyledItemDelegate(parent), controller_(controller) {}
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        opt.text = controller_->dateDisplayString(index.row());
        opt.textElideMode = Qt::ElideMiddle;
        const QWidget* widget = opt.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
    }

private:
    JKW_LogWindowController* controller_;
};

// A salvage reader for a log file that the property-list reader refused (cut
// in the middle of a write, or damaged): the records of the "Log" array of
// an XML property list that are complete before the first error.
class SalvageReader {
public:
    explicit SalvageReader(const QByteArray& bytes) : xml_(bytes) {}

    std::optional<QVariantList> read() {
        if (!nextStart() || xml_.name() != QLatin1String("plist") || !nextStart() ||
            xml_.name() != QLatin1String("dict"))
            return std::nullopt;
        while (nextStart()) {
            if (xml_.name() != QLatin1String("key"))
                return std::nullopt;
            const QString key = xml_.readElementText();
            if (xml_.hasError() || !nextStart())
                return std::nullopt;
            if (key == QLatin1String(JKW_LOG_LOG)) {
                if (xml_.name() != QLatin1String("array"))
                    return std::nullopt;
                return records();
            }
            xml_.skipCurrentElement();
            if (xml_.hasError())
                return std::nullopt;
        }
        return std::nullopt;
    }

private:
    // The next start element at this level; false at the end of the level or an error.
    bool nextStart() {
        while (!xml_.atEnd()) {
            switch (xml_.readNext()) {
            case QXmlStreamReader::StartElement:
                return true;
            case QXmlStreamReader::EndElement:
            case QXmlStreamReader::Invalid:
                return false;
            default:
                break;
            }
        }
        return false;
    }

    QVariantList records() {
        QVariantList out;
        while (nextStart()) {
            if (xml_.name() != QLatin1String("dict")) {
                xml_.skipCurrentElement();
                if (xml_.hasError())
                    break;
                continue;
            }
            std::optional<QVariantMap> record = dictionary();
            if (!record)
                break;
            out << *record;
        }
        return out;
    }

    // A record dictionary with scalar values; nested containers are skipped.
    std::optional<QVariantMap> dictionary() {
        QVariantMap map;
        while (nextStart()) {
            if (xml_.name() != QLatin1String("key"))
                return std::nullopt;
            const QString key = xml_.readElementText();
            if (xml_.hasError() || !nextStart())
                return std::nullopt;
            const QString type = xml_.name().toString();
            if (type == QLatin1String("true") || type == QLatin1String("false")) {
                map.insert(key, type == QLatin1String("true"));
                xml_.skipCurrentElement();
            } else if (type == QLatin1String("dict") || type == QLatin1String("array")) {
                xml_.skipCurrentElement();
            } else {
                const QString text = xml_.readElementText();
                if (xml_.hasError())
                    return std::nullopt;
                if (type == QLatin1String("string"))
                    map.insert(key, text);
                else if (type == QLatin1String("date"))
                    map.insert(key, QDateTime::fromString(text.trimmed(), Qt::ISODate).toUTC());
                else if (type == QLatin1String("integer"))
                    map.insert(key, text.trimmed().toLongLong());
                else if (type == QLatin1String("real"))
                    map.insert(key, text.trimmed().toDouble());
            }
            if (xml_.hasError())
                return std::nullopt;
        }
        if (xml_.hasError() || xml_.tokenType() != QXmlStreamReader::EndElement)
            return std::nullopt;
        return map;
    }

    QXmlStreamReader xml_;
};

}  // namespace

// ---------------------------------------------------------------- window base

bool JKW_WindowController::isVisible() const { return window_ && window_->isVisible(); }

void JKW_WindowController::showWindow() {
    if (!window_)
        return;
    window_->show();
    window_->raise();
    window_->activateWindow();
}

// ------------------------------------------------------------ the comparisons

namespace compareLogRecords {

int compareLogFromDesc(const JKW_LogRecord& a, const JKW_LogRecord& b) {
    if (const int c = compareText(a.sender, b.sender))
        return c;
    return compareDates(a.date, b.date);
}
int compareLogFromAsc(const JKW_LogRecord& a, const JKW_LogRecord& b) { return -compareLogFromDesc(a, b); }

int compareLogFlagDesc(const JKW_LogRecord& a, const JKW_LogRecord& b) {
    if (a.spam != b.spam)
        return a.spam ? 1 : -1;
    return compareLogFromDesc(a, b);
}
int compareLogFlagAsc(const JKW_LogRecord& a, const JKW_LogRecord& b) { return -compareLogFlagDesc(a, b); }

int compareLogSubjectDesc(const JKW_LogRecord& a, const JKW_LogRecord& b) {
    if (const int c = compareText(a.subject.value_or(QString()), b.subject.value_or(QString())))
        return c;
    return compareLogFromDesc(a, b);
}
int compareLogSubjectAsc(const JKW_LogRecord& a, const JKW_LogRecord& b) { return -compareLogSubjectDesc(a, b); }

int compareLogDateDesc(const JKW_LogRecord& a, const JKW_LogRecord& b) {
    if (const int c = compareDates(a.date, b.date))
        return c;
    return compareText(a.sender, b.sender);
}
int compareLogDateAsc(const JKW_LogRecord& a, const JKW_LogRecord& b) { return -compareLogDateDesc(a, b); }

int compareLogStatusDesc(const JKW_LogRecord& a, const JKW_LogRecord& b) {
    if (const int c = compareText(a.status, b.status))
        return c;
    return compareLogDateDesc(a, b);
}
int compareLogStatusAsc(const JKW_LogRecord& a, const JKW_LogRecord& b) { return -compareLogStatusDesc(a, b); }

Comparison byName(const QString& column, bool descending) {
    struct Entry {
        const char* column;
        Comparison desc;
        Comparison asc;
    };
    static const Entry entries[] = {
        {"Flag", compareLogFlagDesc, compareLogFlagAsc},          {"From", compareLogFromDesc, compareLogFromAsc},
        {"Subject", compareLogSubjectDesc, compareLogSubjectAsc}, {"Date", compareLogDateDesc, compareLogDateAsc},
        {"Status", compareLogStatusDesc, compareLogStatusAsc},
    };
    for (const Entry& e : entries)
        if (column == QLatin1String(e.column))
            return descending ? e.desc : e.asc;
    return nullptr;
}

}  // namespace compareLogRecords

// ------------------------------------------------------------------ the model

JKW_LogTableModel::JKW_LogTableModel(JKW_LogWindowController* controller)
    : QAbstractTableModel(controller), controller_(controller) {}

int JKW_LogTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(controller_->visibleLogsArray().size());
}

int JKW_LogTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant JKW_LogTableModel::data(const QModelIndex& index, int role) const {
    const auto& rows = controller_->visibleLogsArray();
    if (!index.isValid() || index.row() >= rows.size())
        return {};
    const JKW_LogRecord& r = rows.at(index.row());
    switch (index.column()) {
    case FlagColumn:
        if (role == Qt::DecorationRole)
            return controller_->flagIcon(r.spam);
        if (role == Qt::ToolTipRole)
            return r.spam ? JKW_LogWindowController::tr("Spam") : JKW_LogWindowController::tr("Legitimate");
        return {};
    case FromColumn:
        if (role == Qt::DisplayRole)
            return r.sender;
        if (role == Qt::ToolTipRole)
            return r.from.value_or(QString());
        return {};
    case SubjectColumn:
        if (role == Qt::DisplayRole || role == Qt::ToolTipRole)
            return r.subject.value_or(QString());
        return {};
    case DateColumn:
        if (role == Qt::DisplayRole)
            return controller_->dateDisplayString(index.row());
        if (role == Qt::ToolTipRole && r.date.isValid())
            return QLocale().toString(r.date.toLocalTime(), QLocale::LongFormat);
        return {};
    case StatusColumn:
        if (role == Qt::DisplayRole)
            return r.status;
        if (role == Qt::ToolTipRole)
            return r.filterKey.value_or(QString());
        return {};
    default:
        return {};
    }
}

QVariant JKW_LogTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case FlagColumn:
        return QString();
    case FromColumn:
        return JKW_LogWindowController::tr("From");
    case SubjectColumn:
        return JKW_LogWindowController::tr("Subject");
    case DateColumn:
        return JKW_LogWindowController::tr("Date");
    case StatusColumn:
        return JKW_LogWindowController::tr("Status");
    default:
        return {};
    }
}

void JKW_LogTableModel::reset(std::function<void()> change) {
    beginResetModel();
    change();
    endResetModel();
}

void JKW_LogTableModel::changed() {
    if (rowCount() > 0)
        emit dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1));
}

// ------------------------------------------------------------- the controller

const QStringList& JKW_LogWindowController::columnIdentifiers() {
    static const QStringList ids{QStringLiteral("Flag"), QStringLiteral("From"), QStringLiteral("Subject"),
                                 QStringLiteral("Date"), QStringLiteral("Status")};
    return ids;
}

JKW_LogWindowController* JKW_LogWindowController::sharedControllerLoadIfNeeded(bool load) {
    JKW_LogWindowController*& instance = sharedInstance();
    if (!instance && load) {
        instance = new JKW_LogWindowController;
        instance->awakeFromNib();
    }
    return instance;
}

void JKW_LogWindowController::releaseSharedController() {
    delete sharedInstance();
    sharedInstance() = nullptr;
}

JKW_LogWindowController::JKW_LogWindowController()
    : defaults_(std::make_unique<platform::UserDefaults>(QLatin1String(swui::JKW5FrontEndBundleIdentifier))) {
    logLocation_ = platform::folders::userLogs() + QStringLiteral("/Junkward/Junkward Log.log");
    detailsFolder_ = JKW_LogDetails::defaultFolder();
}

JKW_LogWindowController::~JKW_LogWindowController() {
    ++readGeneration_;
    QThreadPool::globalInstance()->waitForDone();
    delete window_.data();
    if (sharedInstance() == this)
        sharedInstance() = nullptr;
}

bool JKW_LogWindowController::showMailAddressOnly() { return addressOnly(); }
void JKW_LogWindowController::setShowMailAddressOnly(bool on) { addressOnly() = on; }

bool JKW_LogWindowController::isLogRecordSpam(const QVariantMap& record) {
    const auto key = stringField(record, JKW_LOG_FILTER_KEY);
    return !key || !(isLegitimateKey(*key) || judgedLegitimateByPlugIn(record));
}

QString JKW_LogWindowController::displayStringForSender(const QString& from) {
    if (from.isNull())
        return {};
    const qsizetype close = from.lastIndexOf(QLatin1Char('>'));
    if (close < 0)
        return from;
    const qsizetype open = from.lastIndexOf(QLatin1Char('<'), close);
    if (open < 0)
        return from;
    QString part = addressOnly() ? from.mid(open + 1, close - open - 1) : from.left(open);
    auto trimmable = [](QChar c) { return c.isSpace() || c == QLatin1Char('"') || c == QLatin1Char('\''); };
    qsizetype begin = 0;
    qsizetype end = part.size();
    while (begin < end && trimmable(part.at(begin)))
        ++begin;
    while (end > begin && trimmable(part.at(end - 1)))
        --end;
    return part.mid(begin, end - begin);
}

// Window set-up.
void JKW_LogWindowController::awakeFromNib() {
    // The user's "Logs" folder, with anything else in its place removed.
    const QString logs = platform::folders::userLogs();
    const QFileInfo logsInfo(logs);
    if (logsInfo.exists() && !logsInfo.isDir() && !QFile::remove(logs))
        platform::log::console(QLatin1String(kLogRemoveLogsFile));
    else if (!platform::folders::ensureFolder(logs))
        platform::log::console(QLatin1String(kLogCreateLogsFolder));

    window_ = new QWidget;
    ui_ = std::make_unique<Ui::LogWindow>();
    ui_->setupUi(window_);
    window_->setWindowTitle(tr("Junkward Log"));
    window_->installEventFilter(this);

    // User defaults.
    if (auto frame = frameFromString(defaults_->value(QLatin1String(kDefaultsFrame)).toString()))
        window_->setGeometry(*frame);
    currentSortedColumn_ = defaults_->value(QLatin1String(kDefaultsSortColumn)).toString();
    if (!columnIdentifiers().contains(currentSortedColumn_))
        currentSortedColumn_ = QStringLiteral("Date");
    sortDirection_ = int(defaults_->value(QLatin1String(kDefaultsSortDirection), 0).toLongLong());
    displayedInfo_ = int(defaults_->value(QLatin1String(kDefaultsDisplayedInfo), 0).toLongLong());

    flagLegitimate_ = flagImage("Flag_Legitimate", false);
    flagSpam_ = flagImage("Flag_Spam", true);

    // Filter controls: the tag of each is its index.
    const QList<QAbstractButton*> items{ui_->showAllButton, ui_->showLegitimateButton, ui_->showSpamButton,
                                        ui_->showCorrectedButton};
    for (int tag = 0; tag < items.size(); ++tag) {
        items[tag]->setChecked(tag == displayedInfo_);
        connect(items[tag], &QAbstractButton::clicked, this, [this, tag] {
            switchDisplayedInfo(tag);
            // A click on the current filter keeps it on.
            if (QAbstractButton* b = displayItem(tag))
                b->setChecked(true);
        });
    }
    connect(ui_->searchField, &QLineEdit::textChanged, this, &JKW_LogWindowController::searchFor);
    auto* findAction = new QAction(window_);
    findAction->setShortcut(QKeySequence::Find);
    connect(findAction, &QAction::triggered, this, &JKW_LogWindowController::find);
    window_->addAction(findAction);
    connect(ui_->exportButton, &QPushButton::clicked, this, &JKW_LogWindowController::exportLog);
    connect(ui_->clearButton, &QPushButton::clicked, this, &JKW_LogWindowController::clearLog);
    connect(ui_->learnSpamButton, &QPushButton::clicked, this, [this] { learnSelection(true); });
    connect(ui_->learnHamButton, &QPushButton::clicked, this, [this] { learnSelection(false); });

    // Columns.
    model_ = new JKW_LogTableModel(this);
    QTableView* table = ui_->logTable;
    table->setModel(model_);
    QFont small = table->font();
    small.setPointSizeF(std::max(8.0, small.pointSizeF() > 0 ? small.pointSizeF() - 1 : 9.0));
    table->setFont(small);
    table->setTextElideMode(Qt::ElideRight);
    table->setItemDelegateForColumn(JKW_LogTableModel::DateColumn, new DateColumnDelegate(this, table));
    table->verticalHeader()->hide();
    table->verticalHeader()->setDefaultSectionSize(QFontMetrics(small).height() + 6);
    table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table->setIconSize(QSize(14, 14));
    QHeaderView* header = table->horizontalHeader();
    header->setSectionResizeMode(JKW_LogTableModel::FlagColumn, QHeaderView::Fixed);
    header->resizeSection(JKW_LogTableModel::FlagColumn, 28);
    header->resizeSection(JKW_LogTableModel::FromColumn, 190);
    header->resizeSection(JKW_LogTableModel::SubjectColumn, 300);
    header->resizeSection(JKW_LogTableModel::DateColumn, 140);
    header->setStretchLastSection(true);
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(true);
    header->setHighlightSections(false);
    connect(header, &QHeaderView::sectionClicked, this, [this](int column) {
        tableViewDidClickTableColumn(column, QApplication::keyboardModifiers() & Qt::AltModifier);
    });
    // The date form follows the column's width.
    connect(header, &QHeaderView::sectionResized, this, [this](int column) {
        if (column == JKW_LogTableModel::DateColumn)
            ui_->logTable->viewport()->update();
    });
    updateSortIndicator();
    connect(table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &JKW_LogWindowController::updateDetailPane);

    // The detail pane under the table.
    QTreeWidget* tree = ui_->detailTree;
    tree->setFont(small);
    tree->header()->setStretchLastSection(false);
    tree->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    for (int column = 1; column < 4; ++column)
        tree->header()->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    ui_->detailTitle->setTextFormat(Qt::PlainText);
    // The table keeps most of the height; the pane shows a filter's tokens.
    ui_->splitter->setStretchFactor(0, 3);
    ui_->splitter->setStretchFactor(1, 1);
    ui_->splitter->setSizes({640, 220});

    updateTableFromFile(Sender::None);
    timer_ = new QTimer(this);
    timer_->setInterval(kRefreshIntervalMs);
    connect(timer_, &QTimer::timeout, this, [this] { updateTableFromFile(Sender::Timer); });
    timer_->start();
    connect(qApp, &QCoreApplication::aboutToQuit, this, &JKW_LogWindowController::applicationWillTerminate);
}

bool JKW_LogWindowController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_ && event->type() == QEvent::Close)
        windowWillClose();
    if (watched == window_ && event->type() == QEvent::Show)
        QTimer::singleShot(0, this, [this] { updateTableFromFile(Sender::None); });
    return QObject::eventFilter(watched, event);
}

QTableView* JKW_LogWindowController::tableView() const { return ui_ ? ui_->logTable : nullptr; }
QPushButton* JKW_LogWindowController::exportButton() const { return ui_ ? ui_->exportButton : nullptr; }
QPushButton* JKW_LogWindowController::clearButton() const { return ui_ ? ui_->clearButton : nullptr; }
QLineEdit* JKW_LogWindowController::searchField() const { return ui_ ? ui_->searchField : nullptr; }

QAbstractButton* JKW_LogWindowController::displayItem(int tag) const {
    if (!ui_)
        return nullptr;
    switch (tag) {
    case ShowAll:
        return ui_->showAllButton;
    case ShowLegitimate:
        return ui_->showLegitimateButton;
    case ShowSpam:
        return ui_->showSpamButton;
    case ShowCorrected:
        return ui_->showCorrectedButton;
    default:
        return nullptr;
    }
}

std::optional<QVariantList> JKW_LogWindowController::readLogFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.readAll();
    if (const auto root = platform::plist::fromData(bytes)) {
        if (root->typeId() != QMetaType::QVariantMap)
            return std::nullopt;
        const QVariant log = root->toMap().value(QLatin1String(JKW_LOG_LOG));
        if (log.typeId() != QMetaType::QVariantList)
            return std::nullopt;
        return log.toList();
    }
    return SalvageReader(bytes).read();
}

// Following the file.
void JKW_LogWindowController::updateTableFromFile(Sender sender) {
    struct stat st {};
    const QByteArray path = QFile::encodeName(logLocation_);
    const bool present = ::stat(path.constData(), &st) == 0 && !S_ISDIR(st.st_mode);
    if (present && (sender != Sender::Timer || isVisible())) {
        const FileStamp stamp{qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec, quint64(st.st_ino),
                              qint64(st.st_size)};
        // The details beside the log change on their own too (sources let go).
        FileStamp detailsStamp;
        struct stat dt {};
        if (::stat(QFile::encodeName(detailsFolder_ + QStringLiteral("/Details.json")).constData(), &dt) == 0)
            detailsStamp = {qint64(dt.st_mtim.tv_sec) * 1000000000 + dt.st_mtim.tv_nsec, quint64(dt.st_ino),
                            qint64(dt.st_size)};
        if (modificationDate_ && *modificationDate_ == stamp && detailsStamp_ == detailsStamp)
            return;
        if (sender == Sender::Timer) {
            // Off the main thread; the result is applied in the event loop.
            if (readInFlight_)
                return;
            readInFlight_ = true;
            const quint64 generation = ++readGeneration_;
            QPointer<JKW_LogWindowController> self(this);
            const QString location = logLocation_;
            const QString details = detailsFolder_ + QStringLiteral("/Details.json");
            QThreadPool::globalInstance()->start([self, location, details, generation, stamp, detailsStamp] {
                auto log = readLogFile(location);
                auto index = JKW_LogDetails::readIndex(details);
                QMetaObject::invokeMethod(
                    qApp,
                    [self, generation, stamp, detailsStamp, log = std::move(log), index = std::move(index)]() mutable {
                        if (!self)
                            return;
                        self->readInFlight_ = false;
                        if (generation != self->readGeneration_)
                            return;
                        self->modificationDate_ = stamp;
                        self->detailsStamp_ = detailsStamp;
                        self->details_ = std::move(index);
                        self->applyLog(std::move(log));
                    },
                    Qt::QueuedConnection);
            });
            return;
        }
        ++readGeneration_;  // a pending read from the timer is out of date
        modificationDate_ = stamp;
        detailsStamp_ = detailsStamp;
        details_ = JKW_LogDetails::readIndex(detailsFolder_ + QStringLiteral("/Details.json"));
        applyLog(readLogFile(logLocation_));
        return;
    }
    if (!present) {
        ui_->exportButton->setEnabled(false);
        ui_->clearButton->setEnabled(false);
    }
}

JKW_LogRecord JKW_LogWindowController::makeRecord(const QVariantMap& raw) const {
    JKW_LogRecord r;
    r.raw = raw;
    r.filterKey = stringField(raw, JKW_LOG_FILTER_KEY);
    r.from = stringField(raw, JKW_LOG_FROM_KEY);
    r.subject = stringField(raw, JKW_LOG_SUBJECT_KEY);
    const QVariant date = raw.value(QLatin1String(JKW_LOG_DATE_KEY));
    if (date.typeId() == QMetaType::QDateTime)
        r.date = date.toDateTime();
    r.sender = r.from ? displayStringForSender(*r.from) : QString();
    r.status = r.filterKey ? localizedStatus(*r.filterKey) : QString();
    r.spam = !r.filterKey || !(isLegitimateKey(*r.filterKey) || judgedLegitimateByPlugIn(raw));
    r.corrected = r.filterKey && (*r.filterKey == QLatin1String(JKW_LOG_FILTER_KEY_LEARN_HAM) ||
                                  *r.filterKey == QLatin1String(JKW_LOG_FILTER_KEY_LEARN_SPAM));
    return r;
}

QString JKW_LogWindowController::localizedStatus(const QString& code) const {
    auto it = statusCache_.constFind(code);
    if (it != statusCache_.constEnd())
        return *it;
    const QString text = swui::frontEndString(code, code, QLatin1String(kLogTable));
    statusCache_.insert(code, text);
    return text;
}

void JKW_LogWindowController::applyLog(std::optional<QVariantList> log) {
    if (log) {
        QVector<JKW_LogRecord> records;
        records.reserve(log->size());
        for (const QVariant& v : *log)
            if (v.typeId() == QMetaType::QVariantMap)
                records << makeRecord(v.toMap());
        logsArray_ = std::move(records);
        hasLog_ = true;
        ui_->exportButton->setEnabled(!logsArray_.isEmpty());
        ui_->clearButton->setEnabled(!logsArray_.isEmpty());
        insertionSortLog();
        updateDetailPane();
        return;
    }
    logsArray_.clear();
    hasLog_ = false;
    ui_->logTable->clearSelection();
    model_->reset([this] { visibleLogsArray_.clear(); });
    ui_->exportButton->setEnabled(false);
    ui_->clearButton->setEnabled(false);
    updateCountLabel();
    updateDetailPane();
}

bool JKW_LogWindowController::shouldShowLogRecord(const JKW_LogRecord& record) const {
    if (displayedInfo_ != ShowAll) {
        if (!record.filterKey)
            return false;
        switch (displayedInfo_) {
        case ShowLegitimate:
            if (record.spam)
                return false;
            break;
        case ShowSpam:
            if (!record.spam)
                return false;
            break;
        case ShowCorrected:
            if (!record.corrected)
                return false;
            break;
        default:
            return false;
        }
    }
    if (!isFiltering_)
        return true;
    if (record.from && record.from->contains(searchString_, Qt::CaseInsensitive))
        return true;
    return record.subject && record.subject->contains(searchString_, Qt::CaseInsensitive);
}

QList<JKW_LogRecord> JKW_LogWindowController::selectedRecords() const {
    QList<JKW_LogRecord> out;
    if (!ui_)
        return out;
    const QModelIndexList rows = ui_->logTable->selectionModel()->selectedRows();
    for (const QModelIndex& index : rows)
        if (index.row() < visibleLogsArray_.size())
            out << visibleLogsArray_.at(index.row());
    return out;
}

void JKW_LogWindowController::selectRecords(const QList<JKW_LogRecord>& records) {
    if (records.isEmpty())
        return;
    QItemSelection selection;
    for (const JKW_LogRecord& r : records) {
        const qsizetype row = visibleLogsArray_.indexOf(r);
        if (row >= 0)
            selection.select(model_->index(int(row), 0), model_->index(int(row), JKW_LogTableModel::ColumnCount - 1));
    }
    ui_->logTable->selectionModel()->select(selection, QItemSelectionModel::Select);
}

// Rebuilding the rows.
void JKW_LogWindowController::insertionSortLog() {
    const QList<JKW_LogRecord> selected = selectedRecords();
    ui_->logTable->clearSelection();
    QVector<JKW_LogRecord> rows;
    for (const JKW_LogRecord& r : std::as_const(logsArray_))
        if (shouldShowLogRecord(r))
            rows << r;
    if (const auto compare = compareLogRecords::byName(currentSortedColumn_, sortDirection_ != 0))
        std::stable_sort(rows.begin(), rows.end(),
                         [compare](const JKW_LogRecord& a, const JKW_LogRecord& b) { return compare(a, b) < 0; });
    model_->reset([&] { visibleLogsArray_ = std::move(rows); });
    selectRecords(selected);
    ui_->exportButton->setEnabled(!visibleLogsArray_.isEmpty());
    updateCountLabel();
}

void JKW_LogWindowController::sortLog() {
    if (visibleLogsArray_.size() < 2) {
        ui_->logTable->viewport()->update();
        return;
    }
    const QList<JKW_LogRecord> selected = selectedRecords();
    ui_->logTable->clearSelection();
    if (const auto compare = compareLogRecords::byName(currentSortedColumn_, sortDirection_ != 0))
        model_->reset([&] {
            std::stable_sort(visibleLogsArray_.begin(), visibleLogsArray_.end(),
                             [compare](const JKW_LogRecord& a, const JKW_LogRecord& b) { return compare(a, b) < 0; });
        });
    selectRecords(selected);
    ui_->logTable->viewport()->update();
}

void JKW_LogWindowController::updateCountLabel() {
    if (!ui_)
        return;
    const qsizetype shown = visibleLogsArray_.size();
    const qsizetype total = logsArray_.size();
    QString text;
    if (hasLog_ && shown != total)
        text = tr("%1 of %2 messages shown").arg(shown).arg(total);
    else if (hasLog_)
        text = total == 1 ? tr("1 message") : tr("%1 messages").arg(total);
    ui_->countLabel->setText(text);
}

void JKW_LogWindowController::switchDisplayedInfo(int tag) {
    if (tag == displayedInfo_)
        return;
    if (QAbstractButton* old = displayItem(displayedInfo_))
        old->setChecked(false);
    if (QAbstractButton* now = displayItem(tag))
        now->setChecked(true);
    displayedInfo_ = tag;
    defaults_->setValue(QLatin1String(kDefaultsDisplayedInfo), qint64(tag));
    defaults_->synchronize();
    insertionSortLog();
}

void JKW_LogWindowController::find() {
    if (!ui_)
        return;
    ui_->searchField->setFocus(Qt::ShortcutFocusReason);
    ui_->searchField->selectAll();
}

void JKW_LogWindowController::searchFor(const QString& text) {
    searchString_ = text;
    if (!text.isEmpty()) {
        isFiltering_ = true;
        insertionSortLog();
    } else if (isFiltering_) {
        isFiltering_ = false;
        insertionSortLog();
    }
}

// Clearing: the engine empties the file; its next change shows the empty log.
void JKW_LogWindowController::clearLog() {
    auto* box = new QMessageBox(QMessageBox::Warning, tr("Junkward Log"),
                                logText("Do you really want to clear the log?", "Do you really want to clear the log?"),
                                QMessageBox::NoButton, window_);
    box->setInformativeText(tr("This cannot be undone."));
    QPushButton* clear = box->addButton(logText("Clear", "Clear"), QMessageBox::DestructiveRole);
    box->addButton(tr("Cancel"), QMessageBox::RejectRole);
    box->setDefaultButton(clear);
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this,
            [this, box, clear] { sheetClearLogDidEnd(box->clickedButton() == clear); });
    box->open();
}

void JKW_LogWindowController::sheetClearLogDidEnd(bool clear) {
    if (!clear)
        return;
    platform::DistributedNotificationCenter::defaultCenter().post(
        QLatin1String(sw::JKW5_DISTRIBUTEDNOTIFICATION_LOG_RESET));
    logsArray_.clear();
    hasLog_ = false;
    ui_->logTable->clearSelection();
    model_->reset([this] { visibleLogsArray_.clear(); });
    ui_->exportButton->setEnabled(false);
    ui_->clearButton->setEnabled(false);
    updateCountLabel();
    details_.clear();
    updateDetailPane();
}

// Export.
void JKW_LogWindowController::exportLog() {
    auto* dialog = new QFileDialog(window_, tr("Export Log"));
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setLabelText(QFileDialog::FileName, logText("Export as:", "Export as:"));
    dialog->setLabelText(QFileDialog::Accept, logText("Export", "Export"));
    dialog->selectFile(logText("Junkward Log.txt", "Junkward Log.txt"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    connect(dialog, &QFileDialog::fileSelected, this, [this](const QString& path) {
        if (!exportToPath(path))
            QApplication::beep();
    });
    dialog->open();
}

QString JKW_LogWindowController::exportText() const {
    const QString pattern = TableColumnDateFormatter::datePatterns().first() + QStringLiteral(", ") +
                            TableColumnDateFormatter::shortTimePattern();
    const QLocale locale;
    QString text;
    for (const JKW_LogRecord& r : visibleLogsArray_) {
        text += r.spam ? QLatin1String("[S] ") : QLatin1String("[L] ");
        if (r.date.isValid())
            text += locale.toString(r.date.toLocalTime(), pattern);
        text += QLatin1Char('\t') + r.sender + QLatin1Char('\t') + r.subject.value_or(QString()) + QLatin1Char('\t') +
                r.status + QLatin1Char('\n');
    }
    return text;
}

bool JKW_LogWindowController::exportToPath(const QString& path) {
    if (!hasLog_)
        return false;  // no list at all (cleared, or never read): nothing to write
    QStringEncoder encoder(QStringEncoder::Utf16, QStringEncoder::Flag::WriteBom);
    const QByteArray bytes = encoder.encode(exportText());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        platform::log::console(QLatin1String(kLogExportWrite));
        return false;
    }
    return true;
}

QString JKW_LogWindowController::dateDisplayString(int row) const {
    if (row < 0 || row >= visibleLogsArray_.size() || !ui_)
        return {};
    const QTableView* table = ui_->logTable;
    const int margin = table->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, table) + 1;
    const double width = table->columnWidth(JKW_LogTableModel::DateColumn) - 2 * margin - 3.0;
    return dateFormatter_.stringForObjectValue(visibleLogsArray_.at(row).date, width, QFontMetrics(table->font()));
}

// Sorting by the table header.
void JKW_LogWindowController::tableViewDidClickTableColumn(int column, bool withOption) {
    if (column < 0 || column >= columnIdentifiers().size())
        return;
    const QString identifier = columnIdentifiers().at(column);
    if (withOption && identifier == QLatin1String("From")) {
        setShowMailAddressOnly(!showMailAddressOnly());
        for (JKW_LogRecord& r : logsArray_)
            r.sender = r.from ? displayStringForSender(*r.from) : QString();
        insertionSortLog();
        updateSortIndicator();
        return;
    }
    if (identifier == currentSortedColumn_)
        sortDirection_ = sortDirection_ ? 0 : 1;
    else
        currentSortedColumn_ = identifier;
    updateSortIndicator();
    sortLog();
    const QModelIndexList selected = ui_->logTable->selectionModel()->selectedRows();
    if (!selected.isEmpty())
        ui_->logTable->scrollTo(selected.first());
    defaults_->setValue(QLatin1String(kDefaultsSortColumn), currentSortedColumn_);
    defaults_->setValue(QLatin1String(kDefaultsSortDirection), qint64(sortDirection_));
    defaults_->synchronize();
}

// The sort column shows the down arrow for direction 1 and the up arrow for 0.
void JKW_LogWindowController::updateSortIndicator() {
    const int column = int(columnIdentifiers().indexOf(currentSortedColumn_));
    // (The header draws its up arrow for the descending order.)
    ui_->logTable->horizontalHeader()->setSortIndicator(column,
                                                        sortDirection_ ? Qt::AscendingOrder : Qt::DescendingOrder);
}

void JKW_LogWindowController::storeFrame() {
    if (!window_)
        return;
    defaults_->setValue(QLatin1String(kDefaultsFrame), frameString(window_->geometry()));
    defaults_->synchronize();
}

void JKW_LogWindowController::windowWillClose() { storeFrame(); }

void JKW_LogWindowController::applicationWillTerminate() {
    if (isVisible())
        storeFrame();
}

// ------------------------------------------------------------ the detail pane

QLabel* JKW_LogWindowController::detailTitle() const { return ui_ ? ui_->detailTitle : nullptr; }
QTreeWidget* JKW_LogWindowController::detailTree() const { return ui_ ? ui_->detailTree : nullptr; }
QPushButton* JKW_LogWindowController::learnSpamButton() const { return ui_ ? ui_->learnSpamButton : nullptr; }
QPushButton* JKW_LogWindowController::learnHamButton() const { return ui_ ? ui_->learnHamButton : nullptr; }

QVariantMap JKW_LogWindowController::detailsOf(const JKW_LogRecord& record) const {
    const auto key = stringField(record.raw, JKW_LOG_MESSAGE_ID_KEY);
    return key ? details_.value(*key) : QVariantMap();
}

bool JKW_LogWindowController::isSourceKept(const JKW_LogRecord& record) const {
    const QVariantMap entry = detailsOf(record);
    if (!JKW_LogDetails::entryHasSource(entry))
        return false;
    // The engine checks the content when it learns; here the file's presence
    // and size are enough to offer it.
    const QVariantMap source = entry.value(QLatin1String(JKW_DETAILS_SOURCE_KEY)).toMap();
    const QString name = source.value(QLatin1String(JKW_DETAILS_SOURCE_FILE_KEY)).toString();
    if (name.isEmpty() || name.contains(QLatin1Char('/')))
        return false;
    const QFileInfo file(detailsFolder_ + QLatin1Char('/') + name);
    return file.isFile() && file.size() == source.value(QLatin1String(JKW_DETAILS_SOURCE_BYTES_KEY)).toLongLong();
}

namespace {

QString verdictWord(qint64 verdict) {
    switch (verdict) {
    case 0:
        return JKW_LogWindowController::tr("spam");
    case 1:
        return JKW_LogWindowController::tr("good e-mail");
    default:
        return JKW_LogWindowController::tr("undecided");
    }
}

QString score(const QVariant& value) { return QString::number(value.toDouble(), 'f', 4); }

}  // namespace

void JKW_LogWindowController::updateDetailPane() {
    if (!ui_)
        return;
    QTreeWidget* tree = ui_->detailTree;
    tree->clear();
    const QList<JKW_LogRecord> selected = selectedRecords();
    int kept = 0;
    for (const JKW_LogRecord& r : selected)
        kept += isSourceKept(r) ? 1 : 0;

    // The learn buttons: on when the engine still has a selected message.
    QString why;
    if (selected.isEmpty())
        why = tr("Select a message in the log first.");
    else if (kept == 0)
        why = selected.size() == 1
                  ? tr("The engine no longer keeps this message; learn it from your mail program instead.")
                  : tr("The engine no longer keeps these messages; learn them from your mail program instead.");
    ui_->learnSpamButton->setEnabled(kept > 0);
    ui_->learnHamButton->setEnabled(kept > 0);
    ui_->learnSpamButton->setToolTip(kept > 0 ? tr("Teach every filter that the selected message is spam") : why);
    ui_->learnHamButton->setToolTip(kept > 0 ? tr("Teach every filter that the selected message is good e-mail")
                                             : why);

    QStringList lines;
    if (selected.isEmpty()) {
        lines << tr("Select a message to see why it was judged as it was.");
    } else if (selected.size() > 1) {
        lines << tr("%1 messages selected; %2 of them can still be learned.").arg(selected.size()).arg(kept);
    } else {
        const JKW_LogRecord& record = selected.first();
        const QVariantMap entry = detailsOf(record);
        const QString code = record.filterKey.value_or(QString());
        if (record.corrected)
            lines << (code == QLatin1String(JKW_LOG_FILTER_KEY_LEARN_SPAM) ? tr("You taught Junkward this is spam.")
                                                                           : tr("You taught Junkward this is good e-mail."));
        if (entry.isEmpty()) {
            if (!record.corrected)
                lines << tr("%1: %2.").arg(record.spam ? tr("Spam") : tr("Good e-mail"), record.status);
            lines << tr("No explanation is kept for this message (judged before explanations were kept, or cleared).");
        } else {
            const QString decidedBy = entry.value(QLatin1String(JKW_DETAILS_DECIDED_BY_KEY)).toString();
            const qint64 verdict = entry.value(QLatin1String(JKW_DETAILS_VERDICT_KEY), 2).toLongLong();
            const QVariantList filters = entry.value(QLatin1String(JKW_DETAILS_FILTERS_KEY)).toList();
            QVariantMap deciding;
            for (const QVariant& f : filters)
                if (f.toMap().value(QLatin1String("SWPluginIdentifier")).toString() == decidedBy)
                    deciding = f.toMap();
            QString text;
            const QString outcome = verdict == 0 ? tr("Spam") : tr("Good e-mail");
            if (!deciding.isEmpty())
                text = tr("%1: the %2 scored it %3; the evidence below weighed most.")
                           .arg(outcome, localizedStatus(decidedBy), score(deciding.value(QStringLiteral("Score"))));
            else if (decidedBy == QLatin1String(JKW_LOG_FILTER_KEY_NONE))
                text = tr("Good e-mail: no list, check or filter found it to be spam.");
            else
                text = tr("%1: decided by “%2” (%3).").arg(outcome, localizedStatus(decidedBy), decidedBy);
            if (record.corrected) {
                const QDateTime judged =
                    QDateTime::fromString(entry.value(QLatin1String(JKW_DETAILS_DATE_KEY)).toString(), Qt::ISODate);
                text = tr("Judged %1 before: %2")
                           .arg(judged.isValid() ? QLocale().toString(judged.toLocalTime(), QLocale::ShortFormat)
                                                 : QString(),
                                text);
            }
            lines << text;
            // Engines write ten or fifteen tokens per filter; an index edited
            // by hand is shown only as far as is useful.
            constexpr int kMaximumFilters = 8;
            constexpr int kMaximumTokens = 50;
            for (const QVariant& f : filters.mid(0, kMaximumFilters)) {
                const QVariantMap filter = f.toMap();
                const QString identifier = filter.value(QLatin1String("SWPluginIdentifier")).toString();
                QString heading = tr("%1: score %2, %3")
                                      .arg(localizedStatus(identifier), score(filter.value(QStringLiteral("Score"))),
                                           verdictWord(filter.value(QStringLiteral("Verdict"), 2).toLongLong()));
                if (!filter.value(QStringLiteral("Trained"), true).toBool())
                    heading += tr(" (not trained enough yet)");
                // Spam signs of the message's form count beside the words.
                if (const qint64 malus = filter.value(QStringLiteral("Malus")).toLongLong(); malus > 0)
                    heading += malus == 1 ? tr("; 1 spam sign in its form") : tr("; %1 spam signs in its form").arg(malus);
                auto* item = new QTreeWidgetItem(tree, QStringList{heading});
                item->setFirstColumnSpanned(true);
                QFont bold = item->font(0);
                bold.setBold(true);
                item->setFont(0, bold);
                for (const QVariant& t : filter.value(QStringLiteral("Tokens")).toList().mid(0, kMaximumTokens)) {
                    const QVariantMap token = t.toMap();
                    QStringList columns{token.value(QStringLiteral("Token")).toString(),
                                        score(token.value(QStringLiteral("Probability")))};
                    if (token.contains(QStringLiteral("Spam")))
                        columns << QString::number(token.value(QStringLiteral("Spam")).toLongLong())
                                << QString::number(token.value(QStringLiteral("Ham")).toLongLong());
                    auto* child = new QTreeWidgetItem(item, columns);
                    for (int c = 1; c < columns.size(); ++c)
                        child->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
                    child->setToolTip(0, columns.first());
                }
            }
            if (filters.isEmpty() && decidedBy != QLatin1String(JKW_LOG_FILTER_KEY_NONE)) {
                auto* item = new QTreeWidgetItem(tree, QStringList{tr("The filters were not asked: this decided first.")});
                item->setFirstColumnSpanned(true);
                QFont italic = item->font(0);
                italic.setItalic(true);
                item->setFont(0, italic);
            }
            tree->expandAll();
        }
    }
    if (!learnProblem_.isEmpty())
        lines << learnProblem_;
    ui_->detailTitle->setText(lines.join(QLatin1Char('\n')));
}

void JKW_LogWindowController::learnSelection(bool spam) {
    learnProblem_.clear();
    for (const JKW_LogRecord& record : selectedRecords()) {
        const auto key = stringField(record.raw, JKW_LOG_MESSAGE_ID_KEY);
        if (!key || !isSourceKept(record))
            continue;
        QDBusMessage call = QDBusMessage::createMethodCall(
            QLatin1String(platform::kEngineBusName), QLatin1String(platform::kEngineObjectPath),
            QLatin1String(platform::kEngineInterface), QStringLiteral("LearnLoggedMessage"));
        call << *key << spam;
        auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, 60000), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
            watcher->deleteLater();
            if (watcher->isError()) {
                learnProblem_ = tr("Could not learn the message: %1").arg(watcher->error().message());
                updateDetailPane();
            }
        });
    }
    updateDetailPane();
}
