#include "mailparse/SAEncodedString.h"

#include <cstdio>

#include "mailparse/SAClassIdentity_p.h"
#include "mailparse/SAData.h"
#include "mailparse/SADecoderFactory.h"
#include "mailparse/SAMutableArray.h"
#include "mailparse/SAMutableDictionary.h"
#include "mailparse/SAString.h"

SA_DEFINE_CLASS_IDENTITY(SAEncodedString, SAObject)

// The constants are built before any other initialiser of the library runs;
// the exported pointers are constants themselves.
#define SA_STRING_CONSTANT(name, text)                                \
    namespace {                                                       \
    SAString name##Object __attribute__((init_priority(101))) (text); \
    }                                                                 \
    SAString* const name = &name##Object;

SA_STRING_CONSTANT(SAENCODEDSTRINGDATA, "Data")
SA_STRING_CONSTANT(SAENCODEDSTRINGENCODING, "Encoding")
SA_STRING_CONSTANT(SAUSASCIIENCODING, "US-ASCII")
SA_STRING_CONSTANT(SAMACINTOSH, "MACINTOSH")
SA_STRING_CONSTANT(SAUTF8ENCODING, "utf-8")
SA_STRING_CONSTANT(SACHINESEBIG5, "chinesebig5")
SA_STRING_CONSTANT(SABIG5, "big5")
SA_STRING_CONSTANT(SAGB2312, "gb2312")
SA_STRING_CONSTANT(SAHZGB2312, "hz-gb-2312")
SA_STRING_CONSTANT(SAGB2312CHARSET, "gb2312_charset")
SA_STRING_CONSTANT(SAWINDOWS1250, "windows-1250")
SA_STRING_CONSTANT(SAWINDOWS1251, "windows-1251")
SA_STRING_CONSTANT(SAWINDOWS1252, "windows-1252")
SA_STRING_CONSTANT(SAWINDOWS1253, "windows-1253")
SA_STRING_CONSTANT(SAWINDOWS1254, "windows-1254")
SA_STRING_CONSTANT(SAEUCJP, "EUC-JP")
SA_STRING_CONSTANT(SAEUCKR, "EUC-KR")
SA_STRING_CONSTANT(SADEFAULT, "DEFAULT")
SA_STRING_CONSTANT(SADEFAULTCHARSET, "DEFAULT_CHARSET")
SA_STRING_CONSTANT(SAPERCENTCHARSET, "%CHARSET")
SA_STRING_CONSTANT(SARANDOMCHARSET, "%RND_CHSET")
SA_STRING_CONSTANT(SAISO2022JP, "iso-2022-jp")
SA_STRING_CONSTANT(SAISO2022KR, "iso-2022-kr")
SA_STRING_CONSTANT(SAISO2022CN, "iso-2022-cn")
SA_STRING_CONSTANT(SAKOI8R, "koi8-r")
SA_STRING_CONSTANT(SASHIFTJIS, "SHIFT_JIS")
SA_STRING_CONSTANT(SASHIFTJIS2, "SHIFT-JIS")
SA_STRING_CONSTANT(SAKSC56011987, "ks_c_5601-1987")
SA_STRING_CONSTANT(SAXMACROMAN, "x-mac-roman")
SA_STRING_CONSTANT(SAXMACJAPANESE, "x-mac-japanese")
SA_STRING_CONSTANT(SAXMACLATIN1, "x-mac-latin1")
SA_STRING_CONSTANT(SAXMACCYRILLIC, "x-mac-cyrillic")
SA_STRING_CONSTANT(SAXMACUKRAINIAN, "x-mac-ukrainian")
SA_STRING_CONSTANT(SAXMACHEBREW, "x-mac-hebrew")
SA_STRING_CONSTANT(SAXMACGREEK, "x-mac-greek")
SA_STRING_CONSTANT(SAXMACKOREAN, "x-mac-korean")
SA_STRING_CONSTANT(kISOPrefix, "iso-")
SA_STRING_CONSTANT(kISO8859Prefix, "iso-8859-")
SA_STRING_CONSTANT(kISO2022Prefix, "iso-2022-")
SA_STRING_CONSTANT(kXMacPrefix, "x-mac")

#undef SA_STRING_CONSTANT

namespace {

inline bool isWhiteSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Case-insensitive equality with a charset constant.
inline bool is(const SAString* name, const SAString* constant) {
    return name->length() == constant->length() && name->compareOptions(constant, SACaseInsensitiveSearch) == 0;
}

// Appends a segment {Data: data (when not null), Encoding: charset}.
void appendSegment(SAMutableArray* segments, SAData* data, SAString* charset) {
    auto* segment = new SAMutableDictionary(2UL);
    if (data)
        segment->setObjectForKey(data, SAENCODEDSTRINGDATA);
    segment->setObjectForKey(charset, SAENCODEDSTRINGENCODING);
    segments->addObject(segment);
    SAObject::release(segment);
}

void appendPlainText(SAMutableArray* segments, const unsigned char* bytes, unsigned long length) {
    auto* data = new SAData(bytes, length, false);
    appendSegment(segments, data, SAUSASCIIENCODING);
    SAObject::release(data);
}

// Offset of the first `c` at or after `from` (before `end`), or `end`.
inline unsigned long find(const unsigned char* bytes, unsigned long from, unsigned long end, unsigned char c) {
    while (from < end && bytes[from] != c)
        ++from;
    return from;
}

}  // namespace

SAEncodedString::SAEncodedString(const SAString* value) : _segments(nullptr) {
    if (!value || !value->cString())
        return;
    _segments = new SAMutableArray(1UL);
    const auto* bytes = reinterpret_cast<const unsigned char*>(value->cString());
    const unsigned long length = value->length();

    unsigned long pending = 0;  // start of the pending plain text
    bool afterWord = false;     // only white space (or "=") since the last encoded word
    unsigned long i = 0;
    while (i < length) {
        // 1. Plain text.
        if (!(bytes[i] == '=' && i + 1 < length && bytes[i + 1] == '?')) {
            if (!isWhiteSpace(bytes[i]) && bytes[i] != '=')
                afterWord = false;
            ++i;
            continue;
        }
        // 2.1 At "=?": flush the pending text unless it only separates two words.
        if (i > pending && !afterWord)
            appendPlainText(_segments, bytes + pending, i - pending);
        // 2.2 The charset name.
        unsigned long charsetStart = i + 2;
        pending = charsetStart;
        unsigned long charsetEnd = find(bytes, charsetStart, length, '?');
        if (charsetEnd == length)
            break;
        // 2.3 The encoding field, exactly one byte.
        unsigned long fieldStart = charsetEnd + 1;
        pending = fieldStart;
        unsigned long fieldEnd = find(bytes, fieldStart, length, '?');
        if (fieldEnd == length)
            break;
        if (fieldEnd - fieldStart != 1) {
            SAObject::release(_segments);
            _segments = nullptr;
            return;
        }
        // 2.4 The encoded text, up to "?=".
        unsigned long textStart = fieldEnd + 1;
        pending = textStart;
        unsigned long textEnd = textStart;
        while (textEnd < length && !(bytes[textEnd] == '?' && textEnd + 1 < length && bytes[textEnd + 1] == '='))
            ++textEnd;
        if (textEnd == length)
            break;
        // 2.5 Decode: "Q"/"q", anything else Base64.
        auto* encoded = new SAData(bytes + textStart, textEnd - textStart, true);
        unsigned char letter = bytes[fieldStart];
        SAData* decoded = (letter == 'Q' || letter == 'q') ? SADecoderFactory::decodeQ(encoded)
                                                           : SADecoderFactory::decodeBase64(encoded);
        SAObject::release(encoded);
        auto* charset = new SAString(reinterpret_cast<const char*>(bytes + charsetStart), charsetEnd - charsetStart);
        appendSegment(_segments, decoded, charset);
        SAObject::release(charset);
        SAObject::release(decoded);
        afterWord = true;
        i = textEnd + 2;
        pending = i;
    }
    // 4. What is left (also after an early stop) is plain text.
    if (pending < length)
        appendPlainText(_segments, bytes + pending, length - pending);
}

SAEncodedString::~SAEncodedString() { SAObject::release(_segments); }

void SAEncodedString::description() {
    if (_segments)
        _segments->description();
    else
        std::fputs("(null)\n", stdout);
}

SAStringEncodings SAEncodedString::getStringEncoding(const SAString* name) {
    // 1. Nothing to look at.
    if (!name || !name->cString())
        return SAStringEncodingUnknown;
    // 2. The ISO families.
    if (name->hasPrefix(kISOPrefix, SACaseInsensitiveSearch)) {
        if (name->hasPrefix(kISO8859Prefix, SACaseInsensitiveSearch)) {
            // The part number: every following byte taken as a decimal digit.
            // A number too long to name any part gives "unknown".
            const char* digits = name->cString() + kISO8859Prefix->length();
            unsigned long count = name->length() - kISO8859Prefix->length();
            if (count > 6)
                return SAStringEncodingUnknown;
            long number = 0;
            for (unsigned long k = 0; k < count; ++k)
                number = number * 10 + (static_cast<unsigned char>(digits[k]) - '0');
            return static_cast<SAStringEncodings>(SAStringEncodingISO8859Base + number);
        }
        if (name->hasPrefix(kISO2022Prefix, SACaseInsensitiveSearch)) {
            if (is(name, SAISO2022JP))
                return SAStringEncodingISO_2022_JP;
            if (is(name, SAISO2022KR))
                return SAStringEncodingISO_2022_KR;
            if (is(name, SAISO2022CN))
                return SAStringEncodingISO_2022_CN;
            return SAStringEncodingUnknown;
        }
        return SAStringEncodingPlaceholder;
    }
    // 3. The Mac families.
    if (name->hasPrefix(kXMacPrefix, SACaseInsensitiveSearch)) {
        if (is(name, SAXMACROMAN))
            return SAStringEncodingMacRoman;
        if (is(name, SAXMACJAPANESE))
            return SAStringEncodingMacJapanese;
        if (is(name, SAXMACCYRILLIC))
            return SAStringEncodingMacCyrillic;
        if (is(name, SAXMACUKRAINIAN))
            return SAStringEncodingMacUkrainian;
        if (is(name, SAXMACHEBREW))
            return SAStringEncodingMacHebrew;
        if (is(name, SAXMACGREEK))
            return SAStringEncodingMacGreek;
        if (is(name, SAXMACKOREAN))
            return SAStringEncodingMacKorean;
        return SAStringEncodingUnknown;
    }
    // 4. Single names, in this order.
    if (is(name, SAUSASCIIENCODING) || is(name, SAMACINTOSH))
        return SAStringEncodingMacRoman;
    if (is(name, SACHINESEBIG5) || is(name, SABIG5))
        return SAStringEncodingBig5;
    if (is(name, SAWINDOWS1250))
        return SAStringEncodingWindowsLatin2;
    if (is(name, SAWINDOWS1251))
        return SAStringEncodingWindowsCyrillic;
    if (is(name, SAWINDOWS1252))
        return SAStringEncodingWindowsLatin1;
    if (is(name, SAWINDOWS1253))
        return SAStringEncodingWindowsGreek;
    if (is(name, SAWINDOWS1254))
        return SAStringEncodingWindowsLatin5;
    if (is(name, SAGB2312) || is(name, SAGB2312CHARSET))
        return SAStringEncodingDOSChineseSimplif;
    if (is(name, SAHZGB2312))
        return SAStringEncodingHZ_GB_2312;
    if (is(name, SADEFAULTCHARSET) || is(name, SADEFAULT))
        return SAStringEncodingMacRoman;
    if (is(name, SAUTF8ENCODING))
        return SAStringEncodingUTF8;
    if (is(name, SAEUCKR) || is(name, SAKSC56011987))
        return SAStringEncodingEUC_KR;
    if (is(name, SAEUCJP))
        return SAStringEncodingEUC_JP;
    if (is(name, SAKOI8R))
        return SAStringEncodingKOI8_R;
    if (is(name, SASHIFTJIS) || is(name, SASHIFTJIS2))
        return SAStringEncodingShiftJIS;
    if (is(name, SAPERCENTCHARSET) || is(name, SARANDOMCHARSET))
        return SAStringEncodingPlaceholder;
    return SAStringEncodingUnknown;
}

bool SAEncodedString::isExoticCharSet(SAStringEncodings encoding) {
    switch (encoding) {
    case SAStringEncodingMacKorean:
    case SAStringEncodingMacCyrillic:
    case SAStringEncodingMacUkrainian:
    case SAStringEncodingISO8859Base + 5:
    case SAStringEncodingISO8859Base + 11:
    case SAStringEncodingDOSChineseSimplif:
    case SAStringEncodingWindowsCyrillic:
    case SAStringEncodingKSC_5601_87:
    case SAStringEncodingISO_2022_CN:
    case SAStringEncodingISO_2022_KR:
    case SAStringEncodingEUC_KR:
    case SAStringEncodingKOI8_R:
    case SAStringEncodingBig5:
    case SAStringEncodingHZ_GB_2312:
        return true;
    default:
        return false;
    }
}

bool SAEncodedString::isJapaneseCharSet(SAStringEncodings encoding) {
    return encoding == SAStringEncodingMacJapanese || encoding == SAStringEncodingISO_2022_JP ||
           encoding == SAStringEncodingEUC_JP;
}

namespace {

template <class Predicate>
bool anySegment(const SAMutableArray* segments, Predicate predicate) {
    if (!segments)
        return false;
    for (unsigned long i = 0; i < segments->count(); ++i) {
        auto* segment = static_cast<SADictionary*>(segments->objectAtIndex(i));
        auto* charset = static_cast<SAString*>(segment->objectForKey(SAENCODEDSTRINGENCODING, 0));
        if (predicate(SAEncodedString::getStringEncoding(charset)))
            return true;
    }
    return false;
}

}  // namespace

bool SAEncodedString::containsExoticCharset() const { return anySegment(_segments, isExoticCharSet); }

bool SAEncodedString::containsJapaneseCharset() const { return anySegment(_segments, isJapaneseCharSet); }

SAString* SAEncodedString::copyString() const {
    if (!_segments)
        return nullptr;
    auto* parts = new SAMutableArray(_segments->count());
    bool allASCII = true;
    for (unsigned long i = 0; i < _segments->count() && allASCII; ++i) {
        auto* segment = static_cast<SADictionary*>(_segments->objectAtIndex(i));
        auto* charset = static_cast<SAString*>(segment->objectForKey(SAENCODEDSTRINGENCODING, 0));
        if (getStringEncoding(charset) != SAStringEncodingASCII) {
            allASCII = false;
            break;
        }
        if (auto* data = static_cast<SAData*>(segment->objectForKey(SAENCODEDSTRINGDATA, 0))) {
            auto* part = new SAString(data->bytes(), data->length());
            parts->addObject(part);
            SAObject::release(part);
        }
    }
    SAString* result = nullptr;
    if (allASCII) {
        SAString empty("");
        result = parts->componentsJoinedByString(&empty);
    }
    SAObject::release(parts);
    return result;
}
