// The mail host (junkward-mail) with its plug-in and the staged engine, each a
// real process on a private session bus: new mail through the "Junkward" rule,
// the plug-in's menu, an engine started by the first delivery, the size limit,
// many messages on four rule threads, and bad rules and mailboxes.
#include "engine/tests/EngineTestSupport.h"

#include "platform/PropertyList.h"
#include "platform/ScriptingBus.h"

#include <QDBusConnection>
#include <QDir>
#include <QRegularExpression>
#include <set>

namespace {

using enginetest::Sandbox;
using testsupport::Program;

const QString kMailBus = QStringLiteral("com.quillon.junkward.Mail");

// A message an upstream filter marked: the engine calls it spam without training.
QByteArray spamMessage(const QString& id, qsizetype bodyBytes = 40) {
    QByteArray m =
        "From: Winner <prize@lottery.example>\nTo: me@example.org\nSubject: You won\nX-Spam-Flag: YES\n"
        "Message-ID: <" +
        id.toUtf8() + ">\n\n";
    return m + QByteArray(bodyBytes, 'x').replace(0, 0, "Claim now ") + "\n";
}

QByteArray goodMessage(const QString& id) {
    return "From: Anna <anna@example.com>\nTo: me@example.org\nSubject: Lunch on Friday\n"
           "Message-ID: <" +
           id.toUtf8() + ">\n\nShall we meet at noon?\n";
}

class MailHost : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus.ready());
        mail = box.userLibrary() + QStringLiteral("/Mail");
        QDir().mkpath(box.preferences());
        QDir().mkpath(mail + QStringLiteral("/Mailboxes/Spam.mbox"));
        // The mail program as the set-up leaves it: configured, plug-ins on, the rule.
        QFile(box.preferences() + QStringLiteral("/com.quillon.junkward.mail.configured")).open(QIODevice::WriteOnly);
        ASSERT_TRUE(
            platform::plist::writeFile(box.preferences() + QStringLiteral("/com.apple.mail.plist"),
                                       QVariantMap{{"EnableBundles", "YES"}, {"BundleCompatibilityVersion", 3}}));
        writeRules(QVariantMap{{"rules", QVariantList{junkwardRule()}}});
        const QString stage = QString::fromLocal8Bit(std::getenv("JUNKWARD_STAGE"));
        ::setenv("PATH", QFile::encodeName(stage + QStringLiteral("/bin:") + qEnvironmentVariable("PATH")).constData(),
                 1);
        QDir().mkpath(mail + QStringLiteral("/Bundles"));
        ASSERT_TRUE(
            Sandbox::copyTree(stage + QStringLiteral("/Library/Application Support/Quillon/Junkward/Components/Mail/"
                                                     "JunkwardForMail.mailbundle"),
                              mail + QStringLiteral("/Bundles/JunkwardForMail.mailbundle")));
    }

    static QVariantMap junkwardRule() {
        return {{"Active", "1"},
                {"RuleName", "Junkward"},
                {"Criteria", QVariantList{QVariantMap{{"CriterionUniqueId", "MyID"}, {"Header", "AnyMessage"}}}},
                {"Mailbox", "~/Library/Mail/Mailboxes/Spam.mbox"},
                {"MailboxURL", "local:///Spam"},
                {"ShouldTransferMessage", "YES"},
                {"Color", 10506940}};
    }
    void writeRules(const QVariant& rules) {
        ASSERT_TRUE(platform::plist::writeFile(mail + QStringLiteral("/MessageRules.plist"), rules));
    }

    QString writeMessage(const QString& name, const QByteArray& data) {
        const QString path = files.path() + QLatin1Char('/') + name;
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(data);
        return path;
    }

    // junkward-mail with arguments; its exit status (-1 when it did not end).
    int runMail(const QStringList& arguments, QString* output = nullptr, int timeoutMs = 120000) {
        QProcess p;
        p.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
        p.start(testsupport::stagedProgram(QStringLiteral("junkward-mail")), arguments);
        if (!p.waitForFinished(timeoutMs)) {
            p.kill();
            p.waitForFinished();
            return -1;
        }
        if (output)
            *output = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
        return p.exitCode();
    }

    QStringList messages(const QString& mailbox) const {
        QStringList files;
        for (const char* sub : {"/new", "/cur"}) {
            const QString folder =
                mail + QStringLiteral("/Mailboxes/") + mailbox + QStringLiteral(".mbox") + QLatin1String(sub);
            for (const QString& f : QDir(folder).entryList(QDir::Files))
                files << folder + QLatin1Char('/') + f;
        }
        return files;
    }

    QByteArray logText() const {
        QFile log(box.logFile());
        return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    }

    void TearDown() override {
        // An engine the plug-in started goes with the test.
        if (platform::ScriptingBus::hasOwner(QStringLiteral("com.quillon.junkward.Engine")))
            platform::ScriptingBus::call(QStringLiteral("com.quillon.junkward.Engine"),
                                         QStringLiteral("/com/quillon/junkward/Engine"),
                                         QStringLiteral("com.quillon.junkward.Engine"), QStringLiteral("Quit"), {}, 10);
    }

    Sandbox box;
    QTemporaryDir files;
    testsupport::PrivateBus bus{testsupport::PrivateBus::stagedServices()};
    QString mail;
};

TEST_F(MailHost, spamGoesToSpamGoodMailStaysAndLearnSpamFromTheMenuTrains) {
    Program host(QStringLiteral("junkward-mail"), {QStringLiteral("--no-window")});
    ASSERT_TRUE(host.start());
    ASSERT_TRUE(testsupport::waitUntil([] { return platform::ScriptingBus::hasOwner(kMailBus); }));

    QString out;
    ASSERT_EQ(runMail({"deliver", writeMessage("spam.eml", spamMessage("s1@lottery.example")),
                       writeMessage("good.eml", goodMessage("g1@example.com"))},
                      &out),
              0)
        << out.toStdString();
    ASSERT_EQ(messages("Spam").size(), 1);
    ASSERT_EQ(messages("INBOX").size(), 1);

    // The good message, selected and trained as spam from the plug-in's menu.
    const QString good = messages("INBOX")[0];
    ASSERT_EQ(runMail({"select", good}, &out), 0) << out.toStdString();
    ASSERT_EQ(runMail({"menu", "Learn Spam"}, &out), 0) << out.toStdString() << host.errorOutput().toStdString();
    EXPECT_TRUE(testsupport::waitUntil([&] { return logText().contains("LEARN_SPAM"); }));
    EXPECT_TRUE(logText().contains("g1@example.com"));
    ASSERT_EQ(messages("Spam").size(), 2);
    EXPECT_TRUE(messages("INBOX").isEmpty());

    // Mail a delivery agent drops into the Incoming Maildir is taken while the host runs.
    const QString incoming = mail + QStringLiteral("/Incoming/new/dropped");
    const QString drop = mail + QStringLiteral("/Incoming/tmp/dropped");
    ASSERT_TRUE(QFile::copy(writeMessage("dropped.eml", spamMessage("d1@lottery.example")), drop));
    ASSERT_TRUE(QFile::rename(drop, incoming));
    EXPECT_TRUE(testsupport::waitUntil([&] { return messages("Spam").size() == 3; }));
    EXPECT_FALSE(QFileInfo::exists(incoming));

    // The colour computation never asks the engine: a spam put straight into
    // INBOX is not the rule's, and the engine never hears of it.
    const QString unseen = mail + QStringLiteral("/Mailboxes/INBOX.mbox/cur/colour:2,");
    QFile::copy(writeMessage("colour.eml", spamMessage("c1@lottery.example")), unseen);
    const platform::ScriptingReply colour = platform::ScriptingBus::call(
        kMailBus, "/com/quillon/junkward/Mail", "com.quillon.junkward.Mail", "ColorForMessage", {unseen}, 30);
    ASSERT_TRUE(colour.ok) << colour.errorMessage.toStdString();
    EXPECT_EQ(colour.values.value(0).toInt(), -1);
    testsupport::spinFor(3500);  // the log's delayed write
    EXPECT_FALSE(logText().contains("c1@lottery.example"));
}

TEST_F(MailHost, firstDeliveryStartsTheEngineAndOnlyWhatFitsIsSent) {
    ASSERT_FALSE(platform::ScriptingBus::hasOwner(QStringLiteral("com.quillon.junkward.Engine")));
    // 716800 bytes are sent, one more is not: that spam stays in INBOX.
    const QByteArray fits = spamMessage("fits@lottery.example", 716800 - spamMessage("fits@lottery.example", 0).size());
    const QByteArray over = spamMessage("over@lottery.example", 716801 - spamMessage("over@lottery.example", 0).size());
    ASSERT_EQ(fits.size(), 716800);
    ASSERT_EQ(over.size(), 716801);
    QString out;
    ASSERT_EQ(runMail({"deliver", writeMessage("fits.eml", fits), writeMessage("over.eml", over)}, &out), 0)
        << out.toStdString();
    EXPECT_TRUE(platform::ScriptingBus::hasOwner(QStringLiteral("com.quillon.junkward.Engine")));
    ASSERT_EQ(messages("Spam").size(), 1);
    ASSERT_EQ(messages("INBOX").size(), 1);
    EXPECT_EQ(QFileInfo(messages("INBOX")[0]).size(), 716801);
}

TEST_F(MailHost, aThousandMessagesOnFourRuleThreadsEachEndOnceInTheRightMailbox) {
    const QString batch = files.path() + QStringLiteral("/batch");
    QDir().mkpath(batch + QStringLiteral("/new"));
    QDir().mkpath(batch + QStringLiteral("/cur"));
    for (int i = 0; i < 1000; ++i) {
        const QString id = QStringLiteral("m%1@example.net").arg(i);
        QFile f(batch + QStringLiteral("/new/%1").arg(i));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(i % 2 ? spamMessage(id) : goodMessage(id));
    }
    QString out;
    ASSERT_EQ(runMail({"deliver", "--rule-threads", "4", batch}, &out, 600000), 0) << out.toStdString();

    const QRegularExpression idPattern(QStringLiteral("Message-ID: <m(\\d+)@"));
    for (const auto& [mailbox, parity] : {std::pair{"INBOX", 0}, std::pair{"Spam", 1}}) {
        std::set<int> seen;
        for (const QString& path : messages(QLatin1String(mailbox))) {
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::ReadOnly));
            const auto match = idPattern.match(QString::fromUtf8(f.readAll()));
            ASSERT_TRUE(match.hasMatch()) << path.toStdString();
            const int n = match.captured(1).toInt();
            EXPECT_EQ(n % 2, parity) << mailbox << " holds message " << n;
            EXPECT_TRUE(seen.insert(n).second) << "message " << n << " twice";
        }
        EXPECT_EQ(seen.size(), 500u) << mailbox;
    }
}

TEST_F(MailHost, badRulesAndMailboxesLeaveEveryMessageInTheInbox) {
    const QString spam = writeMessage("spam.eml", spamMessage("bad@lottery.example"));
    struct Case {
        const char* what;
        std::function<void()> spoil;
    } cases[] = {
        {"rules file that is no property list",
         [&] {
             QFile f(mail + "/MessageRules.plist");
             f.open(QIODevice::WriteOnly);
             f.write("<plist><dict><key>rules");
         }},
        {"rules of the wrong shape", [&] { writeRules(QVariantList{junkwardRule()}); }},
        {"rule list holding no dictionaries",
         [&] {
             writeRules(QVariantMap{{"rules", QVariantList{"Junkward", 1}}});
         }},
        {"rule moving mail out of the mailboxes",
         [&] {
             QVariantMap rule = junkwardRule();
             rule["Mailbox"] = files.path() + "/elsewhere.mbox";
             rule["MailboxURL"] = "local:///../../../elsewhere";
             writeRules(QVariantMap{{"rules", QVariantList{rule}}});
         }},
        {"Spam mailbox that is a file",
         [&] {
             QDir(mail + "/Mailboxes/Spam.mbox").removeRecursively();
             QFile f(mail + "/Mailboxes/Spam.mbox");
             f.open(QIODevice::WriteOnly);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.spoil();
        const qsizetype before = messages("INBOX").size();
        QString out;
        EXPECT_EQ(runMail({"deliver", spam}, &out), 0) << out.toStdString();
        EXPECT_EQ(messages("INBOX").size(), before + 1);
        EXPECT_FALSE(QFileInfo::exists(files.path() + "/elsewhere.mbox"));
    }
    // A source that is not there is reported, not delivered.
    QString out;
    EXPECT_EQ(runMail({"deliver", files.path() + "/missing.eml"}, &out), 2);
    EXPECT_TRUE(out.contains("missing.eml")) << out.toStdString();
}

}  // namespace
