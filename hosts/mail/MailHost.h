#pragma once
// The mail host program: its Mail folder, the plug-in bundles it loads, new mail
// (deliveries and the watched Incoming Maildir) run through the rule threads,
// the scripting interface on the session bus and, with a window, the viewer.

#include "hosts/mail/MailClasses.h"
#include "hosts/mail/RuleThreads.h"

#include <QDBusContext>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>
#include <memory>

class QFileSystemWatcher;
class QMenuBar;
class QTimer;

namespace platform {
class Bundle;
}

namespace mailhost {

class MailWindow;

inline constexpr char kMailBusName[] = "com.quillon.junkward.Mail";
inline constexpr char kMailObjectPath[] = "/com/quillon/junkward/Mail";
inline constexpr char kMailInterface[] = "com.quillon.junkward.Mail";
// The plug-in interface version this host offers ("BundleCompatibilityVersion").
inline constexpr int kBundleCompatibilityVersion = 3;

// What a batch of deliveries did.
struct DeliverySummary {
    int delivered = 0;     // messages put into INBOX
    int failed = 0;        // sources that could not be delivered
    QStringList problems;  // one line per failure
    std::vector<RuleOutcome> outcomes;
};

class MailHost : public QObject, public MailApplication, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.quillon.junkward.Mail")
public:
    struct Options {
        bool window = true;
        int ruleThreads = 4;
    };
    MailHost(const QString& mailFolder, const Options& options);
    ~MailHost() override;

    // Loads the plug-in bundles of "<Mail>/Bundles" when the preferences enable them.
    void loadBundles();
    // Takes the scripting bus name; false when another host has it.
    bool exportOnBus();
    // Starts watching the Incoming Maildir.
    void watchIncoming();
    void showWindow();
    // Renders the window's pictures into folder (see MailWindow).
    bool saveScreenshots(const QString& folder);

    // Delivers message files (and the messages of Maildirs and folders) into INBOX
    // and runs the rules; done runs on the main thread when every rule finished.
    void deliver(const QStringList& sources, std::function<void(const DeliverySummary&)> done);

    // MailApplication
    QMenuBar* mainMenu() override;
    bool runAlertPanel(const QString& title, const QString& message, const QString& defaultButton,
                       const QString& alternateButton) override;
    const MailStore& store() const override { return store_; }

    // Runs the rules again on messages of the mailboxes (as for new mail).
    void applyRules(const QStringList& paths);

    QStringList selection() const { return selection_; }
    void setSelection(const QStringList& paths);

    // Reloads the rules from their files (logged once when a file is bad).
    std::shared_ptr<RuleSet> reloadRules();

public slots:
    // Scripting interface (D-Bus).
    QStringList Mailboxes();
    QStringList Messages(const QString& mailbox);
    QStringList Selection();
    int Select(const QStringList& paths);
    QString SpamMailbox();
    int Deliver(const QStringList& sources, const QDBusMessage& message);
    int MoveMessages(const QStringList& paths, const QString& mailbox);
    int EmptyMailbox(const QString& mailbox);
    // Chooses a menu item by its title as a click would; alertAnswer ("default"
    // or "alternate") answers an alert the item raises when there is no window.
    bool ActivateMenuItem(const QString& title, const QString& alertAnswer);
    QStringList MenuItems();
    int ColorForMessage(const QString& path);
    void Quit();

signals:
    void mailboxesChanged();
    void selectionChanged();

private:
    void takeIncoming();
    void runRules(const QStringList& inboxPaths, std::function<void(std::vector<RuleOutcome>)> done);
    // The path inside this host's mailboxes, or empty for anything else.
    QString messageInMailboxes(const QString& path) const;

    MailStore store_;
    Options options_;
    std::unique_ptr<RuleThreads> ruleThreads_;
    std::unique_ptr<QMenuBar> hiddenMenuBar_;
    std::unique_ptr<MailWindow> window_;
    std::vector<std::shared_ptr<platform::Bundle>> bundles_;
    std::vector<std::unique_ptr<MailBundleClass>> principals_;
    QStringList selection_;
    QString lastRulesProblem_;
    QString pendingAlertAnswer_;
    QFileSystemWatcher* incomingWatcher_ = nullptr;
    QTimer* incomingTimer_ = nullptr;
    bool onBus_ = false;
};

}  // namespace mailhost
