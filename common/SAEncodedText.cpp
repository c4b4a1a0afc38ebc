#include "common/SAEncodedText.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ucnv_err.h>

#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "mailparse/SAData.h"
#include "mailparse/SAMutableArray.h"
#include "mailparse/SAMutableDictionary.h"
#include "mailparse/SAString.h"

namespace {

struct ConverterClose {
    void operator()(UConverter* converter) const { ucnv_close(converter); }
};
using Converter = std::unique_ptr<UConverter, ConverterClose>;

// ICU names of the ISO 8859 parts; null where ICU has none.
const char* const kISO8859[] = {
    nullptr,      "ISO-8859-1",  "ISO-8859-2",  "ISO-8859-3",  "ISO-8859-4",  "ISO-8859-5",
    "ISO-8859-6", "ISO-8859-7",  "ISO-8859-8",  "ISO-8859-9",  "ISO-8859-10", "ISO-8859-11",
    nullptr,      "ISO-8859-13", "ISO-8859-14", "ISO-8859-15", nullptr,
};

}  // namespace

const char* SAEncodedText::converterName(SAStringEncodings encoding) {
    if (encoding > SAStringEncodingISO8859Base && encoding < SAStringEncodingISO8859Base + 17)
        return kISO8859[encoding - SAStringEncodingISO8859Base];
    switch (encoding) {
    case SAStringEncodingMacRoman:
        return "macintosh";
    case SAStringEncodingMacGreek:
        return "x-mac-greek";
    case SAStringEncodingMacCyrillic:
        return "x-mac-cyrillic";
    case SAStringEncodingMacUkrainian:
        // ICU's Mac Cyrillic is the later table that carries the Ukrainian letters.
        return "x-mac-cyrillic";
    case SAStringEncodingASCII:
        return "US-ASCII";
    case SAStringEncodingDOSChineseSimplif:
        return "windows-936";
    case SAStringEncodingKSC_5601_87:
        return "windows-949";
    case SAStringEncodingWindowsLatin1:
        return "windows-1252";
    case SAStringEncodingWindowsLatin2:
        return "windows-1250";
    case SAStringEncodingWindowsCyrillic:
        return "windows-1251";
    case SAStringEncodingWindowsGreek:
        return "windows-1253";
    case SAStringEncodingWindowsLatin5:
        return "windows-1254";
    case SAStringEncodingISO_2022_JP:
        return "ISO-2022-JP";
    case SAStringEncodingISO_2022_CN:
        return "ISO-2022-CN";
    case SAStringEncodingISO_2022_KR:
        return "ISO-2022-KR";
    case SAStringEncodingEUC_JP:
        return "EUC-JP";
    case SAStringEncodingEUC_KR:
        return "EUC-KR";
    case SAStringEncodingShiftJIS:
        return "Shift_JIS";
    case SAStringEncodingKOI8_R:
        return "KOI8-R";
    case SAStringEncodingBig5:
        return "Big5";
    case SAStringEncodingHZ_GB_2312:
        return "HZ-GB-2312";
    case SAStringEncodingUTF8:
        return "UTF-8";
    default:
        // Mac Japanese, Mac Korean and Mac Hebrew have no ICU converter.
        return nullptr;
    }
}

namespace {

bool tooLongToConvert(unsigned long length) {
    return length > static_cast<unsigned long>(std::numeric_limits<int32_t>::max() / 2);
}

// Writes U+FFFD for a byte sequence the charset does not define (ICU's own
// substitution writes U+001A for some charsets).
void writeReplacementCharacter(const void*, UConverterToUnicodeArgs* args, const char*, int32_t,
                               UConverterCallbackReason reason, UErrorCode* status) {
    if (reason > UCNV_IRREGULAR)
        return;
    static const UChar kReplacement = 0xFFFD;
    *status = U_ZERO_ERROR;
    ucnv_cbToUWriteUChars(args, &kReplacement, 1, 0, status);
}

// Converts with the ICU converter `converter`; `strict` stops at the first
// byte sequence the charset does not define, as a strict decoder does,
// instead of writing U+FFFD for it.
bool convertWith(UConverter* converter, const char* bytes, unsigned long length, bool strict, QString* text) {
    UErrorCode status = U_ZERO_ERROR;
    ucnv_reset(converter);
    ucnv_setToUCallBack(converter, strict ? UCNV_TO_U_CALLBACK_STOP : writeReplacementCharacter, nullptr, nullptr,
                        nullptr, &status);
    if (U_FAILURE(status))
        return false;

    // Measure, then convert into a buffer of exactly that size.
    const auto sourceLength = static_cast<int32_t>(length);
    int32_t needed = ucnv_toUChars(converter, nullptr, 0, bytes, sourceLength, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status))
        return false;
    status = U_ZERO_ERROR;
    ucnv_reset(converter);
    QString result(needed, Qt::Uninitialized);
    int32_t written =
        ucnv_toUChars(converter, reinterpret_cast<UChar*>(result.data()), needed, bytes, sourceLength, &status);
    if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING)
        return false;
    if (written != needed)
        return false;
    *text = std::move(result);
    return true;
}

// Windows-1252 from 0x80 to 0x9F; the five bytes it leaves undefined keep
// their ISO Latin 1 meaning, so every byte reads as something.
const char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

QString fromWindows1252(const char* bytes, unsigned long length) {
    QString text(static_cast<qsizetype>(length), Qt::Uninitialized);
    QChar* out = text.data();
    for (unsigned long i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        out[i] = QChar(byte >= 0x80 && byte < 0xA0 ? kWindows1252High[byte - 0x80] : char16_t(byte));
    }
    return text;
}

// Text whose charset is not known: UTF-8 when the bytes are valid UTF-8
// (what current mail programs write), else Windows-1252, the superset of ISO
// Latin 1 that older ones write.
QString guessedText(const char* bytes, unsigned long length) {
    const QByteArrayView view(bytes, static_cast<qsizetype>(length));
    if (view.isValidUtf8())
        return QString::fromUtf8(view);
    return fromWindows1252(bytes, length);
}

// A charset name as mail writes it, without quotes and blanks around it and
// without whatever follows it ("iso-8859-1\" format=flowed"). Empty when
// nothing of a name is left.
std::string cleanCharsetName(const SAString* name) {
    constexpr unsigned long kLongestName = 40;
    if (!name || !name->cString())
        return {};
    const char* p = name->cString();
    const unsigned long n = name->length();
    unsigned long i = 0;
    while (i < n && (p[i] == ' ' || p[i] == '\t' || p[i] == '"' || p[i] == '\''))
        ++i;
    const unsigned long start = i;
    auto isNameByte = [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
               c == '.' || c == ':' || c == '+' || c == '(' || c == ')';
    };
    while (i < n && isNameByte(static_cast<unsigned char>(p[i])))
        ++i;
    if (i - start > kLongestName)
        return {};
    return std::string(p + start, i - start);
}

bool sameName(const char* a, const char* b) { return a && b && ucnv_compareNames(a, b) == 0; }

// ICU's own name of its Windows-1252 converter.
const char* windows1252Name() {
    UErrorCode status = U_ZERO_ERROR;
    const char* name = ucnv_getAlias("windows-1252", 0, &status);
    return U_SUCCESS(status) && name ? name : "windows-1252";
}

// The ICU converter for a cleaned charset name; null when the text is to be
// guessed. Names of the parsing library's table keep their meaning there (so
// "gb2312" reads as its superset GBK); other spellings ("iso_8859-9",
// "latin1", "cp1251", "koi8-u", "utf8") go through ICU's aliases.
Converter converterFor(const std::string& name) {
    if (name.empty())
        return nullptr;
    SAString string(name.data(), name.size());
    const SAStringEncodings encoding = SAEncodedString::getStringEncoding(&string);
    const char* icuName = nullptr;
    if (encoding == SAStringEncodingMacRoman) {
        // Code 0 also stands for US-ASCII and DEFAULT: only the Mac names mean Mac Roman.
        if (!sameName(name.c_str(), "macintosh") && !sameName(name.c_str(), "x-mac-roman"))
            return nullptr;
        icuName = "macintosh";
    } else if (encoding == SAStringEncodingPlaceholder) {
        return nullptr;
    } else {
        icuName = SAEncodedText::converterName(encoding);
        if (!icuName)
            icuName = name.c_str();
    }
    UErrorCode status = U_ZERO_ERROR;
    Converter converter(ucnv_open(icuName, &status));
    if (U_FAILURE(status))
        return nullptr;
    return converter;
}

}  // namespace

bool SAEncodedText::convertBytes(const char* bytes, unsigned long length, SAStringEncodings encoding, QString* text) {
    const char* name = converterName(encoding);
    if (!name || !text)
        return false;
    if (length == 0) {
        text->clear();
        return true;
    }
    if (!bytes || tooLongToConvert(length))
        return false;

    UErrorCode status = U_ZERO_ERROR;
    Converter converter(ucnv_open(name, &status));
    if (U_FAILURE(status) || !converter)
        return false;
    return convertWith(converter.get(), bytes, length, true, text);
}

namespace {

// decodeText() with the charset name cleaned.
bool decodeNamed(const char* bytes, unsigned long length, const std::string& charset, QString* text) {
    Converter converter = converterFor(charset);
    if (!converter) {
        *text = guessedText(bytes, length);
        return true;
    }
    UErrorCode status = U_ZERO_ERROR;
    const char* canonical = ucnv_getName(converter.get(), &status);
    if (U_FAILURE(status) || !canonical)
        canonical = "";
    if (sameName(canonical, "US-ASCII")) {
        // Eight-bit bytes in text declared ASCII come from a mail program
        // that wrote its own charset without saying so.
        *text = guessedText(bytes, length);
        return true;
    }
    if (sameName(canonical, "ISO-8859-1") || sameName(canonical, windows1252Name())) {
        // Text declared ISO Latin 1 often carries Windows-1252 quotes and dashes.
        *text = fromWindows1252(bytes, length);
        return true;
    }
    if (convertWith(converter.get(), bytes, length, true, text))
        return true;
    if (sameName(canonical, "UTF-8")) {
        // Invalid UTF-8 is most often ISO Latin 1 or Windows-1252 mislabelled.
        *text = fromWindows1252(bytes, length);
        return true;
    }
    return convertWith(converter.get(), bytes, length, false, text);
}

}  // namespace

bool SAEncodedText::decodeText(const char* bytes, unsigned long length, const SAString* charset, QString* text) {
    if (!text)
        return false;
    if (length == 0 || !bytes) {
        text->clear();
        return true;
    }
    if (tooLongToConvert(length))
        return false;
    // The filters decode the same part of a message one after the other on one
    // thread: the last text each thread decoded is kept with its bytes. Short
    // texts (header words) are decoded again: keeping them would cost more,
    // and they would push out the part.
    constexpr unsigned long kShortestKept = 256;
    if (length < kShortestKept)
        return decodeNamed(bytes, length, cleanCharsetName(charset), text);
    struct Last {
        std::string charset;
        QByteArray bytes;
        QString text;
    };
    thread_local Last last;
    std::string name = cleanCharsetName(charset);
    if (size_t(last.bytes.size()) == length && last.charset == name &&
        std::memcmp(last.bytes.constData(), bytes, length) == 0) {
        *text = last.text;
        return true;
    }
    if (!decodeNamed(bytes, length, name, text))
        return false;
    last = {std::move(name), QByteArray(bytes, qsizetype(length)), *text};
    return true;
}

QString SAEncodedText::stringWithEncodedString(const SAEncodedString* encoded) {
    // 1. An empty string.
    QString text;
    SAMutableArray* segments = encoded ? encoded->segments() : nullptr;
    if (!segments)
        return text;
    for (unsigned long i = 0; i < segments->count(); ++i) {
        auto* segment = static_cast<SADictionary*>(segments->objectAtIndex(i));
        if (!segment || !segment->isKindOfClass(GETIDSADictionary()))
            continue;
        auto* data = static_cast<SAData*>(segment->objectForKey(SAENCODEDSTRINGDATA, 0));
        if (!data || !data->isKindOfClass(GETIDSAData()))
            continue;
        // 2. The segment in the charset its name maps to.
        auto* charset = static_cast<SAString*>(segment->objectForKey(SAENCODEDSTRINGENCODING, 0));
        if (charset && !charset->isKindOfClass(GETIDSAString()))
            charset = nullptr;
        QString part;
        if (decodeText(data->bytes(), data->length(), charset, &part))
            text += part;
    }
    return text;
}
