#include "hosts/mail/MailWindow.h"

#include "hosts/mail/MailHost.h"

#include <QApplication>
#include <QDateTime>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QFont>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QMenuBar>
#include <QSplitter>
#include <QTableView>
#include <QTimer>

namespace mailhost {

namespace {

constexpr qint64 kHeaderPeekBytes = 64 * 1024;

QString decodeWords(const QByteArray& raw);

QString headerValue(const QByteArray& head, const QByteArray& name) {
    const QList<QByteArray> lines = head.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QByteArray line = lines[i];
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            break;
        if (!line.toLower().startsWith(name.toLower() + ':'))
            continue;
        QByteArray value = line.mid(name.size() + 1).trimmed();
        while (i + 1 < lines.size() && (lines[i + 1].startsWith(' ') || lines[i + 1].startsWith('\t')))
            value += ' ' + lines[++i].trimmed();
        return decodeWords(value);
    }
    return {};
}

// Decodes the encoded words ("=?charset?B|Q?text?=") of a header value.
QString decodeWords(const QByteArray& raw) {
    static const QRegularExpression word(QStringLiteral("=\\?([^?]+)\\?([BbQq])\\?([^?]*)\\?="));
    const QString text = QString::fromLatin1(raw);
    QString out;
    qsizetype last = 0;
    bool previousWasWord = false;
    for (auto it = word.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        const QString between = text.mid(last, m.capturedStart() - last);
        if (!(previousWasWord && between.trimmed().isEmpty()))
            out += QString::fromUtf8(raw.mid(last, m.capturedStart() - last));
        QByteArray bytes = m.captured(3).toLatin1();
        if (m.captured(2).compare(QLatin1String("B"), Qt::CaseInsensitive) == 0) {
            bytes = QByteArray::fromBase64(bytes);
        } else {
            bytes.replace('_', ' ');
            bytes = QByteArray::fromPercentEncoding(bytes, '=');
        }
        QStringDecoder decoder(m.captured(1).section(QLatin1Char('*'), 0, 0).toLatin1().constData());
        out += decoder.isValid() ? decoder.decode(bytes) : QString::fromLatin1(bytes);
        last = m.capturedEnd();
        previousWasWord = true;
    }
    out += QString::fromUtf8(raw.mid(last));
    return out.simplified();
}

}  // namespace

MessageListModel::MessageListModel(MailHost* host, QObject* parent) : QAbstractTableModel(parent), host_(host) {}

void MessageListModel::setMessages(const QStringList& paths) {
    beginResetModel();
    rows_.clear();
    rows_.reserve(paths.size());
    for (const QString& p : paths) {
        rows_.append(Row());
        rows_.last().path = p;
    }
    endResetModel();
}

QString MessageListModel::pathAt(int row) const { return row >= 0 && row < rows_.size() ? rows_[row].path : QString(); }

int MessageListModel::rowOf(const QString& path) const {
    for (int i = 0; i < rows_.size(); ++i) {
        if (rows_[i].path == path)
            return i;
    }
    return -1;
}

int MessageListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : int(rows_.size()); }
int MessageListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 3; }

void MessageListModel::load(const Row& row) const {
    if (row.loaded)
        return;
    row.loaded = true;
    QFile file(row.path);
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray head = file.read(kHeaderPeekBytes);
        row.from = headerValue(head, "From");
        row.subject = headerValue(head, "Subject");
        const QString date = headerValue(head, "Date");
        const QDateTime when =
            QDateTime::fromString(date.section(QLatin1Char('('), 0, 0).simplified(), Qt::RFC2822Date);
        row.date = when.isValid() ? when.toLocalTime().toString(QStringLiteral("d MMM yyyy HH:mm")) : date;
    }
    row.unread = !MailStore::flagsOf(row.path).contains(QLatin1Char('S'));
    row.color = host_->ColorForMessage(row.path);
}

QVariant MessageListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rows_.size())
        return {};
    const Row& row = rows_[index.row()];
    load(row);
    switch (role) {
    case Qt::DisplayRole:
        return index.column() == 0 ? row.from : index.column() == 1 ? row.subject : row.date;
    case Qt::BackgroundRole:
        if (row.color >= 0)
            return QColor::fromRgb(QRgb(0xff000000u | unsigned(row.color))).lighter(160);
        return {};
    case Qt::FontRole:
        if (row.unread) {
            QFont bold;
            bold.setBold(true);
            return bold;
        }
        return {};
    case Qt::ToolTipRole:
        return row.path;
    default:
        return {};
    }
}

QVariant MessageListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char* titles[] = {"From", "Subject", "Date"};
    return section >= 0 && section < 3 ? QString::fromLatin1(titles[section]) : QVariant();
}

MailWindow::MailWindow(MailHost* host) : host_(host) {
    setWindowTitle(QStringLiteral("Mail"));
    buildHostMenus(menuBar(), host);

    auto* splitter = new QSplitter(this);
    mailboxes_ = new QListWidget(splitter);
    mailboxes_->setMinimumWidth(170);
    table_ = new QTableView(splitter);
    model_ = new MessageListModel(host, this);
    table_->setModel(model_);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table_->verticalHeader()->hide();
    table_->setShowGrid(false);
    table_->setAlternatingRowColors(true);
    table_->setWordWrap(false);
    table_->setTextElideMode(Qt::ElideRight);
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 6);
    table_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Interactive);
    table_->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    table_->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Interactive);
    table_->setColumnWidth(0, 230);
    table_->setColumnWidth(2, 140);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({170, 790});
    setCentralWidget(splitter);
    resize(960, 520);

    refreshTimer_ = new QTimer(this);
    refreshTimer_->setSingleShot(true);
    connect(refreshTimer_, &QTimer::timeout, this, &MailWindow::refresh);
    connect(host, &MailHost::mailboxesChanged, this, [this] { refreshTimer_->start(200); });
    connect(host, &MailHost::selectionChanged, this, &MailWindow::selectionFromHost);
    connect(mailboxes_, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row >= 0)
            showMailbox(mailboxes_->item(row)->data(Qt::UserRole).toString());
    });
    connect(table_->selectionModel(), &QItemSelectionModel::selectionChanged, this, &MailWindow::selectionFromTable);
    auto* watcher = new QFileSystemWatcher(this);
    watcher->addPath(host->store().mailboxesFolder());
    connect(watcher, &QFileSystemWatcher::directoryChanged, this, [this] { refreshTimer_->start(200); });
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [this] { refreshTimer_->start(0); });
    poll->start(3000);
    refresh();
}

void MailWindow::buildHostMenus(QMenuBar* bar, MailHost* host) {
    QMenu* mail = bar->addMenu(QStringLiteral("&Mail"));
    mail->addAction(QStringLiteral("Quit Mail"), QKeySequence::Quit, qApp, &QCoreApplication::quit);
    QMenu* mailbox = bar->addMenu(QStringLiteral("Mail&box"));
    mailbox->addAction(QStringLiteral("Erase Deleted Items"), host,
                       [host] { host->EmptyMailbox(QLatin1String(kTrashName)); });
    QMenu* message = bar->addMenu(QStringLiteral("Me&ssage"));
    message->addAction(QStringLiteral("Apply Rules"), QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_L), host,
                       [host] { host->applyRules(host->Selection()); });
    message->addAction(QStringLiteral("Move to INBOX"), host,
                       [host] { host->MoveMessages(host->Selection(), QLatin1String(kInboxName)); });
    message->addAction(QStringLiteral("Delete"), QKeySequence::Delete, host,
                       [host] { host->MoveMessages(host->Selection(), QLatin1String(kTrashName)); });
    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    help->addAction(QStringLiteral("About Mail"), host, [] {});
}

void MailWindow::refresh() {
    const QStringList names = host_->store().mailboxes();
    const QString keep = current_.isEmpty() ? QString::fromLatin1(kInboxName) : current_;
    mailboxes_->blockSignals(true);
    mailboxes_->clear();
    int currentRow = 0;
    for (const QString& name : names) {
        const int count = int(host_->store().messages(name).size());
        auto* item = new QListWidgetItem(count ? QStringLiteral("%1  (%2)").arg(name).arg(count) : name, mailboxes_);
        item->setData(Qt::UserRole, name);
        if (name == keep)
            currentRow = mailboxes_->count() - 1;
    }
    mailboxes_->setCurrentRow(currentRow);
    mailboxes_->blockSignals(false);
    if (!names.isEmpty())
        showMailbox(names.value(currentRow));
}

void MailWindow::showMailbox(const QString& name) {
    const QStringList paths = host_->store().messages(name);
    if (name == current_ && model_->rowCount() == paths.size()) {
        bool same = true;
        for (int i = 0; same && i < paths.size(); ++i)
            same = model_->pathAt(i) == paths[i];
        if (same)
            return;
    }
    const bool switched = name != current_;
    current_ = name;
    syncing_ = true;
    model_->setMessages(paths);
    syncing_ = false;
    showHostSelection();
    // Another mailbox chosen: the selection is what it shows, so a message
    // selected in the mailbox left does not pull the window back to it.
    if (switched)
        selectionFromTable();
}

void MailWindow::selectionFromTable() {
    if (syncing_)
        return;
    QStringList paths;
    for (const QModelIndex& index : table_->selectionModel()->selectedRows())
        paths << model_->pathAt(index.row());
    syncing_ = true;
    host_->setSelection(paths);
    syncing_ = false;
}

void MailWindow::selectionFromHost() {
    if (syncing_)
        return;
    // A selection made elsewhere shows the mailbox it is in.
    if (!host_->selection().isEmpty()) {
        const QString box = host_->store().mailboxOfMessage(host_->selection().first());
        if (!box.isEmpty() && box != current_) {
            for (int row = 0; row < mailboxes_->count(); ++row) {
                if (mailboxes_->item(row)->data(Qt::UserRole).toString() == box)
                    mailboxes_->setCurrentRow(row);
            }
        }
    }
    showHostSelection();
}

void MailWindow::showHostSelection() {
    syncing_ = true;
    table_->clearSelection();
    for (const QString& path : host_->selection()) {
        const int row = model_->rowOf(path);
        if (row >= 0)
            table_->selectionModel()->select(model_->index(row, 0),
                                             QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    syncing_ = false;
}

}  // namespace mailhost

namespace mailhost {

void MailWindow::chooseMailbox(const QString& name) {
    for (int row = 0; row < mailboxes_->count(); ++row) {
        if (mailboxes_->item(row)->data(Qt::UserRole).toString() == name)
            mailboxes_->setCurrentRow(row);
    }
    if (model_->rowCount() > 0)
        table_->selectRow(0);
}

bool MailWindow::saveScreenshots(const QString& folder) {
    refresh();
    bool ok = true;
    chooseMailbox(QString::fromLatin1(kInboxName));
    ok &= grab().save(folder + QStringLiteral("/mail-inbox.png"));
    chooseMailbox(QString::fromLatin1(kSpamName));
    ok &= grab().save(folder + QStringLiteral("/mail-spam.png"));

    // The menu before the host's last one is the plug-in's: drawn open below its item.
    const QList<QAction*> top = menuBar()->actions();
    QMenu* menu = top.size() >= 2 ? top[top.size() - 2]->menu() : nullptr;
    if (!menu)
        return false;
    chooseMailbox(QString::fromLatin1(kInboxName));
    menu->ensurePolished();
    menu->resize(menu->sizeHint());
    QPixmap canvas = grab();
    const QRect item = menuBar()->actionGeometry(top[top.size() - 2]);
    QPainter painter(&canvas);
    const QPoint at = menuBar()->mapTo(this, item.bottomLeft());
    painter.fillRect(QRect(menuBar()->mapTo(this, item.topLeft()), item.size()), palette().highlight());
    const QIcon icon = top[top.size() - 2]->icon();
    if (!icon.isNull())
        icon.paint(&painter, QRect(menuBar()->mapTo(this, item.topLeft()), item.size()));
    painter.drawPixmap(at, menu->grab());
    painter.end();
    return ok && canvas.save(folder + QStringLiteral("/mail-menu.png"));
}

}  // namespace mailhost
