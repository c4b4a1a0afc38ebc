// The MIME part parser: header block and body, header dictionary, Content-Type
// classification, transfer decoding, multipart and embedded messages, depth
// limit, header callback, addresses, and hostile input.

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "mailparse/SAEncodedString.h"
#include "mailparse/SAMutableArray.h"
#include "mailparse/tests/mimepart_test_support.h"

using namespace mimetest;

namespace {

struct EolGuard {
    ~EolGuard() { MIME_EOL_CHAR = 10; }
};

TEST(MimePart, headerBlockAndBodyAreSplitAtTheFirstBlankLine) {
    struct Case {
        const char* name;
        std::string message;
        int result;
        const char* header;  // raw header block, nullptr for none
        const char* body;    // raw body, nullptr for none
    } cases[] = {
        {"no blank line: all header, no Subject", "From: a@b.example\nX-A: 1", 8, "From: a@b.example\nX-A: 1", nullptr},
        {"leading blank line: no header", "\nbody text here", 0, nullptr, "body text here"},
        {"short body without Subject", "From: a\n\nabcd", 8, "From: a", "abcd"},
        {"short body with Subject", "Subject: s\n\nabcd", 0, "Subject: s", "abcd"},
        {"empty Subject counts as none", "Subject:\n\nab", 8, "Subject:", "ab"},
        {"long body without Subject", "From: a\n\nabcde", 0, "From: a", "abcde"},
        {"blank line at the very end", "Subject: s\n\n", 0, "Subject: s", ""},
        {"empty message", "", 0, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Parsed p = parse(c.message);
        EXPECT_EQ(p.result(), c.result);
        EXPECT_EQ(text(p->_header), c.header ? c.header : "<null>");
        EXPECT_EQ(text(p->_body), c.body ? c.body : "<null>");
        ASSERT_NE(p->_headers, nullptr);
    }
}

TEST(MimePart, crlfLineEndsNeedCrlfMode) {
    const std::string message = "Subject: hello\r\nFrom: a@b.example\r\n\r\nthe body text\r\n";
    Parsed lf = parse(message, true);
    EXPECT_EQ(lf->_body, nullptr) << "CR LF read with LF line ends has no body";
    Parsed crlf = parse(message, false);
    EXPECT_EQ(crlf.result(), 0);
    EXPECT_EQ(text(crlf->_body), "the body text\r\n");
    EXPECT_EQ(header(crlf.part(), "subject"), "hello");
    EXPECT_EQ(header(crlf.part(), "From"), "a@b.example");
}

TEST(MimePart, carriageReturnLineEndsWithTheProcessWideByte) {
    EolGuard guard;
    MIME_EOL_CHAR = 13;
    Parsed p = parse("Subject: a\r b\rContent-Type: text/plain\r\rsee http://x.example/p now\r");
    EXPECT_EQ(p.result(), 0);
    EXPECT_EQ(header(p.part(), "Subject"), "ab");
    EXPECT_EQ(p->_contentType, SAMIMETypeText);
    ASSERT_EQ(urls(p->_urls).size(), 1u);
    EXPECT_EQ(urls(p->_urls)[0].url, "x.example/p");
}

TEST(MimePart, headerValuesAreUnfoldedAndGroupedByName) {
    Parsed p = parse(
        "Subject: a\n b\n"
        "Received: from x\n\tby y\n  with z\n"
        "received: second\n"
        "X-Test:1\n"
        "X-Tab:\tvalue\n"
        "not a header line\n"
        ":no name\n"
        "X-Empty:\n"
        "\nbody");
    EXPECT_EQ(header(p.part(), "Subject"), "ab");
    EXPECT_EQ(headerValues(p.part(), "Received"), (std::vector<std::string>{"from x by y with z", "second"}));
    EXPECT_EQ(header(p.part(), "X-Test"), "1");
    EXPECT_EQ(header(p.part(), "x-tab"), "\tvalue") << "only a space after the colon is dropped";
    EXPECT_EQ(header(p.part(), "X-Empty"), "");
    EXPECT_EQ(header(p.part(), "not a header line"), "<null>");

    // The list is stored under the first spelling of the name.
    SAString exact("Received");
    SAString other("received");
    EXPECT_NE(p->_headers->objectForKey(&exact, 0), nullptr);
    EXPECT_EQ(p->_headers->objectForKey(&other, 0), nullptr);

    // The first ten names sit in reverse order of appearance.
    SARef<SAMutableArray> keys = SARef<SAMutableArray>::adopt(p->_headers->allKeys());
    EXPECT_EQ(strings(keys.get()), (std::vector<std::string>{"X-Empty", "X-Tab", "X-Test", "Received", "Subject"}));
}

TEST(MimePart, contentTypeIsClassified) {
    struct Case {
        const char* contentType;  // nullptr: no header
        int type;
        int subtype;
        int charset;
        bool spamCharset;
        bool boundaryFlag;
    } cases[] = {
        {nullptr, SAMIMETypeText, SAMIMESubtypePlain, 0, false, false},
        {"Text/HTML; Charset=UTF-8", SAMIMETypeText, SAMIMESubtypeHTML, 134217984, false, false},
        {"text/html; charset=\"UTF-8\"", SAMIMETypeText, SAMIMESubtypeHTML, 134217984, false, false},
        {"text/html (a comment); charset=iso-8859-15", SAMIMETypeText, SAMIMESubtypeHTML, 527, false, false},
        {"text/plain; charset=%CHARSET", SAMIMETypeText, SAMIMESubtypePlain, -2, true, false},
        {"text/plain; charset=x-unheard-of", SAMIMETypeText, SAMIMESubtypePlain, 0, false, false},
        {"text/plain; encoding=koi8-r", SAMIMETypeText, SAMIMESubtypePlain, 2562, false, false},
        {"text/plain; charset=big5; encoding=koi8-r", SAMIMETypeText, SAMIMESubtypePlain, 2563, false, false},
        {"text/x-vcard", SAMIMETypeText, SAMIMESubtypePlain, 0, false, false},
        {"text/enriched", SAMIMETypeText, SAMIMESubtypeEnriched, 0, false, false},
        {"text/richtext", SAMIMETypeText, SAMIMESubtypeRichtext, 0, false, false},
        {"text/calendar", SAMIMETypeText, SAMIMESubtypeCalendar, 0, false, false},
        {"text/directory", SAMIMETypeText, SAMIMESubtypeDirectory, 0, false, false},
        {"text/plain; boundary=\"xyz\"", SAMIMETypeText, SAMIMESubtypePlain, 0, false, true},
        {"application/pdf", SAMIMETypeApplication, SAMIMESubtypeOctetStream, -1, false, false},
        {"image/gif", SAMIMETypeImage, SAMIMESubtypeOther, -1, false, false},
        {"video/mpeg", SAMIMETypeVideo, SAMIMESubtypeOther, -1, false, false},
        {"audio/x-wav", SAMIMETypeAudio, SAMIMESubtypeOther, -1, false, false},
        {"model/vrml", SAMIMETypeOther, SAMIMESubtypeOther, -1, false, false},
        {"multipart/alternative", SAMIMETypeMultipart, SAMIMESubtypeAlternative, -1, false, false},
        {"multipart/x-new", SAMIMETypeMultipart, SAMIMESubtypeMixed, -1, false, false},
        {"multipart/signed; protocol=x", SAMIMETypeMultipart, SAMIMESubtypeSigned, -1, false, false},
        {"message/delivery-status", SAMIMETypeMessage, SAMIMESubtypeDeliveryStatus, 0, false, false},
        {"message/partial", SAMIMETypeMessage, SAMIMESubtypePlain, -1, false, false},
        {"", SAMIMETypeText, SAMIMESubtypePlain, 0, false, false},
        {"text/html; subtype=plain", SAMIMETypeText, SAMIMESubtypeHTML, 0, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.contentType ? c.contentType : "(none)");
        std::string head = "Subject: s\n";
        if (c.contentType)
            head += std::string("Content-Type: ") + c.contentType + "\n";
        for (const std::string& body : {std::string(), std::string("\nsome body text\n")}) {
            SCOPED_TRACE(body.empty() ? "without body" : "with body");
            Parsed p = parse(head + body);
            EXPECT_EQ(p.result(), 0);
            EXPECT_EQ(p->_contentType, c.type);
            EXPECT_EQ(p->_subtype, c.subtype);
            EXPECT_EQ(p->_charset, c.charset);
            EXPECT_EQ(p->usesSpamCharset(), c.spamCharset);
            EXPECT_EQ(p->hasBoundaryForSinglePart(), c.boundaryFlag);
        }
    }
}

TEST(MimePart, contentTypeParametersAreLowerCasedAndDequoted) {
    SAMIMEPart part(nullptr, true, nullptr, nullptr);
    SAString value("Multipart/Mixed ;\n\tBoundary=\"==AbC==\";  NAME = x; charset=UTF-8 ; q=\"ab");
    SARef<SAMutableDictionary> d = SARef<SAMutableDictionary>::adopt(part.parseContentType(&value));
    ASSERT_TRUE(d);
    EXPECT_EQ(text(d->objectForKey(sCtypeKey, 0)), "multipart");
    EXPECT_EQ(text(d->objectForKey(sSubtypeKey, 0)), "mixed");
    EXPECT_EQ(text(d->objectForKey(sBoundaryKey, 0)), "==abc==");
    SAString spacedName("name ");
    EXPECT_EQ(text(d->objectForKey(&spacedName, 0)), "x") << "a name runs to the '='";
    EXPECT_EQ(text(d->objectForKey(sCharset, 0)), "utf-8 ") << "trailing blanks stay in a value";
    SAString q("q");
    EXPECT_EQ(text(d->objectForKey(&q, 0)), "\"ab") << "dequoting needs quotes at both ends";

    SAString noSlash("text");
    SARef<SAMutableDictionary> t = SARef<SAMutableDictionary>::adopt(part.parseContentType(&noSlash));
    EXPECT_EQ(text(t->objectForKey(sCtypeKey, 0)), "text");
    EXPECT_EQ(t->objectForKey(sSubtypeKey, 0), nullptr);
    EXPECT_EQ(part.parseContentType(nullptr), nullptr);
}

TEST(MimePart, commentsAndFoldsAreRemovedFromValues) {
    SAMIMEPart part(nullptr, true, nullptr, nullptr);
    struct Case {
        const char* in;
        const char* out;
    } comments[] = {
        {"  base64 (the usual) ", "base64"},
        {"a (nested (comment) still) b", "a  b"},
        {"\"(quoted)\" x", "\"(quoted)\" x"},
        {"a ) b", "a ) b"},
        {"(only a comment)", ""},
        {"\t\r\nvalue\t\r\n ", "value"},
        {"a (unterminated", "a"},
    };
    for (const auto& c : comments) {
        SAString in(c.in);
        SARef<SAString> out = SARef<SAString>::adopt(part.copyWithoutComments(&in));
        EXPECT_EQ(text(out.get()), c.out) << c.in;
    }
    EXPECT_EQ(part.copyWithoutComments(nullptr), nullptr);

    SAString folded("a\n \t b\nc");
    SARef<SAString> kept = SARef<SAString>::adopt(part.copyWithoutLinearWhiteSpace(&folded, true));
    SARef<SAString> dropped = SARef<SAString>::adopt(part.copyWithoutLinearWhiteSpace(&folded, false));
    EXPECT_EQ(text(kept.get()), "a b\nc");
    EXPECT_EQ(text(dropped.get()), "ab\nc");
}

TEST(MimePart, bodiesAreDecodedByTransferEncoding) {
    struct Case {
        const char* encoding;
        const char* body;
        int code;
        const char* content;  // nullptr: decoding failed
    } cases[] = {
        {"quoted-printable", "caf=E9 =3D ok=\nay\n", SAMIMEEncodingQuotedPrintable, "caf\xE9 = okay\n"},
        {"BASE64", "aGVsbG8gd29y\nbGQ=\n", SAMIMEEncodingBase64, "hello world"},
        {"base64 (comment)", "aGVsbG8=", SAMIMEEncodingBase64, "hello"},
        {"base64", "aGVsbG8gd29ybG", SAMIMEEncodingBase64, "hello wor"},
        {"x-uuencode", "begin 644 f\n#86)C\n`\nend\n", SAMIMEEncodingUuencode, "begin 644 f\n#86)C\n`\nend\n"},
        {"8bit", "plain \xE9 text", SAMIMEEncodingIdentity, "plain \xE9 text"},
        {"x-gzip", "zzzzzz", SAMIMEEncodingIdentity, "zzzzzz"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.encoding);
        for (bool withType : {true, false}) {
            SCOPED_TRACE(withType ? "text/plain" : "no Content-Type");
            std::string message = std::string("Subject: s\n") + (withType ? "Content-Type: text/plain\n" : "") +
                                  "Content-Transfer-Encoding: " + c.encoding + "\n\n" + c.body;
            Parsed p = parse(message);
            EXPECT_EQ(p.result(), 0);
            EXPECT_EQ(p->_transferEncoding, c.code);
            EXPECT_EQ(text(p->_content), c.content);
            EXPECT_EQ(text(p->_textContent), c.content);
        }
    }
}

TEST(MimePart, undecodableTextKeepsThePartWithoutContent) {
    const std::string message = "Subject: s\nContent-Type: text/html\nContent-Transfer-Encoding: base64\n\n";
    Parsed p = parse(message);
    EXPECT_EQ(p.result(), 0);
    EXPECT_EQ(p->_content, nullptr);
    EXPECT_EQ(p->_textContent, nullptr);
    EXPECT_EQ(p->_urls, nullptr);
    EXPECT_EQ(p->_subtype, SAMIMESubtypeHTML);

    testing::internal::CaptureStdout();
    Parsed untyped = parse("Subject: s\nContent-Transfer-Encoding: base64\n\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "SAMimePart (No content-type): decoding failed\n");
    EXPECT_EQ(untyped->_content, nullptr);
}

TEST(MimePart, nonTextPartsKeepTheirRawBody) {
    Parsed p = parse(
        "Subject: s\nContent-Type: application/pdf\nContent-Transfer-Encoding: base64\n\n"
        "JVBERi0xLjQK http://not.a.link.example/x\n");
    EXPECT_EQ(p->_contentType, SAMIMETypeApplication);
    EXPECT_EQ(text(p->_content), "JVBERi0xLjQK http://not.a.link.example/x\n");
    EXPECT_EQ(p->_textContent, nullptr);
    EXPECT_EQ(p->_urls, nullptr);
    EXPECT_EQ(p->_addresses, nullptr);
}

std::string multipart(const std::string& boundaryParameter, const std::string& body) {
    return "Subject: parts\nContent-Type: multipart/mixed; boundary=" + boundaryParameter + "\n\n" + body;
}

TEST(MimePart, multipartBodiesAreSplitAtDelimiters) {
    struct Case {
        const char* name;
        std::string message;
        std::vector<std::string> children;  // raw data of each child
    } cases[] = {
        {"preamble and epilogue are ignored",
         multipart("\"XyZ\"", "preamble\n--XyZ\nA: 1\n\none\n--xyz\n\ntwo\n--XYZ--\nepilogue\n"),
         {"A: 1\n\none", "\ntwo"}},
        {"unclosed last part loses its last byte",
         multipart("b", "--b\n\nfirst\n--b\n\nlast part\n"),
         {"\nfirst", "\nlast part"}},
        {"a delimiter must start a line", multipart("b", "--b\n\nx --b y\n--b--\n"), {"\nx --b y"}},
        {"a longer boundary is not a delimiter", multipart("b", "--b\n\nx\n--bb\ny\n--b--"), {"\nx\n--bb\ny"}},
        {"delimiter followed by a dash", multipart("b", "--b\n\nx\n--b-\n\ny\n--b--"), {"\nx", "\n\ny"}},
        {"delimiter at the very end", multipart("b", "--b\n\nx\n--b"), {"\nx"}},
        {"adjacent delimiters give an empty part", multipart("b", "--b\n--b\n\nx\n--b--"), {"", "\nx"}},
        {"no delimiter at all", multipart("b", "just text\n"), {}},
        {"closing delimiter first", multipart("b", "--b--\n--b\n\nx\n--b--"), {}},
        {"missing boundary parameter", "Subject: s\nContent-Type: multipart/mixed\n\n--b\n\nx\n--b--", {}},
        {"encrypted parts are not split",
         "Subject: s\nContent-Type: multipart/encrypted; boundary=b\n\n--b\n\nx\n--b--",
         {}},
        {"only one byte after the last delimiter", multipart("b", "--b\n\nx\n--b\nz"), {"\nx"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Parsed p = parse(c.message);
        EXPECT_EQ(p.result(), 0);
        EXPECT_EQ(p->_contentType, SAMIMETypeMultipart);
        EXPECT_EQ(p->_textContent, nullptr);
        ASSERT_EQ(childCount(p.part()), c.children.size());
        for (unsigned long i = 0; i < c.children.size(); ++i) {
            EXPECT_EQ(text(child(p.part(), i)->_data), c.children[i]) << "child " << i;
            EXPECT_EQ(child(p.part(), i)->_depth, 1);
        }
    }
}

TEST(MimePart, childrenPointIntoTheMessageBytesAndAreParsed) {
    Parsed p = parse(
        "Subject: s\r\nContent-Type: multipart/alternative; boundary=\"=_b\"\r\n\r\n"
        "--=_b\r\nContent-Type: text/plain; charset=koi8-r\r\n\r\nmail me at someone@host.example\r\n"
        "--=_b\r\nContent-Type: text/html\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
        "<p>hi=\r\n there</p>\r\n"
        "--=_b--\r\n",
        false);
    ASSERT_EQ(p.result(), 0);
    ASSERT_EQ(childCount(p.part()), 2u);
    SAMIMEPart* plain = child(p.part(), 0);
    SAMIMEPart* html = child(p.part(), 1);
    EXPECT_EQ(plain->_charset, 2562);
    EXPECT_EQ(text(plain->_content), "mail me at someone@host.example");
    EXPECT_EQ(strings(plain->_addresses), std::vector<std::string>{"someone@host.example"});
    // The child's bytes are a view into the message, not a copy.
    EXPECT_GE(plain->_data->bytes(), p.data()->bytes());
    EXPECT_LE(plain->_data->bytes() + plain->_data->length(), p.data()->bytes() + p.data()->length());
    EXPECT_FALSE(plain->_data->isOwner());
    EXPECT_EQ(html->_subtype, SAMIMESubtypeHTML);
    EXPECT_EQ(html->_transferEncoding, SAMIMEEncodingQuotedPrintable);
    EXPECT_EQ(text(html->_content), "<p>hi\n there</p>") << "CR LF soft breaks leave the LF";
    EXPECT_TRUE(p->containsExoticCharset());
}

TEST(MimePart, embeddedMessagesBecomeTheOnlyChild) {
    Parsed p = parse(
        "Subject: outer\nContent-Type: message/rfc822\n\n"
        "Subject: inner\nContent-Type: text/plain\n\ninner text\n");
    ASSERT_EQ(p.result(), 0);
    ASSERT_EQ(childCount(p.part()), 1u);
    EXPECT_EQ(text(p->_content), "Subject: inner\nContent-Type: text/plain\n\ninner text\n");
    EXPECT_EQ(p->_textContent, nullptr);
    EXPECT_EQ(header(child(p.part(), 0), "Subject"), "inner");
    EXPECT_EQ(text(child(p.part(), 0)->_content), "inner text\n");
}

std::string nestedMessages(int levels) {
    std::string message;
    for (int i = 0; i < levels; ++i)
        message += "Subject: level\nContent-Type: message/rfc822\n\n";
    return message + "Subject: last\n\nthe innermost text\n";
}

std::string nestedMultiparts(int levels) {
    std::string open, close;
    for (int i = 0; i < levels; ++i) {
        std::string b = "b" + std::to_string(i);
        open += "Content-Type: multipart/mixed; boundary=" + b + "\n\n--" + b + "\n";
        close = "\n--" + b + "--" + close;
    }
    return "Subject: deep\n" + open + "\nleaf text" + close;
}

TEST(MimePart, nestingIsLimitedToOneHundredLevelsBelowTheTop) {
    // n embedded messages put the innermost part at depth n.
    EXPECT_EQ(parse(nestedMessages(100)).result(), 0);
    EXPECT_EQ(parse(nestedMessages(101)).result(), -1);
    EXPECT_EQ(parse(nestedMessages(5000)).result(), -1);
    EXPECT_EQ(parse(nestedMultiparts(100)).result(), 0);
    Parsed deep = parse(nestedMultiparts(101));
    EXPECT_EQ(deep.result(), -1);

    Parsed ok = parse(nestedMessages(100));
    SAMIMEPart* part = ok.part();
    int depth = 0;
    while (childCount(part) == 1) {
        part = child(part, 0);
        ++depth;
    }
    EXPECT_EQ(depth, 100);
    EXPECT_EQ(part->_depth, 100);
    EXPECT_EQ(text(part->_content), "the innermost text\n");
}

TEST(MimePart, aFailingChildEndsTheSplitButKeepsEarlierChildren) {
    std::string tooDeep = nestedMessages(100);  // depth 101 once below the multipart
    Parsed p = parse(multipart("b", "--b\n\nfirst\n--b\n" + tooDeep + "\n--b\n\nthird\n--b--\n"));
    EXPECT_EQ(p.result(), -1);
    ASSERT_EQ(childCount(p.part()), 1u);
    EXPECT_EQ(text(child(p.part(), 0)->_data), "\nfirst");
}

struct CallbackLog {
    int calls = 0;
    std::string subject;
    int answer = 0;
};

int recordHeaders(SADictionary* headers, void* context) {
    auto* log = static_cast<CallbackLog*>(context);
    ++log->calls;
    SAObject* list = headers->objectForKey(sSubjectKey, 1);
    if (list)
        log->subject = text(static_cast<SAArray*>(list)->objectAtIndex(0));
    return log->answer;
}

TEST(MimePart, theHeaderCallbackDecidesBeforeTheBodyIsParsed) {
    const std::string message = "Subject: offer\nContent-Type: text/plain\n\nvisit http://spam.example/now please\n";
    struct Case {
        int answer;
        bool skip;
        bool isMessage;
        int calls;
        int result;
        bool bodyParsed;
    } cases[] = {
        {3, false, true, 1, 3, false},
        {0, false, true, 1, 0, true},
        {3, true, true, 0, 0, true},
        {3, false, false, 0, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "answer " << c.answer << " skip " << c.skip << " message " << c.isMessage);
        CallbackLog log;
        log.answer = c.answer;
        Parsed p = parse(message, true, c.isMessage, recordHeaders, &log, c.skip);
        EXPECT_EQ(log.calls, c.calls);
        EXPECT_EQ(p.result(), c.result);
        EXPECT_EQ(p->_content != nullptr, c.bodyParsed);
        if (c.calls) {
            EXPECT_EQ(log.subject, "offer");
        }
    }
}

TEST(MimePart, headerAccessors) {
    Parsed p = parse(
        "From: \"Doe, John\" <john.doe@example.com> (work)\n"
        "Subject: =?iso-8859-1?Q?caf=E9?= menu\n"
        "Message-ID: <123@example.com>\n"
        "Reply-To: jane (Jane) @ example.org\n"
        "\nbody text here\n");
    SARef<SAString> from = SARef<SAString>::adopt(p->copyAddressFromField(sFromKey));
    EXPECT_EQ(text(from.get()), "john.doe@example.com");
    SAString replyTo("reply-to");
    SARef<SAString> reply = SARef<SAString>::adopt(p->copyAddressFromField(&replyTo));
    EXPECT_EQ(text(reply.get()), "jane@example.org");
    SAString missing("Sender");
    EXPECT_EQ(p->copyAddressFromField(&missing), nullptr);
    SARef<SAString> id = SARef<SAString>::adopt(p->copyMessageID());
    EXPECT_EQ(text(id.get()), "<123@example.com>");
    SARef<SAEncodedString> subject = SARef<SAEncodedString>::adopt(p->copySubject());
    ASSERT_TRUE(subject);
    ASSERT_NE(subject->segments(), nullptr);
    EXPECT_EQ(subject->segments()->count(), 2u);
    SARef<SAEncodedString> sender = SARef<SAEncodedString>::adopt(p->copyFrom());
    EXPECT_TRUE(sender);

    Parsed bare = parse("\nno headers at all here");
    EXPECT_EQ(bare->copySubject(), nullptr);
    EXPECT_EQ(bare->copyMessageID(), nullptr);
}

TEST(MimePart, copyAddressKeepsTheBareAddress) {
    struct Case {
        const char* value;
        const char* address;
    } cases[] = {
        {"\"Jane Roe\" <jane@example.org>", "jane@example.org"},
        {"jane@example.org (Jane Roe)", "jane@example.org"},
        {"Jane Roe", "JaneRoe"},
        {"<a@b.example> trailing", "a@b.example"},
        {"\"<fake@x.example>\" real@y.example", "real@y.example"},
        {"first <one@x.example>, second <two@x.example>", "one@x.example"},
        {"", ""},
    };
    for (const Case& c : cases) {
        SAString value(c.value);
        SARef<SAString> address = SARef<SAString>::adopt(SAMIMEPart::copyAddress(&value));
        EXPECT_EQ(text(address.get()), c.address) << c.value;
    }
    EXPECT_EQ(SAMIMEPart::copyAddress(nullptr), nullptr);
}

TEST(MimePart, descriptionShowsHeadersPartsAndContent) {
    Parsed p = parse(multipart("b", "--b\nContent-Type: text/plain\n\nhello\n--b--\n"));
    testing::internal::CaptureStdout();
    p->description();
    std::string out = testing::internal::GetCapturedStdout();
    const std::string separator = "------------8<----------------8<-------------8<---------\n";
    EXPECT_EQ(out.find("(HEADERS)\n"), 0u);
    EXPECT_NE(out.find("PARTS:\n" + separator), std::string::npos);
    EXPECT_NE(out.find("(CONTENT)\n"), std::string::npos) << "the child shows its content";
    EXPECT_EQ(out.rfind(separator) + separator.size(), out.size()) << "a separator closes the list";

    Parsed empty = parse("");
    testing::internal::CaptureStdout();
    empty->description();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "(CONTENT)\nNULL\n");
}

TEST(MimePart, processingTwiceGivesTheSameTree) {
    Parsed p = parse(multipart("b", "--b\n\none\n--b\n\ntwo\n--b--\n"));
    ASSERT_EQ(childCount(p.part()), 2u);
    EXPECT_EQ(p->process(true, true), 0);
    EXPECT_EQ(childCount(p.part()), 2u);
    EXPECT_EQ(headerValues(p.part(), "Subject").size(), 1u);
}

// ---------------------------------------------------------------------------
// Hostile input: each must finish, stay inside its buffers and keep the tree sound.

TEST(MimePartHostile, oneHundredThousandParts) {
    std::string body;
    const int parts = 100000;
    body.reserve(parts * 8);
    for (int i = 0; i < parts; ++i)
        body += "--b\n\nx\n";
    body += "--b--\n";
    Parsed p = parse(multipart("b", body));
    EXPECT_EQ(p.result(), 0);
    ASSERT_EQ(childCount(p.part()), static_cast<unsigned long>(parts));
    EXPECT_EQ(text(child(p.part(), parts - 1)->_content), "x");
}

TEST(MimePartHostile, boundaryThatNeverClosesAndNeverAppears) {
    std::string body(2 * 1024 * 1024, 'a');
    for (std::size_t i = 100; i < body.size(); i += 100)
        body[i] = '\n';
    Parsed none = parse(multipart("never", body));
    EXPECT_EQ(none.result(), 0);
    EXPECT_EQ(childCount(none.part()), 0u);
    Parsed open = parse(multipart("open", "--open\n\n" + body));
    EXPECT_EQ(childCount(open.part()), 1u);
    EXPECT_EQ(child(open.part(), 0)->_data->length(), body.size()) << "the newline after the headers and the last byte";
}

TEST(MimePartHostile, fiftyMegabyteHeaderLine) {
    std::string line = "X-Big: " + std::string(50 * 1024 * 1024, 'v');
    Parsed p = parse("Subject: s\n" + line + "\n\nbody text\n");
    EXPECT_EQ(p.result(), 0);
    SAString key("X-Big");
    EXPECT_EQ(p->headerValueForKey(&key)->length(), 50u * 1024 * 1024);
    EXPECT_EQ(text(p->_content), "body text\n");

    std::string contentType = "Content-Type: text/plain; charset=" + std::string(10 * 1024 * 1024, ' ') + "\n";
    Parsed q = parse("Subject: s\n" + contentType + "\nbody text\n");
    EXPECT_EQ(q.result(), 0);
}

TEST(MimePartHostile, manyParametersAndManyHeaderNames) {
    std::string contentType = "Content-Type: multipart/mixed; boundary=b";
    for (int i = 0; i < 10000; ++i)
        contentType += "; p" + std::to_string(i) + "=v";
    Parsed p = parse("Subject: s\n" + contentType + "\n\n--b\n\nx\n--b--\n");
    EXPECT_EQ(p.result(), 0);
    EXPECT_EQ(childCount(p.part()), 1u);

    std::string headers = "Subject: s\n";
    for (int i = 0; i < 200000; ++i)
        headers += "X-H" + std::to_string(i) + ": v\nReceived: r\n";
    Parsed h = parse(headers + "\nbody text\n");
    EXPECT_EQ(h.result(), 0);
    EXPECT_EQ(header(h.part(), "Subject"), "s");
    EXPECT_EQ(headerValues(h.part(), "Received").size(), 200000u) << "values of a known name are never dropped";
    EXPECT_LE(h->_headers->count(), 1000u) << "distinct names are bounded";
}

TEST(MimePartHostile, nulBytesAndTruncatedEncodings) {
    std::string message = std::string("Subject: a") + '\0' + "b\nContent-Type: text/plain\n" +
                          "Content-Transfer-Encoding: base64\n\nSGVsbG8" + '\0' + "gd29y";
    Parsed p = parse(message);
    EXPECT_EQ(p.result(), 0);
    EXPECT_EQ(headerValues(p.part(), "Subject"), std::vector<std::string>{std::string("a\0b", 3)});
    EXPECT_EQ(text(p->_content), "Hello wor");

    std::string nuls(4096, '\0');
    Parsed q = parse(nuls);
    EXPECT_EQ(q.result(), 8);
    Parsed r = parse("Subject: s\nContent-Type: text/html\nContent-Transfer-Encoding: quoted-printable\n\nab=4");
    EXPECT_EQ(text(r->_content), "ab");
}

TEST(MimePartHostile, brokenHtmlBodies) {
    const std::string head = "Subject: s\nContent-Type: text/html\n\n";
    const std::string bodies[] = {
        std::string(1024 * 1024, '<'),
        "<html><body><!-- never closed " + std::string(512 * 1024, 'x'),
        "<a href=\"http://x.example/" + std::string(512 * 1024, 'y'),
        std::string(256 * 1024, 'h') + std::string(256 * 1024, '\n') + "ttp://x.example/",
        [] {
            std::string s;
            for (int i = 0; i < 100000; ++i)
                s += "<span style=\"display:none\"><font color=white><td bgcolor=#fff>";
            return s;
        }(),
    };
    for (const std::string& body : bodies) {
        Parsed p = parse(head + body);
        EXPECT_EQ(p.result(), 0);
        EXPECT_EQ(p->_subtype, SAMIMESubtypeHTML);
        ASSERT_NE(p->_content, nullptr);
        EXPECT_EQ(p->_content->length(), body.size()) << "links are blanked, never removed";
    }
}

TEST(MimePartHostile, crOnlyMessageReadWithLineFeeds) {
    std::string message = "Subject: s\rContent-Type: multipart/mixed; boundary=b\r\r--b\r\rx\r--b--\r";
    Parsed p = parse(message);
    EXPECT_EQ(p->_body, nullptr) << "without LF it is all header";
    EXPECT_EQ(p.result(), 0) << "a Subject was found";
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------
// Sample messages of tests/data: each part's path, classification and findings.

struct PartSummary {
    std::string path;
    int type;
    int subtype;
    int charset;
    int encoding;
    std::vector<std::string> urls;
    std::vector<std::string> addresses;
};

void summarise(SAMIMEPart* part, const std::string& path, std::vector<PartSummary>& out) {
    PartSummary s{
        path, part->_contentType,       part->_subtype, static_cast<int>(part->_charset), part->_transferEncoding,
        {},   strings(part->_addresses)};
    for (const URL& u : urls(part->_urls))
        s.urls.push_back(u.url);
    out.push_back(s);
    for (unsigned long i = 0; i < childCount(part); ++i)
        summarise(child(part, i), path + "." + std::to_string(i + 1), out);
}

TEST(MimePartSamples, sampleMessagesParseIntoTheirParts) {
    const int utf8 = 134217984;
    struct Case {
        const char* file;
        std::vector<PartSummary> parts;
    } cases[] = {
        {"newsletter-alternative.eml",
         {{"1", SAMIMETypeMultipart, SAMIMESubtypeAlternative, -1, 0, {}, {}},
          {"1.1",
           SAMIMETypeText,
           SAMIMESubtypePlain,
           utf8,
           SAMIMEEncodingQuotedPrintable,
           {"www.example.org/weekly/2026-49/cafes", "lists.example.org/unsubscribe?id=12345"},
           {"editors@lists.example.org"}},
          {"1.2",
           SAMIMETypeText,
           SAMIMESubtypeHTML,
           utf8,
           SAMIMEEncodingQuotedPrintable,
           {"www.example.org/weekly/2026-49/cafes", "lists.example.org/unsubscribe?id=12345"},
           {"editors@lists.example.org", "editors@lists.example.org"}}}},
        {"spam-tricks.eml",
         {{"1", SAMIMETypeMultipart, SAMIMESubtypeAlternative, -1, 0, {}, {}},
          {"1.1", SAMIMETypeText, SAMIMESubtypeHTML, -2, SAMIMEEncodingBase64, {"pharma.example/pills"}, {}}}},
        {"bounce-report.eml",
         {{"1", SAMIMETypeMultipart, SAMIMESubtypeReport, -1, 0, {}, {}},
          {"1.1", SAMIMETypeText, SAMIMESubtypePlain, 0, 0, {}, {"nobody@example.net"}},
          {"1.2", SAMIMETypeMessage, SAMIMESubtypeDeliveryStatus, 0, 0, {}, {}},
          {"1.3", SAMIMETypeMessage, SAMIMESubtypeRFC822, -1, 0, {}, {}},
          {"1.3.1", SAMIMETypeText, SAMIMESubtypePlain, 513, 0, {"wiki.example.org/meetings/2026-12-07"}, {}}}},
        {"japanese.eml", {{"1", SAMIMETypeText, SAMIMESubtypePlain, 2080, 0, {"www.example.jp/info"}, {}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        Parsed p = parse(sample(c.file));
        ASSERT_EQ(p.result(), 0);
        std::vector<PartSummary> got;
        summarise(p.part(), "1", got);
        ASSERT_EQ(got.size(), c.parts.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            SCOPED_TRACE(got[i].path);
            EXPECT_EQ(got[i].path, c.parts[i].path);
            EXPECT_EQ(got[i].type, c.parts[i].type);
            EXPECT_EQ(got[i].subtype, c.parts[i].subtype);
            EXPECT_EQ(got[i].charset, c.parts[i].charset);
            EXPECT_EQ(got[i].encoding, c.parts[i].encoding);
            EXPECT_EQ(got[i].urls, c.parts[i].urls);
            EXPECT_EQ(got[i].addresses, c.parts[i].addresses);
        }
    }
}

TEST(MimePartSamples, spamSampleAnswersItsChecks) {
    Parsed spam = parse(sample("spam-tricks.eml"));
    EXPECT_TRUE(spam->usesWhiteTrick());
    EXPECT_TRUE(spam->usesSpamCharset());
    EXPECT_TRUE(spam->usesTooManySpanDisplayNone());
    EXPECT_TRUE(spam->useTextBase64Encoding());
    EXPECT_TRUE(spam->hasStrangeHierarchy());
    EXPECT_FALSE(spam->usesSmallFontTrick());
    SAMIMEPart* html = child(spam.part(), 0);
    ASSERT_NE(html, nullptr);
    std::vector<URL> links = urls(html->_urls);
    ASSERT_EQ(links.size(), 1u);
    EXPECT_TRUE(links[0].redirected);
    EXPECT_TRUE(links[0].encoded);
    EXPECT_EQ(text(html->_simplifiedText).find("grandmother"), std::string::npos) << "white text is not shown";

    Parsed ham = parse(sample("newsletter-alternative.eml"));
    for (auto check : {&SAMIMEPart::usesWhiteTrick, &SAMIMEPart::usesSpamCharset, &SAMIMEPart::hasStrangeHierarchy,
                       &SAMIMEPart::useTextBase64Encoding, &SAMIMEPart::containsExoticCharset})
        EXPECT_FALSE((ham.part()->*check)());
    SARef<SAEncodedString> subject = SARef<SAEncodedString>::adopt(ham->copySubject());
    ASSERT_TRUE(subject);
    EXPECT_EQ(subject->segments()->count(), 2u);
    EXPECT_EQ(headerValues(ham.part(), "Received").size(), 2u);
    EXPECT_TRUE(parse(sample("japanese.eml"))->containsJapaneseCharset());
}

}  // namespace

TEST(MimePart, manyHeaderNamesKeepTheirGroupsAndSlotOrder) {
    // 300 names in mixed spellings, each repeated: the values group under the
    // first spelling, and the first ten names sit in reverse order, the rest
    // after them in order of appearance.
    std::string message;
    std::vector<std::string> names;
    for (int i = 0; i < 300; ++i) {
        names.push_back("X-Name-" + std::to_string(i));
        message += names.back() + ": first " + std::to_string(i) + "\n";
    }
    for (int i = 299; i >= 0; --i) {
        std::string other = names[i];
        for (char& c : other)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        message += other + ":second\n continued\n";
    }
    Parsed p = parse(message + "Subject: s\n\nbody text\n");
    std::vector<std::string> expected(names.rend() - 10, names.rend());
    expected.insert(expected.end(), names.begin() + 10, names.end());
    expected.push_back("Subject");
    SARef<SAMutableArray> keys = SARef<SAMutableArray>::adopt(p->_headers->allKeys());
    EXPECT_EQ(strings(keys.get()), expected);
    for (int i : {0, 9, 10, 150, 299}) {
        EXPECT_EQ(headerValues(p.part(), names[i].c_str()),
                  (std::vector<std::string>{"first " + std::to_string(i), "secondcontinued"}))
            << names[i];
    }
}
