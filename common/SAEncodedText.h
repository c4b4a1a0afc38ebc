#pragma once

#include <QString>

#include "mailparse/SAEncodedString.h"

// Text of the parsing library's encoded header values, for the header filters,
// the pipeline and the Bayesian plug-in. Each segment's bytes are converted
// with ICU from the charset its encoding identifier names.
class SAEncodedText {
public:
    SAEncodedText() = delete;

    /// The text of all segments that have data, in order. A segment whose
    /// charset is unknown (−1), a placeholder (−2), has no converter here, or
    /// whose bytes are invalid in it contributes nothing; invalid UTF-8 is
    /// read again as ISO Latin 1. Empty for null or for no segments.
    static QString stringWithEncodedString(const SAEncodedString* encoded);

    /// Converts `length` bytes in `encoding` to text. False (and `text`
    /// untouched) when there is no converter for the encoding or the bytes are
    /// not valid in it.
    static bool convertBytes(const char* bytes, unsigned long length, SAStringEncodings encoding, QString* text);

    /// The ICU converter name for an encoding identifier, or null when ICU
    /// offers no converter for it.
    static const char* converterName(SAStringEncodings encoding);
};
