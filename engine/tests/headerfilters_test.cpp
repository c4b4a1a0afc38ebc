// Header rule matching, the white and black lists and learning a sender, on
// messages parsed by the real parser, with a real address book folder, real
// preference files and the session bus.

#include "engine/SWBlackListHeaderFilter.h"
#include "engine/SWHeaderFilterManager.h"
#include "engine/SWHeaderPluginFilter.h"
#include "engine/SWNotifications.h"
#include "engine/SWWhiteListHeaderFilter.h"

#include "platform/AddressBook.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "tests/support/ParsedMessage.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <ostream>

// Readable values in failure messages.
void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
void PrintTo(const QStringList& list, std::ostream* out) {
    *out << '[' << list.join(QStringLiteral(" | ")).toStdString() << ']';
}

#include <memory>

namespace {

using testsupport::application;
using testsupport::ParsedMessage;

QVariantMap rule(const QString& key, int method, const QString& value, std::optional<bool> status = true) {
    QVariantMap r;
    if (status)
        r.insert("Status", *status);
    r.insert("Key", key);
    r.insert("Method", qint64(method));
    r.insert("Value", value);
    return r;
}

QVariantMap preferencesWith(const QVariantList& rules, bool learn, std::optional<bool> useAddressBook = {}) {
    QVariantMap settings;
    settings.insert("Array", rules);
    settings.insert("Learn", learn);
    if (useAddressBook)
        settings.insert("Use AddressBook", *useAddressBook);
    QVariantMap preferences;
    preferences.insert("Status", true);
    preferences.insert("Settings", settings);
    return preferences;
}

// Each test gets its own user Library so preference and statistics files of
// one test never meet another's.
class HeaderFilters : public ::testing::Test {
protected:
    void SetUp() override {
        application();
        ASSERT_TRUE(library.isValid());
        qputenv("JUNKWARD_USER_LIBRARY", library.path().toUtf8());
        bookFolder = library.path() + "/Application Support/AddressBook";
        ASSERT_TRUE(QDir().mkpath(bookFolder));
    }

    void writeFile(const QString& name, const QByteArray& content) {
        QFile file(bookFolder + "/" + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    QTemporaryDir library;
    QString bookFolder;
};

}  // namespace

TEST(HeaderRuleMatching, valueMatchesByMethodIgnoringCaseWithLengthLimits) {
    struct Case {
        const char* headerValue;
        int method;
        const char* ruleValue;
        bool matches;
    };
    const Case cases[] = {
        {"Alice <alice@example.com>", SWHeaderMatchContains, "a", false},  // one byte is too short
        {"Alice <alice@example.com>", SWHeaderMatchContains, "EXAMPLE.com", true},
        {"Alice <alice@example.com>", SWHeaderMatchBeginsWith, "alice", true},
        {"Alice <alice@example.com>", SWHeaderMatchBeginsWith, "example", false},
        {"Alice <alice@example.com>", SWHeaderMatchEndsWith, ".COM>", true},
        {"Alice <alice@example.com>", SWHeaderMatchEndsWith, "alice", false},
        {"alice@example.com", SWHeaderMatchIs, "ALICE@example.COM", true},
        {"alice@example.com", SWHeaderMatchIs, "alice@example.co", false},
        {"ab", SWHeaderMatchIs, "abc", false},  // longer than the value
        {"ab", SWHeaderMatchIs, "AB", true},
        {"\xc3\xa9t\xc3\xa9", SWHeaderMatchContains, "\xc3\x89", true},  // "É": two UTF-8 bytes
        {"Cheap pills now", SWHeaderMatchRegularExpression, "pi+lls?", true},
        {"Cheap pills now", SWHeaderMatchRegularExpression, "^now", false},
        {"x", SWHeaderMatchRegularExpression, "x", true},                      // no length limit
        {"Cheap pills now", SWHeaderMatchRegularExpression, "pills(", false},  // does not compile
        {"Cheap pills now", 5, "pills", false},
        {"Cheap pills now", -1, "pills", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SWHeaderPluginFilter::valueMatches(QString::fromUtf8(c.headerValue), c.method,
                                                     QString::fromUtf8(c.ruleValue)),
                  c.matches)
            << c.headerValue << " / " << c.method << " / " << c.ruleValue;
    }
}

TEST(HeaderRuleMatching, rulesWalkSkipsInactiveAndMalformedRules) {
    SWHeaderDictionary headers;
    headers.insert("From", {"Bob <bob@example.org>", "bob@example.org"});
    headers.insert("To", {"carol@example.net"});
    headers.insert("Cc", {"dave@example.com"});
    headers.insert("Subject", {"Quarterly report"});

    QVariantMap noKey = rule("From", 1, "bob");
    noKey.remove("Key");
    QVariantMap numericValue = rule("From", 1, "bob");
    numericValue.insert("Value", 42);

    struct Case {
        const char* name;
        QVariantList rules;
        bool matches;
    };
    const Case cases[] = {
        {"active rule", {rule("From", 3, "bob@example.org")}, true},
        {"inactive rule", {rule("From", 3, "bob@example.org", false)}, false},
        {"rule without status", {rule("From", 3, "bob@example.org", std::nullopt)}, false},
        {"lower-case key finds no header", {rule("from", 1, "bob")}, false},
        {"unknown header", {rule("X-Nothing", 1, "bob")}, false},
        {"rule without key", {noKey}, false},
        {"value that is no text", {numericValue}, false},
        {"element that is no rule", {QVariant(QStringLiteral("From")), rule("Subject", 0, "quarterly")}, true},
        {"any recipient in To", {rule("Any Recipient", 1, "carol@")}, true},
        {"any recipient in Cc", {rule("Any Recipient", 1, "dave@")}, true},
        {"any recipient not in From", {rule("Any Recipient", 1, "bob@")}, false},
        {"second rule matches", {rule("Subject", 3, "report"), rule("Subject", 2, "REPORT")}, true},
        {"no rules", {}, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SWHeaderPluginFilter::headersMatchArray(headers, c.rules), c.matches) << c.name;
}

TEST(HeaderRuleMatching, rawMailAddressTakesTheLastBracketedPart) {
    struct Case {
        const char* text;
        std::optional<QString> address;
    };
    const Case cases[] = {
        {"Alice <alice@example.com>", QString("alice@example.com")},
        {"<first@example.com> and <second@example.com>", QString("second@example.com")},
        {"\"Bob\" < 'bob@example.org' >", QString("bob@example.org")},
        {"bare@example.com", std::nullopt},
        {"no closing <bracket@example.com", std::nullopt},
        {"> only closing", std::nullopt},
        {"<>", QString("")},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SWHeaderPluginFilter::rawMailAddress(QString::fromUtf8(c.text)), c.address) << c.text;
}

TEST(HeaderRuleMatching, preProcessedHeadersOfferDecodedFormsBareAddressesAndTheRawValue) {
    ParsedMessage message(
        "From: =?utf-8?Q?Ren=C3=A9e?= <renee@example.com>\n"
        "To: plain@example.net\n"
        "Subject: =?iso-8859-1?Q?caf=E9?= time\n"
        "X-Other: =?utf-8?Q?not_decoded?=\n"
        "Received: from a\n"
        "Received: from b\n"
        "\n"
        "Hello there, this is the body.\n");
    ASSERT_EQ(message.result(), 0);
    const auto headers = SWHeaderPluginFilter::copyPreProcessedHeaders(message.headers());
    ASSERT_TRUE(headers);

    EXPECT_EQ(headers->value("From"), QStringList({QString::fromUtf8("Ren\xc3\xa9"
                                                                     "e <renee@example.com>"),
                                                   "renee@example.com", "=?utf-8?Q?Ren=C3=A9e?= <renee@example.com>"}));
    // A bare address has no brackets: its decoded form stands in for it.
    EXPECT_EQ(headers->value("To"), QStringList({"plain@example.net", "plain@example.net"}));
    EXPECT_EQ(headers->value("Subject").value(0), QString::fromUtf8("caf\xc3\xa9 time"));
    EXPECT_EQ(headers->value("X-Other"), QStringList({"=?utf-8?Q?not_decoded?="}));
    EXPECT_EQ(headers->value("Received"), QStringList({"from a", "from b"}));

    // Rules therefore match the display name, the bare address and the raw text.
    EXPECT_TRUE(SWHeaderPluginFilter::headersMatchArray(*headers, {rule("From", 3, "renee@example.com")}));
    EXPECT_TRUE(SWHeaderPluginFilter::headersMatchArray(*headers, {rule("From", 0,
                                                                        QString::fromUtf8("REN\xc3\x89"
                                                                                          "E"))}));
    EXPECT_TRUE(
        SWHeaderPluginFilter::headersMatchArray(*headers, {rule("Subject", 3, QString::fromUtf8("caf\xc3\xa9 TIME"))}));
    EXPECT_TRUE(SWHeaderPluginFilter::headersMatchArray(*headers, {rule("From", 1, "=?utf-8?Q?")}));
    EXPECT_FALSE(SWHeaderPluginFilter::copyPreProcessedHeaders(nullptr));
}

TEST(HeaderRuleMatching, undecodableEncodedWordIsStillTestedAsReceived) {
    ParsedMessage message(
        "Subject: =?x-unknown?B?AAAA?= =?utf-8?BB?broken?=\nFrom: \xff\xfe <x@example.com>\n\nbody text here\n");
    const auto headers = SWHeaderPluginFilter::copyPreProcessedHeaders(message.headers());
    ASSERT_TRUE(headers);
    EXPECT_TRUE(SWHeaderPluginFilter::headersMatchArray(*headers, {rule("Subject", 1, "x-unknown")}));
    // Invalid UTF-8 is read as ISO Latin 1, so the header still yields its address.
    EXPECT_TRUE(SWHeaderPluginFilter::headersMatchArray(*headers, {rule("From", 3, "x@example.com")}));
}

TEST(HeaderRuleMatching, onlyPlainAddressesAreLearnable) {
    struct Case {
        const char* address;
        bool learnable;
    };
    const Case cases[] = {
        {"spammer@example.com", true},
        {"first.last+tag@mail.example.co.uk", true},
        {".com", false},
        {"example.com", false},
        {"@example.com", false},
        {"user@", false},
        {"user@localhost", false},
        {"a@b@example.com", false},
        {"user name@example.com", false},
        {"user@example.com\n", false},
        {"user@example.", false},
        {"\"quoted\"@example.com", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SWIsLearnableAddress(QString::fromUtf8(c.address)), c.learnable) << c.address;
    EXPECT_FALSE(SWIsLearnableAddress(QString(300, 'a') + "@example.com"));
}

TEST_F(HeaderFilters, addressBookSenderWinsOverBlackRuleButOwnCardIsNotTrusted) {
    writeFile("friends.vcf",
              "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:friend-1\r\nFN:Friend\r\nEMAIL;TYPE=HOME:friend@example.com\r\n"
              "item1.EMAIL:other@example.com\r\nEND:VCARD\r\n"
              "BEGIN:VCARD\r\nVERSION:4.0\r\nUID:me-card\r\nFN:Me\r\nEMAIL:me@example.com\r\nEND:VCARD\r\n");
    writeFile("Me", "me-card\n");
    platform::AddressBook book(bookFolder);

    SWWhiteListHeaderFilter white;
    white.setStatus(true);
    white.updatePreferences(preferencesWith({}, false));
    white.setAddressBook(&book);
    EXPECT_EQ(white.addressBookAddresses(), QStringList({"friend@example.com", "other@example.com"}));

    SWBlackListHeaderFilter black;
    black.setStatus(true);
    black.updatePreferences(preferencesWith({rule("From", 1, "example.com")}, false));

    SWHeaderFilterManager* manager = SWHeaderFilterManager::defaultManager();
    manager->setWhiteDelegate(&white);
    manager->setBlackDelegate(&black);

    struct Case {
        const char* from;
        int result;
    };
    const Case cases[] = {
        {"Friend <FRIEND@example.com>", SWHeaderInvestigationWhiteListed},
        {"other@example.com", SWHeaderInvestigationWhiteListed},
        {"Me <me@example.com>", SWHeaderInvestigationBlackListed},
        {"Stranger <stranger@example.com>", SWHeaderInvestigationBlackListed},
        {"Someone <someone@example.org>", SWHeaderInvestigationNothing},
    };
    for (const Case& c : cases) {
        ParsedMessage message(QByteArray("From: ") + c.from + "\nSubject: hi\n\nsome body text\n");
        EXPECT_EQ(manager->investigate(message.headers()), c.result) << c.from;
    }

    // Switched off, the white list trusts nobody and counts nothing.
    white.setStatus(false);
    const auto before = white.statistics();
    ParsedMessage friendly("From: friend@example.com\nSubject: hi\n\nsome body text\n");
    EXPECT_EQ(manager->investigate(friendly.headers()), SWHeaderInvestigationBlackListed);
    EXPECT_EQ(white.statistics(), before);

    // With "Use AddressBook" off only rules count.
    white.setStatus(true);
    white.updatePreferences(preferencesWith({}, false, false));
    EXPECT_EQ(manager->investigate(friendly.headers()), SWHeaderInvestigationBlackListed);

    manager->setWhiteDelegate(nullptr);
    manager->setBlackDelegate(nullptr);
}

TEST_F(HeaderFilters, listsCountWhatTheySee) {
    SWWhiteListHeaderFilter white;
    white.setStatus(true);
    white.updatePreferences(preferencesWith({rule("Subject", 0, "[team]")}, false));
    platform::AddressBook book(bookFolder);
    white.setAddressBook(&book);
    SWBlackListHeaderFilter black;
    black.setStatus(true);
    black.updatePreferences(preferencesWith({rule("Subject", 1, "viagra")}, false));

    ParsedMessage team("From: a@example.com\nSubject: [team] lunch\n\nbody body body\n");
    ParsedMessage spam("From: b@example.com\nSubject: cheap VIAGRA\n\nbody body body\n");
    ParsedMessage other("From: c@example.com\nSubject: hello\n\nbody body body\n");
    EXPECT_EQ(white.processHeaders(team.headers()), SWHeaderInvestigationWhiteListed);
    EXPECT_EQ(white.processHeaders(spam.headers()), SWHeaderInvestigationNothing);
    EXPECT_EQ(black.processHeaders(spam.headers()), SWHeaderInvestigationBlackListed);
    EXPECT_EQ(white.processHeaders(other.headers()), SWHeaderInvestigationNothing);
    EXPECT_EQ(black.processHeaders(other.headers()), SWHeaderInvestigationNothing);

    ASSERT_TRUE(white.statistics());
    EXPECT_EQ(platform::plist::unsignedValue(*white.statistics(), sw::SWMAILPROCESSED), 3u);
    EXPECT_EQ(platform::plist::unsignedValue(*white.statistics(), sw::SWMAILHAMDETECTED), 1u);
    ASSERT_TRUE(black.statistics());
    EXPECT_EQ(platform::plist::unsignedValue(*black.statistics(), sw::SWMAILPROCESSED), 2u);
    EXPECT_EQ(platform::plist::unsignedValue(*black.statistics(), sw::SWMAILSPAMDETECTED), 1u);
}

TEST_F(HeaderFilters, learningASenderAddsOneRuleSavesAndAnnouncesIt) {
    QVariantMap announced;
    int announcements = 0;
    const int token = platform::DistributedNotificationCenter::defaultCenter().addObserver(
        sw::SWPlugInPreferencesDidLearn, QStringLiteral("BlackList"), [&](const platform::Notification& n) {
            announced = n.userInfo;
            ++announcements;
        });

    SWBlackListHeaderFilter black;
    black.initializeWithBundle(nullptr, "BlackList");
    black.setStatus(true);
    // A white rule for the same sender does not keep the black list from learning it.
    black.updatePreferences(preferencesWith({rule("Subject", 1, "spam@example.com")}, true));
    ASSERT_TRUE(black.learnSender());

    ParsedMessage spam("From: Spammer <Spam@Example.com>\nSubject: buy\n\nbody body body\n");
    EXPECT_TRUE(black.learnMessageAsSpam(spam.part(), "id-1"));
    EXPECT_TRUE(black.learnMessageAsSpam(spam.part(), "id-1"));
    ASSERT_EQ(black.rules().size(), 2);
    EXPECT_EQ(black.rules().at(1).toMap(), rule("From", 1, "Spam@Example.com"));

    // The saved file holds the status, "Learn" and every rule.
    const auto saved =
        platform::plist::readDictionary(library.path() + "/Preferences/com.quillon.junkward.BlackList.plist");
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->value("Status"), QVariant(true));
    const QVariantMap settings = saved->value("Settings").toMap();
    EXPECT_EQ(settings.value("Learn"), QVariant(true));
    EXPECT_EQ(settings.value("Array").toList(), black.rules());

    // A sender already covered by a "From" rule teaches nothing.
    black.updatePreferences(preferencesWith({rule("From", 2, "xyz SPAM@example.COM", false)}, true));
    EXPECT_TRUE(black.learnMessageAsSpam(spam.part(), "id-1"));
    EXPECT_EQ(black.rules().size(), 1);

    // Hostile or missing From addresses teach nothing either.
    for (const char* from : {"<.com>", "", "Nobody", "<@>"}) {
        ParsedMessage odd(QByteArray("From: ") + from + "\nSubject: x\n\nbody body body\n");
        EXPECT_TRUE(black.learnMessageAsSpam(odd.part(), QString()));
    }
    ParsedMessage noFrom("Subject: x\n\nbody body body\n");
    EXPECT_TRUE(black.learnMessageAsSpam(noFrom.part(), QString()));
    EXPECT_EQ(black.rules().size(), 1);

    EXPECT_TRUE(testsupport::waitUntil([&] { return announcements >= 1; }));
    EXPECT_EQ(announcements, 1);
    EXPECT_EQ(announced.value("Array").toList().size(), 2);
    platform::DistributedNotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(HeaderFilters, learningWithLearnOffOrTheWrongKindChangesNothing) {
    SWWhiteListHeaderFilter white;
    white.initializeWithBundle(nullptr, "WhiteList");
    white.setStatus(true);
    white.updatePreferences(preferencesWith({}, false));
    SWBlackListHeaderFilter black;
    black.initializeWithBundle(nullptr, "BlackList");
    black.setStatus(true);
    black.updatePreferences(preferencesWith({}, true));

    ParsedMessage message("From: someone@example.com\nSubject: x\n\nbody body body\n");
    EXPECT_TRUE(white.learnMessageAsLegitimate(message.part(), QString()));
    EXPECT_TRUE(white.rules().isEmpty());
    // The black list learns nothing from legitimate mail, the white list nothing from spam.
    EXPECT_TRUE(black.learnMessageAsLegitimate(message.part(), QString()));
    EXPECT_TRUE(black.rules().isEmpty());
    white.updatePreferences(preferencesWith({}, true, false));
    EXPECT_TRUE(white.learnMessageAsSpam(message.part(), QString()));
    EXPECT_TRUE(white.rules().isEmpty());

    EXPECT_TRUE(white.learnMessageAsLegitimate(message.part(), QString()));
    ASSERT_EQ(white.rules().size(), 1);
    const auto saved =
        platform::plist::readDictionary(library.path() + "/Preferences/com.quillon.junkward.WhiteList.plist");
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->value("Settings").toMap().value("Use AddressBook"), QVariant(false));
    EXPECT_FALSE(QFile::exists(library.path() + "/Preferences/com.quillon.junkward.BlackList.plist"));
}

TEST_F(HeaderFilters, whiteListDefaultsWithoutSettings) {
    SWWhiteListHeaderFilter white;
    QVariantMap preferences;
    preferences.insert("Status", true);
    white.updatePreferences(preferences);
    EXPECT_TRUE(white.useAddressBook());
    EXPECT_FALSE(white.learnSender());
    EXPECT_TRUE(white.rules().isEmpty());
    EXPECT_EQ(white.filter(nullptr), SWFilterStatusNotApplicable);
}

TEST_F(HeaderFilters, addressListFollowsOutsideChangesOfTheBook) {
    writeFile("a.vcf", "BEGIN:VCARD\nVERSION:3.0\nUID:a\nEMAIL:first@example.com\nEND:VCARD\n");
    platform::AddressBook book(bookFolder);
    SWWhiteListHeaderFilter white;
    white.initializeWithBundle(nullptr, "WhiteList");
    white.setAddressBook(&book);
    EXPECT_EQ(white.addressBookAddresses(), QStringList({"first@example.com"}));

    writeFile("b.vcf", "BEGIN:VCARD\nVERSION:3.0\nUID:b\nEMAIL:second@example.com\nEND:VCARD\n");
    testsupport::waitUntil([&] { return white.addressBookAddresses().size() >= 2; });
    EXPECT_EQ(white.addressBookAddresses(), QStringList({"first@example.com", "second@example.com"}));
}
