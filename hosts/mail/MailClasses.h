#pragma once
// The mail host's classes as its plug-ins see them, and the host services a
// plug-in may use (the main menu, alert panels).
//
//   NSObject        +alloc  -release
//   Message         -messageFlags  -type  -messageDataIncludingFromSpace:
//   MessageRule     -isActive  -ruleName  -doesMessageSatisfyCriteria:
//   MessageRouter   +colorForMessage:highlightTextUsingColor:
//   MessageViewer   +_mailboxUidsForPaths:
//   LibraryStore    -initWithMailboxUid:readOnly:
//                   -deleteMessagesOlderThanNumberOfDays:compact:
//
// Signatures of the implementations (self and selector first):
//   bool doesMessageSatisfyCriteria(MHObject* rule, const char*, MHObject* message)
//   int  colorForMessage(MHObject* routerClass, const char*, MHObject* message, bool* highlight)
//   QStringList _mailboxUidsForPaths(MHObject* viewerClass, const char*, QStringList paths)
//   MHObject* initWithMailboxUid(MHObject* store, const char*, QString uid, bool readOnly)
//   int  deleteMessagesOlderThanNumberOfDays(MHObject* store, const char*, int days, bool compact)

#include "hosts/mail/MailRuntime.h"
#include "hosts/mail/MailStore.h"

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QVariantMap>
#include <memory>
#include <vector>

class QMenuBar;

namespace mailhost {

// Maildir flag letters as the message flag word (read = 1, answered = 4, flagged = 16).
inline constexpr int kMessageFlagRead = 1 << 0;
inline constexpr int kMessageFlagAnswered = 1 << 2;
inline constexpr int kMessageFlagFlagged = 1 << 4;

// A message of a mailbox: its file, read when its data is asked for.
struct MailMessage : MHObject {
    QString path() const;
    void setPath(const QString& path);
    int flags = 0;

private:
    mutable QMutex mutex_;
    QString path_;
};

// One rule of the rules file.
struct MailRule : MHObject {
    QVariantMap dictionary;
};

// The host as its plug-ins see it.
class MailApplication {
public:
    virtual ~MailApplication() = default;
    // The main menu bar (null when the host runs without one).
    virtual QMenuBar* mainMenu() = 0;
    // Shows an alert; true when the default button was chosen.
    virtual bool runAlertPanel(const QString& title, const QString& message, const QString& defaultButton,
                               const QString& alternateButton) = 0;
    virtual const MailStore& store() const = 0;

    // The running host, or null.
    static MailApplication* shared();
    static void setShared(MailApplication* application);
};

// A plug-in bundle's principal class, as the host uses it after loading.
class MailBundleClass {
public:
    virtual ~MailBundleClass() = default;
    // The class-initialisation hook, called once on the main thread after load.
    virtual void initialize() = 0;
    virtual bool hasPreferencesPanel() = 0;
};
inline constexpr char kMailBundleBaseTag[] = "MailBundle";

// The rules in effect, in file order; held by whoever evaluates them.
struct RuleSet {
    std::vector<std::unique_ptr<MailRule>> rules;
};

// Defines the classes above in the runtime (once; later calls do nothing).
void registerMailClasses();

// Reads the rules: "MessageRules.plist" (dictionary with "rules"), else
// "MessageSorting.plist" (array). A file that is not a rule list is skipped with
// *problem set; no file gives an empty set.
std::shared_ptr<RuleSet> loadRules(const QString& mailFolder, QString* problem = nullptr);
// The rules the colour computation uses (the last set loaded by the host).
std::shared_ptr<RuleSet> currentRules();
void setCurrentRules(std::shared_ptr<RuleSet> rules);

// A message object for a file, with its Maildir flags.
std::unique_ptr<MailMessage> messageForFile(const QString& path);

// Mail's own criteria test of a rule (what doesMessageSatisfyCriteria: runs
// before any plug-in changes it).
bool ruleMatchesByCriteria(const MailRule& rule, MailMessage& message);

}  // namespace mailhost
