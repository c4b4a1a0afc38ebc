// Content analysis: links and addresses found in text parts, and the tree
// predicates the engine's checks ask of a parsed message.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mailparse/SAMessageID.h"
#include "mailparse/SAMutableArray.h"
#include "mailparse/tests/mimepart_test_support.h"

using namespace mimetest;

namespace {

SARef<SAData> dataOf(const std::string& s) {
    return SARef<SAData>::adopt(new SAData(reinterpret_cast<const unsigned char*>(s.data()), s.size(), false));
}

std::vector<URL> extract(const std::string& textIn, SAMIMESubtype subtype, std::string* after = nullptr) {
    SARef<SAData> d = dataOf(textIn);
    SARef<SAMutableArray> list = SARef<SAMutableArray>::adopt(SAMIMEPart::extractURLsFromData(d.get(), subtype));
    if (after)
        *after = text(d.get());
    return urls(list.get());
}

URL plainURL(const std::string& url) { return URL{url, false, false, false, false, url}; }

TEST(ContentAnalysis, linksAreFoundWithTheirObfuscationFlags) {
    struct Case {
        const char* name;
        std::string in;
        SAMIMESubtype subtype;
        std::vector<URL> expected;
    } cases[] = {
        {"plain link without scheme", "see http://a/b now ok", SAMIMESubtypePlain, {plainURL("a/b")}},
        {"scheme in capitals", "go HTTP://X.example/P end", SAMIMESubtypePlain, {plainURL("X.example/P")}},
        {"three encoded letters",
         "go http://x.example/%41%42%43 now",
         SAMIMESubtypePlain,
         {URL{"x.example/ABC", false, false, true, false, "x.example/ABC"}}},
        {"encoded space and at sign do not count",
         "go http://x.example/%20%40a%62 end",
         SAMIMESubtypePlain,
         {URL{"x.example/ @ab", false, false, false, false, "x.example/ @ab"}}},
        {"user name before the host",
         "go http://user@host.example/p end",
         SAMIMESubtypePlain,
         {URL{"host.example/p", true, false, false, false, "user@host.example/p"}}},
        {"at sign after the first slash is kept",
         "go http://host.example/p@q end",
         SAMIMESubtypePlain,
         {plainURL("host.example/p@q")}},
        {"redirect to a second link",
         "go http://r.example/?u=http://final.example/x end",
         SAMIMESubtypePlain,
         {URL{"final.example/x", false, false, false, true, "r.example/?u=http://final.example/x"}}},
        {"back path",
         "go http://h.example/a/b/../c end",
         SAMIMESubtypePlain,
         {URL{"h.example/a/c", false, true, false, false, "h.example/a/b/../c"}}},
        {"www link in plain text",
         "visit www.example.com/x today",
         SAMIMESubtypePlain,
         {plainURL("www.example.com/x")}},
        {"www link in HTML is not a link", "visit www.example.com/x today", SAMIMESubtypeHTML, {}},
        {"https is not recognised", "go https://secure.example/x end", SAMIMESubtypePlain, {}},
        {"https is not recognised in HTML", "go https://secure.example/x end", SAMIMESubtypeHTML, {}},
        {"link inside the last 8 bytes", "xxxxxxxx http://a", SAMIMESubtypePlain, {}},
        {"link just before the last 8 bytes", "xxxxxxx http://ab", SAMIMESubtypePlain, {plainURL("ab")}},
        {"parenthesis ends a plain link", "(http://x.example/p) and", SAMIMESubtypePlain, {plainURL("x.example/p")}},
        {"parenthesis stays in an HTML link",
         "(http://x.example/p) and",
         SAMIMESubtypeHTML,
         {plainURL("x.example/p)")}},
        {"line feed ends a plain link",
         "go http://x.example/p\nnext line",
         SAMIMESubtypePlain,
         {plainURL("x.example/p")}},
        {"line feed stays in a richtext link",
         "go http://x.example/p\nnext line",
         SAMIMESubtypeRichtext,
         {plainURL("x.example/p\nnext")}},
        {"line feed is dropped from an HTML link",
         "<a href=\"http://x.exa\nmple/p\">",
         SAMIMESubtypeHTML,
         {plainURL("x.example/p")}},
        {"HTML link broken between ht and tp",
         "<a href=\"ht\ntp://x.example/p\">x</a>",
         SAMIMESubtypeHTML,
         {plainURL("x.example/p")}},
        {"plain link broken by a line feed is not found",
         "<a href=\"ht\ntp://x.example/p\">x</a>",
         SAMIMESubtypePlain,
         {}},
        {"two links in order",
         "a http://one.example/ b http://two.example/ c",
         SAMIMESubtypeEnriched,
         {plainURL("one.example/"), plainURL("two.example/")}},
        {"empty link", "a http:// then text", SAMIMESubtypePlain, {plainURL("")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(extract(c.in, c.subtype), c.expected);
    }
    EXPECT_EQ(SAMIMEPart::extractURLsFromData(nullptr, SAMIMESubtypePlain), nullptr);
    SARef<SAData> shortData = dataOf("http://a");
    EXPECT_EQ(SAMIMEPart::extractURLsFromData(shortData.get(), SAMIMESubtypePlain), nullptr);
}

TEST(ContentAnalysis, htmlLinksAreBlankedInTheText) {
    std::string after;
    extract("see http://a/b now ok", SAMIMESubtypeHTML, &after);
    EXPECT_EQ(after, "see            now ok");
    extract("see http://a/b now ok", SAMIMESubtypePlain, &after);
    EXPECT_EQ(after, "see http://a/b now ok") << "plain text is left alone";
    extract("<a href=\"ht\ntp://x/p\">", SAMIMESubtypeHTML, &after);
    EXPECT_EQ(after, "<a href=\"           \">");
}

TEST(ContentAnalysis, addressesAreFoundInText) {
    const std::string local64(64, 'l');
    struct Case {
        const char* name;
        std::string in;
        std::vector<std::string> expected;
    } cases[] = {
        {"local part with an inner dot", "write john.doe@example.com today", {"john.doe@example.com"}},
        {"two dots in a row", "mail john..doe@example.com now", {}},
        {"dot before the at sign", "mail john.@example.com now", {}},
        {"domain without a dot", "write to jo@localhost now", {}},
        {"hyphen ends the domain", "write to jo@my-host.example now", {}},
        {"sentence dot after the domain", "write to jo@example.com. Then", {"jo@example.com"}},
        {"leading dot of a long local part", "see .abc@example.com ok", {"abc@example.com"}},
        {"leading dot of a short local part", "see .a@example.com ok", {}},
        {"one-byte local part", "x j@example.com y", {}},
        {"dot right after the at sign", "mail me at ab@.example.com", {}},
        {"two dots in the domain", "mail me at ab@x..example.com", {}},
        {"duplicates are kept", "a1@x.example, a1@x.example", {"a1@x.example", "a1@x.example"}},
        {"address at the very start", "ab@example.com is here", {"ab@example.com"}},
        {"64-byte local part", "x " + local64 + "@example.com", {local64 + "@example.com"}},
        {"65-byte local part", "x l" + local64 + "@example.com", {}},
        {"symbols of the local part", "to: a+b=c{d}~e@example.com", {"a+b=c{d}~e@example.com"}},
        {"angle brackets", "From: Jane <jane@example.org>", {"jane@example.org"}},
        {"at signs only", "@@@@@@@@@@@@", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SARef<SAData> d = dataOf(c.in);
        for (SAMIMESubtype subtype : {SAMIMESubtypePlain, SAMIMESubtypeHTML}) {
            SARef<SAMutableArray> list =
                SARef<SAMutableArray>::adopt(SAMIMEPart::extractEmailsFromData(d.get(), subtype));
            ASSERT_TRUE(list);
            EXPECT_EQ(strings(list.get()), c.expected);
        }
    }
    SARef<SAData> shortData = dataOf("a@b.cd e");
    EXPECT_EQ(SAMIMEPart::extractEmailsFromData(shortData.get(), SAMIMESubtypePlain), nullptr);
}

TEST(ContentAnalysis, textPartsCarryTheirLinksAndAddresses) {
    Parsed p = parse(
        "Subject: s\nContent-Type: multipart/alternative; boundary=b\n\n"
        "--b\nContent-Type: text/plain\n\nWrite to sales@shop.example or see http://shop.example/a\n"
        "--b\nContent-Type: text/html\n\n<p>See <a href=\"http://shop.example/b\">here</a></p>\n"
        "--b\nContent-Type: application/octet-stream\n\nhttp://hidden.example/c sales@shop.example\n"
        "--b--\n");
    ASSERT_EQ(childCount(p.part()), 3u);
    EXPECT_EQ(urls(child(p.part(), 0)->_urls), std::vector<URL>{plainURL("shop.example/a")});
    EXPECT_EQ(strings(child(p.part(), 0)->_addresses), std::vector<std::string>{"sales@shop.example"});
    EXPECT_EQ(urls(child(p.part(), 1)->_urls), std::vector<URL>{plainURL("shop.example/b")});
    EXPECT_EQ(child(p.part(), 2)->_urls, nullptr);
    EXPECT_EQ(child(p.part(), 2)->_addresses, nullptr);
    // The HTML part was sent as it is, so its link is blanked in the message itself.
    EXPECT_EQ(p.raw().find("http://shop.example/b"), std::string::npos);
    EXPECT_NE(p.raw().find("http://shop.example/a"), std::string::npos);
    ASSERT_NE(child(p.part(), 1)->_simplifiedText, nullptr);
    EXPECT_EQ(text(child(p.part(), 1)->_simplifiedText).find("shop.example"), std::string::npos);
}

TEST(ContentAnalysis, decodedHtmlIsBlankedInItsOwnCopy) {
    // "<a href=http://q.example/x>y</a>" in base64
    Parsed p = parse(
        "Subject: s\nContent-Type: text/html\nContent-Transfer-Encoding: base64\n\n"
        "PGEgaHJlZj1odHRwOi8vcS5leGFtcGxlL3g+eTwvYT4=\n");
    EXPECT_EQ(urls(p->_urls), std::vector<URL>{plainURL("q.example/x")});
    EXPECT_EQ(text(p->_content), "<a href=                  >y</a>");
    EXPECT_NE(p.raw().find("PGEgaHJlZj1odHRwOi8vcS5leGFtcGxlL3g+eTwvYT4="), std::string::npos);
    EXPECT_TRUE(p->useTextBase64Encoding());
}

TEST(ContentAnalysis, plainTextThatImitatesHtmlIsReadAsHtml) {
    std::string tags;
    for (int i = 0; i < 11; ++i)
        tags += "<b>x</b>";
    Parsed pseudo =
        parse("Subject: s\nContent-Type: text/plain\n\n" + tags + " www.plain.example/x http://h.example/y\n");
    EXPECT_NE(pseudo->_simplifiedText, nullptr);
    EXPECT_EQ(urls(pseudo->_urls), std::vector<URL>{plainURL("h.example/y")}) << "HTML rules: no www links";

    Parsed ordinary =
        parse("Subject: s\nContent-Type: text/plain\n\n<b>x</b> www.plain.example/x http://h.example/y\n");
    EXPECT_EQ(ordinary->_simplifiedText, nullptr);
    EXPECT_EQ(urls(ordinary->_urls).size(), 2u);

    // Without a subtype there is no pseudo-tag test at all.
    Parsed noSubtype = parse("Subject: s\nContent-Type: text\n\n" + tags + " www.plain.example/x\n");
    EXPECT_EQ(noSubtype->_simplifiedText, nullptr);
    EXPECT_EQ(urls(noSubtype->_urls), std::vector<URL>{plainURL("www.plain.example/x")});

    // Other text subtypes are not analysed.
    Parsed calendar = parse("Subject: s\nContent-Type: text/calendar\n\nURL:http://cal.example/e\n");
    EXPECT_EQ(calendar->_urls, nullptr);
}

TEST(ContentAnalysis, enrichedTextIsAnalysedAfterSimplification) {
    Parsed p = parse(
        "Subject: s\nContent-Type: text/enriched\n\n"
        "<color><param>white</param>hidden http://white.example/</color> after http://shown.example/ ok\n");
    EXPECT_TRUE(p->usesWhiteTrick());
    ASSERT_NE(p->_simplifiedText, nullptr);
    EXPECT_EQ(urls(p->_urls), std::vector<URL>{plainURL("shown.example/")});
}

std::string htmlPart(const std::string& html, const std::string& extraHeaders = "") {
    return "Content-Type: text/html\n" + extraHeaders + "\n" + html;
}

/// A multipart message of `parts`; each subtype has its own boundary, so
/// containers of different subtypes nest.
std::string wrap(const std::string& subtype, const std::vector<std::string>& parts, const std::string& headers = "") {
    const std::string b = "zz-" + subtype;
    std::string m = "Subject: s\n" + headers + "Content-Type: multipart/" + subtype + "; boundary=" + b + "\n\n";
    for (const std::string& part : parts)
        m += "--" + b + "\n" + part + "\n";
    return m + "--" + b + "--\n";
}

TEST(ContentAnalysis, trickFlagsOfAnyPartAnswerForTheTree) {
    std::string unknownTags;
    for (int i = 0; i < 6; ++i)
        unknownTags += "<zz" + std::to_string(i) + ">";
    std::string spans;
    for (int i = 0; i < 11; ++i)
        spans += "<span style=\"display:none\">x</span>";
    struct Case {
        const char* name;
        std::string part;
        bool (SAMIMEPart::*predicate)();
        bool (SAMIMEPart::*also)() = nullptr;  // a flag the same trick sets as well
    } cases[] = {
        {"white text", htmlPart("<html><body><font color=\"white\">hidden words</font> shown</body></html>"),
         &SAMIMEPart::usesWhiteTrick},
        {"small font", htmlPart("<html><body><p style=\"font-size: 1px\">tiny</p></body></html>"),
         &SAMIMEPart::usesSmallFontTrick, &SAMIMEPart::usesWhiteTrick},
        {"unknown tags", htmlPart("<html><body>" + unknownTags + "text</body></html>"),
         &SAMIMEPart::usesTooManyWrongTags},
        {"invisible spans", htmlPart("<html><body>" + spans + "</body></html>"),
         &SAMIMEPart::usesTooManySpanDisplayNone},
        {"text after the end", htmlPart("<html><body>x</body></html>" + std::string(31, 'w')),
         &SAMIMEPart::usesAfterHTML},
        {"placeholder charset", "Content-Type: text/plain; charset=%RND_CHSET\n\nhello there\n",
         &SAMIMEPart::usesSpamCharset},
        {"boundary on a text part", "Content-Type: text/plain; boundary=\"zz\"\n\nhello there\n",
         &SAMIMEPart::hasBoundaryForSinglePart},
    };
    bool (SAMIMEPart::*all[])() = {&SAMIMEPart::usesWhiteTrick,
                                   &SAMIMEPart::usesSmallFontTrick,
                                   &SAMIMEPart::usesTooManyWrongTags,
                                   &SAMIMEPart::usesTooManySpanDisplayNone,
                                   &SAMIMEPart::usesAfterHTML,
                                   &SAMIMEPart::usesSpamCharset,
                                   &SAMIMEPart::hasBoundaryForSinglePart,
                                   &SAMIMEPart::usesFloatLeftTrick};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Parsed nested =
            parse(wrap("mixed", {"Content-Type: text/plain\n\nan innocent first part\n",
                                 wrap("alternative", {c.part}).substr(std::string("Subject: s\n").size())}));
        ASSERT_EQ(nested.result(), 0);
        EXPECT_TRUE((nested.part()->*c.predicate)()) << "found two levels down";
        for (auto predicate : all) {
            if (predicate != c.predicate && predicate != c.also) {
                EXPECT_FALSE((nested.part()->*predicate)()) << "no other flag";
            }
        }
        Parsed clean = parse(wrap("mixed", {"Content-Type: text/plain\n\nnothing to see\n"}));
        EXPECT_FALSE((clean.part()->*c.predicate)());
    }
}

TEST(ContentAnalysis, strangeMultipartStructure) {
    const std::string text = "Content-Type: text/plain\n\nhello there\n";
    const std::string single = wrap("alternative", {text}).substr(std::string("Subject: s\n").size());
    struct Case {
        const char* name;
        std::string message;
        bool strange;
    } cases[] = {
        {"alternative with one part", wrap("alternative", {text}), true},
        {"alternative with one part from the help desk",
         wrap("alternative", {text}, "X-Mailer: Cerberus Helpdesk 0.9\n"), false},
        {"help desk name must match its case", wrap("alternative", {text}, "X-Mailer: cerberus helpdesk\n"), true},
        {"alternative with two parts", wrap("alternative", {text, text}), false},
        {"empty mixed", "Subject: s\nContent-Type: multipart/mixed; boundary=zz\n\nno parts\n", true},
        {"mixed with parts", wrap("mixed", {text}), false},
        {"mixed does not look inside", wrap("mixed", {single, text}), false},
        {"related holding a lone alternative", wrap("related", {single, text}), true},
        {"related left with its plain-text root", wrap("related", {text}), false},
        {"related holding a lone HTML part", wrap("related", {"Content-Type: text/html\n\n<p>hi</p>\n"}), true},
        {"empty alternative", "Subject: s\nContent-Type: multipart/alternative; boundary=zz\n\n", true},
        {"not multipart", "Subject: s\n\nplain text\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Parsed p = parse(c.message);
        EXPECT_EQ(p->hasStrangeHierarchy(), c.strange);
    }
}

TEST(ContentAnalysis, base64HtmlWithoutDisposition) {
    const std::string b64html = "Content-Type: text/html\nContent-Transfer-Encoding: base64\n";
    struct Case {
        const char* name;
        std::string message;
        bool expected;
    } cases[] = {
        {"top-level", "Subject: s\n" + b64html + "\nPGI+aGk8L2I+\n", true},
        {"inside a multipart", wrap("mixed", {"Content-Type: text/plain\n\nx y z\n", b64html + "\nPGI+aGk8L2I+\n"}),
         true},
        {"as an attachment", wrap("mixed", {b64html + "content-disposition: attachment\n\nPGI+aGk8L2I+\n"}), false},
        {"plain text in base64", "Subject: s\nContent-Type: text/plain\nContent-Transfer-Encoding: base64\n\naGk=\n",
         false},
        {"quoted-printable html",
         "Subject: s\nContent-Type: text/html\nContent-Transfer-Encoding: quoted-printable\n\n<b>", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(parse(c.message)->useTextBase64Encoding(), c.expected);
    }
}

TEST(ContentAnalysis, asianAndCyrillicCharsets) {
    struct Case {
        const char* name;
        std::string message;
        bool japanese;
        bool exotic;
    } cases[] = {
        {"ISO-2022-JP body", "Subject: s\nContent-Type: text/plain; charset=ISO-2022-JP\n\nhello there\n", true, false},
        {"EUC-KR body", "Subject: s\nContent-Type: text/plain; charset=euc-kr\n\nhello there\n", false, true},
        {"Shift_JIS is neither", "Subject: s\nContent-Type: text/plain; charset=shift_jis\n\nhello there\n", false,
         false},
        {"Japanese encoded Subject", "Subject: =?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?=\n\nhello there\n", true, false},
        {"Cyrillic encoded Subject", "Subject: =?koi8-r?B?8NLJ18XU?=\n\nhello there\n", false, true},
        {"raw JIS escape in the Subject", "Subject:  \x1b$Bxyz\n\nhello there\n", false, true},
        {"raw JIS escape, lower-case letter", "Subject: \x1b$bxyz\n\nhello there\n", false, true},
        {"raw JIS escape under another spelling", "SUBJECT: \x1b$Bxyz\n\nhello there\n", false, false},
        {"deep in the tree",
         wrap("mixed", {"Content-Type: text/plain\n\nx y z\n", "Content-Type: text/plain; charset=big5\n\nx y z\n"}),
         false, true},
        {"plain ASCII", "Subject: hello\n\nhello there\n", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Parsed p = parse(c.message);
        EXPECT_EQ(p->containsJapaneseCharset(), c.japanese);
        EXPECT_EQ(p->containsExoticCharset(), c.exotic);
    }
}

TEST(ContentAnalysis, addressHelpersOfTheWiderInterface) {
    struct DomainCase {
        const char* url;
        const char* host;  // nullptr: no answer
    } domains[] = {
        {"http://www.example.com/path", "www.example.com"},
        {"HTTP://user@host.example/x", "host.example"},
        {"http://0x7f.0.0.1/", "127.0.0.1"},
        {"http://0177.0.0.01/", "127.0.0.1"},
        {"http://3232235777/index", "192.168.1.1"},
        {"http://%61bc.example/", "abc.example"},
        {"http://host.example", "host.example"},
        {"ftp://x.example/", nullptr},
        {"http:/", nullptr},
    };
    for (const DomainCase& c : domains) {
        SAString url(c.url);
        SARef<SAString> host = SARef<SAString>::adopt(SAMIMEPart::getDomainNameFromURL(&url));
        EXPECT_EQ(text(host.get()), c.host ? c.host : "<null>") << c.url;
    }
    EXPECT_EQ(SAMIMEPart::getDomainNameFromURL(nullptr), nullptr);

    struct AddressCase {
        const char* in;
        const char* address;
    } addresses[] = {
        {"from x ([10.0.0.1]) by y [192.168.1.20] with z", "192.168.1.20"},
        {"from x (10.0.0.1) by y", "10.0.0.1"},
        {"[1.2]", "1.2"},
        {"[300.1.1.1]", nullptr},
        {"[1..2]", nullptr},
        {"[1.2.3.4.5]", nullptr},
        {"(1.2.3.4]", nullptr},
        {"[1.2.3.4", nullptr},
        {"[0001.2.3.4]", "0001.2.3.4"},
        {"[1.2.3.256]", nullptr},
        {"no brackets", nullptr},
    };
    for (const AddressCase& c : addresses) {
        SAString in(c.in);
        SARef<SAString> found = SARef<SAString>::adopt(SAMIMEPart::findAddressInString(&in));
        EXPECT_EQ(text(found.get()), c.address ? c.address : "<null>") << c.in;
    }

    SAString quad("1.22.333.4");
    SARef<SAString> reversed = SARef<SAString>::adopt(SAMIMEPart::reverseIPAddress(&quad));
    EXPECT_EQ(text(reversed.get()), "4.333.22.1");
    EXPECT_EQ(SAMIMEPart::reverseIPAddress(nullptr), nullptr);

    Parsed p = parse("Subject: s\n\nhello there\n");
    EXPECT_EQ(p->receivedFromAddresses(), nullptr);
}

}  // namespace

TEST(ContentAnalysis, linksAreFoundAtEveryOffsetOfTheScanBlocks) {
    // A link at each position of the first blocks, in any case, with filler
    // that holds no link; and one that ends exactly where scanning stops.
    for (SAMIMESubtype subtype : {SAMIMESubtypePlain, SAMIMESubtypeHTML}) {
        for (unsigned long offset = 0; offset < 40; ++offset) {
            for (const char* scheme : {"http://", "HTTP://", "hTtP://"}) {
                const std::string text = std::string(offset, 'x') + scheme + "a.example/p" + std::string(40, ' ');
                const std::vector<URL> found = extract(text, subtype);
                ASSERT_EQ(found.size(), 1u) << "offset " << offset << " " << scheme;
                EXPECT_EQ(found[0].url, "a.example/p");
            }
            const std::string www = std::string(offset, 'q') + "WwW.example.org/x" + std::string(20, ' ');
            EXPECT_EQ(extract(www, subtype).size(), subtype == SAMIMESubtypePlain ? 1u : 0u) << offset;
        }
    }
    // The letters h and w everywhere, but no link.
    EXPECT_TRUE(extract(std::string(100, 'h') + std::string(100, 'W') + " ht tp:// wwwx", SAMIMESubtypePlain).empty());

    // A start is looked for only before the last 8 bytes, whatever the length.
    for (unsigned long length = 9; length < 60; ++length) {
        std::string text(length, ' ');
        const std::string link = "http://ab";
        text.replace(length - 9, link.size(), link);  // starts right before the last 8 bytes
        ASSERT_EQ(extract(text, SAMIMESubtypePlain).size(), 1u) << length;
        text = std::string(length - 8, ' ') + "http://a";
        EXPECT_TRUE(extract(text, SAMIMESubtypePlain).empty()) << length;
    }
}

TEST(ContentAnalysis, redirectsAndBackPathsAreSeenAtTheEdgesOfALink) {
    struct Case {
        std::string link;
        URL expected;
    } cases[] = {
        {"r.example/http://", URL{"", false, false, false, true, "r.example/http://"}},
        {"http://x.example/p", URL{"x.example/p", false, false, false, true, "http://x.example/p"}},
        {"a/http://b/http://c.example/z",
         URL{"c.example/z", false, false, false, true, "a/http://b/http://c.example/z"}},
        {"a/%68ttp://d.example/q", URL{"d.example/q", false, false, false, true, "a/http://d.example/q"}},
        {"h.example/a/..", URL{"h.example", false, true, false, false, "h.example/a/.."}},
        {"h.example/a/.", plainURL("h.example/a/.")},
        {"h.example/a/./b", URL{"h.example/a/b", false, true, false, false, "h.example/a/./b"}},
        {"h.example/a/.b", plainURL("h.example/a/.b")},
        {"h.example//.", plainURL("h.example//.")},
    };
    for (const Case& c : cases) {
        const std::vector<URL> found = extract("see http://" + c.link + " end of text", SAMIMESubtypePlain);
        ASSERT_EQ(found.size(), 1u) << c.link;
        EXPECT_EQ(found[0], c.expected) << c.link;
    }
}

TEST(ContentAnalysis, messageIDsOfComputersNamedWithoutADot) {
    struct Case {
        const char* id;
        bool computerName;  // a host a real client writes
        bool outlook;       // written by Outlook itself
    } cases[] = {
        {"<001b01c24a76$315c63d0$e600000a@XENON16>", true, true},
        {" <000001c2582a$e84211f0$0200a8c0@JMHALL> ", true, true},
        {"<E17huko-0000JF-00@carbon>", true, false},
        // Outlook's layout with random digits where the sending time belongs.
        {"<000c84d37aae$7338a0a4$3ab55ec5@bjjwxv>", false, false},
        {"<0000623628de$00001c5a$00005fa8@>", false, false},
        {"<abc@host.example>", false, false},
        {"<no-at-sign>", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(SAMessageID::isComputerNameID(c.id), c.computerName);
        EXPECT_EQ(SAMessageID::isOutlookComputerNameID(c.id), c.outlook);
    }
}
