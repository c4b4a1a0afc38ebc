// junkward-mime: shows what the filter sees in one message: the parse tree,
// the links and addresses found in each part, and the answer of every check
// the engine asks of the tree.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mailparse/SAData.h"
#include "mailparse/SAMimePart.h"
#include "mailparse/SAMutableArray.h"
#include "mailparse/SAMutableDictionary.h"
#include "mailparse/SANumber.h"
#include "mailparse/SARef.h"
#include "mailparse/SAString.h"

namespace {

constexpr const char* kUsage =
    "Usage: junkward-mime [OPTIONS] [FILE]\n"
    "\n"
    "Parses one e-mail message (FILE, or standard input when FILE is absent or \"-\")\n"
    "the way the Junkward engine does, and prints what the filter sees in it:\n"
    "\n"
    "  1. the result of parsing (0 success, -1 nesting too deep, 8 empty message);\n"
    "  2. the parse tree: every part's headers, then its child parts or a hex dump\n"
    "     of its decoded content, then its link records and addresses;\n"
    "  3. a summary of each part: type, subtype, charset, transfer encoding, the\n"
    "     trick flags it set, its links (with the Arobaced, Backpathed, Encoded and\n"
    "     Redirected flags) and its e-mail addresses;\n"
    "  4. the answer of every check the engine asks of the whole tree (white text,\n"
    "     small fonts, unknown tags, placeholder charsets, text after </html>,\n"
    "     hidden spans, floating layout, boundaries on single parts, base64 HTML,\n"
    "     odd multipart structure, Japanese and exotic charsets).\n"
    "\n"
    "When a verdict surprises you, this shows which part and which check caused it.\n"
    "\n"
    "Options:\n"
    "  --cr          lines end with CR alone (as messages from Entourage)\n"
    "  --crlf        lines end with CR LF (the engine itself reads LF or CR)\n"
    "  --no-tree     leave out the parse tree (section 2)\n"
    "  -h, --help    show this text\n"
    "\n"
    "Exit status: 0 when the message was read, 1 when it could not be, 2 for bad options.\n";

const char* const kTypeNames[] = {"multipart", "message", "text", "application", "image", "video", "audio", "other"};

const char* subtypeName(int code) {
    static const char* const names[] = {"plain",        "html",           "richtext",    "enriched",  "calendar",
                                        "directory",    "mixed",          "alternative", "parallel",  "digest",
                                        "related",      "report",         "signed",      "encrypted", "rfc822",
                                        "octet-stream", "delivery-status"};
    if (code >= 0 && code < static_cast<int>(sizeof names / sizeof names[0]))
        return names[code];
    return code == SAMIMESubtypeOther ? "(any)" : "?";
}

const char* typeName(int code) { return (code >= 0 && code < 8) ? kTypeNames[code] : "?"; }

const char* encodingName(int code) {
    static const char* const names[] = {"identity", "quoted-printable", "base64", "x-uuencode"};
    return (code >= 0 && code < 4) ? names[code] : "?";
}

bool readAll(std::FILE* in, std::vector<unsigned char>& out) {
    unsigned char buffer[65536];
    for (;;) {
        std::size_t got = std::fread(buffer, 1, sizeof buffer, in);
        out.insert(out.end(), buffer, buffer + got);
        if (got < sizeof buffer)
            return !std::ferror(in);
    }
}

/// Prints `s` with control bytes and bytes above 126 escaped, so hostile
/// content cannot drive the terminal.
void printEscaped(const SAString* s) {
    if (!s || !s->cString()) {
        std::fputs("(null)", stdout);
        return;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(s->cString());
    for (unsigned long i = 0; i < s->length(); ++i) {
        unsigned char c = p[i];
        if (c >= 0x20 && c < 0x7F && c != '\\')
            std::putchar(c);
        else
            std::printf("\\x%02x", c);
    }
}

bool flag(SAMutableDictionary* record, SAString* key) {
    SAObject* value = record->objectForKey(key, 0);
    return value && value->isKindOfClass(GETIDSANumber()) && static_cast<SANumber*>(value)->boolValue();
}

void printSummary(SAMIMEPart* part, const std::string& path) {
    std::printf("MIME part %s (depth %d): %s/%s", path.c_str(), part->_depth, typeName(part->_contentType),
                subtypeName(part->_subtype));
    std::printf(", type %d, subtype %d, charset %d, transfer encoding %s\n", part->_contentType, part->_subtype,
                static_cast<int>(part->_charset), encodingName(part->_transferEncoding));
    std::printf(
        "  content %lu bytes, text content %lu bytes, simplified text %lu bytes, %lu child part(s)\n",
        part->_content ? part->_content->length() : 0UL, part->_textContent ? part->_textContent->length() : 0UL,
        part->_simplifiedText ? part->_simplifiedText->length() : 0UL, part->_parts ? part->_parts->count() : 0UL);

    struct {
        const char* name;
        bool set;
    } flags[] = {
        {"white trick", part->_whiteTrick},
        {"small-font trick", part->_smallFontTrick},
        {"too many wrong tags", part->_tooManyWrongTags},
        {"spam charset", part->_spamCharset},
        {"text after HTML", part->_afterHTML},
        {"boundary on a single part", part->_boundaryForSinglePart},
        {"too many invisible spans", part->_tooManySpanDisplayNone},
        {"float-left trick", part->_floatLeftTrick},
    };
    std::string set;
    for (const auto& f : flags)
        if (f.set)
            set += set.empty() ? f.name : std::string(", ") + f.name;
    std::printf("  flags: %s\n", set.empty() ? "none" : set.c_str());

    unsigned long urlCount = part->_urls ? part->_urls->count() : 0;
    for (unsigned long i = 0; i < urlCount; ++i) {
        SAObject* object = part->_urls->objectAtIndex(i);
        if (!object->isKindOfClass(GETIDSAMutableDictionary()))
            continue;
        auto* record = static_cast<SAMutableDictionary*>(object);
        std::fputs("  URL: ", stdout);
        SAObject* url = record->objectForKey(sURLURLKey, 0);
        printEscaped(url && url->isKindOfClass(GETIDSAString()) ? static_cast<SAString*>(url) : nullptr);
        std::printf("  [Arobaced %d, Backpathed %d, Encoded %d, Redirected %d]", flag(record, sURLArobacedKey),
                    flag(record, sURLBackpathedKey), flag(record, sURLEncodedKey), flag(record, sURLRedirectedKey));
        SAObject* original = record->objectForKey(sOriginalURLURLKey, 0);
        if (original && original->isKindOfClass(GETIDSAString())) {
            std::fputs(" original: ", stdout);
            printEscaped(static_cast<SAString*>(original));
        }
        std::putchar('\n');
    }
    unsigned long addressCount = part->_addresses ? part->_addresses->count() : 0;
    for (unsigned long i = 0; i < addressCount; ++i) {
        SAObject* object = part->_addresses->objectAtIndex(i);
        std::fputs("  Address: ", stdout);
        printEscaped(object->isKindOfClass(GETIDSAString()) ? static_cast<SAString*>(object) : nullptr);
        std::putchar('\n');
    }

    unsigned long childCount = part->_parts ? part->_parts->count() : 0;
    for (unsigned long i = 0; i < childCount; ++i)
        printSummary(static_cast<SAMIMEPart*>(part->_parts->objectAtIndex(i)), path + "." + std::to_string(i + 1));
}

}  // namespace

int main(int argc, char** argv) {
    bool crlf = false;
    bool cr = false;
    bool tree = true;
    const char* file = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (!std::strcmp(a, "-h") || !std::strcmp(a, "--help")) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (!std::strcmp(a, "--cr")) {
            cr = true;
        } else if (!std::strcmp(a, "--crlf")) {
            crlf = true;
        } else if (!std::strcmp(a, "--no-tree")) {
            tree = false;
        } else if (!std::strcmp(a, "-") || a[0] != '-') {
            if (file) {
                std::fprintf(stderr, "junkward-mime: only one message at a time\n");
                return 2;
            }
            file = a;
        } else {
            std::fprintf(stderr, "junkward-mime: unknown option %s (see --help)\n", a);
            return 2;
        }
    }
    if (cr && crlf) {
        std::fprintf(stderr, "junkward-mime: --cr and --crlf exclude each other\n");
        return 2;
    }

    std::vector<unsigned char> bytes;
    std::FILE* in = stdin;
    if (file && std::strcmp(file, "-") != 0) {
        in = std::fopen(file, "rb");
        if (!in) {
            std::fprintf(stderr, "junkward-mime: %s: %s\n", file, std::strerror(errno));
            return 1;
        }
    }
    bool ok = readAll(in, bytes);
    if (in != stdin)
        std::fclose(in);
    if (!ok) {
        std::fprintf(stderr, "junkward-mime: %s: read error\n", file ? file : "standard input");
        return 1;
    }

    if (cr)
        MIME_EOL_CHAR = 13;
    // The parser edits HTML links in place, so it gets its own copy.
    SARef<SAData> data = SARef<SAData>::adopt(new SAData(bytes.data(), bytes.size(), false));
    SARef<SAMIMEPart> top = SARef<SAMIMEPart>::adopt(new SAMIMEPart(data.get(), !crlf, nullptr, nullptr));
    int result = top->process(true, true);

    std::printf("== Result of parsing: %d\n", result);
    if (!crlf && !cr && top->_body == nullptr && bytes.size() > 1) {
        const void* crlfAt = std::memchr(bytes.data(), '\r', bytes.size());
        if (crlfAt && static_cast<const unsigned char*>(crlfAt) + 1 < bytes.data() + bytes.size() &&
            static_cast<const unsigned char*>(crlfAt)[1] == '\n')
            std::puts("   (the message has CR LF line ends and, read with LF line ends, no body; try --crlf)");
    }
    if (tree) {
        std::puts("== Parse tree");
        std::fflush(stdout);
        top->description();
        std::fflush(stdout);
    }
    std::puts("== Parts");
    printSummary(top.get(), "1");

    std::puts("== Checks");
    struct {
        const char* name;
        bool answer;
    } checks[] = {
        {"usesWhiteTrick", top->usesWhiteTrick()},
        {"usesSmallFontTrick", top->usesSmallFontTrick()},
        {"usesTooManyWrongTags", top->usesTooManyWrongTags()},
        {"usesSpamCharset", top->usesSpamCharset()},
        {"usesAfterHTML", top->usesAfterHTML()},
        {"usesTooManySpanDisplayNone", top->usesTooManySpanDisplayNone()},
        {"usesFloatLeftTrick", top->usesFloatLeftTrick()},
        {"hasBoundaryForSinglePart", top->hasBoundaryForSinglePart()},
        {"useTextBase64Encoding", top->useTextBase64Encoding()},
        {"hasStrangeHierarchy", top->hasStrangeHierarchy()},
        {"containsJapaneseCharset", top->containsJapaneseCharset()},
        {"containsExoticCharset", top->containsExoticCharset()},
    };
    for (const auto& c : checks)
        std::printf("%-28s %s\n", c.name, c.answer ? "yes" : "no");
    MIME_EOL_CHAR = 10;
    return 0;
}
