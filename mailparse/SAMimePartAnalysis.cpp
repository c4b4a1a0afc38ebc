// Content analysis of parsed parts: URL and address extraction while a text
// part is parsed, and the tree predicates the engine's checks ask afterwards.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "mailparse/SAData.h"
#include "mailparse/SAEncodedString.h"
#include "mailparse/SAMimePart.h"
#include "mailparse/SAMutableArray.h"
#include "mailparse/SAMutableDictionary.h"
#include "mailparse/SAMutableString.h"
#include "mailparse/SANumber.h"
#include "mailparse/SARef.h"

SAString* const sURLArobacedKey = new SAString("Arobaced");
SAString* const sURLBackpathedKey = new SAString("Backpathed");
SAString* const sURLEncodedKey = new SAString("Encoded");
SAString* const sURLRedirectedKey = new SAString("Redirected");
SAString* const sURLURLKey = new SAString("URL");
SAString* const sOriginalURLURLKey = new SAString("Original URL");

namespace {

// Data of this many bytes or fewer holds no link and no address.
constexpr unsigned long kShortestAnalysedText = 8;
// More percent-encoded characters than this mark a link as encoded.
constexpr int kEncodedCharacterLimit = 2;
constexpr unsigned long kLocalPartMaximum = 64;
constexpr unsigned long kDomainMaximum = 256;

constexpr const char kHTTPScheme[] = "http://";
constexpr unsigned long kHTTPSchemeLength = sizeof(kHTTPScheme) - 1;

inline unsigned char lowerASCII(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

inline bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }
inline bool isLetter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

/// Value of a percent-escape character: hex digits as digits, any other byte
/// its own code.
inline unsigned hexValue(unsigned char c) {
    if (isDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return c;
}

/// Bytes that end a link: bit 0 in plain text (and a "www." link), bit 1 in
/// HTML, richtext and enriched text.
constexpr unsigned char kEndsPlainLink = 1;
constexpr unsigned char kEndsMarkupLink = 2;

struct LinkEndTable {
    unsigned char bits[256] = {};
    constexpr LinkEndTable() {
        for (unsigned char c : {'\t', ' ', '\n', '\r', '"', '<', '>', '\'', ')'})
            bits[c] |= kEndsPlainLink;
        for (unsigned char c : {'"', '\t', ' ', '<', '>', '\''})
            bits[c] |= kEndsMarkupLink;
    }
};
constexpr LinkEndTable kLinkEnds;

/// Index of the first byte at or after `from` that ends a link of the kind
/// `mask` selects, or n.
inline unsigned long findLinkEnd(const unsigned char* p, unsigned long n, unsigned long from, unsigned char mask) {
    while (from < n && !(kLinkEnds.bits[p[from]] & mask))
        ++from;
    return from;
}

/// Index of the first byte at or after `from` and before `limit` that may
/// start a link, or `limit` when there is none. In plain text (`plain`) that
/// is "h" or "H" four bytes before a ":" and "w" or "W" three bytes before a
/// ".", since there "http://" and "www." have no line ends inside; elsewhere
/// every "h" or "H". The caller leaves at least 8 bytes after `limit`.
inline unsigned long nextLinkStart(const unsigned char* p, unsigned long from, unsigned long limit, bool plain) {
#if defined(__SSE2__)
    const __m128i caseBit = _mm_set1_epi8(0x20);
    const __m128i h = _mm_set1_epi8('h');
    const __m128i w = _mm_set1_epi8('w');
    const __m128i colon = _mm_set1_epi8(':');
    const __m128i dot = _mm_set1_epi8('.');
    while (from + 16 <= limit) {
        const __m128i lower = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + from)), caseBit);
        __m128i hits = _mm_cmpeq_epi8(lower, h);
        if (plain) {
            // Reads end at from + 20, within the 8 bytes after limit.
            const __m128i third = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + from + 3));
            const __m128i fourth = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + from + 4));
            hits = _mm_or_si128(_mm_and_si128(hits, _mm_cmpeq_epi8(fourth, colon)),
                                _mm_and_si128(_mm_cmpeq_epi8(lower, w), _mm_cmpeq_epi8(third, dot)));
        }
        const int mask = _mm_movemask_epi8(hits);
        if (mask)
            return from + static_cast<unsigned long>(__builtin_ctz(static_cast<unsigned>(mask)));
        from += 16;
    }
#endif
    for (; from < limit; ++from) {
        const unsigned char c = p[from] | 0x20;
        if (plain ? (c == 'h' && p[from + 4] == ':') || (c == 'w' && p[from + 3] == '.') : c == 'h')
            return from;
    }
    return limit;
}

/// Index of the last occurrence of `word` in [p, p + n), or n.
unsigned long lastOccurrence(const unsigned char* p, unsigned long n, const char* word, unsigned long length) {
    if (length == 0 || n < length)
        return n;
    // Candidates are the places of the first byte, from the last one back.
    unsigned long room = n - length + 1;
    while (room > 0) {
        const void* hit = memrchr(p, word[0], room);
        if (!hit)
            return n;
        const unsigned long i = static_cast<const unsigned char*>(hit) - p;
        if (std::memcmp(p + i + 1, word + 1, length - 1) == 0)
            return i;
        room = i;
    }
    return n;
}

/// True when `n` bytes at `p` hold "/.." or "/./".
bool hasBackPath(const unsigned char* p, unsigned long n) {
    if (!p)
        return false;
    const unsigned char* end = p + n;
    for (const unsigned char* at = p; at < end; ++at) {
        at = static_cast<const unsigned char*>(std::memchr(at, '/', static_cast<unsigned long>(end - at)));
        if (!at)
            return false;
        if (end - at >= 3 && at[1] == '.' && (at[2] == '.' || at[2] == '/'))
            return true;
    }
    return false;
}

/// Builds the record of one link from its text (steps 4 to 7).
SAMutableDictionary* newURLRecord(const unsigned char* link, unsigned long length, bool html) {
    bool arobaced = false;
    bool backpathed = false;
    bool encoded = false;
    bool redirected = false;
    SARef<SAString> original;
    SARef<SAString> url;

    // A link without "%" (and, in HTML, without LF) decodes to itself and is
    // read in place; others are decoded into the stack buffer, or into one of
    // their own when long.
    const bool unchanged = !std::memchr(link, '%', length) && !(html && std::memchr(link, '\n', length));
    unsigned char stackBuffer[512] = {};
    unsigned char* buffer = nullptr;
    if (!unchanged)
        buffer = length < sizeof stackBuffer ? stackBuffer : static_cast<unsigned char*>(std::malloc(length + 1));
    if (!unchanged && !buffer) {
        url = SARef<SAString>::adopt(SAString::create(reinterpret_cast<const char*>(link), length));
    } else {
        // 4. Percent-decode; LF bytes of HTML links are dropped.
        const unsigned char* decoded = link;
        unsigned long out = length;
        if (!unchanged) {
            out = 0;
            int pending = 0;  // 0: none, 1: after "%", 2: after "%" and one byte
            unsigned high = 0;
            int escapes = 0;
            for (unsigned long i = 0; i < length; ++i) {
                unsigned char c = link[i];
                if (html && c == '\n')
                    continue;
                if (c == '%') {
                    pending = 1;
                    continue;
                }
                if (pending == 1) {
                    high = hexValue(c);
                    pending = 2;
                } else if (pending == 2) {
                    auto byte = static_cast<unsigned char>((high * 16 + hexValue(c)) & 0xFF);
                    buffer[out++] = byte;
                    if (byte != ' ' && byte != '@')
                        ++escapes;
                    pending = 0;
                } else {
                    buffer[out++] = c;
                }
            }
            encoded = escapes > kEncodedCharacterLimit;
            decoded = buffer;
        }
        original = SARef<SAString>::adopt(SAString::create(reinterpret_cast<const char*>(decoded), out));

        // 5. A further "http://" inside: the link continues after the last one.
        unsigned long start = 0;
        unsigned long redirect = lastOccurrence(decoded, out, kHTTPScheme, kHTTPSchemeLength);
        if (redirect != out) {
            redirected = true;
            start = redirect + kHTTPSchemeLength;
        }

        // 6. An "@" before the first "/": what precedes it is dropped.
        for (unsigned long i = start; i < out && decoded[i] != '/'; ++i) {
            if (decoded[i] == '@') {
                arobaced = true;
                start = i + 1;
            }
        }
        url = SARef<SAString>::adopt(SAString::create(reinterpret_cast<const char*>(decoded + start), out - start));
        if (buffer && buffer != stackBuffer)
            std::free(buffer);

        // 7. "/.." or "/./" in the path: standardise it.
        const auto* u = reinterpret_cast<const unsigned char*>(url->cString());
        unsigned long ul = u ? url->length() : 0;
        if (hasBackPath(u, ul)) {
            backpathed = true;
            SAString* standard = url->stringByStandardizingPath();
            if (standard)
                url = SARef<SAString>::adopt(standard);
        }
    }

    // Four slots filled from the last, then URL and Original URL appended: the
    // room for all six is taken at once. The keys are distinct copies.
    auto* record = new SAMutableDictionary(4UL, 6UL);
    auto set = [record](SAObject* value, const SAString* key) {
        record->setObjectForNewKey(value, SAString::create(key->cString(), key->length()));
    };
    auto setFlag = [&set](SAString* key, bool value) {
        SARef<SANumber> number = SARef<SANumber>::adopt(new SANumber(value));
        set(number.get(), key);
    };
    setFlag(sURLArobacedKey, arobaced);
    setFlag(sURLBackpathedKey, backpathed);
    setFlag(sURLEncodedKey, encoded);
    setFlag(sURLRedirectedKey, redirected);
    set(url.get(), sURLURLKey);
    if (original)
        set(original.get(), sOriginalURLURLKey);
    return record;
}

inline bool isLocalPartByte(unsigned char c) {
    if (isLetter(c) || isDigit(c))
        return true;
    return c != 0 && std::strchr("!#$%&'*+-/=?^_`{|}~.", c) != nullptr;
}

inline bool isDomainByte(unsigned char c) { return isLetter(c) || isDigit(c) || c == '.' || c == '`'; }

/// A new array holding `objects` in order (each object's claim is handed over).
/// Built at its final size: the array itself grows by two slots at a time.
SAMutableArray* newArrayAdopting(std::vector<SAObject*>& objects) {
    auto* array = new SAMutableArray(static_cast<unsigned long>(objects.size()));
    for (SAObject* object : objects) {
        array->addObject(object);
        SAObject::release(object);
    }
    objects.clear();
    return array;
}

}  // namespace

// ---------------------------------------------------------------------------
// Extraction

SAMutableArray* SAMIMEPart::extractURLsFromData(SAData* text, SAMIMESubtype subtype) {
    if (!text || !text->bytes() || text->length() <= kShortestAnalysedText)
        return nullptr;
    auto* p = reinterpret_cast<unsigned char*>(text->bytes());
    unsigned long n = text->length();
    bool html = subtype == SAMIMESubtypeHTML;
    std::vector<SAObject*> records;

    unsigned long i = 0;
    // 1. A link starts at "h" or "w" before the last 8 bytes.
    const unsigned long limit = n - kShortestAnalysedText;
    const bool plain = subtype == SAMIMESubtypePlain;
    while (i < limit) {
        // Bytes that cannot start a link are passed over in blocks.
        i = nextLinkStart(p, i, limit, plain);
        if (i >= limit)
            break;
        unsigned char c = lowerASCII(p[i]);
        unsigned long linkStart = 0;
        unsigned long linkEnd = 0;
        if (c == 'w' && subtype == SAMIMESubtypePlain) {
            // 2. "www." in plain text, kept with its prefix.
            if (lowerASCII(p[i + 1]) != 'w' || lowerASCII(p[i + 2]) != 'w' || p[i + 3] != '.') {
                ++i;
                continue;
            }
            linkStart = i;
            linkEnd = findLinkEnd(p, n, i, kEndsPlainLink);
        } else if (c == 'h') {
            // 3. "http://", stored without its scheme.
            unsigned long j = i + 1;
            bool matched = true;
            for (unsigned long k = 1; k < kHTTPSchemeLength; ++k) {
                while (html && j < n && p[j] == '\n')
                    ++j;
                if (j >= n || lowerASCII(p[j]) != static_cast<unsigned char>(kHTTPScheme[k])) {
                    matched = false;
                    break;
                }
                ++j;
            }
            if (!matched) {
                ++i;
                continue;
            }
            linkStart = j;
            linkEnd = findLinkEnd(p, n, j, plain ? kEndsPlainLink : kEndsMarkupLink);
        } else {
            ++i;
            continue;
        }

        // 4.-8. The record.
        records.push_back(newURLRecord(p + linkStart, linkEnd - linkStart, html));
        // 9. HTML: the link is blanked so the simplifier never sees it.
        if (html)
            std::memset(p + i, ' ', linkEnd - i);
        i = linkEnd + 1;
    }
    return newArrayAdopting(records);
}

SAMutableArray* SAMIMEPart::extractEmailsFromData(SAData* text, SAMIMESubtype) {
    if (!text || !text->bytes() || text->length() <= kShortestAnalysedText)
        return nullptr;
    const auto* p = reinterpret_cast<const unsigned char*>(text->bytes());
    unsigned long n = text->length();
    std::vector<SAObject*> addresses;

    // 1. Every "@" from the third byte on.
    unsigned long at = 2;
    while (at < n) {
        const void* hit = std::memchr(p + at, '@', n - at);
        if (!hit)
            break;
        at = static_cast<const unsigned char*>(hit) - p;

        // 2. The local part, to the left. A dot next to the "@" or a doubled dot
        //    rejects this "@" and skips the byte after it.
        unsigned long start = at;
        bool doubledDot = p[at - 1] == '.';
        while (!doubledDot && start > 0 && isLocalPartByte(p[start - 1])) {
            if (p[start - 1] == '.' && start < at && p[start] == '.')
                doubledDot = true;
            else
                --start;
        }
        if (doubledDot) {
            at += 2;
            continue;
        }
        unsigned long next = at + 1;

        // 3. A leading dot is dropped from a local part of three bytes or more.
        if (start < at && p[start] == '.') {
            if (at - start < 3) {
                at = next;
                continue;
            }
            ++start;
        }
        unsigned long localLength = at - start;
        if (localLength < 2 || localLength > kLocalPartMaximum) {
            at = next;
            continue;
        }

        // 4. The domain, to the right.
        unsigned long end = at + 1;
        bool rejected = end < n && p[end] == '.';
        while (!rejected && end < n && isDomainByte(p[end])) {
            if (p[end] == '.' && p[end - 1] == '.')
                rejected = true;
            else
                ++end;
        }
        unsigned long domainLength = end - (at + 1);
        if (!rejected && domainLength > 0 && p[end - 1] == '.') {
            if (domainLength >= 3)
                --domainLength;
            else
                rejected = true;
        }
        if (rejected || domainLength < 1 || domainLength > kDomainMaximum ||
            !std::memchr(p + at + 1, '.', domainLength)) {
            at = next;
            continue;
        }

        // 5. local "@" domain.
        addresses.push_back(SAString::create(reinterpret_cast<const char*>(p + start), localLength + 1 + domainLength));
        at = next;
    }
    return newArrayAdopting(addresses);
}

// ---------------------------------------------------------------------------
// Tree predicates

namespace {

template <class Test>
bool anyPart(SAMIMEPart* part, Test test) {
    if (test(part))
        return true;
    unsigned long count = part->_parts ? part->_parts->count() : 0;
    for (unsigned long i = 0; i < count; ++i)
        if (anyPart(static_cast<SAMIMEPart*>(part->_parts->objectAtIndex(i)), test))
            return true;
    return false;
}

}  // namespace

bool SAMIMEPart::usesWhiteTrick() {
    return anyPart(this, [](SAMIMEPart* p) { return p->_whiteTrick; });
}

bool SAMIMEPart::usesSmallFontTrick() {
    return anyPart(this, [](SAMIMEPart* p) { return p->_smallFontTrick; });
}

bool SAMIMEPart::usesTooManyWrongTags() {
    return anyPart(this, [](SAMIMEPart* p) { return p->_tooManyWrongTags; });
}

bool SAMIMEPart::usesSpamCharset() {
    return anyPart(this, [](SAMIMEPart* p) { return p->_spamCharset; });
}

bool SAMIMEPart::usesAfterHTML() {
    return anyPart(this, [](SAMIMEPart* p) { return p->_afterHTML; });
}

bool SAMIMEPart::usesTooManySpanDisplayNone() {
    return anyPart(this, [](SAMIMEPart* p) { return p->_tooManySpanDisplayNone; });
}

bool SAMIMEPart::usesFloatLeftTrick() {
    return anyPart(this, [](SAMIMEPart* p) { return p->_floatLeftTrick; });
}

bool SAMIMEPart::hasBoundaryForSinglePart() {
    return anyPart(this, [](SAMIMEPart* p) { return p->_boundaryForSinglePart; });
}

bool SAMIMEPart::useTextBase64Encoding() {
    return anyPart(this, [](SAMIMEPart* p) {
        return p->_contentType == SAMIMETypeText && p->_subtype == SAMIMESubtypeHTML &&
               p->_transferEncoding == SAMIMEEncodingBase64 &&
               !(p->_headers && p->_headers->objectForKey(sContentDispositionKey, SACaseInsensitiveSearch));
    });
}

bool SAMIMEPart::hasStrangeHierarchy() {
    if (_contentType != SAMIMETypeMultipart)
        return false;
    unsigned long count = _parts ? _parts->count() : 0;
    if (_subtype == SAMIMESubtypeMixed)
        return count == 0;
    if (count > 1) {
        for (unsigned long i = 0; i < count; ++i)
            if (static_cast<SAMIMEPart*>(_parts->objectAtIndex(i))->hasStrangeHierarchy())
                return true;
        return false;
    }
    // A multipart/related holding nothing but its plain-text root is what a
    // mail client leaves when the writer removed the last embedded picture:
    // plain text can refer to no related part, so nothing is hidden by it.
    if (count == 1 && _subtype == SAMIMESubtypeRelated) {
        const auto* root = static_cast<SAMIMEPart*>(_parts->objectAtIndex(0));
        if (root->_contentType == SAMIMETypeText && root->_subtype == SAMIMESubtypePlain)
            return false;
    }
    // A single-part container: strange unless a known help-desk program made it.
    SAString* mailer = headerValueForKey(sXMailer);
    const char* marker = "Cerberus Helpdesk";
    bool knownMailer = mailer && mailer->cString() &&
                       std::string(mailer->cString(), mailer->length()).find(marker) != std::string::npos;
    return !knownMailer;
}

bool SAMIMEPart::containsJapaneseCharset() {
    return anyPart(this, [](SAMIMEPart* p) {
        if (SAEncodedString::isJapaneseCharSet(p->_charset))
            return true;
        SARef<SAEncodedString> subject = SARef<SAEncodedString>::adopt(p->copySubject());
        return subject && subject->containsJapaneseCharset();
    });
}

bool SAMIMEPart::containsExoticCharset() {
    return anyPart(this, [](SAMIMEPart* p) {
        if (SAEncodedString::isExoticCharSet(p->_charset))
            return true;
        SARef<SAEncodedString> subject = SARef<SAEncodedString>::adopt(p->copySubject());
        if (subject && subject->containsExoticCharset())
            return true;
        // A raw ISO-2022-JP escape to JIS X 0208 at the start of the Subject.
        SAObject* list = p->_headers ? p->_headers->objectForKey(sSubjectKey, 0) : nullptr;
        SAObject* first =
            (list && list->isKindOfClass(GETIDSAArray())) ? static_cast<SAArray*>(list)->objectAtIndex(0) : nullptr;
        if (!first || !first->isKindOfClass(GETIDSAString()))
            return false;
        SARef<SAMutableString> trimmed =
            SARef<SAMutableString>::adopt(new SAMutableString(*static_cast<SAString*>(first)));
        trimmed->trimWhiteSpace();
        const char* s = trimmed->cString();
        return s && trimmed->length() >= 3 && s[0] == '\x1b' && s[1] == '$' && lowerASCII(s[2]) == 'b';
    });
}

SAArray* SAMIMEPart::receivedFromAddresses() { return nullptr; }

bool SAMIMEPart::containsFileAttachmentWithExtensions(SAArray*) { return false; }

// ---------------------------------------------------------------------------
// Address helpers of the wider interface

SAString* SAMIMEPart::reverseIPAddress(SAString* s) {
    if (!s)
        return nullptr;
    SAString dot(".");
    SARef<SAMutableArray> parts = SARef<SAMutableArray>::adopt(s->componentsSeparatedByString(&dot));
    if (!parts)
        return nullptr;
    SARef<SAMutableArray> reversed = SARef<SAMutableArray>::adopt(new SAMutableArray(parts->count()));
    for (unsigned long i = parts->count(); i-- > 0;)
        reversed->addObject(parts->objectAtIndex(i));
    return reversed->componentsJoinedByString(&dot);
}

SAString* SAMIMEPart::findAddressInString(SAString* s) {
    if (!s || !s->cString())
        return nullptr;
    const auto* p = reinterpret_cast<const unsigned char*>(s->cString());
    unsigned long n = s->length();
    unsigned long bestStart = 0;
    unsigned long bestLength = 0;
    bool found = false;
    for (unsigned long i = 0; i < n; ++i) {
        if (p[i] != '[' && p[i] != '(')
            continue;
        unsigned char close = p[i] == '[' ? ']' : ')';
        unsigned long j = i + 1;
        int groups = 0;
        bool valid = true;
        while (valid) {
            unsigned long digits = 0;
            unsigned value = 0;
            while (j < n && isDigit(p[j])) {
                if (value <= 255)
                    value = value * 10 + (p[j] - '0');
                ++digits;
                ++j;
            }
            if (digits == 0 || value > 255) {
                valid = false;
                break;
            }
            ++groups;
            if (j < n && p[j] == '.' && groups < 4) {
                ++j;
                continue;
            }
            break;
        }
        if (valid && j < n && p[j] == close) {
            found = true;
            bestStart = i + 1;
            bestLength = j - (i + 1);
        }
    }
    if (!found)
        return nullptr;
    return new SAString(reinterpret_cast<const char*>(p + bestStart), bestLength);
}

SAString* SAMIMEPart::getDomainNameFromURL(SAString* url) {
    if (!url || !url->cString() || url->length() < kHTTPSchemeLength)
        return nullptr;
    const auto* p = reinterpret_cast<const unsigned char*>(url->cString());
    unsigned long n = url->length();
    for (unsigned long i = 0; i < kHTTPSchemeLength; ++i)
        if (lowerASCII(p[i]) != static_cast<unsigned char>(kHTTPScheme[i]))
            return nullptr;

    // The host: up to the first "/", restarting after any "@".
    unsigned long start = kHTTPSchemeLength;
    unsigned long end = start;
    while (end < n && p[end] != '/') {
        if (p[end] == '@')
            start = end + 1;
        ++end;
    }
    std::string host;
    for (unsigned long i = start; i < end; ++i) {
        if (p[i] == '%' && i + 2 < end) {
            host.push_back(static_cast<char>((hexValue(p[i + 1]) * 16 + hexValue(p[i + 2])) & 0xFF));
            i += 2;
        } else {
            host.push_back(static_cast<char>(p[i]));
        }
    }

    // A host of digits, dots, hex letters and "x" is a numeric address.
    bool numeric = !host.empty();
    for (char ch : host) {
        auto c = static_cast<unsigned char>(ch);
        if (!(isDigit(c) || c == '.' || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == 'x' || c == 'X')) {
            numeric = false;
            break;
        }
    }
    if (!numeric)
        return new SAString(host.data(), host.size());

    SAString hostString(host.data(), host.size());
    SAString dot(".");
    SARef<SAMutableArray> parts = SARef<SAMutableArray>::adopt(hostString.componentsSeparatedByString(&dot));
    unsigned long long value = 0;
    for (unsigned long i = 0; parts && i < parts->count(); ++i)
        value = value * 256 + static_cast<SAString*>(parts->objectAtIndex(i))->unsignedLongValue();
    value &= 0xFFFFFFFFULL;
    char text[32];
    int length =
        std::snprintf(text, sizeof text, "%lu.%lu.%lu.%lu", static_cast<unsigned long>((value >> 24) & 0xFF),
                      static_cast<unsigned long>((value >> 16) & 0xFF), static_cast<unsigned long>((value >> 8) & 0xFF),
                      static_cast<unsigned long>(value & 0xFF));
    return new SAString(text, static_cast<unsigned long>(length));
}
