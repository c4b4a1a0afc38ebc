#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mailparse/SAData.h"
#include "mailparse/SAEncodedString.h"
#include "mailparse/SAMutableArray.h"
#include "mailparse/SAMutableDictionary.h"
#include "mailparse/SARef.h"
#include "mailparse/SAString.h"

namespace {

SARef<SAString> str(const std::string& text) { return SARef<SAString>::adopt(new SAString(text.data(), text.size())); }

// A segment as "charset:bytes", or "charset:<none>" when it has no data.
std::vector<std::string> segments(const SAEncodedString& encoded) {
    std::vector<std::string> out;
    SAMutableArray* list = encoded.segments();
    if (!list)
        return {"<rejected>"};
    for (unsigned long i = 0; i < list->count(); ++i) {
        auto* segment = static_cast<SADictionary*>(list->objectAtIndex(i));
        auto* charset = static_cast<SAString*>(segment->objectForKey(SAENCODEDSTRINGENCODING, 0));
        auto* data = static_cast<SAData*>(segment->objectForKey(SAENCODEDSTRINGDATA, 0));
        std::string item = std::string(charset ? charset->cString() : "?") + ":";
        item += data ? std::string(data->bytes() ? data->bytes() : "", data->length()) : "<none>";
        out.push_back(item);
    }
    return out;
}

TEST(SAEncodedString, parsing) {
    struct Case {
        std::string value;
        std::vector<std::string> segments;
    };
    const Case cases[] = {
        {"=?utf-8?B?SGVsbG8=?= =?utf-8?Q?_World?=", {"utf-8:Hello", "utf-8: World"}},
        {"Re: =?iso-8859-1?Q?caf=E9?= !", {"US-ASCII:Re: ", "iso-8859-1:caf\xe9", "US-ASCII: !"}},
        {"=?koi8-r?BB?xxxx?=", {"<rejected>"}},
        {"a =?koi8-r??xxxx?= b", {"<rejected>"}},
        {"=?big5?X?QUJD?=", {"big5:ABC"}},
        {"=?utf-8?Q?abc", {"US-ASCII:abc"}},
        {"=?utf-8", {"US-ASCII:utf-8"}},
        {"=?utf-8?", {}},
        {"=?utf-8?Q", {"US-ASCII:Q"}},
        {"=?", {}},
        {"plain text only", {"US-ASCII:plain text only"}},
        {"", {}},
        {"a=b = c=", {"US-ASCII:a=b = c="}},
        {"=?x?q?a?b?=", {"x:a?b"}},
        {"=?utf-8?Q?bad=ZZ?= ok", {"utf-8:<none>", "US-ASCII: ok"}},
        {"=?a?B?QQ==?=\r\n\t= =?b?B?Qg==?=", {"a:A", "b:B"}},
        {"=?a?B?QQ==?= x =?b?B?Qg==?=", {"a:A", "US-ASCII: x ", "b:B"}},
        {"=?a?B?QQ==?=  ", {"a:A", "US-ASCII:  "}},
        {"=?a?B?\?=", {"a:<none>"}},
        {"x=?a?B?QQ==?=y", {"US-ASCII:x", "a:A", "US-ASCII:y"}},
        {"=?a?Q?x?= =?b?Q?y", {"a:x", "US-ASCII:y"}},
    };
    for (const Case& c : cases) {
        SAEncodedString encoded(str(c.value).get());
        EXPECT_EQ(segments(encoded), c.segments) << "value: " << c.value;
    }
    SAEncodedString null(nullptr);
    EXPECT_EQ(null.segments(), nullptr);
    SAString nullString;
    EXPECT_EQ(SAEncodedString(&nullString).segments(), nullptr);
}

TEST(SAEncodedString, everyCutOfAnEncodedWordParsesSafely) {
    const std::string value = "Re: =?iso-8859-1?Q?caf=E9_cr=E8me?= =?utf-8?B?w6k=?= end";
    for (size_t n = 0; n <= value.size(); ++n) {
        SAEncodedString encoded(str(value.substr(0, n)).get());
        ASSERT_NE(encoded.segments(), nullptr) << n;
        size_t total = 0;
        for (const std::string& segment : segments(encoded))
            total += segment.size();
        EXPECT_LE(total, n + 64) << n;
    }
}

TEST(SAEncodedString, getStringEncoding) {
    struct Case {
        const char* name;
        SAStringEncodings value;
    };
    const Case cases[] = {
        {"US-ASCII", 0},        {"us-ascii", 0},        {"MACINTOSH", 0},         {"DEFAULT_CHARSET", 0},
        {"default", 0},         {"x-mac-roman", 0},     {"x-mac-japanese", 1},    {"x-mac-korean", 3},
        {"x-mac-hebrew", 5},    {"x-mac-greek", 6},     {"x-mac-cyrillic", 7},    {"x-mac-ukrainian", 152},
        {"x-mac-latin1", -1},   {"x-macintosh", -1},    {"ISO-8859-1", 513},      {"ISO-8859-15", 527},
        {"iso-8859-5", 517},    {"iso-8859-", 512},     {"iso-8859-1234567", -1}, {"iso-2022-jp", 2080},
        {"ISO-2022-KR", 2112},  {"iso-2022-cn", 2096},  {"iso-2022-jp-2", -1},    {"iso-10646-ucs-2", -2},
        {"iso-", -2},           {"gb2312", 1057},       {"GB2312_CHARSET", 1057}, {"windows-1252", 1280},
        {"windows-1250", 1281}, {"windows-1251", 1282}, {"windows-1253", 1283},   {"windows-1254", 1284},
        {"windows-1255", -1},   {"EUC-JP", 2336},       {"euc-kr", 2368},         {"ks_c_5601-1987", 2368},
        {"Shift_JIS", 2561},    {"shift-jis", 2561},    {"koi8-r", 2562},         {"chinesebig5", 2563},
        {"BIG5", 2563},         {"hz-gb-2312", 2565},   {"UTF-8", 134217984},     {"utf-8", 134217984},
        {"%CHARSET", -2},       {"%rnd_chset", -2},     {"utf-16", -1},           {"", -1},
        {"big5x", -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SAEncodedString::getStringEncoding(str(c.name).get()), c.value) << c.name;
    EXPECT_EQ(SAEncodedString::getStringEncoding(nullptr), -1);
    SAString nullString;
    EXPECT_EQ(SAEncodedString::getStringEncoding(&nullString), -1);
}

TEST(SAEncodedString, charsetPredicates) {
    const SAStringEncodings exotic[] = {3, 7, 152, 517, 523, 1057, 1282, 1600, 2096, 2112, 2368, 2562, 2563, 2565};
    const SAStringEncodings japanese[] = {1, 2080, 2336};
    for (SAStringEncodings e = -2; e < 3000; ++e) {
        bool isExotic = std::find(std::begin(exotic), std::end(exotic), e) != std::end(exotic);
        bool isJapanese = std::find(std::begin(japanese), std::end(japanese), e) != std::end(japanese);
        EXPECT_EQ(SAEncodedString::isExoticCharSet(e), isExotic) << e;
        EXPECT_EQ(SAEncodedString::isJapaneseCharSet(e), isJapanese) << e;
    }
    EXPECT_FALSE(SAEncodedString::isExoticCharSet(SAStringEncodingUTF8));

    struct Case {
        const char* value;
        bool exotic;
        bool japanese;
    };
    const Case cases[] = {
        {"=?koi8-r?B?QQ==?=", true, false},
        {"=?Shift_JIS?B?QQ==?=", false, false},
        {"Hi =?iso-2022-jp?B?QQ==?=", false, true},
        {"=?euc-kr?Q?bad=ZZ?=", true, false},  // a word without data still counts
        {"plain", false, false},
        {"=?koi8-r?BB?QQ==?=", false, false},  // rejected: no segments
    };
    for (const Case& c : cases) {
        SAEncodedString encoded(str(c.value).get());
        EXPECT_EQ(encoded.containsExoticCharset(), c.exotic) << c.value;
        EXPECT_EQ(encoded.containsJapaneseCharset(), c.japanese) << c.value;
    }
}

TEST(SAEncodedString, copyStringOnlyJoinsPureASCIISegments) {
    // "US-ASCII" maps to 0, not to the ASCII identifier, so nothing qualifies.
    SAEncodedString plain(str("just text").get());
    EXPECT_EQ(plain.copyString(), nullptr);
    SAEncodedString rejected(str("=?a?XX?b?=").get());
    EXPECT_EQ(rejected.copyString(), nullptr);
}

TEST(SAEncodedString, charsetConstantsAndIdentity) {
    EXPECT_STREQ(SAENCODEDSTRINGDATA->cString(), "Data");
    EXPECT_STREQ(SAENCODEDSTRINGENCODING->cString(), "Encoding");
    EXPECT_STREQ(SASHIFTJIS2->cString(), "SHIFT-JIS");
    EXPECT_STREQ(SARANDOMCHARSET->cString(), "%RND_CHSET");
    EXPECT_EQ(SAEncodedString::getStringEncoding(SAXMACLATIN1), -1);
    SAEncodedString encoded(str("x").get());
    EXPECT_STREQ(encoded.stringFromClass(), "SAEncodedString");
    EXPECT_TRUE(encoded.isKindOfClass(GETIDSAEncodedString()));
    EXPECT_TRUE(encoded.isKindOfClass(GETIDSAObject()));
}

}  // namespace
