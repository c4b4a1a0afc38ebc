#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mailparse/SAMutableArray.h"
#include "mailparse/SAMutableString.h"
#include "mailparse/SARef.h"
#include "mailparse/SAString.h"

namespace {

SARef<SAString> str(const char* text) { return SARef<SAString>::adopt(new SAString(text)); }

std::vector<std::string> strings(SAArray* array) {
    std::vector<std::string> out;
    for (unsigned long i = 0; i < array->count(); ++i) {
        auto* s = static_cast<SAString*>(array->objectAtIndex(i));
        out.emplace_back(s->cString() ? std::string(s->cString(), s->length()) : std::string("<null>"));
    }
    return out;
}

std::string text(const SAString* s) { return s && s->cString() ? std::string(s->cString(), s->length()) : "<null>"; }

TEST(SAString, constructorsCopyTheirBytesAndNullGivesTheNullString) {
    SAString null(static_cast<const char*>(nullptr));
    EXPECT_EQ(null.cString(), nullptr);
    EXPECT_EQ(null.length(), 0u);
    SAString nullCounted(nullptr, 5);
    EXPECT_EQ(nullCounted.cString(), nullptr);
    EXPECT_EQ(nullCounted.length(), 0u);

    char source[] = "abcdef";
    SAString counted(source, 3);
    source[0] = 'X';
    EXPECT_STREQ(counted.cString(), "abc");
    EXPECT_EQ(counted.length(), 3u);

    SAString empty("");
    ASSERT_NE(empty.cString(), nullptr);
    EXPECT_EQ(empty.length(), 0u);
}

TEST(SAString, copyKeepsEveryByteEvenPastAnEmbeddedNul) {
    const char bytes[] = {'a', '\0', 'b', 'c'};
    SAString original(bytes, sizeof bytes);
    SAString copy(original);
    ASSERT_EQ(copy.length(), 4u);
    EXPECT_EQ(std::string(copy.cString(), copy.length()), std::string(bytes, 4));
    EXPECT_EQ(copy.retainCount(), 1);
    EXPECT_TRUE(copy.isEqualToString(&original));
}

TEST(SAString, comparisons) {
    struct Case {
        const char* a;
        const char* b;
        int compare;
        int caseless;
        bool equal;
    };
    const Case cases[] = {
        {"abc", "abc", 0, 0, true},      {"abc", "abd", -1, -1, false}, {"abd", "abc", 1, 1, false},
        {"ab", "abc", -1, -1, false},    {"abc", "ab", 1, 1, false},    {"ABC", "abc", -1, 0, false},
        {"a\xff", "a\x01", 1, 1, false},
    };
    for (const Case& c : cases) {
        auto a = str(c.a), b = str(c.b);
        EXPECT_EQ(a->compare(b.get()), c.compare) << c.a << " vs " << c.b;
        EXPECT_EQ(a->compareOptions(b.get(), SACaseInsensitiveSearch), c.caseless) << c.a << " vs " << c.b;
        EXPECT_EQ(a->isEqualToString(b.get()), c.equal);
        EXPECT_EQ(a->isEqualToString(c.b), c.equal);
    }
    SAString null;
    auto abc = str("abc");
    EXPECT_EQ(abc->compare(&null), 0);
    EXPECT_EQ(null.compare(abc.get()), 0);
    EXPECT_EQ(abc->compare(nullptr), 0);
    EXPECT_FALSE(abc->isEqualToString(&null));
    EXPECT_FALSE(null.isEqualToString(&null));
    EXPECT_FALSE(abc->isEqualToString(static_cast<const char*>(nullptr)));
}

TEST(SAString, prefixesAndSuffixes) {
    struct Case {
        const char* s;
        const char* affix;
        int options;
        bool prefix;
        bool suffix;
    };
    const Case cases[] = {
        {"abc", "abc", 0, true, false},  // a string is not a suffix of itself
        {"abc", "bc", 0, false, true},  {"abc", "BC", 1, false, true},    {"abc", "BC", 0, false, false},
        {"abc", "AB", 1, true, false},  {"abc", "abcd", 0, false, false}, {"abc", "xabc", 1, false, false},
        {"", "", 0, true, false},       {"abc", "", 0, true, true},
    };
    for (const Case& c : cases) {
        auto s = str(c.s), affix = str(c.affix);
        EXPECT_EQ(s->hasPrefix(affix.get(), c.options), c.prefix) << c.s << " / " << c.affix;
        EXPECT_EQ(s->hasSuffix(affix.get(), c.options), c.suffix) << c.s << " / " << c.affix;
    }
    SAString null;
    auto abc = str("abc");
    EXPECT_FALSE(abc->hasPrefix(&null, 0));
    EXPECT_FALSE(null.hasSuffix(abc.get(), 0));
    EXPECT_FALSE(abc->hasSuffix(nullptr, 0));
}

TEST(SAString, rangeOfString) {
    struct Case {
        const char* s;
        const char* needle;
        unsigned long location;
    };
    const Case cases[] = {
        {"hello world", "world", 6},  {"hello world", "o", 4}, {"hello", "hello!", SANotFound},
        {"hello", "xyz", SANotFound}, {"aaab", "aab", 1},      {"ab", "b", 1},
        {"", "a", SANotFound},
    };
    for (const Case& c : cases) {
        auto s = str(c.s), needle = str(c.needle);
        SARange r = s->rangeOfString(needle.get());
        EXPECT_EQ(r.location, c.location) << c.s << " / " << c.needle;
        EXPECT_EQ(r.length, c.location == SANotFound ? 0u : std::strlen(c.needle));
    }
    // Bytes past an embedded NUL are searched too; the end is never passed.
    const char bytes[] = {'x', '\0', 'y', 'z'};
    SAString withNul(bytes, 4);
    EXPECT_EQ(withNul.rangeOfString(str("yz").get()).location, 2u);
    EXPECT_EQ(withNul.rangeOfString(str("z!").get()).location, SANotFound);
    SAString null;
    EXPECT_EQ(null.rangeOfString(str("a").get()).location, SANotFound);
}

TEST(SAString, componentsSeparatedByString) {
    struct Case {
        const char* s;
        const char* separator;
        std::vector<std::string> parts;
    };
    const Case cases[] = {
        {"/a//b/", "/", {"", "a", "", "b"}},
        {"a,,b", ",", {"a", "", "b"}},
        {",a", ",", {"", "a"}},
        {"a,", ",", {"a"}},
        {"abc", ",", {"abc"}},
        {"", ",", {}},
        {"a::b::", "::", {"a", "b"}},
        {"a:", "::", {"a:"}},
        {"::", "::", {""}},
    };
    for (const Case& c : cases) {
        auto s = str(c.s), separator = str(c.separator);
        auto parts = SARef<SAMutableArray>::adopt(s->componentsSeparatedByString(separator.get()));
        ASSERT_TRUE(parts) << c.s;
        EXPECT_EQ(strings(parts.get()), c.parts) << c.s;
    }
    auto abc = str("abc");
    EXPECT_EQ(abc->componentsSeparatedByString(nullptr), nullptr);
    EXPECT_EQ(abc->componentsSeparatedByString(str("").get()), nullptr);
}

TEST(SAString, stringByStandardizingPath) {
    struct Case {
        const char* path;
        const char* standard;
    };
    const Case cases[] = {
        {"/a/./b/../c", "/a/c"}, {"/a/b/../../c", "/c"}, {"./x", "x"}, {"a/../b", "a/../b"},
        {"/a/b/", "/a/b"},       {"a/b/c/..", "a/b"},    {"/", ""},
    };
    for (const Case& c : cases) {
        auto path = str(c.path);
        auto standard = SARef<SAString>::adopt(path->stringByStandardizingPath());
        EXPECT_EQ(text(standard.get()), c.standard) << c.path;
    }
    EXPECT_EQ(str("")->stringByStandardizingPath(), nullptr);
    EXPECT_EQ(str(".")->stringByStandardizingPath(), nullptr);
}

TEST(SAString, unsignedLongValue) {
    struct Case {
        const char* s;
        unsigned long value;
    };
    const Case cases[] = {
        {"0x7f", 127},
        {"0X7F", 127},
        {"#x1F", 31},
        {"0177", 127},
        {"4294967296", 4294967296UL},
        {"0xZZ", 0},
        {"0x1g2", 1},
        {"12", 12},
        {"0", 0},
        {"", 0},
        {"18446744073709551615", 18446744073709551615UL},
    };
    for (const Case& c : cases)
        EXPECT_EQ(str(c.s)->unsignedLongValue(), c.value) << c.s;
    EXPECT_EQ(SAString().unsignedLongValue(), 0u);
}

TEST(SAString, substringAndRangeComparisonStayInside) {
    auto s = str("hello world");
    auto sub = SARef<SAString>::adopt(s->substringWithRange(SAMakeRange(6, 5)));
    EXPECT_EQ(text(sub.get()), "world");
    auto empty = SARef<SAString>::adopt(s->substringWithRange(SAMakeRange(11, 0)));
    EXPECT_EQ(text(empty.get()), "");
    EXPECT_EQ(s->substringWithRange(SAMakeRange(6, 6)), nullptr);
    EXPECT_EQ(s->substringWithRange(SAMakeRange(12, 0)), nullptr);
    EXPECT_EQ(s->substringWithRange(SAMakeRange(1, static_cast<unsigned long>(-1))), nullptr);

    EXPECT_EQ(s->compareOptionsRange(str("WORLD").get(), 1, SAMakeRange(6, 5)), 0);
    EXPECT_EQ(s->compareOptionsRange(str("world").get(), 0, SAMakeRange(6, 1000)), 0);
    EXPECT_EQ(s->compareOptionsRange(str("hello").get(), 0, SAMakeRange(0, 4)), -1);
}

TEST(SAMutableString, editing) {
    struct Case {
        const char* in;
        void (SAMutableString::*edit)();
        const char* out;
    };
    const Case cases[] = {
        {"MiXeD 123 \xC9", &SAMutableString::lowercase, "mixed 123 \xC9"},
        {"MiXeD 123 \xE9", &SAMutableString::uppercase, "MIXED 123 \xE9"},
        {"\"\"", &SAMutableString::dequote, ""},
        {"\"a", &SAMutableString::dequote, "\"a"},
        {"\"a b\"", &SAMutableString::dequote, "a b"},
        {"\"", &SAMutableString::dequote, "\""},
        {" \t\r\n", &SAMutableString::trimWhiteSpace, ""},
        {" a b ", &SAMutableString::trimWhiteSpace, "a b"},
        {"\r\nx", &SAMutableString::trimWhiteSpace, "x"},
        {"x", &SAMutableString::trimWhiteSpace, "x"},
    };
    for (const Case& c : cases) {
        SAMutableString s(c.in);
        (s.*c.edit)();
        EXPECT_EQ(text(&s), c.out) << c.in;
        ASSERT_NE(s.cString(), nullptr);
        EXPECT_EQ(s.cString()[s.length()], '\0');
    }
    SAMutableString null;
    null.trimWhiteSpace();
    null.dequote();
    null.lowercase();
    EXPECT_EQ(null.cString(), nullptr);
}

TEST(SAString, classIdentity) {
    SAMutableString mutableString("x");
    SAString string("x");
    EXPECT_STREQ(mutableString.stringFromClass(), "SAMutableString");
    EXPECT_STREQ(GETNAMESAString(), "SAString");
    EXPECT_STREQ(string.classID(), GETIDSAString());
    EXPECT_STRNE(GETIDSAString(), GETIDSAMutableString());
    EXPECT_STREQ(SAString::_classTypeID, GETIDSAString());
    EXPECT_TRUE(mutableString.isKindOfClass(GETIDSAString()));
    EXPECT_TRUE(mutableString.isKindOfClass(GETIDSAObject()));
    EXPECT_TRUE(mutableString.isKindOfClass(GETIDSAMutableString()));
    EXPECT_FALSE(string.isKindOfClass(GETIDSAMutableString()));
    EXPECT_FALSE(string.isKindOfClass(nullptr));
    EXPECT_FALSE(string.isKindOfClass("SAString"));
    EXPECT_STREQ(SASTRING_POSIXFILESEPARATOR->cString(), "/");
}

TEST(SAString, descriptionFormat) {
    auto s = str("hi \"x\"");
    testing::internal::CaptureStdout();
    s->description();
    std::string out = testing::internal::GetCapturedStdout();
    char expected[128];
    std::snprintf(expected, sizeof expected, "<(SAString *) %p [1]> \"hi \"x\"\"\n", static_cast<void*>(s.get()));
    EXPECT_EQ(out, expected);
}

}  // namespace

TEST(SAString, createGivesWhatTheCopyingConstructorGives) {
    const std::string withNul("a\0b", 3);
    const std::string longText(300, 'x');
    struct Case {
        const char* bytes;
        unsigned long length;
    } cases[] = {
        {nullptr, 0},
        {nullptr, 5},
        {"", 0},
        {"abc", 3},
        {"abc", 2},
        {withNul.data(), withNul.size()},
        {longText.data(), longText.size()},
        {"abc", static_cast<unsigned long>(-1)},
    };
    for (const Case& c : cases) {
        SARef<SAString> made = SARef<SAString>::adopt(SAString::create(c.bytes, c.length));
        SAString copied(c.bytes, c.length);
        ASSERT_EQ(made->cString() == nullptr, copied.cString() == nullptr) << c.length;
        EXPECT_EQ(made->length(), copied.length());
        EXPECT_EQ(made->retainCount(), 1);
        if (made->cString()) {
            EXPECT_EQ(std::memcmp(made->cString(), c.bytes, c.length), 0);
            EXPECT_EQ(made->cString()[made->length()], '\0');
            EXPECT_TRUE(made->isEqualToString(&copied));
        }
        // A copy of a string made in one piece is an ordinary string.
        SARef<SAMutableString> edited = SARef<SAMutableString>::adopt(new SAMutableString(*made.get()));
        edited->uppercase();
        EXPECT_EQ(edited->length(), made->length());
    }
}

TEST(SAString, createUninitializedIsWrittenThenTruncated) {
    SARef<SAString> s = SARef<SAString>::adopt(SAString::createUninitialized(8));
    ASSERT_NE(s->cString(), nullptr);
    EXPECT_EQ(s->length(), 8u);
    std::memcpy(s->cString(), "abcdefgh", 8);
    EXPECT_EQ(std::string(s->cString()), "abcdefgh");
    s->truncate(3);
    EXPECT_EQ(s->length(), 3u);
    EXPECT_EQ(std::string(s->cString()), "abc");
    s->truncate(5);  // never lengthens
    EXPECT_EQ(s->length(), 3u);

    SARef<SAString> empty = SARef<SAString>::adopt(SAString::createUninitialized(0));
    ASSERT_NE(empty->cString(), nullptr);
    EXPECT_EQ(empty->length(), 0u);

    SARef<SAString> huge = SARef<SAString>::adopt(SAString::createUninitialized(static_cast<unsigned long>(-2)));
    EXPECT_EQ(huge->cString(), nullptr) << "an impossible size gives the null string";
    EXPECT_EQ(huge->length(), 0u);
}
