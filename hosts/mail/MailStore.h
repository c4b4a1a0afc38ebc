#pragma once
// The mail host's mailboxes: "<Mail>/Mailboxes/<Name>.mbox/" folders, each a
// Maildir (cur, new, tmp). Messages are files; moving one is a rename that never
// replaces another file, so a message is never lost or duplicated on the way.

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace mailhost {

inline constexpr char kInboxName[] = "INBOX";
inline constexpr char kSpamName[] = "Spam";
inline constexpr char kTrashName[] = "Trash";
// Maildir the host takes new mail from while it runs (a delivery agent writes it).
inline constexpr char kIncomingFolder[] = "Incoming";
// Larger files are not read into memory: they have no data for the rules.
inline constexpr qint64 kMaximumMessageBytes = 256ll * 1024 * 1024;

class MailStore {
public:
    // mailFolder is "<user Library>/Mail".
    explicit MailStore(const QString& mailFolder);

    QString mailFolder() const { return mailFolder_; }
    QString mailboxesFolder() const { return mailFolder_ + QStringLiteral("/Mailboxes"); }
    QString incomingFolder() const { return mailFolder_ + QLatin1Char('/') + QLatin1String(kIncomingFolder); }
    QString mailboxPath(const QString& name) const;

    // Names of the mailboxes ("<Name>.mbox" folders), INBOX first, then by name.
    QStringList mailboxes() const;
    // Makes the mailbox's Maildir; false (with *error) when a file is in the way.
    bool ensureMailbox(const QString& name, QString* error = nullptr) const;
    // Message files of a mailbox (new, then cur), sorted by name.
    QStringList messages(const QString& name) const;
    // The mailbox (name) a message file is in; empty when it is in none.
    QString mailboxOfMessage(const QString& path) const;
    // A mailbox name for a rule's reference to one: "~/Library/Mail/Mailboxes/X.mbox",
    // an absolute path inside the Mailboxes folder, or "local:///X". Empty for
    // anything else (a rule never reaches outside the Mailboxes folder).
    QString mailboxForReference(const QString& reference) const;

    // Delivers bytes as a new message of a mailbox (tmp, fsync, then new); the new
    // file's path, or empty with *error.
    QString deliverData(const QByteArray& data, const QString& mailbox, QString* error = nullptr) const;
    // The same with the content of a file (which is left in place).
    QString deliverFile(const QString& source, const QString& mailbox, QString* error = nullptr) const;
    // Moves a message file into another mailbox's cur folder without replacing any
    // file; the new path, or empty with *error (the message stays where it was).
    QString moveMessage(const QString& path, const QString& mailbox, QString* error = nullptr) const;
    // Copies a message into another mailbox.
    QString copyMessage(const QString& path, const QString& mailbox, QString* error = nullptr) const;
    // Sets Maildir flags ("S" read, "F" flagged) on a message; its new path.
    QString addFlags(const QString& path, const QString& flags) const;
    // Removes messages of the mailbox received more than days days ago (the
    // file's modification time is its arrival); the number removed.
    int deleteMessagesOlderThan(const QString& mailbox, int days) const;
    // Removes every message of a mailbox; the number removed.
    int emptyMailbox(const QString& mailbox) const;

    // Reads a message; false when it is missing or larger than kMaximumMessageBytes.
    static bool readMessage(const QString& path, QByteArray* data);
    // A file name unique among this host's deliveries.
    static QString uniqueName();
    // Flags of a Maildir file name (the letters after ":2,").
    static QString flagsOf(const QString& path);

private:
    QString mailFolder_;
};

}  // namespace mailhost
