// user-cleanup run as a program over homes in a temporary folder, named by a
// passwd-format file in place of the account database.

#include "platform/PropertyList.h"
#include "tests/support/TestSupport.h"

#include <QCryptographicHash>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <fstream>

namespace fs = std::filesystem;
using testsupport::Program;

namespace {

const char* const kLibrary = ".local/share/junkward";

void write(const fs::path& path, const std::string& text = "x") {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writePlist(const fs::path& path, const QVariant& value) {
    fs::create_directories(path.parent_path());
    ASSERT_TRUE(platform::plist::writeFile(QString::fromStdString(path.string()), value));
}

QVariantMap rule(const QString& name) { return {{"RuleName", name}, {"Criteria", QVariantList{}}}; }

// A home as a user of every part of the system leaves it.
void populate(const fs::path& home) {
    const fs::path lib = home / kLibrary;
    for (const char* name : {"com.quillon.junkward.General.plist", "com.quillon.junkward.statistics.Bayesian.plist",
                             ".com.quillon.junkward.lexicalDefautDBSet", "com.quillon.Junkward.plist"})
        write(lib / "Preferences" / name);
    // The stores with what an engine killed in a learning batch leaves: the
    // journals and a temporary file cut short.
    for (const char* name : {"Junkward.db", "Junkward.db-lock", "Junkward.cnt", "Junkward.cnt.batch",
                             "Junkward Training Center History.batch-4711", "Junkward Training Center History.batch",
                             ".Junkward Training Center History.batch-4712.a1B2c3", ".Junkward.cnt.Xy12Zq"})
        write(lib / "Caches" / name);
    write(lib / "Caches/Junkward Log Details/Details.json");
    write(lib / "Logs/Junkward/Junkward.log");
    write(lib / "Logs/Junkward/line\nbreak");
    write(lib / "Mail/Bundles/JunkwardForMail.mailbundle/Contents/Info.plist");
    write(lib / "Mail/Bundles (Disabled)/JunkwardForMail.mailbundle/Contents/Info.plist");
    write(home / ".config/autostart/junkward-junkward-engine.desktop", "[Desktop Entry]\nX-Junkward-Path=/x\n");
}

class UserCleanup : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::application();
        ASSERT_TRUE(dir_.isValid());
        root_ = dir_.path().toStdString();
    }

    // Runs the tool over the accounts "name:uid:home" given.
    void run(const std::vector<std::tuple<std::string, int, fs::path>>& accounts) {
        std::ofstream passwd(root_ / "passwd");
        for (const auto& [name, uid, home] : accounts)
            passwd << name << ":x:" << uid << ":" << uid << "::" << home.string() << ":/bin/sh\n";
        passwd.close();
        qputenv("JUNKWARD_PASSWD_FILE", QByteArray::fromStdString((root_ / "passwd").string()));
        Program tool(QStringLiteral("user-cleanup"));
        ASSERT_TRUE(tool.start());
        EXPECT_EQ(tool.waitForExit(), 0);
        EXPECT_EQ(tool.process().readAllStandardOutput(), QByteArray());
        qunsetenv("JUNKWARD_PASSWD_FILE");
    }

    testsupport::ShortTempDir dir_;
    fs::path root_;
};

TEST_F(UserCleanup, removesEveryTraceOfUsersAboveTheSystemRangeAndNothingElse) {
    const fs::path alice = root_ / "alice", bob = root_ / "bob", system = root_ / "system";
    populate(alice);
    populate(bob);
    populate(system);
    const fs::path prefs = alice / kLibrary / "Preferences";
    fs::create_directories(prefs / "com.quillon.junkward.BlackList.plist");  // a folder with a listed name
    write(prefs / "com.quillon.junkward.General.plist\n");                   // not a listed name
    write(prefs / "org.other.plist");
    write(alice / kLibrary / "Logs/other.log");
    // Names close to the engine's but not its own stay, and so does their folder.
    const fs::path caches = alice / kLibrary / "Caches";
    for (const char* name : {"Junkward Training Center History.batch-12x", "Junkward.cnt.batch.mine", ".Junkward.cnt"})
        write(caches / name);
    write(alice / ".config/autostart/junkward-mine.desktop", "[Desktop Entry]\nExec=mine\n");
    const fs::path mail = alice / kLibrary / "Mail";
    writePlist(mail / "MessageRules.plist",
               QVariantMap{{"rules", QVariantList{rule("Other"), rule("junkward"), rule("Junkward")}}, {"Version", 3}});
    writePlist(mail / "MessageSorting.plist", QVariantList{rule("Other")});
    const auto sortingBefore =
        platform::plist::readFile(QString::fromStdString((mail / "MessageSorting.plist").string()));

    // An account without a home comes first: the others are still cleaned.
    run({{"gone", 600, root_ / "missing"}, {"system", 499, system}, {"alice", 500, alice}, {"bob", 501, bob}});

    EXPECT_FALSE(fs::exists(prefs / "com.quillon.junkward.General.plist"));
    EXPECT_FALSE(fs::exists(prefs / "com.quillon.junkward.statistics.Bayesian.plist"));
    EXPECT_FALSE(fs::exists(prefs / ".com.quillon.junkward.lexicalDefautDBSet"));
    EXPECT_TRUE(fs::is_directory(prefs / "com.quillon.junkward.BlackList.plist"));
    EXPECT_TRUE(fs::exists(prefs / "com.quillon.junkward.General.plist\n"));
    EXPECT_TRUE(fs::exists(prefs / "org.other.plist"));
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(caches))
        left.insert(entry.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"Junkward Training Center History.batch-12x", "Junkward.cnt.batch.mine",
                                           ".Junkward.cnt"}));
    EXPECT_FALSE(fs::exists(bob / kLibrary / "Caches"));  // emptied, then removed
    EXPECT_FALSE(fs::exists(alice / kLibrary / "Logs/Junkward"));
    EXPECT_TRUE(fs::exists(alice / kLibrary / "Logs/other.log"));
    EXPECT_FALSE(fs::exists(mail / "Bundles"));
    EXPECT_FALSE(fs::exists(mail / "Bundles (Disabled)"));
    EXPECT_TRUE(fs::exists(mail / "MessageRules.plist"));
    EXPECT_FALSE(fs::exists(alice / ".config/autostart/junkward-junkward-engine.desktop"));
    EXPECT_TRUE(fs::exists(alice / ".config/autostart/junkward-mine.desktop"));

    // One rule goes, the first whose name matches without regard to case.
    const auto rules = platform::plist::readDictionary(QString::fromStdString((mail / "MessageRules.plist").string()));
    ASSERT_TRUE(rules);
    EXPECT_EQ(rules->value("rules").toList(), (QVariantList{rule("Other"), rule("Junkward")}));
    EXPECT_EQ(rules->value("Version").toInt(), 3);
    EXPECT_EQ(platform::plist::readFile(QString::fromStdString((mail / "MessageSorting.plist").string())),
              sortingBefore);

    // The system account is untouched.
    EXPECT_TRUE(fs::exists(system / kLibrary / "Preferences/com.quillon.junkward.General.plist"));
    EXPECT_TRUE(fs::exists(system / kLibrary / "Logs/Junkward/Junkward.log"));
}

TEST_F(UserCleanup, neverFollowsALinkOutOfTheHome) {
    const fs::path mallory = root_ / "mallory", outside = root_ / "outside";
    write(outside / "prefs/com.quillon.junkward.General.plist");
    write(outside / "logs/Junkward/keep.log");
    write(outside / "Junkward.db");
    write(outside / "bundles/JunkwardForMail.mailbundle/keep");
    writePlist(outside / "MessageRules.plist", QVariantList{rule("Junkward")});
    const std::string rulesBefore = read(outside / "MessageRules.plist");

    const fs::path lib = mallory / kLibrary;
    fs::create_directories(lib / "Caches");
    fs::create_directories(lib / "Mail");
    fs::create_directory_symlink(outside / "prefs", lib / "Preferences");
    fs::create_directory_symlink(outside / "logs", lib / "Logs");
    fs::create_directory_symlink(outside / "bundles", lib / "Mail/Bundles");
    fs::create_symlink(outside / "Junkward.db", lib / "Caches/Junkward.db");
    fs::create_symlink(outside / "MessageRules.plist", lib / "Mail/MessageRules.plist");
    // A hard link to a file elsewhere is not rewritten either.
    writePlist(outside / "sorting.plist", QVariantList{rule("Junkward")});
    fs::create_hard_link(outside / "sorting.plist", lib / "Mail/MessageSorting.plist");
    const std::string sortingBefore = read(outside / "sorting.plist");
    // A whole Library that is a link is not entered.
    const fs::path eve = root_ / "eve";
    fs::create_directories(eve / ".local/share");
    fs::create_directory_symlink(outside / "prefs", eve / kLibrary);

    run({{"mallory", 1000, mallory}, {"eve", 1001, eve}});

    EXPECT_TRUE(fs::exists(outside / "prefs/com.quillon.junkward.General.plist"));
    EXPECT_TRUE(fs::exists(outside / "logs/Junkward/keep.log"));
    EXPECT_TRUE(fs::exists(outside / "bundles/JunkwardForMail.mailbundle/keep"));
    EXPECT_TRUE(fs::exists(outside / "Junkward.db"));
    EXPECT_FALSE(fs::is_symlink(lib / "Caches/Junkward.db"));  // the link itself is a trace: gone
    EXPECT_EQ(read(outside / "MessageRules.plist"), rulesBefore);
    EXPECT_EQ(read(outside / "sorting.plist"), sortingBefore);
}

TEST_F(UserCleanup, undoesWhatAMailProgramSetUpRecorded) {
    const fs::path bob = root_ / "bob";
    // .procmailrc was edited after the set-up wrote it; .muttrc was not.
    const QByteArray setUpWrote = "original\n:0\n| junkward filter\n";
    const auto digest = [](const QByteArray& b) {
        return QString::fromLatin1(QCryptographicHash::hash(b, QCryptographicHash::Sha256).toHex());
    };
    write(bob / ".procmailrc", setUpWrote.toStdString() + "# the user's edit\n");
    write(bob / ".procmailrc.junkward-backup", "original\n");
    write(bob / ".muttrc", setUpWrote.toStdString());
    write(bob / ".muttrc.junkward-backup", "mutt's own\n");
    write(bob / ".mailfilter", "created by set-up\n");
    fs::create_directories(bob / ".config/junkward-sieve");
    write(bob / ".config/junkward-sieve/spam.sieve");
    write(root_ / "victim", "keep");
    fs::create_directory_symlink(root_, bob / "up");
    const QVariantList changes{
        QVariantMap{{"Program", "procmail"},
                    {"Path", ".procmailrc"},
                    {"Action", "Modified"},
                    {"Backup", ".procmailrc.junkward-backup"},
                    {"Written", digest(setUpWrote)}},
        QVariantMap{{"Path", ".muttrc"},
                    {"Action", "Modified"},
                    {"Backup", ".muttrc.junkward-backup"},
                    {"Written", digest(setUpWrote)}},
        QVariantMap{{"Program", "maildrop"}, {"Path", ".mailfilter"}, {"Action", "Created"}},
        QVariantMap{{"Path", ".config/junkward-sieve"}, {"Action", "CreatedFolder"}},
        QVariantMap{{"Path", ".config/junkward-sieve/spam.sieve"}, {"Action", "Created"}},
        // Entries that point out of the home are skipped.
        QVariantMap{{"Path", "../victim"}, {"Action", "Created"}},
        QVariantMap{{"Path", (root_ / "victim").string().c_str()}, {"Action", "Created"}},
        QVariantMap{{"Path", "up/victim"}, {"Action", "Created"}},
        QVariantMap{{"Path", ".mailfilter"}, {"Action", "Modified"}, {"Backup", "up/victim"}},
    };
    writePlist(bob / kLibrary / "Preferences/com.quillon.junkward.mailprograms.plist",
               QVariantMap{{"Changes", changes}});

    run({{"bob", 1002, bob}});
    EXPECT_FALSE(fs::exists(bob / ".local/share/junkward"));  // nothing else was in it

    EXPECT_EQ(read(bob / ".procmailrc"), "original\n");
    EXPECT_EQ(read(bob / ".procmailrc.junkward-saved"), setUpWrote.toStdString() + "# the user's edit\n");
    EXPECT_EQ(read(bob / ".muttrc"), "mutt's own\n");
    EXPECT_FALSE(fs::exists(bob / ".muttrc.junkward-saved"));
    EXPECT_FALSE(fs::exists(bob / ".procmailrc.junkward-backup"));
    EXPECT_FALSE(fs::exists(bob / ".mailfilter"));
    EXPECT_FALSE(fs::exists(bob / ".config/junkward-sieve"));
    EXPECT_EQ(read(root_ / "victim"), "keep");
    EXPECT_FALSE(fs::exists(bob / kLibrary / "Preferences/com.quillon.junkward.mailprograms.plist"));
}

}  // namespace
