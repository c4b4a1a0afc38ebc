#include "common/SAEncodedText.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>

#include <limits>
#include <memory>

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

bool SAEncodedText::convertBytes(const char* bytes, unsigned long length, SAStringEncodings encoding, QString* text) {
    const char* name = converterName(encoding);
    if (!name || !text)
        return false;
    if (length == 0) {
        text->clear();
        return true;
    }
    if (!bytes || length > static_cast<unsigned long>(std::numeric_limits<int32_t>::max() / 2))
        return false;

    UErrorCode status = U_ZERO_ERROR;
    Converter converter(ucnv_open(name, &status));
    if (U_FAILURE(status) || !converter)
        return false;
    // Stop at the first byte sequence the charset does not define, as a strict
    // decoder does, instead of substituting.
    ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    if (U_FAILURE(status))
        return false;

    // Measure, then convert into a buffer of exactly that size.
    const auto sourceLength = static_cast<int32_t>(length);
    int32_t needed = ucnv_toUChars(converter.get(), nullptr, 0, bytes, sourceLength, &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status))
        return false;
    status = U_ZERO_ERROR;
    ucnv_reset(converter.get());
    QString result(needed, Qt::Uninitialized);
    int32_t written =
        ucnv_toUChars(converter.get(), reinterpret_cast<UChar*>(result.data()), needed, bytes, sourceLength, &status);
    if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING)
        return false;
    if (written != needed)
        return false;
    *text = std::move(result);
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
        SAStringEncodings encoding = SAEncodedString::getStringEncoding(charset);
        QString part;
        if (convertBytes(data->bytes(), data->length(), encoding, &part)) {
            text += part;
        } else if (encoding == SAStringEncodingUTF8) {
            // 3. Invalid UTF-8 is read again as ISO Latin 1.
            text += QString::fromLatin1(data->bytes(), static_cast<qsizetype>(data->length()));
        }
        // 4. Anything else contributes nothing.
    }
    return text;
}
