#pragma once

#include <QString>

#include "mailparse/SAEncodedString.h"

// Text of the parsing library's encoded header values, for the header filters,
// the pipeline and the Bayesian plug-in. Each segment's bytes are converted
// with ICU from the charset its encoding identifier names.
class SAEncodedText {
public:
    SAEncodedText() = delete;

    /// The text of all segments that have data, in order, each read with
    /// decodeText() by its charset name. Empty for null or for no segments.
    static QString stringWithEncodedString(const SAEncodedString* encoded);

    /// Reads `length` bytes of text declared in `charset` (the name as the
    /// message writes it, null when it names none). The name is cleaned of
    /// quotes, blanks and what follows it, then looked up in the parsing
    /// library's table and ICU's aliases. Text without a usable name (none,
    /// US-ASCII, DEFAULT, unknown or placeholder names) is read as UTF-8 when
    /// it is valid UTF-8, else as Windows-1252. ISO Latin 1 and text not valid
    /// in a declared UTF-8 are read as Windows-1252; bytes another declared
    /// charset does not define become U+FFFD. False only for input too long
    /// to convert.
    static bool decodeText(const char* bytes, unsigned long length, const SAString* charset, QString* text);

    /// Converts `length` bytes in `encoding` to text, strictly. False (and `text`
    /// untouched) when there is no converter for the encoding or the bytes are
    /// not valid in it.
    static bool convertBytes(const char* bytes, unsigned long length, SAStringEncodings encoding, QString* text);

    /// The ICU converter name for an encoding identifier, or null when ICU
    /// offers no converter for it.
    static const char* converterName(SAStringEncodings encoding);
};
