#pragma once

#include <cstdint>

#include "mailparse/SAObject.h"

class SAString;
class SAMutableArray;

const char* GETIDSAEncodedString();
const char* GETNAMESAEncodedString();

/// Numeric charset identifier: the desktop string-encoding numbers, with
/// SAStringEncodingUnknown (−1) and SAStringEncodingPlaceholder (−2).
using SAStringEncodings = int32_t;

inline constexpr SAStringEncodings SAStringEncodingUnknown = -1;
inline constexpr SAStringEncodings SAStringEncodingPlaceholder = -2;
inline constexpr SAStringEncodings SAStringEncodingMacRoman = 0;
inline constexpr SAStringEncodings SAStringEncodingMacJapanese = 1;
inline constexpr SAStringEncodings SAStringEncodingMacKorean = 3;
inline constexpr SAStringEncodings SAStringEncodingMacHebrew = 5;
inline constexpr SAStringEncodings SAStringEncodingMacGreek = 6;
inline constexpr SAStringEncodings SAStringEncodingMacCyrillic = 7;
inline constexpr SAStringEncodings SAStringEncodingMacUkrainian = 152;
/// ISO 8859 part N is SAStringEncodingISO8859Base + N (Latin 1 = 513).
inline constexpr SAStringEncodings SAStringEncodingISO8859Base = 512;
inline constexpr SAStringEncodings SAStringEncodingISOLatin1 = 513;
inline constexpr SAStringEncodings SAStringEncodingASCII = 1536;
inline constexpr SAStringEncodings SAStringEncodingDOSChineseSimplif = 1057;
inline constexpr SAStringEncodings SAStringEncodingKSC_5601_87 = 1600;
inline constexpr SAStringEncodings SAStringEncodingWindowsLatin1 = 1280;
inline constexpr SAStringEncodings SAStringEncodingWindowsLatin2 = 1281;
inline constexpr SAStringEncodings SAStringEncodingWindowsCyrillic = 1282;
inline constexpr SAStringEncodings SAStringEncodingWindowsGreek = 1283;
inline constexpr SAStringEncodings SAStringEncodingWindowsLatin5 = 1284;
inline constexpr SAStringEncodings SAStringEncodingISO_2022_JP = 2080;
inline constexpr SAStringEncodings SAStringEncodingISO_2022_CN = 2096;
inline constexpr SAStringEncodings SAStringEncodingISO_2022_KR = 2112;
inline constexpr SAStringEncodings SAStringEncodingEUC_JP = 2336;
inline constexpr SAStringEncodings SAStringEncodingEUC_KR = 2368;
inline constexpr SAStringEncodings SAStringEncodingShiftJIS = 2561;
inline constexpr SAStringEncodings SAStringEncodingKOI8_R = 2562;
inline constexpr SAStringEncodings SAStringEncodingBig5 = 2563;
inline constexpr SAStringEncodings SAStringEncodingHZ_GB_2312 = 2565;
inline constexpr SAStringEncodings SAStringEncodingUTF8 = 0x08000100;

// Keys of a segment dictionary (borrowed constants; never release them).
extern SAString* const SAENCODEDSTRINGDATA;      // "Data": SAData, decoded bytes
extern SAString* const SAENCODEDSTRINGENCODING;  // "Encoding": SAString, charset name

// Charset names, built at start-up (borrowed constants).
extern SAString* const SAUSASCIIENCODING;  // "US-ASCII"
extern SAString* const SAMACINTOSH;        // "MACINTOSH"
extern SAString* const SAUTF8ENCODING;     // "utf-8"
extern SAString* const SACHINESEBIG5;      // "chinesebig5"
extern SAString* const SABIG5;             // "big5"
extern SAString* const SAGB2312;           // "gb2312"
extern SAString* const SAHZGB2312;         // "hz-gb-2312"
extern SAString* const SAGB2312CHARSET;    // "gb2312_charset"
extern SAString* const SAWINDOWS1250;      // "windows-1250"
extern SAString* const SAWINDOWS1251;      // "windows-1251"
extern SAString* const SAWINDOWS1252;      // "windows-1252"
extern SAString* const SAWINDOWS1253;      // "windows-1253"
extern SAString* const SAWINDOWS1254;      // "windows-1254"
extern SAString* const SAEUCJP;            // "EUC-JP"
extern SAString* const SAEUCKR;            // "EUC-KR"
extern SAString* const SADEFAULT;          // "DEFAULT"
extern SAString* const SADEFAULTCHARSET;   // "DEFAULT_CHARSET"
extern SAString* const SAPERCENTCHARSET;   // "%CHARSET"
extern SAString* const SARANDOMCHARSET;    // "%RND_CHSET"
extern SAString* const SAISO2022JP;        // "iso-2022-jp"
extern SAString* const SAISO2022KR;        // "iso-2022-kr"
extern SAString* const SAISO2022CN;        // "iso-2022-cn"
extern SAString* const SAKOI8R;            // "koi8-r"
extern SAString* const SASHIFTJIS;         // "SHIFT_JIS"
extern SAString* const SASHIFTJIS2;        // "SHIFT-JIS"
extern SAString* const SAKSC56011987;      // "ks_c_5601-1987"
extern SAString* const SAXMACROMAN;        // "x-mac-roman"
extern SAString* const SAXMACJAPANESE;     // "x-mac-japanese"
extern SAString* const SAXMACLATIN1;       // "x-mac-latin1" (never matched)
extern SAString* const SAXMACCYRILLIC;     // "x-mac-cyrillic"
extern SAString* const SAXMACUKRAINIAN;    // "x-mac-ukrainian"
extern SAString* const SAXMACHEBREW;       // "x-mac-hebrew"
extern SAString* const SAXMACGREEK;        // "x-mac-greek"
extern SAString* const SAXMACKOREAN;       // "x-mac-korean"

// A header value split into segments at its RFC 2047 encoded words. Each
// segment is a dictionary {SAENCODEDSTRINGDATA: decoded bytes (absent when an
// encoded word could not be decoded), SAENCODEDSTRINGENCODING: charset name,
// "US-ASCII" for plain text}.
class SAEncodedString : public SAObject {
public:
    /// Parses `value`. A null value, or one with a malformed encoding field,
    /// leaves no segments.
    explicit SAEncodedString(const SAString* value);
    ~SAEncodedString() override;
    SAEncodedString(const SAEncodedString&) = delete;
    SAEncodedString& operator=(const SAEncodedString&) = delete;

    const char* stringFromClass() override;
    const char* classID() override;
    bool isKindOfClass(const char* name) override;
    static const char* _classTypeID;
    /// Prints the segment list's dump.
    void description() override;

    /// The segment list (borrowed), or null when the value was rejected.
    SAMutableArray* segments() const { return _segments; }

    /// Charset name → encoding identifier (case-insensitive); −1 for unknown
    /// names and null, −2 for template placeholders and other "iso-" names.
    static SAStringEncodings getStringEncoding(const SAString* name);
    /// True for the Asian and Cyrillic identifiers the engine treats as exotic.
    static bool isExoticCharSet(SAStringEncodings encoding);
    /// True for Mac Japanese, ISO-2022-JP and EUC-JP.
    static bool isJapaneseCharSet(SAStringEncodings encoding);

    /// True when some segment's charset is exotic (resp. Japanese).
    bool containsExoticCharset() const;
    bool containsJapaneseCharset() const;

    /// New string joining the data of all segments when every segment's charset
    /// maps to SAStringEncodingASCII (1536); null otherwise (so for every value
    /// whose plain text is labelled "US-ASCII", which maps to 0).
    SAString* copyString() const;

private:
    SAMutableArray* _segments;
};
