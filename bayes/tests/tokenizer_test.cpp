// The tokenizer with the character tables of the plug-in bundle.

#include "SWTokenizer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace {

class TokenizerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const char* resources = std::getenv("BAYES_RESOURCES_DIR");
        ASSERT_NE(resources, nullptr);
        SWTokenizer::initializeCharacterSet(QString::fromUtf8(resources));
        ASSERT_TRUE(SWTokenizer::characterTablesLoaded());
    }
    static std::string bagText(const SWTokenBag& bag) {
        QStringList parts;
        for (auto it = bag.constBegin(); it != bag.constEnd(); ++it)
            parts << it.key() + (it.value() > 1 ? QString("x%1").arg(it.value()) : QString());
        return parts.join(' ').toStdString();
    }
    SWTokenizer tokenizer_;
};

TEST_F(TokenizerTest, tokensAreNormalisedOrDropped) {
    struct Case {
        const char* token;
        const char* expected;  // forms joined by " ", "DROP" for a dropped token
    };
    const Case cases[] = {
        {"2008", "DROP"},
        {"IOI", "DROP"},
        {"ab", "DROP"},
        {"$1O0", "$100"},
        {"$12a", "DROP"},
        {"5O%", "50%"},
        {"ab%", "DROP"},
        {"12abc", "DROP"},
        {"V1AGRA", "VIAGRA"},
        {"v1agra", "viagra"},
        {"c|ick", "click"},
        {"h3llo", "h3llo"},
        {"fr33", "fr33"},
        {"@ll", "All"},
        {"S3X", "SEX"},
        {"l0ve", "love"},
        {"b4by", "bAby"},
        {"V14GRA", "ViAGRA"},
        {"hell|", "helll"},
        {"HELL|", "HELLI"},
        {"mail@", "maila"},
        {"VIAGgRA", "VIAGRA"},
        {"ViAGRA", "ViAGRA"},
        {"FREEe!!", "FREE!!"},
        {"FREE!!!", "FREE!!!"},
        {"he\"llo", "DROP"},
        {"tab\there", "DROP"},
        {"50%off", "50% off"},
        {"x%yz", ""},
        {"pr%ofit", "ofit"},
        {"123456789012345678901", "DROP"},
    };
    for (const Case& c : cases) {
        const auto forms = SWTokenizer::preprocessToken(QString::fromUtf8(c.token));
        const std::string got = forms ? forms->join(' ').toStdString() : "DROP";
        EXPECT_EQ(got, c.expected) << c.token;
    }
}

TEST_F(TokenizerTest, accentsAndInvisibleCharactersAreUndone) {
    struct Case {
        const char16_t* token;
        const char* expected;
    };
    const Case cases[] = {
        {u"caf\u00e9", "cafe"},
        {u"\u00c9L\u00c8VE", "ELEVE"},
        {u"\u0141\u00f3d\u017a", "Lodz"},
        {u"vi\u200bagra", "viagra"},
        {u"fr\u00adee", "free"},
        {u"\u200b\u200bab", "DROP"},                    // two characters left
        {u"\u03b1\u03b2\u03b3", "\u03b1\u03b2\u03b3"},  // not Latin: unchanged
        {u"\uff26\uff32\uff25\uff25", "FREE"},          // full-width letters
    };
    for (const Case& c : cases) {
        const auto forms = SWTokenizer::preprocessToken(QString::fromUtf16(c.token));
        const std::string got = forms ? forms->join(' ').toStdString() : "DROP";
        EXPECT_EQ(got, c.expected) << QString::fromUtf16(c.token).toStdString();
    }
}

TEST_F(TokenizerTest, textsBecomeBagsOfTokens) {
    struct Case {
        const char16_t* text;
        const char* expected;
    };
    const Case cases[] = {
        {u"Hello world, hello", "Hello hello world"},
        {u"buy buy buy", "buyx3"},
        {u"buy V1AGRA now!!", "VIAGRA buy now!!"},
        {u"v.i.a.g.r.a now", "now viagra"},
        {u"v.i.a.g.r.a. next", "next viagra"},
        {u"F-R-E-E money", "FREE money"},
        {u"a.b c", ""},
        {u"go to 10:30", ""},
        {u"2008 IOI 1234", ""},
        {u"cheap\ufffcpills", "cheap pills"},
        {u"\ufffc\ufffc image", "image"},
        {u"abcdefghijklmnopqrst abcdefghijklmnopqrstu", "abcdefghijklmnopqrst"},
        {u"line\u2028break\u2029para", "break line para"},
        {u"(quoted) [words] {here}", "here quoted words"},
        {u"'Tis don't", "Tis don't"},
    };
    for (const Case& c : cases) {
        const QString text = QString::fromUtf16(c.text);
        EXPECT_EQ(bagText(tokenizer_.tokenize(text, false)), c.expected) << text.toStdString();
    }
}

TEST_F(TokenizerTest, textsLongerThanTheBufferYieldNothing) {
    QString text;
    while (text.size() < SWTokenizerMaximumTextLength)
        text += "word ";
    text.truncate(SWTokenizerMaximumTextLength);
    EXPECT_EQ(tokenizer_.tokenize(text, false).value("word"), int(SWTokenizerMaximumTextLength / 5));
    text += 'x';
    EXPECT_TRUE(tokenizer_.tokenize(text, false).isEmpty());
    // Far longer texts too, without reading past anything.
    EXPECT_TRUE(tokenizer_.tokenize(QString(5'000'000, 'a'), true).isEmpty());
}

TEST_F(TokenizerTest, longRunsOfEmptyLinesAreAggression) {
    struct Case {
        QString text;
        bool aggressive;
        bool detected;
    };
    const Case cases[] = {
        {"hello" + QString(11, '\n') + "world", true, true},
        {"hello" + QString(11, '\n') + "world", false, false},
        {"hello" + QString(10, '\n') + "world", true, false},  // the first ends the word
        {"hello" + QString(11, '\r') + "world", true, true},
        {"hello" + QString("\r\n").repeated(11) + "world", true, false},
        {"hello" + QString(11, '\n'), true, false},  // the tenth is the last character
        {"hello" + QString(12, '\n'), true, true},
        {"hello\n \n \n \n \n \n \n \n \n \n \nworld", true, false},
    };
    for (const Case& c : cases) {
        tokenizer_.tokenize(c.text, c.aggressive);
        EXPECT_EQ(tokenizer_.aggressionDetected(), c.detected) << c.text.toStdString();
    }
    tokenizer_.tokenize("plain", true);
    EXPECT_FALSE(tokenizer_.aggressionDetected());  // reset by every call
}

TEST_F(TokenizerTest, subjectTokensArePrefixedAndCut) {
    struct Case {
        const char* subject;
        const char* expected;
    };
    const Case cases[] = {
        {"abcdefghijklmnopqrst", "Sub*abcdefghijklmnopq"},
        {"abc", "Sub*abc"},
        {"V.I.A.G.R.A for you", "Sub*VIAGRA Sub*for Sub*you"},
        {"F*R*E*E offer", "Sub*FREE Sub*offer"},
        {"Re: meeting", "Sub*meeting"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(bagText(tokenizer_.tokenizeSubject(c.subject)), c.expected) << c.subject;
    EXPECT_EQ(SWTokenizer::preprocessSubject("V.I-A_G*R~A"), "VIAGRA");
}

TEST_F(TokenizerTest, hostileTextsAreScannedSafely) {
    // Text ending right after a separator, lone surrogates, runs of separators.
    const QString texts[] = {
        QString("v.i.a.g."),
        QString("a."),
        QString(1000, '.'),
        QString("x.").repeated(5000),
        QString::fromUtf16(u"\xd800\xdc00\xd800 abc\xdfff"),
        QString(100000, QChar(0xFFFC)),
        QString(3, QChar(0)),
    };
    for (const QString& text : texts) {
        const SWTokenBag bag = tokenizer_.tokenize(text, true);
        for (auto it = bag.constBegin(); it != bag.constEnd(); ++it) {
            EXPECT_GE(it.key().size(), 3);
            EXPECT_LE(it.key().size(), SWTokenizerMaximumTokenLength);
        }
    }
}

TEST_F(TokenizerTest, randomTextsKeepTheTokenInvariants) {
    // Characters chosen to reach every rule: separators, look-alikes, prices,
    // percent splits, accents, invisible characters, images, lone surrogates.
    std::u16string alphabet =
        u"aAbBzZiIoOlL0123456789$%|@!?'.,- \t\r\n*_\u00a3\u00e9\u00c9\u00ad\u200b"
        u"\ufffc\u2028\u03b1";
    alphabet += {char16_t(0xD800), char16_t(0xDC00), char16_t(0)};
    std::mt19937 random(20081);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> length(0, 400);
    for (int round = 0; round < 3000; ++round) {
        QString text;
        const int n = length(random);
        for (int i = 0; i < n; ++i)
            text += QChar(alphabet[pick(random)]);
        const SWTokenBag bag = tokenizer_.tokenize(text, round % 2 == 0);
        for (auto it = bag.constBegin(); it != bag.constEnd(); ++it) {
            ASSERT_GE(it.key().size(), 3) << text.toStdString();
            ASSERT_LE(it.key().size(), SWTokenizerMaximumTokenLength) << text.toStdString();
            ASSERT_GE(it.value(), 1);
        }
        const auto forms = SWTokenizer::preprocessToken(text.left(SWTokenizerMaximumTokenLength));
        if (forms) {
            for (const QString& form : *forms) {
                ASSERT_LE(form.size(), SWTokenizerMaximumTokenLength);
            }
        }
    }
}

}  // namespace
