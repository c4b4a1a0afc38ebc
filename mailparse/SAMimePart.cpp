#include "mailparse/SAMimePart.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <typeinfo>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "mailparse/SAData.h"
#include "mailparse/SADecoderFactory.h"
#include "mailparse/SAEncodedString.h"
#include "mailparse/SAMutableArray.h"
#include "mailparse/SAMutableDictionary.h"
#include "mailparse/SAMutableString.h"
#include "mailparse/SARef.h"
#include "mailparse/SATextTranslator.h"

char MIME_EOL_CHAR = 10;

SAString* const sContentTypeKey = new SAString("Content-Type");
SAString* const sContentTransferEncodingKey = new SAString("Content-Transfer-Encoding");
SAString* const sContentDispositionKey = new SAString("Content-Disposition");
SAString* const sSubjectKey = new SAString("Subject");
SAString* const sFromKey = new SAString("From");
SAString* const sMessageIDKey = new SAString("Message-ID");
SAString* const sReceivedKey = new SAString("Received");
SAString* const sXMailer = new SAString("X-Mailer");
SAString* const sBoundaryKey = new SAString("boundary");
SAString* const sCharset = new SAString("charset");
SAString* const sEncoding = new SAString("encoding");
SAString* const sNameKey = new SAString("name");
SAString* const sFilenameKey = new SAString("filename");
SAString* const sCtypeKey = new SAString("Ctype");
SAString* const sSubtypeKey = new SAString("subtype");

const char* GETIDSAMIMEPart() { return typeid(SAMIMEPart*).name(); }
const char* GETNAMESAMIMEPart() { return "SAMIMEPart"; }

const char* SAMIMEPart::_className = "SAMIMEPart";
const char* SAMIMEPart::_classTypeID = GETIDSAMIMEPart();

namespace {

// Distinct header names kept per part, and distinct Content-Type parameters.
// Real mail stays far below both; the limits keep hostile headers from making
// the dictionaries (whose insertion walks every slot) quadratic.
constexpr unsigned long kMaximumHeaderNames = 1000;
constexpr unsigned long kMaximumContentTypeParameters = 1000;

constexpr const char* kNoContentTypeDecodingFailed = "SAMimePart (No content-type): decoding failed\n";
constexpr const char* kPartSeparator = "------------8<----------------8<-------------8<---------\n";

inline unsigned char lowerASCII(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

inline bool isBlank(unsigned char c) { return c == ' ' || c == '\t'; }

/// True when `length` bytes at `bytes` equal the NUL-terminated `word`,
/// ignoring ASCII case.
bool equalsIgnoringCase(const unsigned char* bytes, unsigned long length, const char* word) {
    unsigned long wordLength = std::strlen(word);
    if (length != wordLength)
        return false;
    for (unsigned long i = 0; i < length; ++i)
        if (lowerASCII(bytes[i]) != lowerASCII(static_cast<unsigned char>(word[i])))
            return false;
    return true;
}

bool stringIs(const SAString* s, const char* word) {
    return s && s->cString() &&
           equalsIgnoringCase(reinterpret_cast<const unsigned char*>(s->cString()), s->length(), word);
}

SAMutableString* newLowercaseString(const unsigned char* bytes, unsigned long length) {
    auto* s = new SAMutableString(reinterpret_cast<const char*>(bytes), length);
    s->lowercase();
    return s;
}

/// The line ends of one parse: MIME_EOL_CHAR alone, or CR LF.
struct LineEnds {
    bool single;
    unsigned char eol;

    explicit LineEnds(bool singleByte) : single(singleByte), eol(static_cast<unsigned char>(MIME_EOL_CHAR)) {}

    unsigned long size() const { return single ? 1 : 2; }

    bool at(const unsigned char* p, unsigned long n, unsigned long i) const {
        if (single)
            return i < n && p[i] == eol;
        return i + 1 < n && p[i] == '\r' && p[i + 1] == '\n';
    }

    /// Index of the first line end at or after `from`, or n.
    unsigned long next(const unsigned char* p, unsigned long n, unsigned long from) const {
        while (from < n) {
            const void* hit = std::memchr(p + from, single ? eol : '\r', n - from);
            if (!hit)
                return n;
            unsigned long i = static_cast<const unsigned char*>(hit) - p;
            if (single || (i + 1 < n && p[i + 1] == '\n'))
                return i;
            from = i + 1;
        }
        return n;
    }
};

/// Writes into `out` (room for `n` bytes: the value never grows) the value
/// with every line end that is followed by blanks replaced, together with the
/// blanks, by one space (keepSpace) or by nothing. Returns the bytes written.
unsigned long unfoldInto(const unsigned char* p, unsigned long n, const LineEnds& ends, bool keepSpace, char* out) {
    unsigned long written = 0;
    unsigned long i = 0;
    while (i < n) {
        // Bytes up to the next line end go across in one piece.
        const unsigned long e = ends.next(p, n, i);
        if (e > i) {
            std::memcpy(out + written, p + i, e - i);
            written += e - i;
        }
        i = e;
        if (i >= n)
            break;
        if (i + ends.size() < n && isBlank(p[i + ends.size()])) {
            i += ends.size();
            while (i < n && isBlank(p[i]))
                ++i;
            if (keepSpace)
                out[written++] = ' ';
            continue;
        }
        out[written++] = static_cast<char>(p[i]);
        ++i;
    }
    return written;
}

/// New string of the unfolded value (see unfoldInto).
SAString* newUnfoldedString(const unsigned char* p, unsigned long n, const LineEnds& ends, bool keepSpace) {
    SAString* value = SAString::createUninitialized(n);
    if (value->cString())
        value->truncate(unfoldInto(p, n, ends, keepSpace, value->cString()));
    return value;
}

/// Case-insensitive hash of a header name (FNV-1a over lower-cased bytes).
std::size_t caselessHash(const unsigned char* p, unsigned long n) {
    std::size_t hash = 1469598103934665603ULL;
    for (unsigned long i = 0; i < n; ++i) {
        hash ^= lowerASCII(p[i]);
        hash *= 1099511628211ULL;
    }
    return hash;
}

bool equalBytesIgnoringCase(const unsigned char* a, const unsigned char* b, unsigned long n) {
    for (unsigned long i = 0; i < n; ++i)
        if (lowerASCII(a[i]) != lowerASCII(b[i]))
            return false;
    return true;
}

/// The value without leading and trailing blanks and line-end bytes and without
/// RFC 822 comments: "(" outside quotes opens one (they nest), ")" closes one,
/// a quote toggles the quoted state in which parentheses are ordinary bytes.
std::string withoutComments(const unsigned char* p, unsigned long n) {
    unsigned char eol = static_cast<unsigned char>(MIME_EOL_CHAR);
    auto isEdge = [eol](unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == eol; };
    unsigned long i = 0;
    while (i < n && isEdge(p[i]))
        ++i;
    std::string out;
    out.reserve(n - i);
    unsigned long depth = 0;
    bool quoted = false;
    for (; i < n; ++i) {
        unsigned char c = p[i];
        if (c == '"') {
            quoted = !quoted;
            if (depth == 0)
                out.push_back('"');
        } else if (c == '(' && !quoted) {
            ++depth;
        } else if (c == ')' && !quoted && depth > 0) {
            --depth;
        } else if (depth == 0) {
            out.push_back(static_cast<char>(c));
        }
    }
    while (!out.empty() && isEdge(static_cast<unsigned char>(out.back())))
        out.pop_back();
    return out;
}

const unsigned char* bytesOf(const SAData* d) {
    return d ? reinterpret_cast<const unsigned char*>(d->bytes()) : nullptr;
}

const unsigned char* bytesOf(const SAString* s) {
    return s ? reinterpret_cast<const unsigned char*>(s->cString()) : nullptr;
}

SAString* stringForKey(SADictionary* dictionary, SAString* key) {
    if (!dictionary)
        return nullptr;
    SAObject* value = dictionary->objectForKey(key, 0);
    return (value && value->isKindOfClass(GETIDSAString())) ? static_cast<SAString*>(value) : nullptr;
}

/// A new array holding `objects` in order (each object's claim is handed over).
SAMutableArray* newArrayAdopting(std::vector<SAObject*>& objects) {
    auto* array = new SAMutableArray(static_cast<unsigned long>(objects.size()));
    for (SAObject* object : objects) {
        array->addObject(object);
        SAObject::release(object);
    }
    objects.clear();
    return array;
}

struct SubtypeName {
    const char* name;
    int code;
};

constexpr SubtypeName kMultipartSubtypes[] = {
    {"mixed", SAMIMESubtypeMixed},   {"alternative", SAMIMESubtypeAlternative}, {"parallel", SAMIMESubtypeParallel},
    {"digest", SAMIMESubtypeDigest}, {"related", SAMIMESubtypeRelated},         {"report", SAMIMESubtypeReport},
    {"signed", SAMIMESubtypeSigned}, {"encrypted", SAMIMESubtypeEncrypted},
};

constexpr SubtypeName kTextSubtypes[] = {
    {"plain", SAMIMESubtypePlain},       {"html", SAMIMESubtypeHTML},         {"richtext", SAMIMESubtypeRichtext},
    {"enriched", SAMIMESubtypeEnriched}, {"calendar", SAMIMESubtypeCalendar}, {"directory", SAMIMESubtypeDirectory},
};

template <std::size_t N>
int subtypeCode(const SubtypeName (&table)[N], const SAString* subtype, int fallback) {
    for (const SubtypeName& entry : table)
        if (stringIs(subtype, entry.name))
            return entry.code;
    return fallback;
}

}  // namespace

SAMIMEPart::SAMIMEPart(SAData* data, bool lfLineEnds, SAMIMEHeaderCallback callback, void* context)
    : SAMIMEPart(data, lfLineEnds, 0) {
    _headerCallback = callback;
    _callbackContext = context;
}

SAMIMEPart::SAMIMEPart(SAData* data, bool lfLineEnds, int depth)
    : _lfLineEnds(lfLineEnds),
      _header(nullptr),
      _body(nullptr),
      _charset(SAStringEncodingUnknown),
      _transferEncoding(SAMIMEEncodingIdentity),
      _contentType(SAMIMETypeText),
      _subtype(SAMIMESubtypePlain),
      _parts(new SAMutableArray(2UL)),
      _headers(nullptr),
      _data(data),
      _textContent(nullptr),
      _content(nullptr),
      _simplifiedText(nullptr),
      _headerCallback(nullptr),
      _callbackContext(nullptr),
      _whiteTrick(false),
      _smallFontTrick(false),
      _tooManyWrongTags(false),
      _spamCharset(false),
      _afterHTML(false),
      _boundaryForSinglePart(false),
      _tooManySpanDisplayNone(false),
      _floatLeftTrick(false),
      _urls(nullptr),
      _addresses(nullptr),
      _depth(depth),
      _charsetName(nullptr) {
    SAObject::retain(_data);
}

SAMIMEPart::~SAMIMEPart() {
    reset();
    SAObject::release(_parts);
    SAObject::release(_data);
}

void SAMIMEPart::reset() {
    SAObject::release(_header);
    SAObject::release(_body);
    SAObject::release(_textContent);
    SAObject::release(_content);
    SAObject::release(_simplifiedText);
    SAObject::release(_headers);
    SAObject::release(_urls);
    SAObject::release(_addresses);
    SAObject::release(_charsetName);
    _charsetName = nullptr;
    _header = _body = _textContent = _content = _simplifiedText = nullptr;
    _headers = nullptr;
    _urls = _addresses = nullptr;
    if (_parts)
        _parts->removeAllObjects();
    _charset = SAStringEncodingUnknown;
    _transferEncoding = SAMIMEEncodingIdentity;
    _contentType = SAMIMETypeText;
    _subtype = SAMIMESubtypePlain;
    _whiteTrick = _smallFontTrick = _tooManyWrongTags = _spamCharset = false;
    _afterHTML = _boundaryForSinglePart = _tooManySpanDisplayNone = _floatLeftTrick = false;
}

const char* SAMIMEPart::stringFromClass() { return GETNAMESAMIMEPart(); }

const char* SAMIMEPart::classID() { return GETIDSAMIMEPart(); }

bool SAMIMEPart::isKindOfClass(const char* name) {
    if (name && std::strcmp(name, GETIDSAMIMEPart()) == 0)
        return true;
    return SAObject::isKindOfClass(name);
}

// ---------------------------------------------------------------------------
// Parsing

int SAMIMEPart::process(bool isMessage, bool skipCallback) {
    // 1. Depth limit.
    if (_depth > SAMIMEMaximumDepth)
        return SAMIMEProcessFailure;
    if (_headers)
        reset();  // parsed before: start again from the raw bytes

    const unsigned char* p = bytesOf(_data);
    unsigned long n = p ? _data->length() : 0;
    LineEnds ends(_lfLineEnds);

    // 2. Header block.
    unsigned long s = findStartOfContent();
    if (s > 0)
        _header = new SAData(p, s, true);

    // 3. Body: after the blank line, to the end of the data.
    if (n > 0 && s != n) {
        unsigned long start = (s == 0) ? ends.size() : s + 2 * ends.size();
        if (start <= n)
            _body = new SAData(p + start, n - start, true);
    }

    if (_header) {
        // 4. Headers, the header callback and the empty-message test.
        buildHeaderDictionary();
        if (isMessage) {
            if (!skipCallback && _headerCallback) {
                int verdict = _headerCallback(_headers, _callbackContext);
                if (verdict != 0)
                    return verdict;
            }
            if (_body && _body->length() > 4)
                return buildContent();
            SAString* subject = headerValueForKey(sSubjectKey);
            if (!subject || subject->length() == 0)
                return SAMIMEProcessEmptyMessage;
        }
    } else {
        // 5. No header.
        _headers = new SAMutableDictionary(1UL);
    }

    // 6. Classify, and parse the body when there is one.
    if (!_body)
        return buildHeader();
    return buildContent();
}

unsigned long SAMIMEPart::findStartOfContent() {
    const unsigned char* p = bytesOf(_data);
    unsigned long n = p ? _data->length() : 0;
    LineEnds ends(_lfLineEnds);
    if (n == 0)
        return 0;
    if (ends.at(p, n, 0))
        return 0;
    unsigned long i = ends.next(p, n, 0);
    while (i < n) {
        if (ends.at(p, n, i + ends.size()))
            return i;
        i = ends.next(p, n, i + ends.size());
    }
    return n;
}

void SAMIMEPart::buildHeaderDictionary() {
    // 1. A fresh dictionary, filled once every line is read.
    SAObject::release(_headers);
    _headers = nullptr;
    const unsigned char* p = bytesOf(_header);
    unsigned long n = p ? _header->length() : 0;
    LineEnds ends(_lfLineEnds);

    // Values are grouped by name (case-insensitive, first spelling kept) and
    // the lists are stored once complete, so neither the dictionary nor the
    // lists are searched or grown once per line. Names are found through an
    // open-addressing table of group numbers (0: empty).
    struct Group {
        const unsigned char* name;
        unsigned long nameLength;
        std::size_t hash;
        unsigned long count;
        bool keepSpace;  // Received: folds become one space
    };
    struct Value {
        std::size_t group;
        SAString* string;
    };
    std::vector<Group> groups;
    std::vector<Value> values;
    std::vector<unsigned> table(64, 0);
    groups.reserve(32);
    values.reserve(32);

    unsigned long i = 0;
    while (i < n) {
        // 2. One logical line: a line end followed by a blank continues it.
        unsigned long lineStart = i;
        unsigned long lineEnd = n;
        unsigned long next = n;
        unsigned long k = ends.next(p, n, i);
        while (k < n) {
            unsigned long after = k + ends.size();
            if (after < n && isBlank(p[after])) {
                k = ends.next(p, n, after);
                continue;
            }
            lineEnd = k;
            next = after;
            break;
        }
        i = next;

        // 3. Name and value around the first ":" from the second byte on.
        if (lineEnd - lineStart < 2)
            continue;
        const void* colon = std::memchr(p + lineStart + 1, ':', lineEnd - lineStart - 1);
        if (!colon)
            continue;
        unsigned long colonAt = static_cast<const unsigned char*>(colon) - p;
        unsigned long valueStart = colonAt + 1;
        if (valueStart < lineEnd && p[valueStart] == ' ')
            ++valueStart;
        const unsigned char* name = p + lineStart;
        unsigned long nameLength = colonAt - lineStart;

        // 4. The list of that name, or a new one while there are fewer than
        //    the most names kept.
        const std::size_t hash = caselessHash(name, nameLength);
        std::size_t mask = table.size() - 1;
        std::size_t probe = hash & mask;
        std::size_t slot = groups.size();
        while (table[probe] != 0) {
            const Group& group = groups[table[probe] - 1];
            if (group.hash == hash && group.nameLength == nameLength &&
                equalBytesIgnoringCase(group.name, name, nameLength)) {
                slot = table[probe] - 1;
                break;
            }
            probe = (probe + 1) & mask;
        }
        if (slot == groups.size()) {
            if (groups.size() >= kMaximumHeaderNames)
                continue;
            groups.push_back(Group{name, nameLength, hash, 0, equalsIgnoringCase(name, nameLength, "Received")});
            table[probe] = static_cast<unsigned>(groups.size());
            if (groups.size() * 2 > table.size()) {
                std::vector<unsigned> larger(table.size() * 2, 0);
                mask = larger.size() - 1;
                for (std::size_t g = 0; g < groups.size(); ++g) {
                    std::size_t at = groups[g].hash & mask;
                    while (larger[at] != 0)
                        at = (at + 1) & mask;
                    larger[at] = static_cast<unsigned>(g + 1);
                }
                table.swap(larger);
            }
        }

        // 5. Unfold: folds become one space in Received, nothing elsewhere.
        Group& group = groups[slot];
        ++group.count;
        values.push_back(Value{slot, newUnfoldedString(p + valueStart, lineEnd - valueStart, ends, group.keepSpace)});
    }

    // 6. Every list at its final size, under its name.
    _headers = new SAMutableDictionary(10UL, groups.size());
    std::vector<SAMutableArray*> lists;
    lists.reserve(groups.size());
    for (const Group& group : groups)
        lists.push_back(new SAMutableArray(group.count));
    for (const Value& value : values) {
        lists[value.group]->addObject(value.string);
        SAObject::release(value.string);
    }
    for (std::size_t g = 0; g < groups.size(); ++g) {
        _headers->setObjectForNewKey(
            lists[g], SAString::create(reinterpret_cast<const char*>(groups[g].name), groups[g].nameLength));
        SAObject::release(lists[g]);
    }
}

SAString* SAMIMEPart::copyWithoutLinearWhiteSpace(SAString* value, bool keepSpace) {
    if (!value)
        return nullptr;
    return newUnfoldedString(bytesOf(value), value->cString() ? value->length() : 0, LineEnds(_lfLineEnds), keepSpace);
}

SAString* SAMIMEPart::copyWithoutComments(SAString* value) {
    if (!value)
        return nullptr;
    std::string out = withoutComments(bytesOf(value), value->cString() ? value->length() : 0);
    return new SAString(out.data(), out.size());
}

int SAMIMEPart::findTransferEncoding() {
    SARef<SAString> value = SARef<SAString>::adopt(copyWithoutComments(headerValueForKey(sContentTransferEncodingKey)));
    if (stringIs(value.get(), "quoted-printable"))
        return SAMIMEEncodingQuotedPrintable;
    if (stringIs(value.get(), "base64"))
        return SAMIMEEncodingBase64;
    if (stringIs(value.get(), "x-uuencode"))
        return SAMIMEEncodingUuencode;
    return SAMIMEEncodingIdentity;
}

SAMutableDictionary* SAMIMEPart::parseContentType(SAString* value) {
    if (!value)
        return nullptr;
    auto* result = new SAMutableDictionary(2UL);
    const unsigned char* p = bytesOf(value);
    unsigned long n = p ? value->length() : 0;
    unsigned long i = 0;

    // 1. Type, up to "/" or the end. An empty type is no type at all.
    while (i < n && isBlank(p[i]))
        ++i;
    unsigned long typeStart = i;
    while (i < n && p[i] != '/')
        ++i;
    if (i > typeStart) {
        SARef<SAMutableString> type = SARef<SAMutableString>::adopt(newLowercaseString(p + typeStart, i - typeStart));
        result->setObjectForKey(type.get(), sCtypeKey);
    }

    // 2. Subtype, after "/", up to a blank, ";" or the end.
    if (i < n && p[i] == '/') {
        ++i;
        while (i < n && isBlank(p[i]))
            ++i;
        unsigned long subtypeStart = i;
        while (i < n && !isBlank(p[i]) && p[i] != ';')
            ++i;
        SARef<SAMutableString> subtype =
            SARef<SAMutableString>::adopt(newLowercaseString(p + subtypeStart, i - subtypeStart));
        result->setObjectForKey(subtype.get(), sSubtypeKey);
    }

    // 3. Parameters: name "=" value, separated by blanks, line ends and ";".
    std::unordered_set<std::string> names;
    auto isSeparator = [](unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ';'; };
    while (i < n) {
        while (i < n && isSeparator(p[i]))
            ++i;
        if (i >= n)
            break;
        unsigned long nameStart = i;
        while (i < n && p[i] != '=')
            ++i;
        if (i >= n)
            break;
        unsigned long nameEnd = i++;
        while (i < n && (isBlank(p[i]) || p[i] == '\n' || p[i] == '\r'))
            ++i;
        unsigned long valueStart = i;
        while (i < n && p[i] != ';')
            ++i;

        SARef<SAMutableString> name =
            SARef<SAMutableString>::adopt(newLowercaseString(p + nameStart, nameEnd - nameStart));
        // A parameter never replaces the subtype parsed from the type itself.
        if (name->isEqualToString(sSubtypeKey))
            continue;
        std::string nameKey(name->cString(), name->length());
        if (!names.count(nameKey)) {
            if (names.size() >= kMaximumContentTypeParameters)
                continue;
            names.insert(std::move(nameKey));
        }
        SARef<SAMutableString> parameter = SARef<SAMutableString>::adopt(
            new SAMutableString(reinterpret_cast<const char*>(p + valueStart), i - valueStart));
        parameter->dequote();
        parameter->lowercase();
        result->setObjectForKey(parameter.get(), name.get());
    }
    return result;
}

SAMutableDictionary* SAMIMEPart::copyParsedContentType() {
    SAString* value = headerValueForKey(sContentTypeKey);
    if (!value)
        return nullptr;
    SARef<SAString> bare = SARef<SAString>::adopt(copyWithoutComments(value));
    return parseContentType(bare.get());
}

void SAMIMEPart::setCharsetFrom(SAMutableDictionary* contentType) {
    SAString* name = stringForKey(contentType, sCharset);
    if (!name)
        name = stringForKey(contentType, sEncoding);
    SAObject::retain(name);
    SAObject::release(_charsetName);
    _charsetName = name;
    SAStringEncodings encoding = SAEncodedString::getStringEncoding(name);
    if (encoding == SAStringEncodingUnknown)
        encoding = SAStringEncodingMacRoman;
    if (encoding == SAStringEncodingPlaceholder)
        _spamCharset = true;
    _charset = encoding;
}

void SAMIMEPart::classify(SAMutableDictionary* contentType) {
    _transferEncoding = findTransferEncoding();
    SAString* type = stringForKey(contentType, sCtypeKey);
    if (!type) {
        _contentType = SAMIMETypeText;
        _subtype = SAMIMESubtypePlain;
        _charset = SAStringEncodingMacRoman;
        return;
    }
    SAString* subtype = stringForKey(contentType, sSubtypeKey);
    if (stringIs(type, "multipart")) {
        _contentType = SAMIMETypeMultipart;
        _subtype = subtypeCode(kMultipartSubtypes, subtype, SAMIMESubtypeMixed);
    } else if (stringIs(type, "message")) {
        _contentType = SAMIMETypeMessage;
        if (stringIs(subtype, "rfc822")) {
            _subtype = SAMIMESubtypeRFC822;
        } else if (stringIs(subtype, "delivery-status")) {
            _subtype = SAMIMESubtypeDeliveryStatus;
            _charset = SAStringEncodingMacRoman;
        } else {
            _subtype = SAMIMESubtypePlain;
        }
    } else if (stringIs(type, "application")) {
        _contentType = SAMIMETypeApplication;
        _subtype = SAMIMESubtypeOctetStream;
    } else if (stringIs(type, "text")) {
        _contentType = SAMIMETypeText;
        if (stringForKey(contentType, sBoundaryKey))
            _boundaryForSinglePart = true;
        _subtype = subtypeCode(kTextSubtypes, subtype, SAMIMESubtypePlain);
        setCharsetFrom(contentType);
    } else {
        if (stringIs(type, "audio"))
            _contentType = SAMIMETypeAudio;
        else if (stringIs(type, "image"))
            _contentType = SAMIMETypeImage;
        else if (stringIs(type, "video"))
            _contentType = SAMIMETypeVideo;
        else
            _contentType = SAMIMETypeOther;
        _subtype = SAMIMESubtypeOther;
    }
}

int SAMIMEPart::buildHeader() {
    SARef<SAMutableDictionary> contentType = SARef<SAMutableDictionary>::adopt(copyParsedContentType());
    classify(contentType.get());
    return SAMIMEProcessSuccess;
}

int SAMIMEPart::buildContent() {
    SARef<SAMutableDictionary> contentType = SARef<SAMutableDictionary>::adopt(copyParsedContentType());
    classify(contentType.get());

    // 6. No usable Content-Type: plain text in the default charset.
    if (!stringForKey(contentType.get(), sCtypeKey)) {
        _content = decodedBody();
        if (!_content) {
            std::fputs(kNoContentTypeDecodingFailed, stdout);
            return SAMIMEProcessSuccess;
        }
        SAObject::retain(_content);
        _textContent = _content;
        analysePlainText(true);
        return SAMIMEProcessSuccess;
    }

    switch (_contentType) {
    case SAMIMETypeMessage: {
        // 1. An embedded message becomes the only child.
        SAObject::retain(_body);
        _content = _body;
        if (_subtype != SAMIMESubtypeRFC822)
            return SAMIMEProcessSuccess;
        SARef<SAMIMEPart> child = SARef<SAMIMEPart>::adopt(new SAMIMEPart(_body, _lfLineEnds, _depth + 1));
        if (child->process(false, false) != SAMIMEProcessSuccess)
            return SAMIMEProcessFailure;
        _parts->addObject(child.get());
        return SAMIMEProcessSuccess;
    }
    case SAMIMETypeMultipart: {
        // 2. Multipart: children at the boundary; the body is never decoded.
        SAObject::retain(_body);
        _content = _body;
        if (_subtype == SAMIMESubtypeEncrypted)
            return SAMIMEProcessSuccess;
        SAString* boundary = stringForKey(contentType.get(), sBoundaryKey);
        if (!boundary)
            return SAMIMEProcessSuccess;
        return splitMultipart(boundary);
    }
    case SAMIMETypeText:
        // 4. Text: decode, then analyse by subtype.
        _content = decodedBody();
        if (!_content)
            return SAMIMEProcessSuccess;
        SAObject::retain(_content);
        _textContent = _content;
        analyseText(stringForKey(contentType.get(), sSubtypeKey));
        return SAMIMEProcessSuccess;
    default:
        // 3. Everything else keeps its raw body.
        SAObject::retain(_body);
        _content = _body;
        return SAMIMEProcessSuccess;
    }
}

SAData* SAMIMEPart::decodedBody() {
    switch (_transferEncoding) {
    case SAMIMEEncodingQuotedPrintable:
        return SADecoderFactory::decodeQuotedPrintable(_body);
    case SAMIMEEncodingBase64:
        return SADecoderFactory::decodeBase64(_body);
    default:
        // Identity, and uuencode, which the parser leaves as it is.
        SAObject::retain(_body);
        return _body;
    }
}

void SAMIMEPart::analyseText(SAString* subtype) {
    if (!subtype) {
        // No subtype at all: plain text without the pseudo-tag test.
        analysePlainText(false);
        return;
    }
    switch (_subtype) {
    case SAMIMESubtypeHTML:
        SATextTranslator::clearHTMLTrickFlags();
        _urls = extractURLsFromData(_content, SAMIMESubtypeHTML);
        _addresses = extractEmailsFromData(_content, SAMIMESubtypeHTML);
        _simplifiedText = SATextTranslator::simplifiedHTML(_content);
        _whiteTrick = SATextTranslator::htmlWhiteTrick;
        _smallFontTrick = SATextTranslator::htmlSmallFontTrick;
        _tooManyWrongTags = SATextTranslator::tooManyWrongHTMLTags;
        _afterHTML = SATextTranslator::htmlAfter;
        _tooManySpanDisplayNone = SATextTranslator::tooManySpanDisplayNone;
        _floatLeftTrick = SATextTranslator::floatLeftClearBothTrick;
        return;
    case SAMIMESubtypeRichtext:
        _urls = extractURLsFromData(_content, SAMIMESubtypeRichtext);
        _addresses = extractEmailsFromData(_content, SAMIMESubtypeRichtext);
        return;
    case SAMIMESubtypeEnriched:
        SATextTranslator::enrichedWhiteTrick = false;
        _simplifiedText = SATextTranslator::enrichedToPlain(_content);
        _whiteTrick = SATextTranslator::enrichedWhiteTrick;
        _urls = extractURLsFromData(_simplifiedText, SAMIMESubtypeEnriched);
        _addresses = extractEmailsFromData(_simplifiedText, SAMIMESubtypeEnriched);
        return;
    case SAMIMESubtypePlain:
        // "plain", an empty subtype, or one this parser does not know.
        if (subtype->length() == 0 || stringIs(subtype, "plain"))
            analysePlainText(true);
        return;
    default:
        // calendar, directory: no extraction.
        return;
    }
}

void SAMIMEPart::analysePlainText(bool testPseudoTags) {
    if (testPseudoTags && SATextTranslator::containsPseudoTags(_content)) {
        _urls = extractURLsFromData(_content, SAMIMESubtypeHTML);
        _addresses = extractEmailsFromData(_content, SAMIMESubtypeHTML);
        _simplifiedText = SATextTranslator::simplifiedPseudoHTML(_content);
        return;
    }
    _urls = extractURLsFromData(_content, SAMIMESubtypePlain);
    _addresses = extractEmailsFromData(_content, SAMIMESubtypePlain);
}

int SAMIMEPart::splitMultipart(SAString* boundary) {
    const unsigned char* p = bytesOf(_body);
    unsigned long n = p ? _body->length() : 0;
    const unsigned char* b = bytesOf(boundary);
    unsigned long bl = b ? boundary->length() : 0;
    LineEnds ends(_lfLineEnds);

    // 1. A delimiter: "--" and the boundary at a line start, followed by CR,
    //    LF, "-" or the end of the body.
    auto delimiterAt = [&](unsigned long i) {
        if (i + 2 + bl > n || p[i] != '-' || p[i + 1] != '-')
            return false;
        for (unsigned long j = 0; j < bl; ++j)
            if (lowerASCII(p[i + 2 + j]) != lowerASCII(b[j]))
                return false;
        unsigned long after = i + 2 + bl;
        return after == n || p[after] == '\r' || p[after] == '\n' || p[after] == '-';
    };

    std::vector<SAObject*> children;
    int result = SAMIMEProcessSuccess;
    bool seenDelimiter = false;
    bool closed = false;
    unsigned long partStart = 0;
    unsigned long lineStart = 0;
    while (lineStart < n) {
        unsigned long searchFrom = lineStart;
        if (delimiterAt(lineStart)) {
            unsigned long after = lineStart + 2 + bl;
            // 3. Every delimiter after the first ends the current part at the
            //    line end before its "--".
            if (seenDelimiter) {
                unsigned long end = lineStart - ends.size();
                SAMIMEPart* child = newChild(partStart, end > partStart ? end : partStart);
                if (!child) {
                    result = SAMIMEProcessFailure;
                    break;
                }
                children.push_back(child);
            }
            // 4. The closing delimiter ends the split; the epilogue is ignored.
            if (after + 2 <= n && p[after] == '-' && p[after + 1] == '-') {
                closed = true;
                break;
            }
            // 2. The next part begins one line end after the boundary text.
            seenDelimiter = true;
            partStart = after + ends.size() < n ? after + ends.size() : n;
            searchFrom = after;
        }
        unsigned long lineEnd = ends.next(p, n, searchFrom);
        if (lineEnd >= n)
            break;
        lineStart = lineEnd + ends.size();
    }

    // 5. An unclosed last part: its bytes without the last one.
    if (result == SAMIMEProcessSuccess && !closed && seenDelimiter && n - partStart > 1) {
        SAMIMEPart* child = newChild(partStart, n - 1);
        if (child)
            children.push_back(child);
        else
            result = SAMIMEProcessFailure;
    }

    SAObject::release(_parts);
    _parts = newArrayAdopting(children);
    return result;
}

SAMIMEPart* SAMIMEPart::newChild(unsigned long start, unsigned long end) {
    const unsigned char* p = bytesOf(_body);
    SARef<SAData> view = SARef<SAData>::adopt(new SAData(p + start, end - start, true));
    auto* child = new SAMIMEPart(view.get(), _lfLineEnds, _depth + 1);
    if (child->process(false, false) != SAMIMEProcessSuccess) {
        SAObject::release(child);
        return nullptr;
    }
    return child;
}

// ---------------------------------------------------------------------------
// Header access

SAString* SAMIMEPart::headerValueForKey(SAString* name) {
    if (!_headers || !name)
        return nullptr;
    SAObject* list = _headers->objectForKey(name, SACaseInsensitiveSearch);
    if (!list || !list->isKindOfClass(GETIDSAArray()))
        return nullptr;
    SAObject* first = static_cast<SAArray*>(list)->objectAtIndex(0);
    return (first && first->isKindOfClass(GETIDSAString())) ? static_cast<SAString*>(first) : nullptr;
}

SAEncodedString* SAMIMEPart::copySubject() {
    SAString* value = headerValueForKey(sSubjectKey);
    return value ? new SAEncodedString(value) : nullptr;
}

SAEncodedString* SAMIMEPart::copyFrom() {
    SAString* value = headerValueForKey(sFromKey);
    return value ? new SAEncodedString(value) : nullptr;
}

SAString* SAMIMEPart::copyMessageID() {
    SAString* value = headerValueForKey(sMessageIDKey);
    return value ? new SAString(*value) : nullptr;
}

SAString* SAMIMEPart::copyAddressFromField(SAString* name) {
    SAString* value = headerValueForKey(name);
    return value ? copyAddress(value) : nullptr;
}

SAString* SAMIMEPart::copyAddress(SAString* value) {
    if (!value)
        return nullptr;
    std::string bare = withoutComments(bytesOf(value), value->cString() ? value->length() : 0);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bare.data());
    unsigned long n = bare.size();
    std::string collected;
    bool quoted = false;
    for (unsigned long i = 0; i < n; ++i) {
        unsigned char c = p[i];
        if (c == '"') {
            quoted = !quoted;
            continue;
        }
        if (quoted || c == ' ' || c == '\t')
            continue;
        if (c == '<') {
            collected.clear();
            continue;
        }
        if (c == '>')
            break;
        collected.push_back(static_cast<char>(c));
    }
    return new SAString(collected.data(), collected.size());
}

// ---------------------------------------------------------------------------
// Debug dump

void SAMIMEPart::description() {
    unsigned long childCount = _parts ? _parts->count() : 0;
    bool hasHeaders = _headers && _headers->count() > 0;
    if (hasHeaders) {
        std::fputs("(HEADERS)\n", stdout);
        _headers->description();
        if (childCount > 0) {
            std::fputs("PARTS:\n", stdout);
            for (unsigned long i = 0; i < childCount; ++i) {
                std::fputs(kPartSeparator, stdout);
                _parts->objectAtIndex(i)->description();
            }
            std::fputs(kPartSeparator, stdout);
        }
    }
    if (!hasHeaders || childCount == 0) {
        std::fputs("(CONTENT)\n", stdout);
        if (_content)
            _content->description();
        else
            std::fputs("NULL\n", stdout);
    }
    if (_urls)
        _urls->description();
    if (_addresses)
        _addresses->description();
}
