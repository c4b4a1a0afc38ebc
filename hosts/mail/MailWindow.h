#pragma once
// The mail host's viewer: the mailboxes with their message counts, the messages
// of the chosen one (coloured as the rules say), and the menu bar into which
// plug-ins insert their menus.

#include <QAbstractTableModel>
#include <QMainWindow>
#include <QStringList>
#include <QVector>

class QListWidget;
class QMenuBar;
class QTableView;
class QTimer;

namespace mailhost {

class MailHost;

// The messages of one mailbox; sender, subject and colour are read when a row is shown.
class MessageListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit MessageListModel(MailHost* host, QObject* parent = nullptr);
    void setMessages(const QStringList& paths);
    QString pathAt(int row) const;
    int rowOf(const QString& path) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    struct Row {
        QString path;
        mutable bool loaded = false;
        mutable QString from, subject, date;
        mutable int color = -1;
        mutable bool highlight = false;
        mutable bool unread = false;
    };
    void load(const Row& row) const;
    MailHost* host_;
    QVector<Row> rows_;
};

class MailWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MailWindow(MailHost* host);
    // The host's own menus ("Mail", "Mailbox", "Message", "Help").
    static void buildHostMenus(QMenuBar* bar, MailHost* host);
    // Renders the window to "<folder>/mail-inbox.png", "mail-spam.png" and, with
    // the menu a plug-in inserted opened, "mail-menu.png"; false when one failed.
    bool saveScreenshots(const QString& folder);

private:
    void refresh();
    void showMailbox(const QString& name);
    void chooseMailbox(const QString& name);
    void selectionFromTable();
    void selectionFromHost();
    void showHostSelection();

    MailHost* host_;
    QListWidget* mailboxes_;
    QTableView* table_;
    MessageListModel* model_;
    QTimer* refreshTimer_;
    QString current_;
    bool syncing_ = false;
};

}  // namespace mailhost
