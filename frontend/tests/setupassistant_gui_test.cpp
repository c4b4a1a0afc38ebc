// The set-up assistant on the mail program's folders: the "Junkward" rule in
// rule files of every shape, the plug-in's versions, and the whole run through
// the panes on a mail folder set up as the mail program leaves it.
#include "FrontEndTestSupport.h"

#include "frontend/app/SUAMailConfiguration.h"
#include "frontend/app/SUAMainController.h"
#include "platform/Folders.h"
#include "platform/PropertyList.h"

#include <QCheckBox>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>

namespace {

using Config = SUAMailConfiguration;

QByteArray bytesOf(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// Every folder and file below root with its content, one a line, for
// comparing a tree before and after.
std::string treeOf(const QString& root) {
    QStringList tree;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        tree << QDir(root).relativeFilePath(info.filePath()) + ": " +
                    (info.isSymLink() ? "link" : info.isDir() ? "folder" : bytesOf(info.filePath()).toPercentEncoding());
    }
    tree.sort();
    return tree.join('\n').toStdString();
}

QVariantList rulesIn(const QString& path) {
    const auto root = platform::plist::readDictionary(path);
    return root ? root->value("rules").toList() : QVariantList();
}

int junkwardRules(const QVariantList& rules) {
    int n = 0;
    for (const QVariant& r : rules)
        n += r.toMap().value("RuleName").toString().compare("junkward", Qt::CaseInsensitive) == 0;
    return n;
}

// Only the mail host this time: the programs found on the computer are left alone.
void untickPrograms(SUAMainController& assistant) {
    for (QCheckBox* box : static_cast<SUALinuxProgramsController*>(assistant.paneControllerAtIndex(1))->boxes())
        box->setChecked(false);
}

class SetupAssistant : public ::testing::Test {
protected:
    SetupAssistant() {
        // A home folder of the test's own: the assistant looks for mail programs there.
        ::setenv("HOME", QFile::encodeName(box.userLibrary() + "/home").constData(), 1);
        QDir().mkpath(box.userLibrary() + "/home");
        ::setenv("JUNKWARD_INTEGRATIONS_DIR", QFile::encodeName(box.userLibrary() + "/none").constData(), 1);
        // Nor does it find the delivery agents of this machine (procmail) on the PATH.
        ::setenv("PATH", QFile::encodeName(box.userLibrary() + "/no-programs").constData(), 1);
        SUAMainController::setAlertHandler([this](const SUAMainController::Alert& a) { alerts << a.title; });
    }
    ~SetupAssistant() override {
        SUAMainController::setAlertHandler({});
        ::setenv("PATH", path_.constData(), 1);
    }
    const QByteArray path_ = qgetenv("PATH");
    // A mail folder as the mail program leaves it after its first start.
    void mailProgramSetUp() {
        ASSERT_TRUE(QDir().mkpath(Config::mailFolder() + "/Mailboxes/INBOX.mbox/cur"));
        ASSERT_TRUE(QDir().mkpath(platform::folders::userPreferences()));
        ASSERT_TRUE(platform::plist::writeFile(
            Config::mailPreferencesPath(),
            QVariantMap{
                {"EnableBundles", "NO"},
                {"NSToolbar Configuration MessageViewer",
                 QVariantMap{{"TB Item Identifiers", QVariantList{"delete_junk", "markAsJunkMail:", "reply:"}}}}}));
    }

    frontendtest::FrontEndSandbox box;
    QStringList alerts;
};

TEST_F(SetupAssistant, theRuleIsWrittenOnceAndEveryOtherRuleIsKept) {
    ASSERT_FALSE(Config::modifyRules());  // no Mail folder
    ASSERT_TRUE(QDir().mkpath(Config::mailFolder()));

    // No rules file: one with the single "Junkward" rule.
    ASSERT_TRUE(Config::modifyRules());
    QVariantList rules = rulesIn(Config::rulesPath());
    ASSERT_EQ(rules.size(), 1);
    EXPECT_EQ(rules[0].toMap().value("CopyToMailboxURL"), "local:///Spam");
    EXPECT_EQ(rules[0].toMap().value("Active"), "1");

    // A file edited by hand: the mail program's junk rule goes, rules on its junk
    // mark are switched off, a switched-off "JUNKWARD" rule comes back on, and
    // everything else stays as it was.
    const QVariantMap friends{{"RuleName", "Friends"},
                              {"Active", "1"},
                              {"Header", "From"},
                              {"Expression", "@example.org"},
                              {"Color", 3.25},
                              {"TimeStamp", qint64(1234)},
                              {"Stamp", QByteArray("\x01\x02", 2)}};
    const QVariantMap junkMark{
        {"RuleName", "Old junk"}, {"Active", "1"}, {"Criteria", QVariantList{QVariantMap{{"Header", "IsJunkMail"}}}}};
    const QVariantMap mailJunk{{"RuleName", "Junk"}, {"IsOneAndOnlyJunkRule", true}};
    QVariantMap ours = Config::junkwardRule();
    ours.insert("RuleName", "JUNKWARD");
    ours.insert("Active", "0");
    const QVariantMap root{{"RulesVersion", qint64(3)},
                           {"rules", QVariantList{friends, mailJunk, "a stray string", junkMark, ours}}};
    ASSERT_TRUE(platform::plist::writeFile(Config::rulesPath(), root));
    ASSERT_TRUE(Config::modifyRules());
    const QByteArray once = bytesOf(Config::rulesPath());
    ASSERT_TRUE(Config::modifyRules());
    EXPECT_EQ(bytesOf(Config::rulesPath()), once);  // a second run changes nothing
    const auto after = platform::plist::readDictionary(Config::rulesPath());
    ASSERT_TRUE(after);
    EXPECT_EQ(after->value("RulesVersion"), qint64(3));
    rules = after->value("rules").toList();
    ASSERT_EQ(rules.size(), 4);
    EXPECT_EQ(platform::plist::toData(rules[0], platform::plist::Format::XML),
              platform::plist::toData(friends, platform::plist::Format::XML));
    EXPECT_EQ(rules[1], QVariant("a stray string"));
    EXPECT_EQ(rules[2].toMap().value("Active"), "0");
    EXPECT_EQ(rules[3].toMap().value("Active"), "1");
    EXPECT_EQ(junkwardRules(rules), 1);

    // A bare array is wrapped; its rules stay.
    ASSERT_TRUE(platform::plist::writeFile(Config::rulesPath(), QVariantList{friends}));
    ASSERT_TRUE(Config::modifyRules());
    rules = rulesIn(Config::rulesPath());
    ASSERT_EQ(rules.size(), 2);
    EXPECT_EQ(rules[0], QVariant(friends));

    // Shapes that are no rule list are left byte for byte.
    for (const QByteArray& odd :
         {QByteArray("<?xml version=\"1.0\"?><plist><dict><key>rules</key><array><dict>"),
          platform::plist::toData(QVariantMap{{"rules", QVariantMap{{"a", "b"}}}}, platform::plist::Format::XML),
          platform::plist::toData(QString("rules"), platform::plist::Format::XML)}) {
        ASSERT_TRUE(writeBytes(Config::rulesPath(), odd));
        EXPECT_FALSE(Config::modifyRules());
        EXPECT_EQ(bytesOf(Config::rulesPath()), odd);
    }
}

TEST_F(SetupAssistant, thePlugInIsReplacedOnlyByANewerOne) {
    ASSERT_TRUE(QDir().mkpath(Config::mailFolder()));
    ASSERT_TRUE(Config::createMailBundlesDirectory());
    ASSERT_TRUE(QFileInfo(Config::sourceBundlePath()).isDir()) << Config::sourceBundlePath().toStdString();
    const QString shipped = platform::plist::readDictionary(Config::sourceBundlePath() + "/Contents/Info.plist")
                                ->value("CFBundleVersion")
                                .toString();
    ASSERT_TRUE(Config::copyBundle());
    EXPECT_EQ(Config::mailBundleVersion(), shipped);
    const QString info = Config::installedBundlePath() + "/Contents/Info.plist";
    auto installAs = [&](const QString& version) {
        auto dict = platform::plist::readDictionary(info).value_or(QVariantMap());
        dict.insert("CFBundleVersion", version);
        ASSERT_TRUE(platform::plist::writeFile(info, dict));
    };
    for (const auto& [installed, replaced] :
         std::vector<std::pair<QString, bool>>{{shipped, false}, {"99.0", false}, {"0.9", true}, {"5.0", true}}) {
        installAs(installed);
        ASSERT_TRUE(Config::copyBundle());
        EXPECT_EQ(Config::mailBundleVersion(), replaced ? shipped : installed) << installed.toStdString();
    }
    // Version numbers compare by component, not as text.
    installAs(shipped + ".0");
    ASSERT_TRUE(Config::copyBundle());
    EXPECT_EQ(Config::mailBundleVersion(), shipped + ".0");
    EXPECT_FALSE(QFileInfo::exists(Config::installedBundlePath() + ".old"));

    // A file named "Bundles" or "Spam.mbox" in the way stops the step.
    ASSERT_TRUE(QDir(Config::mailFolder() + "/Bundles").removeRecursively());
    ASSERT_TRUE(writeBytes(Config::mailFolder() + "/Bundles", "x"));
    EXPECT_FALSE(Config::createMailBundlesDirectory());
    ASSERT_TRUE(QDir().mkpath(Config::mailFolder() + "/Mailboxes"));
    ASSERT_TRUE(writeBytes(Config::mailFolder() + "/Mailboxes/Spam.mbox", "x"));
    EXPECT_FALSE(Config::createMailSpamMailBox());
}

TEST_F(SetupAssistant, thePanesConfigureTheMailProgramOnce) {
    SUAMainController& assistant = SUAMainController::sharedMainController();
    ASSERT_TRUE(assistant.open(false));
    ASSERT_EQ(assistant.paneCount(), 4);
    EXPECT_FALSE(assistant.backButton()->isEnabled());
    assistant.nextSlide();
    untickPrograms(assistant);
    assistant.nextSlide();
    ASSERT_EQ(assistant.currentIndex(), 2);
    auto* clients = static_cast<SUAMailClientsController*>(assistant.paneControllerAtIndex(2));
    EXPECT_FALSE(clients->mailBox()->isEnabled());  // the mail program was never set up

    // Nothing chosen: the pane stays.
    assistant.nextSlide();
    EXPECT_EQ(assistant.currentIndex(), 2);
    EXPECT_EQ(alerts, QStringList{"No e-mail program has been selected."});

    mailProgramSetUp();
    clients->checkMailConfigured();
    ASSERT_TRUE(clients->mailBox()->isEnabled());
    clients->mailBox()->setChecked(true);
    assistant.nextSlide();
    ASSERT_EQ(assistant.currentIndex(), 3);
    EXPECT_FALSE(assistant.nextButton()->isEnabled());
    assistant.previousSlide();
    EXPECT_EQ(assistant.currentIndex(), 2);
    EXPECT_TRUE(clients->mailBox()->isChecked());
    assistant.nextSlide();

    alerts.clear();
    assistant.finishSetUp();
    EXPECT_EQ(alerts, QStringList{"Configuration successful"});
    EXPECT_FALSE(assistant.window()->isVisible());
    EXPECT_TRUE(Config::hasMailClientBeenConfigured(SUAMailNickname));
    EXPECT_FALSE(Config::hasMailClientBeenConfigured(SUAEntourageNickname));
    EXPECT_TRUE(QFileInfo(Config::installedBundlePath() + "/Contents/Info.plist").isFile());
    EXPECT_TRUE(QFileInfo(Config::mailFolder() + "/Mailboxes/Spam.mbox/new").isDir());
    const auto prefs = platform::plist::readDictionary(Config::mailPreferencesPath());
    ASSERT_TRUE(prefs);
    EXPECT_EQ(prefs->value("EnableBundles"), "YES");
    EXPECT_EQ(prefs->value("BundleCompatibilityVersion"), qint64(3));
    EXPECT_EQ(prefs->value("NSToolbar Configuration MessageViewer").toMap().value("TB Item Identifiers"),
              QVariant(QVariantList{"deleteMessages:", "reply:"}));
    EXPECT_EQ(junkwardRules(rulesIn(Config::rulesPath())), 1);

    // Again, from the start: still one rule.
    ASSERT_TRUE(assistant.open(false));
    EXPECT_FALSE(clients->mailBox()->isChecked());
    assistant.nextSlide();
    untickPrograms(assistant);
    assistant.nextSlide();
    clients->mailBox()->setChecked(true);
    assistant.nextSlide();
    assistant.finishSetUp();
    EXPECT_EQ(junkwardRules(rulesIn(Config::rulesPath())), 1);

    // A step that fails stops the run and leaves no marker.
    ASSERT_TRUE(QFile::remove(Config::markerPath(SUAMailNickname)));
    ASSERT_TRUE(writeBytes(Config::rulesPath(), "not a property list"));
    alerts.clear();
    ASSERT_TRUE(assistant.open(false));
    assistant.nextSlide();
    untickPrograms(assistant);
    assistant.nextSlide();
    clients->mailBox()->setChecked(true);
    assistant.nextSlide();
    assistant.finishSetUp();
    EXPECT_EQ(alerts, QStringList{"Apple Mail configuration failed"});
    EXPECT_FALSE(Config::hasMailClientBeenConfigured(SUAMailNickname));
    EXPECT_EQ(bytesOf(Config::rulesPath()), "not a property list");
}

TEST_F(SetupAssistant, procmailAndThunderbirdAreConfiguredAndTheCleanUpToolUndoesBoth) {
    // Two Thunderbird profiles: a fresh one (no extensions folder yet), and one
    // with another add-on and an earlier Junkward add-on. The clean-up leaves
    // both as they were.
    // The home folder as user-cleanup finds it: the user Library below it.
    const QString home = box.userLibrary() + "/home";
    ::setenv("JUNKWARD_USER_LIBRARY", QFile::encodeName(home + "/.local/share/junkward").constData(), 1);
    const QString integrations = box.userLibrary() + "/integrations";
    ASSERT_TRUE(QDir().mkpath(integrations + "/procmail") && QDir().mkpath(integrations + "/thunderbird"));
    ASSERT_TRUE(writeBytes(integrations + "/procmail/junkward.procmailrc", ":0fw\n| junkward filter\n"));
    const QByteArray xpi = "PK\x03\x04 the add-on of this version";
    ASSERT_TRUE(writeBytes(integrations + "/thunderbird/junkward@quillon.com.xpi", xpi));
    ::setenv("JUNKWARD_INTEGRATIONS_DIR", QFile::encodeName(integrations).constData(), 1);

    const QByteArray procmailrc = "MAILDIR=$HOME/Mail/\n:0\n* ^From:.*boss\nboss/\n";
    ASSERT_TRUE(writeBytes(home + "/.procmailrc", procmailrc));
    const QString profile = home + "/.thunderbird/abcd.default";
    ASSERT_TRUE(QDir().mkpath(profile + "/Mail/Local Folders") &&
                QDir().mkpath(profile + "/ImapMail/imap.example.org"));
    const QString work = home + "/.thunderbird/efgh.work";
    ASSERT_TRUE(QDir().mkpath(work + "/extensions"));
    ASSERT_TRUE(writeBytes(work + "/extensions/junkward@quillon.com.xpi", "PK\x03\x04 an earlier add-on"));
    ASSERT_TRUE(writeBytes(work + "/extensions/other@example.org.xpi", "PK\x03\x04 another add-on"));
    ASSERT_TRUE(writeBytes(home + "/.thunderbird/profiles.ini",
                           "[Profile0]\nName=default\nIsRelative=1\nPath=abcd.default\n\n"
                           "[Profile1]\nName=work\nIsRelative=1\nPath=efgh.work\n"));
    const QByteArray localFilters = "version=\"9\"\nlogging=\"no\"\nname=\"Bills\"\n";
    ASSERT_TRUE(writeBytes(profile + "/Mail/Local Folders/msgFilterRules.dat", localFilters));
    const auto thunderbirdBefore = treeOf(home + "/.thunderbird");

    SUAMainController& assistant = SUAMainController::sharedMainController();
    ASSERT_TRUE(assistant.open(false));
    assistant.nextSlide();
    auto* programsPane = static_cast<SUALinuxProgramsController*>(assistant.paneControllerAtIndex(1));
    QStringList found;
    for (const auto& p : programsPane->programs())
        if (p.configurable)
            found << p.name;
    ASSERT_TRUE(found.contains("procmail") && found.contains("Thunderbird (profile abcd.default)"))
        << found.join(", ").toStdString();
    assistant.nextSlide();
    assistant.nextSlide();  // no other program is needed
    ASSERT_EQ(assistant.currentIndex(), 3);
    assistant.finishSetUp();
    EXPECT_EQ(alerts, QStringList{"Configuration successful"});

    EXPECT_TRUE(bytesOf(home + "/.procmailrc").startsWith(procmailrc));
    EXPECT_TRUE(bytesOf(home + "/.procmailrc")
                    .contains("INCLUDERC=" + QFile::encodeName(integrations) + "/procmail/junkward.procmailrc"));
    // No junk-marking filters beside the add-on: it would learn from their marks.
    EXPECT_EQ(bytesOf(profile + "/Mail/Local Folders/msgFilterRules.dat"), localFilters);
    EXPECT_FALSE(QFileInfo::exists(profile + "/ImapMail/imap.example.org/msgFilterRules.dat"));
    // The add-on in each profile and the manifest that lets it start the staged host.
    EXPECT_EQ(bytesOf(profile + "/extensions/junkward@quillon.com.xpi"), xpi);
    EXPECT_EQ(bytesOf(work + "/extensions/junkward@quillon.com.xpi"), xpi);
    const auto manifest = QJsonDocument::fromJson(bytesOf(home + "/.mozilla/native-messaging-hosts/com.quillon.junkward.json"));
    EXPECT_EQ(manifest["name"].toString(), "com.quillon.junkward");
    EXPECT_EQ(manifest["path"].toString(),
              QFileInfo(qEnvironmentVariable("JUNKWARD_STAGE") + "/bin/junkward-native-host").absoluteFilePath());
    EXPECT_EQ(manifest["allowed_extensions"].toArray(), QJsonArray{"junkward@quillon.com"});

    const QByteArray once = bytesOf(home + "/.procmailrc");
    const QByteArray record = bytesOf(SUAMailPrograms::recordPath());
    ASSERT_TRUE(SUAMailPrograms::configureProcmail());
    ASSERT_TRUE(SUAMailPrograms::configureThunderbirdProfile(work));
    EXPECT_EQ(bytesOf(SUAMailPrograms::recordPath()), record);  // nothing new to take back
    EXPECT_EQ(bytesOf(home + "/.procmailrc"), once);            // never twice
    EXPECT_TRUE(SUAMainController::anyMailClientConfigured());  // no assistant at the next start

    // The clean-up tool takes every change back.
    const QString passwd = box.userLibrary() + "/passwd";
    ASSERT_TRUE(writeBytes(passwd, "tester:x:1000:1000::" + QFile::encodeName(home) + ":/bin/sh\n"));
    ::setenv("JUNKWARD_PASSWD_FILE", QFile::encodeName(passwd).constData(), 1);
    testsupport::Program cleanup("user-cleanup");
    ASSERT_TRUE(cleanup.start());
    EXPECT_EQ(cleanup.waitForExit(), 0) << cleanup.errorOutput().toStdString();
    ::unsetenv("JUNKWARD_PASSWD_FILE");
    EXPECT_EQ(bytesOf(home + "/.procmailrc"), procmailrc);
    EXPECT_FALSE(QFileInfo::exists(home + "/.procmailrc.junkward-saved"));  // not edited since
    EXPECT_EQ(treeOf(home + "/.thunderbird"), thunderbirdBefore);
    EXPECT_FALSE(QFileInfo::exists(home + "/.mozilla"));
}

}  // namespace
