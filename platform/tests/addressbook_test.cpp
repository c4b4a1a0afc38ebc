#include "ipc_test_support.h"

#include "platform/AddressBook.h"
#include "platform/NotificationCenter.h"

#include <QDir>
#include <QFile>

using namespace platform;

namespace {

QStringList emailsOf(const QList<ABPerson>& people) {
    QStringList all;
    for (const ABPerson& p : people)
        all += p.emails;
    return all;
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

}  // namespace

TEST(VCardTest, cardsAreReadWithTheirEmailsInFileOrder) {
    const struct {
        const char* what;
        QByteArray text;
        QStringList uids;
        QStringList emails;
    } cases[] = {
        {"3.0 with CRLF",
         "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:u-1\r\nFN:Ann\r\nEMAIL;TYPE=INTERNET:ann@a.example\r\nEND:VCARD\r\n",
         {"u-1"},
         {"ann@a.example"}},
        {"4.0 with LF",
         "BEGIN:VCARD\nVERSION:4.0\nUID:urn:uuid:4fbe8971\nEMAIL:b@b.example\nEND:VCARD\n",
         {"urn:uuid:4fbe8971"},
         {"b@b.example"}},
        {"folded with space and tab",
         "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:fo\r\n ld\r\nEMAIL:long.na\r\n me@exam\r\n\tple.org\r\nEND:VCARD\r\n",
         {"fold"},
         {"long.name@example.org"}},
        {"several and grouped",
         "BEGIN:VCARD\nVERSION:3.0\nUID:g\nEMAIL;type=HOME:one@x.example\nitem1.EMAIL;type=INTERNET:two@x.example\n"
         "item1.X-ABLabel:_$!<Other>!$_\nITEM2.email:three@x.example\nEND:VCARD\n",
         {"g"},
         {"one@x.example", "two@x.example", "three@x.example"}},
        {"quoted parameter with colon and semicolon",
         "BEGIN:VCARD\nVERSION:4.0\nUID:q\nEMAIL;PID=1.1;LABEL=\"work: desk; 2\";TYPE=work:q@x.example\nEND:VCARD\n",
         {"q"},
         {"q@x.example"}},
        {"escapes, mailto and blank values",
         "BEGIN:VCARD\nVERSION:3.0\nUID:a\\,b\nEMAIL:\nEMAIL: mailto:m@x.example \nEND:VCARD\n",
         {"a,b"},
         {"m@x.example"}},
        {"lower-case keywords and text around cards",
         "junk before\nbegin:vcard\nversion:3.0\nuid:l\nemail:l@x.example\nend:vcard\njunk after\n",
         {"l"},
         {"l@x.example"}},
        {"two cards",
         "BEGIN:VCARD\nVERSION:3.0\nUID:1\nEMAIL:1@x\nEND:VCARD\nBEGIN:VCARD\nVERSION:3.0\nUID:2\nEMAIL:2@x\nEND:VCARD\n",
         {"1", "2"},
         {"1@x", "2@x"}},
    };
    for (const auto& c : cases) {
        const QList<ABPerson> people = AddressBook::parseVCards(c.text, "file.vcf");
        QStringList uids;
        for (const ABPerson& p : people)
            uids << p.uniqueId;
        EXPECT_EQ(uids, c.uids) << c.what;
        EXPECT_EQ(emailsOf(people), c.emails) << c.what;
    }
    EXPECT_EQ(AddressBook::parseVCards("BEGIN:VCARD\nVERSION:3.0\nFN:Ann Smith\nEND:VCARD\n", "f")[0].name,
              "Ann Smith");
}

TEST(VCardTest, malformedCardsAreSkippedAndTheOthersKept) {
    const QByteArray good = "BEGIN:VCARD\nVERSION:3.0\nUID:good\nEMAIL:good@x\nEND:VCARD\n";
    const struct {
        const char* what;
        QByteArray bad;
    } cases[] = {
        {"no END", "BEGIN:VCARD\nVERSION:3.0\nUID:bad\nEMAIL:bad@x\n"},
        {"no VERSION", "BEGIN:VCARD\nUID:bad\nEMAIL:bad@x\nEND:VCARD\n"},
        {"version 2.1", "BEGIN:VCARD\nVERSION:2.1\nUID:bad\nEMAIL:bad@x\nEND:VCARD\n"},
        {"line without value", "BEGIN:VCARD\nVERSION:3.0\nUID:bad\nEMAIL bad@x\nEND:VCARD\n"},
        {"bad property name", "BEGIN:VCARD\nVERSION:3.0\nUID:bad\nE<MAIL>:bad@x\nEND:VCARD\n"},
        {"empty group", "BEGIN:VCARD\nVERSION:3.0\nUID:bad\n.EMAIL:bad@x\nEND:VCARD\n"},
        {"binary noise", QByteArray("BEGIN:VCARD\nVERSION:3.0\n\x00\xff\xfe\x01\nEND:VCARD\n", 39)},
    };
    for (const auto& c : cases) {
        // "no END" swallows what follows until the next BEGIN: put the good card after it.
        const QList<ABPerson> people = AddressBook::parseVCards(c.bad + good, "f.vcf");
        ASSERT_EQ(people.size(), 1) << c.what;
        EXPECT_EQ(people[0].uniqueId, "good") << c.what;
        EXPECT_EQ(people[0].emails, QStringList{"good@x"}) << c.what;
    }
    EXPECT_TRUE(AddressBook::parseVCards({}, "f").isEmpty());
    EXPECT_TRUE(AddressBook::parseVCards(QByteArray(100000, '\n'), "f").isEmpty());
}

TEST(VCardTest, aCardWithoutUidGetsAnIdentifierStableForItsFileAndPlace) {
    const QByteArray text =
        "BEGIN:VCARD\nVERSION:3.0\nEMAIL:a@x\nEND:VCARD\n"
        "BEGIN:VCARD\nVERSION:3.0\nEMAIL:b@x\nEND:VCARD\n";
    const QList<ABPerson> first = AddressBook::parseVCards(text, "friends.vcf");
    const QList<ABPerson> again = AddressBook::parseVCards(text, "friends.vcf");
    const QList<ABPerson> other = AddressBook::parseVCards(text, "work.vcf");
    ASSERT_EQ(first.size(), 2);
    EXPECT_FALSE(first[0].uniqueId.isEmpty());
    EXPECT_EQ(first[0].uniqueId, again[0].uniqueId);
    EXPECT_EQ(first[1].uniqueId, again[1].uniqueId);
    EXPECT_NE(first[0].uniqueId, first[1].uniqueId);
    EXPECT_NE(first[0].uniqueId, other[0].uniqueId);
}

class AddressBookTest : public ::testing::Test {
protected:
    void SetUp() override {
        ipctest::app();
        ASSERT_FALSE(library.path().isEmpty());
        ::setenv("JUNKWARD_USER_LIBRARY", library.path().toLocal8Bit().constData(), 1);
        folder = library.path() + "/Application Support/AddressBook";
    }
    ipctest::ShortTempDir library;
    QString folder;
};

TEST_F(AddressBookTest, theBookHoldsEveryCardOfEveryFileAndKnowsTheOwnCard) {
    ASSERT_TRUE(QDir().mkpath(folder));
    EXPECT_EQ(AddressBook::defaultFolder(), folder);
    writeFile(folder + "/b.vcf", "BEGIN:VCARD\nVERSION:3.0\nUID:me-1\nEMAIL:me@home.example\nEND:VCARD\n");
    writeFile(folder + "/a.VCF",
              "BEGIN:VCARD\nVERSION:4.0\nUID:f-1\nEMAIL:friend@x.example\nEMAIL:friend@y.example\nEND:VCARD\n");
    writeFile(folder + "/notes.txt", "BEGIN:VCARD\nVERSION:3.0\nUID:t\nEMAIL:t@x\nEND:VCARD\n");
    writeFile(folder + "/Me", "me-1\n");

    AddressBook book(folder);
    EXPECT_EQ(emailsOf(book.people()), (QStringList{"friend@x.example", "friend@y.example", "me@home.example"}));
    ASSERT_TRUE(book.me().has_value());
    EXPECT_EQ(book.me()->emails, QStringList{"me@home.example"});

    writeFile(folder + "/Me", "nobody-known");
    book.reload();
    EXPECT_FALSE(book.me().has_value());
    QFile::remove(folder + "/Me");
    book.reload();
    EXPECT_FALSE(book.me().has_value());
    EXPECT_EQ(AddressBook::sharedAddressBook()->folder(), folder);
    EXPECT_EQ(AddressBook::sharedAddressBook()->people().size(), 2);
}

TEST_F(AddressBookTest, outsideChangesAreAnnouncedOnceTheFolderIsQuiet) {
    ASSERT_TRUE(QDir().mkpath(folder));
    writeFile(folder + "/a.vcf", "BEGIN:VCARD\nVERSION:3.0\nUID:1\nEMAIL:1@x\nEND:VCARD\n");
    AddressBook book(folder);
    int signals_ = 0;
    QObject::connect(&book, &AddressBook::changedExternally, [&] { ++signals_; });
    int posted = 0;
    const int token = LocalNotificationCenter::defaultCenter().addObserver(kABDatabaseChangedExternallyNotification,
                                                                           [&](const Notification&) { ++posted; });

    const struct {
        const char* what;
        std::function<void()> change;
        QStringList emails;
    } steps[] = {
        {"a file rewritten in place",
         [&] { writeFile(folder + "/a.vcf", "BEGIN:VCARD\nVERSION:3.0\nUID:1\nEMAIL:1b@x\nEND:VCARD\n"); },
         {"1b@x"}},
        {"a file added",
         [&] { writeFile(folder + "/b.vcf", "BEGIN:VCARD\nVERSION:3.0\nUID:2\nEMAIL:2@x\nEND:VCARD\n"); },
         {"1b@x", "2@x"}},
        {"a file replaced by rename",
         [&] {
             writeFile(folder + "/tmp.part", "BEGIN:VCARD\nVERSION:3.0\nUID:1\nEMAIL:1c@x\nEND:VCARD\n");
             QFile::remove(folder + "/a.vcf");
             QFile::rename(folder + "/tmp.part", folder + "/a.vcf");
         },
         {"1c@x", "2@x"}},
        {"the replaced file written again",
         [&] { writeFile(folder + "/a.vcf", "BEGIN:VCARD\nVERSION:3.0\nUID:1\nEMAIL:1d@x\nEND:VCARD\n"); },
         {"1d@x", "2@x"}},
        {"a file renamed away", [&] { QFile::rename(folder + "/b.vcf", folder + "/b.old"); }, {"1d@x"}},
        {"a file removed", [&] { QFile::remove(folder + "/a.vcf"); }, {}},
    };
    int expected = 0;
    for (const auto& step : steps) {
        step.change();
        ++expected;
        ASSERT_TRUE(ipctest::waitUntil([&] { return signals_ >= expected; })) << step.what;
        testsupport::spinFor(400);
        EXPECT_EQ(signals_, expected) << step.what << ": one notification per burst";
        EXPECT_EQ(emailsOf(book.people()), step.emails) << step.what;
    }
    EXPECT_EQ(posted, expected);
    LocalNotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(AddressBookTest, aFolderMadeLaterIsNoticed) {
    AddressBook book(folder);
    EXPECT_TRUE(book.people().isEmpty());
    int signals_ = 0;
    QObject::connect(&book, &AddressBook::changedExternally, [&] { ++signals_; });
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(ipctest::waitUntil([&] { return signals_ >= 1; }));
    writeFile(folder + "/new.vcf", "BEGIN:VCARD\nVERSION:3.0\nUID:n\nEMAIL:n@x\nEND:VCARD\n");
    ASSERT_TRUE(ipctest::waitUntil([&] { return !book.people().isEmpty(); }));
    EXPECT_EQ(emailsOf(book.people()), QStringList{"n@x"});
}
