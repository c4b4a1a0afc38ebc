#include "hosts/mail/MailHost.h"

#include "hosts/mail/MailWindow.h"
#include "platform/Bundle.h"
#include "platform/ClassRegistry.h"
#include "platform/Folders.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"
#include "platform/ScriptingBus.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace mailhost {

namespace {

const QString kPreferencesFile = QStringLiteral("com.apple.mail.plist");
const QString kEnableBundles = QStringLiteral("EnableBundles");
const QString kCompatibilityVersion = QStringLiteral("BundleCompatibilityVersion");
const QString kBundleSuffix = QStringLiteral(".mailbundle");
constexpr int kIncomingPollMs = 2000;

// A menu title as scripts name it: no mnemonic marks, "..." for an ellipsis.
QString plainTitle(QString text) { return text.remove(QLatin1Char('&')).replace(QChar(0x2026), QStringLiteral("...")); }

// Every action of a menu tree, depth first.
void collectActions(const QList<QAction*>& actions, QList<QAction*>* out) {
    for (QAction* action : actions) {
        out->append(action);
        if (action->menu())
            collectActions(action->menu()->actions(), out);
    }
}

}  // namespace

MailHost::MailHost(const QString& mailFolder, const Options& options) : store_(mailFolder), options_(options) {
    registerMailClasses();
    MailApplication::setShared(this);
    QString error;
    if (!store_.ensureMailbox(QLatin1String(kInboxName), &error))
        platform::log::console(QStringLiteral("[MailHost] INBOX cannot be used: %1").arg(error));
    ruleThreads_ = std::make_unique<RuleThreads>(store_, options.ruleThreads);
    reloadRules();
    if (options_.window) {
        window_ = std::make_unique<MailWindow>(this);
    } else {
        hiddenMenuBar_ = std::make_unique<QMenuBar>();
        MailWindow::buildHostMenus(hiddenMenuBar_.get(), this);
    }
}

MailHost::~MailHost() {
    ruleThreads_.reset();  // lets the queued messages finish
    if (onBus_)
        platform::ScriptingBus::unexportObject(QLatin1String(kMailBusName), QLatin1String(kMailObjectPath));
    if (MailApplication::shared() == this)
        MailApplication::setShared(nullptr);
}

QMenuBar* MailHost::mainMenu() { return window_ ? window_->menuBar() : hiddenMenuBar_.get(); }

bool MailHost::runAlertPanel(const QString& title, const QString& message, const QString& defaultButton,
                             const QString& alternateButton) {
    if (window_ && pendingAlertAnswer_.isEmpty()) {
        QMessageBox box(QMessageBox::Warning, title, message, QMessageBox::NoButton, window_.get());
        QPushButton* accept = box.addButton(defaultButton, QMessageBox::AcceptRole);
        box.addButton(alternateButton, QMessageBox::RejectRole);
        box.exec();
        return box.clickedButton() == accept;
    }
    const bool answer = pendingAlertAnswer_ == QLatin1String("default");
    platform::log::console(
        QStringLiteral("[MailHost] Alert \"%1\" answered \"%2\"").arg(title, answer ? defaultButton : alternateButton));
    return answer;
}

void MailHost::loadBundles() {
    const QString preferences = platform::folders::userPreferences() + QLatin1Char('/') + kPreferencesFile;
    const std::optional<QVariantMap> prefs = platform::plist::readDictionary(preferences);
    if (!prefs || !platform::plist::boolValue(*prefs, kEnableBundles, false)) {
        platform::log::console(
            QStringLiteral("[MailHost] Plug-ins are switched off (\"EnableBundles\" in %1)").arg(preferences));
        return;
    }
    const qint64 compatibility = prefs->value(kCompatibilityVersion).toLongLong();
    if (compatibility < kBundleCompatibilityVersion) {
        platform::log::console(QStringLiteral("[MailHost] Plug-ins of compatibility version %1 are not loaded "
                                              "(this host needs %2)")
                                   .arg(compatibility)
                                   .arg(kBundleCompatibilityVersion));
        return;
    }
    const QString folder = store_.mailFolder() + QStringLiteral("/Bundles");
    const QFileInfoList entries = QDir(folder).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& entry : entries) {
        if (!entry.fileName().endsWith(kBundleSuffix))
            continue;
        std::shared_ptr<platform::Bundle> bundle = platform::Bundle::open(entry.filePath());
        if (!bundle || !bundle->load())
            continue;
        const QString principal = bundle->infoDictionary().value(QStringLiteral("NSPrincipalClass")).toString();
        std::unique_ptr<MailBundleClass> cls(
            platform::ClassRegistry::createAs<MailBundleClass>(principal, QLatin1String(kMailBundleBaseTag)));
        if (!cls) {
            platform::log::console(QStringLiteral("[MailHost] %1 has no principal class \"%2\": not used")
                                       .arg(entry.fileName(), principal));
            continue;
        }
        cls->initialize();
        cls->hasPreferencesPanel();
        bundles_.push_back(bundle);
        principals_.push_back(std::move(cls));
    }
}

bool MailHost::exportOnBus() {
    onBus_ = platform::ScriptingBus::exportObject(QLatin1String(kMailBusName), QLatin1String(kMailObjectPath),
                                                  QLatin1String(kMailInterface), this);
    return onBus_;
}

void MailHost::watchIncoming() {
    const QString incoming = store_.incomingFolder();
    for (const char* sub : {"", "/new", "/cur", "/tmp"})
        platform::folders::ensureFolder(incoming + QLatin1String(sub), 0700);
    incomingWatcher_ = new QFileSystemWatcher(this);
    incomingWatcher_->addPaths({incoming + QStringLiteral("/new"), incoming + QStringLiteral("/cur")});
    incomingTimer_ = new QTimer(this);
    incomingTimer_->setSingleShot(true);
    connect(incomingTimer_, &QTimer::timeout, this, &MailHost::takeIncoming);
    connect(incomingWatcher_, &QFileSystemWatcher::directoryChanged, this, [this] { incomingTimer_->start(100); });
    // The watch can miss a burst of files: look again now and then.
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, &MailHost::takeIncoming);
    poll->start(kIncomingPollMs);
    QTimer::singleShot(0, this, &MailHost::takeIncoming);
}

void MailHost::showWindow() {
    if (window_)
        window_->show();
}

bool MailHost::saveScreenshots(const QString& folder) {
    return window_ && QDir().mkpath(folder) && window_->saveScreenshots(folder);
}

void MailHost::takeIncoming() {
    const QString incoming = store_.incomingFolder();
    QStringList inbox;
    for (const char* sub : {"/new", "/cur"}) {
        const QFileInfoList files =
            QDir(incoming + QLatin1String(sub)).entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
        for (const QFileInfo& file : files) {
            QString error;
            const QString moved = store_.moveMessage(file.filePath(), QLatin1String(kInboxName), &error);
            if (moved.isEmpty()) {
                platform::log::console(
                    QStringLiteral("[MailHost] New mail %1 stays in Incoming: %2").arg(file.filePath(), error));
                continue;
            }
            inbox << moved;
        }
    }
    if (!inbox.isEmpty())
        runRules(inbox, [](std::vector<RuleOutcome>) {});
}

void MailHost::runRules(const QStringList& inboxPaths, std::function<void(std::vector<RuleOutcome>)> done) {
    ruleThreads_->evaluate(inboxPaths, reloadRules(), [this, done](std::vector<RuleOutcome> outcomes) {
        QMetaObject::invokeMethod(
            this,
            [this, done, outcomes = std::move(outcomes)]() mutable {
                emit mailboxesChanged();
                done(std::move(outcomes));
            },
            Qt::QueuedConnection);
    });
    emit mailboxesChanged();
}

void MailHost::applyRules(const QStringList& paths) {
    QStringList inside;
    for (const QString& path : paths) {
        const QString message = messageInMailboxes(path);
        if (!message.isEmpty())
            inside << message;
    }
    runRules(inside, [](std::vector<RuleOutcome>) {});
}

void MailHost::deliver(const QStringList& sources, std::function<void(const DeliverySummary&)> done) {
    auto summary = std::make_shared<DeliverySummary>();
    const QStringList files = expandMessageSources(sources, &summary->problems);
    summary->failed = int(summary->problems.size());
    QStringList inbox;
    for (const QString& file : files) {
        QString error;
        const QString delivered = store_.deliverFile(file, QLatin1String(kInboxName), &error);
        if (delivered.isEmpty()) {
            ++summary->failed;
            summary->problems << error;
            continue;
        }
        inbox << delivered;
    }
    summary->delivered = int(inbox.size());
    runRules(inbox, [summary, done](std::vector<RuleOutcome> outcomes) {
        summary->outcomes = std::move(outcomes);
        done(*summary);
    });
}

std::shared_ptr<RuleSet> MailHost::reloadRules() {
    QString problem;
    std::shared_ptr<RuleSet> rules = loadRules(store_.mailFolder(), &problem);
    if (!problem.isEmpty() && problem != lastRulesProblem_)
        platform::log::console(QStringLiteral("[MailHost] %1: its rules are not used").arg(problem));
    lastRulesProblem_ = problem;
    setCurrentRules(rules);
    return rules;
}

QString MailHost::messageInMailboxes(const QString& path) const {
    const QFileInfo info(path);
    if (!info.isFile() || store_.mailboxOfMessage(info.absoluteFilePath()).isEmpty())
        return {};
    return info.absoluteFilePath();
}

void MailHost::setSelection(const QStringList& paths) {
    if (paths == selection_)
        return;
    selection_ = paths;
    emit selectionChanged();
}

// --- Scripting interface ------------------------------------------------------

QStringList MailHost::Mailboxes() { return store_.mailboxes(); }

QStringList MailHost::Messages(const QString& mailbox) {
    return store_.mailboxes().contains(mailbox) ? store_.messages(mailbox) : QStringList();
}

QStringList MailHost::Selection() {
    QStringList present;
    for (const QString& path : selection_) {
        if (QFileInfo(path).isFile())
            present << path;
    }
    return present;
}

int MailHost::Select(const QStringList& paths) {
    QStringList chosen;
    for (const QString& path : paths) {
        const QString inside = messageInMailboxes(path);
        if (!inside.isEmpty() && !chosen.contains(inside))
            chosen << inside;
    }
    setSelection(chosen);
    return int(chosen.size());
}

QString MailHost::SpamMailbox() { return store_.mailboxPath(QLatin1String(kSpamName)); }

int MailHost::Deliver(const QStringList& sources, const QDBusMessage& message) {
    setDelayedReply(true);
    QDBusConnection bus = connection();
    const QDBusMessage call = message;
    deliver(sources, [bus, call](const DeliverySummary& summary) mutable {
        bus.send(call.createReply(QVariantList{summary.delivered, summary.failed, summary.problems}));
    });
    return 0;
}

int MailHost::MoveMessages(const QStringList& paths, const QString& mailbox) {
    int moved = 0;
    for (const QString& path : paths) {
        const QString inside = messageInMailboxes(path);
        QString error;
        if (inside.isEmpty())
            continue;
        if (store_.mailboxOfMessage(inside) == mailbox || !store_.moveMessage(inside, mailbox, &error).isEmpty())
            ++moved;
        else
            platform::log::console(
                QStringLiteral("[MailHost] Could not move %1 to %2: %3").arg(inside, mailbox, error));
    }
    emit mailboxesChanged();
    return moved;
}

int MailHost::EmptyMailbox(const QString& mailbox) {
    if (!store_.mailboxes().contains(mailbox))
        return 0;
    const int removed = store_.emptyMailbox(mailbox);
    emit mailboxesChanged();
    return removed;
}

bool MailHost::ActivateMenuItem(const QString& title, const QString& alertAnswer) {
    QMenuBar* bar = mainMenu();
    if (!bar)
        return false;
    QList<QAction*> actions;
    collectActions(bar->actions(), &actions);
    for (QAction* action : actions) {
        if (action->isSeparator() || action->menu() || plainTitle(action->text()) != plainTitle(title) ||
            !action->isEnabled())
            continue;
        pendingAlertAnswer_ = alertAnswer;
        action->trigger();
        pendingAlertAnswer_.clear();
        return true;
    }
    return false;
}

QStringList MailHost::MenuItems() {
    QStringList titles;
    QMenuBar* bar = mainMenu();
    if (!bar)
        return titles;
    QList<QAction*> actions;
    collectActions(bar->actions(), &actions);
    for (QAction* action : actions) {
        if (!action->isSeparator())
            titles << plainTitle(action->text());
    }
    return titles;
}

int MailHost::ColorForMessage(const QString& path) {
    const QString inside = messageInMailboxes(path);
    if (inside.isEmpty())
        return -1;
    std::unique_ptr<MailMessage> message = messageForFile(inside);
    bool highlight = false;
    return send<int>(MailClass::named("MessageRouter"),
                     "colorForMessage:highlightTextUsingColor:", static_cast<MHObject*>(message.get()), &highlight);
}

void MailHost::Quit() { QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection); }

}  // namespace mailhost
