// Process trees of real parsed messages and their scores against a real token
// store.

#include "SWDataBase.h"
#include "SWProcessor.h"
#include "SWTokenizer.h"

#include "mailparse/SAData.h"
#include "mailparse/SAMimePart.h"
#include "mailparse/SARef.h"

#include "platform/PropertyList.h"
#include "tests/support/ParsedMessage.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>

namespace {

std::unique_ptr<SWProcessNode> treeOf(const QByteArray& message) {
    auto parsed = testsupport::ParsedMessage(message);
    return SWProcessor::createProcessTreeWithMIMETree(parsed.part(), true);
}

QByteArray multipart(const QByteArray& headers, const QByteArray& subtype, const QList<QByteArray>& parts) {
    QByteArray m =
        headers + "MIME-Version: 1.0\nContent-Type: multipart/" + subtype + "; boundary=\"BND\"\n\npreamble\n";
    for (const QByteArray& p : parts)
        m += "--BND\n" + p + "\n";
    m += "--BND--\n";
    return m;
}

const QByteArray kGoodHeaders = "From: a@b.example\nMessage-ID: <1234@host.example>\nSubject: hello\n";

class ProcessorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const char* resources = std::getenv("BAYES_RESOURCES_DIR");
        ASSERT_NE(resources, nullptr);
        SWTokenizer::initializeCharacterSet(QString::fromUtf8(resources));
    }
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        // A store with 10 spam and 10 ham learned.
        platform::plist::writeFile(dir_.path() + "/Junkward.cnt", QVariantList{10, 10});
        { SWDataBase create(dir_.path()); }
        platform::plist::writeFile(dir_.path() + "/Junkward.cnt", QVariantList{10, 10});
        db_ = std::make_unique<SWDataBase>(dir_.path());
        ASSERT_EQ(db_->spamMailCount(), 10u);
    }
    void word(const QString& token, quint64 spam, quint64 ham) {
        const QVariantMap item{{"Keyword", token}, {"Spam", spam}, {"Ham", ham}};
        ASSERT_TRUE(db_->addItem(&item));
    }
    QTemporaryDir dir_;
    std::unique_ptr<SWDataBase> db_;
};

TEST_F(ProcessorTest, malusPointsOfTheMessage) {
    struct Case {
        const char* name;
        QByteArray message;
        int rootMalus;
        int totalMalus;
    };
    const QByteArray plainBody = "Content-Type: text/plain\n\nsome ordinary words here\n";
    const QByteArray gif = "Content-Type: image/gif; name=a.gif\nContent-Transfer-Encoding: base64\n";
    const Case cases[] = {
        {"well formed", kGoodHeaders + plainBody, 0, 0},
        {"no Message-ID", "Subject: hello\n" + plainBody, 1, 1},
        {"Message-ID without dot after @", "Message-ID: <a.b@host>\nSubject: hi\n" + plainBody, 1, 1},
        {"Outlook's Message-ID on a computer name",
         "Message-ID: <001b01c24a76$315c63d0$e600000a@XENON16>\nSubject: hi\n" + plainBody, 0, 0},
        {"Outlook's layout with a forged time",
         "Message-ID: <000c84d37aae$7338a0a4$3ab55ec5@bjjwxv>\nSubject: hi\n" + plainBody, 1, 1},
        {"Message-ID with dot after @", "Message-ID: <ab@ho.st>\nSubject: hi\n" + plainBody, 0, 0},
        {"Message-ID without @", "Message-ID: <abc.def>\nSubject: hi\n" + plainBody, 1, 1},
        {"no Subject", "Message-ID: <ab@ho.st>\n" + plainBody, 0, 0},
        {"empty Subject", "Message-ID: <ab@ho.st>\nSubject: \n" + plainBody, 1, 1},
        {"empty encoded Subject", "Message-ID: <ab@ho.st>\nSubject: =?utf-8?B?\?=\n" + plainBody, 1, 1},
        {"only HTML, empty body, no id, empty subject", "Subject:\nContent-Type: text/html\n\n<html></html>\n", 3, 3},
        {"GIF with Content-ID",
         multipart(kGoodHeaders, "related", {plainBody, gif + "Content-ID: <img1>\n\nR0lGODlh\n"}), 0, 3},
        {"GIF without Content-ID", multipart(kGoodHeaders, "mixed", {plainBody, gif + "\nR0lGODlh\n"}), 0, 1},
        {"PDF image", multipart(kGoodHeaders, "mixed", {plainBody, "Content-Type: IMAGE/PDF\n\nxx\n"}), 0, 1},
        {"PNG image", multipart(kGoodHeaders, "mixed", {plainBody, "Content-Type: image/png\n\nxx\n"}), 0, 0},
        // A single-part message: the text part is the root.
        {"empty lines", kGoodHeaders + "\nfirst words" + QByteArray(12, '\n') + "more words\n", 1, 1},
        {"obfuscated link", kGoodHeaders + "\nvisit http://user@evil.example/x today please\n", 1, 1},
    };
    for (const Case& c : cases) {
        auto tree = treeOf(c.message);
        ASSERT_TRUE(tree) << c.name;
        EXPECT_EQ(tree->malus.value_or(0), c.rootMalus) << c.name;
        EXPECT_EQ(SWProcessor::malusCountForDictionary(tree.get()), c.totalMalus) << c.name;
    }
}

TEST_F(ProcessorTest, malusOnlyMessageScoresAsSpam) {
    auto tree = treeOf("Subject:\nContent-Type: text/html\n\n<html><body></body></html>\n");
    const SWProbabilities array = SWProcessor::getSpamitudeArray(tree.get(), db_.get());
    ASSERT_TRUE(array);
    EXPECT_EQ(*array, std::vector<float>(3, 0.999f));
    const float p = 0.999f * 0.999f * 0.999f, q = 0.001f * 0.001f * 0.001f;
    EXPECT_FLOAT_EQ(SWProcessor::computeSpamitude(array), p / (p + q));
    EXPECT_GE(SWProcessor::computeSpamitude(array), 0.9f);
}

TEST_F(ProcessorTest, obfuscatedLinksAreCountedAndScored) {
    // Encoded (more than two escapes) and redirected: 10 + 1.
    auto tree = treeOf(kGoodHeaders +
                       "\nclick http://a.example/r?u=%68%74%74%70%3a//evil.example/x now, or "
                       "http://plain.example/page\n");
    ASSERT_TRUE(tree->urls);
    EXPECT_EQ(tree->urls->size(), 2);
    EXPECT_EQ(tree->obfuscatedCount.value_or(0), 1);
    EXPECT_EQ(tree->obfuscatedMaxCount.value_or(0), 11);
    EXPECT_EQ(tree->malus.value_or(0), 1);
    EXPECT_TRUE(SWProcessor::URLObfuscationDetected(tree.get(), 11));
    EXPECT_FALSE(SWProcessor::URLObfuscationDetected(tree.get(), 12));
    ASSERT_TRUE(tree->tokens);
    EXPECT_TRUE(tree->tokens->contains("Url*evil"));
    EXPECT_TRUE(tree->tokens->contains("Url*plain"));
}

TEST_F(ProcessorTest, clickCountingThroughTheSendersOwnDomainIsNoObfuscation) {
    auto tree = treeOf(kGoodHeaders +
                       "\nsee http://www.news.example/click.asp?id=7&url=http://shop.news.example/book/1 or "
                       "http://c.news.co.uk/r?u=http://shop.co.uk/x or http://c.news.co.uk/r?u=http://news.co.uk/y\n");
    EXPECT_EQ(tree->obfuscatedCount.value_or(0), 1);  // only the one leaving news.co.uk
    EXPECT_EQ(tree->malus.value_or(0), 1);
}

TEST_F(ProcessorTest, linkAndAddressTokens) {
    SWProcessNode node;
    node.urls = QStringList{"www.example.co:8080/path", "mail.longdomainnamethatgoeson.example/x?y",
                            "host.example?query", "/relative/only", "ab.cd"};
    node.addresses = QStringList{"john.smith@mail.example.org", "x@y.zz"};
    SWTokenBag tokens{{"Url*www", 5}};
    SWProcessor::tokenizeURLs(&node, tokens);
    SWProcessor::tokenizeAddresses(&node, tokens);
    const SWTokenBag expected{
        {"Url*www", 5},                                                       // present already: count kept
        {"Url*example", 1}, {"Url*mail", 1},    {"Url*longdomainnameth", 1},  // cut to 20 characters
        {"Url*host", 1},    {"Add*john", 1},    {"Add*smith", 1},
        {"Add*mail", 1},    {"Add*example", 1}, {"Add*org", 1}};
    EXPECT_EQ(tokens, expected);
}

TEST_F(ProcessorTest, fifteenProbabilitiesFarthestFromHalfAreCombined) {
    std::vector<float> fifteen;
    for (int i = 0; i < 15; ++i)
        fifteen.push_back(i % 3 == 0 ? 0.9f : 0.2f);
    std::vector<float> twenty = fifteen;
    twenty.insert(twenty.begin() + 3, {0.5f, 0.5f});
    twenty.insert(twenty.end() - 4, {0.5f, 0.5f, 0.5f});
    EXPECT_FLOAT_EQ(SWProcessor::computeSpamitude(twenty), SWProcessor::computeSpamitude(fifteen));

    struct Case {
        SWProbabilities values;
        float expected;
    };
    const Case cases[] = {
        {std::nullopt, 0.0f},
        {std::vector<float>{}, 0.5f},
        {std::vector<float>{0.9f}, 0.9f},
        {std::vector<float>{0.9f, 0.1f}, 0.5f},
        {std::vector<float>{0.99f, 0.99f, 0.01f}, 0.99f},
    };
    for (const Case& c : cases)
        EXPECT_NEAR(SWProcessor::computeSpamitude(c.values), c.expected, 1e-6f);

    // Sixteen strong ham tokens and one weak spam token: the weak one is pushed out.
    std::vector<float> many(16, 0.01f);
    many.insert(many.begin(), 0.6f);
    EXPECT_LT(SWProcessor::computeSpamitude(many), 1e-6f);

    float distance;
    int index;
    const float values[] = {0.9f, 0.45f, 0.55f, 0.1f};
    SWProcessor::getArray(values, 4, &distance, &index);
    EXPECT_EQ(index, 1);  // the first of two equally near entries
    EXPECT_NEAR(distance, 0.05f, 1e-6f);
}

TEST_F(ProcessorTest, alternativesAreScoredOnTheSpammierPart) {
    word("gentle", 0, 10);  // 0.001
    word("kindly", 0, 10);
    word("casino", 10, 0);  // 0.999
    word("jackpot", 10, 0);
    const QByteArray message = multipart(
        kGoodHeaders, "alternative",
        {"Content-Type: text/plain\n\ngentle kindly\n", "Content-Type: text/html\n\n<p>casino <b>jackpot</b></p>\n"});
    auto tree = treeOf(message);
    ASSERT_TRUE(tree);
    ASSERT_EQ(tree->children.size(), 2u);
    EXPECT_EQ(tree->mode.value_or(-1), SAMIMESubtypeAlternative);
    const SWProbabilities array = SWProcessor::getSpamitudeArray(tree.get(), db_.get());
    ASSERT_TRUE(array);
    // The HTML part's two tokens, then the subject's unknown "hello".
    EXPECT_EQ(*array, (std::vector<float>{0.999f, 0.999f, 0.4f}));

    // Training takes the same part's tokens plus the subject's.
    auto [trainArray, bag] = SWProcessor::getSpamTokenArray(tree.get(), db_.get());
    ASSERT_TRUE(bag);
    EXPECT_EQ(*bag, (SWTokenBag{{"casino", 1}, {"jackpot", 1}, {"Sub*hello", 1}}));
}

TEST_F(ProcessorTest, eachMalusPointCountsOnceHoweverDeepItsPart) {
    const QByteArray plain = "Content-Type: text/plain\n\nplain words\n";
    const QByteArray html = "Content-Type: text/html\n\n<a href=\"http://me@evil.example/\">words</a> and more\n";
    const QByteArray gif = "Content-Type: image/gif\nContent-ID: <img1>\n\nR0lGODlh\n";
    const QByteArray related =
        "Content-Type: multipart/related; boundary=\"IN\"\n\n--IN\n" + plain + "\n--IN\n" + gif + "\n--IN--\n";
    struct Case {
        const char* name;
        QByteArray message;
        long points;
    };
    const Case cases[] = {
        // An obfuscated link in the HTML alternative, whichever alternative is kept.
        {"alternative", multipart(kGoodHeaders, "alternative", {plain, html}), 1},
        // An inline image two containers down.
        {"nested image", multipart(kGoodHeaders, "mixed", {related}), 3},
    };
    for (const Case& c : cases) {
        auto tree = treeOf(c.message);
        ASSERT_TRUE(tree) << c.name;
        const SWProbabilities array = SWProcessor::getSpamitudeArray(tree.get(), db_.get());
        ASSERT_TRUE(array) << c.name;
        EXPECT_EQ(std::count(array->begin(), array->end(), 0.999f), c.points) << c.name;
    }
}

TEST_F(ProcessorTest, mixedPartsMergeTheirTrainingTokens) {
    const QByteArray message =
        multipart(kGoodHeaders, "mixed",
                  {"Content-Type: text/plain\n\nalpha beta alpha\n", "Content-Type: text/plain\n\nalpha gamma\n"});
    auto tree = treeOf(message);
    auto [array, bag] = SWProcessor::getSpamTokenArray(tree.get(), db_.get());
    ASSERT_TRUE(bag);
    EXPECT_EQ(bag->value("alpha"), 3);
    EXPECT_EQ(bag->value("gamma"), 1);
    EXPECT_EQ(bag->value("Sub*hello"), 1);
    ASSERT_TRUE(array);
    EXPECT_EQ(array->size(), 4u);  // alpha, beta | alpha, gamma
    // Training lookups leave dates alone; scoring lookups refresh known tokens.
    word("alpha", 3, 3);
    const int32_t before = db_->valueForToken("alpha")->date;
    db_->setClock([&] { return int64_t(before) + 4000; });
    SWProcessor::getSpamTokenArray(tree.get(), db_.get());
    EXPECT_EQ(db_->valueForToken("alpha")->date, before);
    SWProcessor::getSpamitudeArray(tree.get(), db_.get());
    EXPECT_EQ(db_->valueForToken("alpha")->date, before + 4000);
}

TEST_F(ProcessorTest, bodiesAreDecodedInTheirCharset) {
    struct Case {
        const char* name;
        QByteArray message;
        const char16_t* expectedToken;  // null: no tokens at all
    };
    const Case cases[] = {
        {"koi8-r", kGoodHeaders + "Content-Type: text/plain; charset=koi8-r\n\n\xd0\xd2\xc9\xd7\xc5\xd4 words\n",
         u"\u043f\u0440\u0438\u0432\u0435\u0442"},
        {"latin-1", kGoodHeaders + "Content-Type: text/plain; charset=iso-8859-1\n\ncaf\xe9 ok\n", u"cafe"},
        {"utf-8", kGoodHeaders + "Content-Type: text/plain; charset=utf-8\n\ncaf\xc3\xa9 ok\n", u"cafe"},
        {"invalid utf-8", kGoodHeaders + "Content-Type: text/plain; charset=utf-8\n\ncaf\xe9 ok\n", u"cafe"},
        {"placeholder", kGoodHeaders + "Content-Type: text/plain; charset=%CHARSET\n\nhello there\n", u"hello"},
        {"name with blank",
         kGoodHeaders + "Content-Type: text/plain; charset=\"koi8-r\" ; format=flowed\n\n\xd0\xd2\xc9\xd7\xc5\xd4\n",
         u"\u043f\u0440\u0438\u0432\u0435\u0442"},
        {"no charset", kGoodHeaders + "Content-Type: text/plain\n\n\xd0\xbf\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82\n",
         u"\u043f\u0440\u0438\u0432\u0435\u0442"},
        {"calendar", kGoodHeaders + "Content-Type: text/calendar\n\nBEGIN:VCALENDAR\n", nullptr},
    };
    for (const Case& c : cases) {
        auto tree = treeOf(c.message);
        ASSERT_TRUE(tree) << c.name;
        if (!c.expectedToken) {
            EXPECT_FALSE(tree->tokens) << c.name;
            continue;
        }
        ASSERT_TRUE(tree->tokens) << c.name;
        EXPECT_TRUE(tree->tokens->contains(QString::fromUtf16(c.expectedToken))) << c.name;
    }
}

TEST_F(ProcessorTest, closedStoreLeavesOnlyMalus) {
    auto tree = treeOf("Subject: cheap\n\nsome words to score\n");  // no Message-ID: 1 point
    db_->close();
    const SWProbabilities array = SWProcessor::getSpamitudeArray(tree.get(), db_.get());
    ASSERT_TRUE(array);
    EXPECT_EQ(*array, std::vector<float>{0.999f});
}

TEST_F(ProcessorTest, damagedMessagesAreProcessedSafely) {
    // Real-looking messages with bytes overwritten, cut or repeated at random.
    const QByteArray templates[] = {
        multipart(kGoodHeaders, "alternative",
                  {"Content-Type: text/plain; charset=utf-8\n\nplain http://a.example/x words",
                   "Content-Type: text/html; charset=iso-8859-1\nContent-Transfer-Encoding: quoted-printable\n\n"
                   "<p>caf=E9 <a href=3D\"http://u@b.example/%41%42%43\">x</a><img src=3Dx></p>"}),
        multipart(kGoodHeaders, "mixed",
                  {"Content-Type: text/plain\n\nsee me@host.example\n\n\n\n\n\n\n\n\n\n\n\nend",
                   "Content-Type: image/gif\nContent-ID: <i>\nContent-Transfer-Encoding: base64\n\nR0lGOD==",
                   "Content-Type: message/rfc822\n\nSubject: =?koi8-r?B?0NLJ18XU?=\n\ninner text"}),
    };
    std::mt19937 random(4242);
    const char noise[] = "<>\"'=%@.:/\n\r\t-\x00\xff\xe9?";
    for (int round = 0; round < 400; ++round) {
        QByteArray m = templates[round % 2];
        std::uniform_int_distribution<int> position(0, int(m.size()) - 1);
        const int edits = 1 + round % 20;
        for (int e = 0; e < edits; ++e) {
            const int at = position(random);
            switch (random() % 3) {
            case 0:
                m[at] = noise[random() % (sizeof noise - 1)];
                break;
            case 1:
                m.truncate(std::max(1, at));
                break;
            default:
                m.insert(at, m.mid(at, 40).repeated(3));
                break;
            }
            position = std::uniform_int_distribution<int>(0, int(m.size()) - 1);
        }
        auto parsed = testsupport::ParsedMessage(m);
        auto tree = SWProcessor::createProcessTreeWithMIMETree(parsed.part(), true);
        ASSERT_TRUE(tree);
        const SWProbabilities array = SWProcessor::getSpamitudeArray(tree.get(), db_.get());
        const float score = SWProcessor::computeSpamitude(array);
        EXPECT_GE(score, 0.0f);
        EXPECT_LE(score, 1.0f);
        auto [trainArray, bag] = SWProcessor::getSpamTokenArray(tree.get(), db_.get());
        if (bag) {
            for (auto it = bag->constBegin(); it != bag->constEnd(); ++it) {
                ASSERT_LE(it.key().size(), 21);  // "Sub*" + 17 at most
            }
        }
    }
}

}  // namespace
