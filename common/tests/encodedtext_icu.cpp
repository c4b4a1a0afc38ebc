#include <gtest/gtest.h>

#include <string>

#include "common/SAEncodedText.h"
#include "mailparse/SAEncodedString.h"
#include "mailparse/SARef.h"
#include "mailparse/SAString.h"

namespace {

std::string base64(const std::string& bytes) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8 |
                     static_cast<unsigned char>(bytes[i + 2]);
        for (int k = 3; k >= 0; --k)
            out.push_back(alphabet[(v >> (6 * k)) & 63]);
    }
    if (bytes.size() - i == 1) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        out += std::string{alphabet[v >> 18], alphabet[(v >> 12) & 63]} + "==";
    } else if (bytes.size() - i == 2) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += std::string{alphabet[v >> 18], alphabet[(v >> 12) & 63], alphabet[(v >> 6) & 63]} + "=";
    }
    return out;
}

QString textOf(const std::string& headerValue) {
    auto value = SARef<SAString>::adopt(new SAString(headerValue.data(), headerValue.size()));
    auto encoded = SARef<SAEncodedString>::adopt(new SAEncodedString(value.get()));
    return SAEncodedText::stringWithEncodedString(encoded.get());
}

QString textOfWord(const char* charset, const std::string& bytes) {
    return textOf(std::string("=?") + charset + "?B?" + base64(bytes) + "?=");
}

TEST(SAEncodedText, everyCharsetOfTheTableThatICUOffersConverts) {
    struct Case {
        const char* charset;
        const char* bytes;
        const char16_t* text;
    };
    // Bytes from an independent encoder of each charset.
    const Case cases[] = {
        {"US-ASCII", "\x43\x61\x66\xc3\xa9", u"\u0043\u0061\u0066\u00e9"},
        {"MACINTOSH", "\x81\x6e\x67\x73\x74\x72\x9a\x6d", u"\u00c5\u006e\u0067\u0073\u0074\u0072\u00f6\u006d"},
        {"x-mac-roman", "\x9f\x62\x65\x72\x20\xa0", u"\u00fc\u0062\u0065\u0072\u0020\u2020"},
        {"DEFAULT", "\x6e\x61\xef\x76\x65", u"\u006e\u0061\u00ef\u0076\u0065"},
        {"DEFAULT_CHARSET", "\x93\xe9\x94", u"\u201c\u00e9\u201d"},
        {"x-mac-greek", "\xb0\xf5\xdc\xee\xe1", u"\u0391\u03b8\u03ae\u03bd\u03b1"},
        {"x-mac-cyrillic", "\x8c\xee\xf1\xea\xe2\xe0", u"\u041c\u043e\u0441\u043a\u0432\u0430"},
        {"x-mac-ukrainian", "\x8a\xe8\xbb\xe2\x20\xa2", u"\u041a\u0438\u0457\u0432\u0020\u0490"},
        {"iso-8859-1", "\x63\x61\x66\xe9", u"\u0063\u0061\u0066\u00e9"},
        {"ISO-8859-2", "\xa3\xf3\x64\xbc", u"\u0141\u00f3\u0064\u017a"},
        {"iso-8859-3", "\xa1\xb1", u"\u0126\u0127"},
        {"iso-8859-4", "\xc0\xaa", u"\u0100\u0112"},
        {"iso-8859-5", "\xbf\xe0\xd8\xd2\xd5\xe2", u"\u041f\u0440\u0438\u0432\u0435\u0442"},
        {"iso-8859-6", "\xe5\xd1\xcd\xc8\xc7", u"\u0645\u0631\u062d\u0628\u0627"},
        {"iso-8859-7", "\xca\xe1\xeb\xe7", u"\u039a\u03b1\u03bb\u03b7"},
        {"iso-8859-8", "\xf9\xec\xe5\xed", u"\u05e9\u05dc\u05d5\u05dd"},
        {"iso-8859-9", "\xf0\xdd\xfe", u"\u011f\u0130\u015f"},
        {"iso-8859-10", "\xff\xc0", u"\u0138\u0100"},
        {"iso-8859-11", "\xca\xc7\xd1\xca", u"\u0e2a\u0e27\u0e31\u0e2a"},
        {"iso-8859-13", "\xc0\xb4", u"\u0104\u201c"},
        {"iso-8859-14", "\xa1\xd0", u"\u1e02\u0174"},
        {"ISO-8859-15", "\xa4\x20\xbd", u"\u20ac\u0020\u0153"},
        {"gb2312", "\xd6\xd0\xce\xc4", u"\u4e2d\u6587"},
        {"gb2312_charset", "\xba\xba\xd7\xd6", u"\u6c49\u5b57"},
        {"windows-1252", "\x80\x20\x93\x68\x69\x94", u"\u20ac\u0020\u201c\u0068\u0069\u201d"},
        {"windows-1250", "\x8a\x6b\x6f\x64\x61\x20\xa3", u"\u0160\u006b\u006f\u0064\u0061\u0020\u0141"},
        {"windows-1251", "\xcf\xf0\xe8\xe2\xe5\xf2", u"\u041f\u0440\u0438\u0432\u0435\u0442"},
        {"windows-1253", "\xc1\xe8\xde\xed\xe1", u"\u0391\u03b8\u03ae\u03bd\u03b1"},
        {"windows-1254", "\xdd\x73\x74\x61\x6e\x62\x75\x6c\x20\xf0",
         u"\u0130\u0073\u0074\u0061\u006e\u0062\u0075\u006c\u0020\u011f"},
        {"iso-2022-jp", "\x1b\x24\x42\x46\x7c\x4b\x5c\x38\x6c\x1b\x28\x42", u"\u65e5\u672c\u8a9e"},
        {"iso-2022-kr", "\x1b\x24\x29\x43\x0e\x47\x51\x31\x39\x3e\x6e\x0f", u"\ud55c\uad6d\uc5b4"},
        {"iso-2022-cn", "\x1b\x24\x29\x41\x0e\x56\x50\x4e\x44\x0f", u"\u4e2d\u6587"},
        {"EUC-JP", "\xc6\xfc\xcb\xdc\xb8\xec", u"\u65e5\u672c\u8a9e"},
        {"EUC-KR", "\xc7\xd1\xb1\xb9\xbe\xee", u"\ud55c\uad6d\uc5b4"},
        {"ks_c_5601-1987", "\xbe\xc8\xb3\xe7", u"\uc548\ub155"},
        {"SHIFT_JIS", "\x82\xb1\x82\xf1\x82\xc9\x82\xbf\x82\xcd", u"\u3053\u3093\u306b\u3061\u306f"},
        {"Shift-JIS", "\x83\x4a\x83\x5e\x83\x4a\x83\x69", u"\u30ab\u30bf\u30ab\u30ca"},
        {"koi8-r", "\xf0\xd2\xc9\xd7\xc5\xd4", u"\u041f\u0440\u0438\u0432\u0435\u0442"},
        {"big5", "\xc1\x63\xc5\xe9\xa4\xa4\xa4\xe5", u"\u7e41\u9ad4\u4e2d\u6587"},
        {"chinesebig5", "\xa5\x78\xc6\x57", u"\u53f0\u7063"},
        {"hz-gb-2312", "\x7e\x7b\x56\x50\x4e\x44\x7e\x7d\x20\x6f\x6b", u"\u4e2d\u6587\u0020\u006f\u006b"},
        {"utf-8", "\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80", u"\u00e9\u4e2d\U0001f600"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(textOfWord(c.charset, c.bytes), QString::fromUtf16(c.text)) << c.charset;
}

TEST(SAEncodedText, segmentsOfUnknownOrBrokenCharsetsAreStillRead) {
    struct Case {
        std::string value;
        const char16_t* text;
    };
    const Case cases[] = {
        // Invalid UTF-8 is read as Windows-1252.
        {"=?utf-8?B?" + base64("caf\xe9 \x93ok\x94") + "?=", u"caf\u00e9 \u201cok\u201d"},
        {"=?UTF-8?Q?=C3=28?=", u"\u00c3("},
        // Unknown and placeholder charsets, and charsets ICU has no table for:
        // UTF-8 when valid, else Windows-1252.
        {"a =?x-unknown?B?QUJD?= b", u"a ABC b"},
        {"=?%CHARSET?B?" + base64("\xc3\xa9t\xc3\xa9") + "?=", u"\u00e9t\u00e9"},
        {"=?iso-10646-ucs-2?B?QUJD?=", u"ABC"},
        {"=?x-mac-japanese?B?QUJD?=", u"ABC"},
        {"=?iso-8859-16?B?" + base64("\xe9") + "?=", u"\u00e9"},
        // Bytes the charset does not define become U+FFFD; an encoded word
        // that did not decode contributes nothing.
        {"x=?Shift_JIS?B?" + base64("\x82\xff") + "?=y", u"x\ufffd\ufffdy"},
        {"x=?iso-2022-jp?B?" + base64("\x1b\x24\x42\x46") + "?=y", u"x\ufffdy"},
        {"=?utf-8?Q?bad=ZZ?= tail", u" tail"},
        // Eight-bit bytes in plain header text.
        {"Gr\xc3\xbc\xc3\x9f\x65 =?utf-8?Q?x?=", u"Gr\u00fc\u00dfe x"},
        {"Gr\xfc\xdf\x65", u"Gr\u00fc\u00dfe"},
        // Rejected value: no segments at all.
        {"=?utf-8?QQ?abc?=", u""},
        // The documented example.
        {"=?utf-8?B?SGVsbG8=?= =?utf-8?Q?_World?=", u"Hello World"},
        {"Re: =?iso-8859-1?Q?caf=E9?= !", u"Re: caf\u00e9 !"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(textOf(c.value), QString::fromUtf16(c.text)) << c.value;
    EXPECT_TRUE(SAEncodedText::stringWithEncodedString(nullptr).isEmpty());
}

// Charset names as mail really writes them.
TEST(SAEncodedText, charsetNamesAsMailWritesThem) {
    struct Case {
        const char* charset;  // null: no name
        std::string bytes;
        const char16_t* text;
    };
    const std::string turkish = "\xf0\xdd\xfe";  // ğİş in ISO 8859-9
    const char16_t* turkishText = u"\u011f\u0130\u015f";
    const Case cases[] = {
        {"iso-8859-9", turkish, turkishText},
        {"ISO_8859-9", turkish, turkishText},
        {"iso8859-9", turkish, turkishText},
        {"latin5", turkish, turkishText},
        {"\"iso-8859-9\" ", turkish, turkishText},
        {"'iso-8859-9'", turkish, turkishText},
        {"iso-8859-9; format=flowed", turkish, turkishText},
        {"iso-8859-9 format=flowed", turkish, turkishText},
        {" windows-1254", "\xdd\x80", u"\u0130\u20ac"},
        {"iso_8859-15", "\xa4", u"\u20ac"},
        {"iso-8859-1", "caf\xe9 \x93x\x94", u"caf\u00e9 \u201cx\u201d"},
        {"latin1", "\xe9\x81", u"\u00e9\u0081"},
        {"cp1252", "\x80", u"\u20ac"},
        {"windows-1251", "\xcf\xf0", u"\u041f\u0440"},
        {"cp1251", "\xcf\xf0", u"\u041f\u0440"},
        {"windows-1255", "\xf9\xec", u"\u05e9\u05dc"},
        {"windows-1256", "\xe3", u"\u0645"},
        {"koi8-r", "\xf0\xd2", u"\u041f\u0440"},
        {"koi8-u", "\xa4", u"\u0454"},
        {"gb2312", "\xd6\xd0\xce\xc4", u"\u4e2d\u6587"},
        {"gbk", "\x81\x40", u"\u4e02"},
        {"GB18030", "\x81\x30\x81\x30", u"\u0080"},
        {"big5", "\xa4\xa4", u"\u4e2d"},
        {"shift_jis", "\x82\xa0", u"\u3042"},
        {"euc-jp", "\xa4\xa2", u"\u3042"},
        {"euc-kr", "\xc7\xd1", u"\ud55c"},
        {"iso-2022-jp", "\x1b$B$\"\x1b(B", u"\u3042"},
        {"UTF-8", "\xc3\xa9", u"\u00e9"},
        {"utf8", "\xc3\xa9", u"\u00e9"},
        {"\"utf-8\"", "caf\xe9", u"caf\u00e9"},
        {"x-mac-roman", "\x8e", u"\u00e9"},
        // No usable name: UTF-8 when valid, else Windows-1252; never Mac Roman.
        {nullptr, "\xc3\xa9", u"\u00e9"},
        {nullptr, "\x8e", u"\u017d"},
        {"us-ascii", "\xe9", u"\u00e9"},
        {"ascii", "\xc3\xa9", u"\u00e9"},
        {"x-unknown", "\xe9", u"\u00e9"},
        {"unknown-8bit", "\xc3\xa9", u"\u00e9"},
        {"%CHARSET", "\xe9", u"\u00e9"},
        {"", "\xe9", u"\u00e9"},
        {"\"\"", "\xe9", u"\u00e9"},
        {"iso-8859-99", "\xe9", u"\u00e9"},
    };
    for (const Case& c : cases) {
        auto name = c.charset ? SARef<SAString>::adopt(new SAString(c.charset)) : SARef<SAString>();
        QString text = QStringLiteral("before");
        ASSERT_TRUE(SAEncodedText::decodeText(c.bytes.data(), c.bytes.size(), name.get(), &text))
            << (c.charset ? c.charset : "(none)");
        EXPECT_EQ(text, QString::fromUtf16(c.text)) << (c.charset ? c.charset : "(none)");
    }
}

TEST(SAEncodedText, aLongTextDecodedAgainGivesItsOwnText) {
    // The last long text is kept: the same bytes under another charset, and
    // other bytes of the same length, are decoded for themselves. The short
    // pieces (decoded afresh every time) say what each should give.
    const auto charset = [](const char* name) { return SARef<SAString>::adopt(new SAString(name)); };
    const auto koi8 = charset("koi8-r"), cyrillic = charset("windows-1251");
    const std::string a = "\xcf\xf0", b = "\xf0\xcf";
    struct Case {
        const SAString* charset;
        const std::string& piece;
    };
    for (const Case& c : {Case{koi8.get(), a}, Case{cyrillic.get(), a}, Case{cyrillic.get(), b}, Case{koi8.get(), a},
                          Case{koi8.get(), a}}) {
        QString piece, whole;
        ASSERT_TRUE(SAEncodedText::decodeText(c.piece.data(), c.piece.size(), c.charset, &piece));
        std::string bytes;
        for (int i = 0; i < 300; ++i)
            bytes += c.piece;
        ASSERT_TRUE(SAEncodedText::decodeText(bytes.data(), bytes.size(), c.charset, &whole));
        EXPECT_EQ(whole, piece.repeated(300));
    }
}

TEST(SAEncodedText, convertBytesLeavesTheTextAloneOnFailure) {
    QString text = QStringLiteral("before");
    EXPECT_FALSE(SAEncodedText::convertBytes("abc", 3, SAStringEncodingUnknown, &text));
    EXPECT_FALSE(SAEncodedText::convertBytes("abc", 3, SAStringEncodingPlaceholder, &text));
    EXPECT_FALSE(SAEncodedText::convertBytes("\xff", 1, SAStringEncodingUTF8, &text));
    EXPECT_FALSE(SAEncodedText::convertBytes("abc", 3, SAStringEncodingISO8859Base + 300, &text));
    EXPECT_FALSE(SAEncodedText::convertBytes("abc", 3, SAStringEncodingISO8859Base - 6, &text));
    EXPECT_EQ(text, QStringLiteral("before"));
    EXPECT_TRUE(SAEncodedText::convertBytes("a\0b", 3, SAStringEncodingASCII, &text));
    EXPECT_EQ(text, QString::fromUtf16(u"a\u0000b", 3));
    EXPECT_TRUE(SAEncodedText::convertBytes("", 0, SAStringEncodingUTF8, &text));
    EXPECT_TRUE(text.isEmpty());
}

}  // namespace
