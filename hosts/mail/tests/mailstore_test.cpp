// The mailboxes: where a rule may send mail, and moves that never replace a file.
#include "hosts/mail/MailStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using mailhost::MailStore;

TEST(MailStore, rulesReachOnlyMailboxesInsideTheMailboxesFolder) {
    QTemporaryDir root;
    const MailStore store(root.path() + "/Mail");
    struct Case {
        QString reference;
        QString mailbox;
    } cases[] = {
        {"~/Library/Mail/Mailboxes/Spam.mbox", "Spam"},
        {root.path() + "/Mail/Mailboxes/Junk Mail.mbox", "Junk Mail"},
        {"local:///Spam", "Spam"},
        {"local:///Caf%C3%A9", QString::fromUtf8("Café")},
        {"local:///../../Spam", ""},
        {"local:///a/b", ""},
        {"local:///.hidden", ""},
        {"~/Library/Mail/Mailboxes/../Spam.mbox", ""},
        {"~/Library/Mail/Spam.mbox", ""},
        {"/etc/Spam.mbox", ""},
        {"~/Library/Mail/Mailboxes/Spam", ""},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(store.mailboxForReference(c.reference), c.mailbox) << c.reference.toStdString();
}

TEST(MailStore, aMoveNeverReplacesAMessageAndAFileInTheWayStopsIt) {
    QTemporaryDir root;
    const MailStore store(root.path() + "/Mail");
    const QString first = store.deliverData("Subject: one\n\n1\n", "INBOX");
    ASSERT_FALSE(first.isEmpty());
    // A message of the same name already in the target stays, the mover gets a new name.
    ASSERT_TRUE(store.ensureMailbox("Spam"));
    const QString clash = store.mailboxPath("Spam") + "/cur/" + QFileInfo(first).fileName() + ":2,";
    QFile existing(clash);
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("Subject: already there\n\n");
    existing.close();
    const QString moved = store.moveMessage(first, "Spam");
    ASSERT_FALSE(moved.isEmpty());
    EXPECT_NE(moved, clash);
    EXPECT_EQ(store.messages("Spam").size(), 2);
    EXPECT_TRUE(store.messages("INBOX").isEmpty());
    QFile check(clash);
    ASSERT_TRUE(check.open(QIODevice::ReadOnly));
    EXPECT_EQ(check.readAll(), QByteArray("Subject: already there\n\n"));

    // A mailbox that is a file: the message stays where it was.
    QFile blocker(store.mailboxPath("Blocked"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString second = store.deliverData("Subject: two\n\n2\n", "INBOX");
    QString error;
    EXPECT_TRUE(store.moveMessage(second, "Blocked", &error).isEmpty());
    EXPECT_FALSE(error.isEmpty());
    EXPECT_TRUE(QFileInfo::exists(second));
    EXPECT_TRUE(store.deliverData("x", "Blocked").isEmpty());
}

}  // namespace
