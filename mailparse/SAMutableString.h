#pragma once

#include "mailparse/SAString.h"

const char* GETIDSAMutableString();
const char* GETNAMESAMutableString();

// A byte string that can be edited in place.
class SAMutableString : public SAString {
public:
    SAMutableString();
    explicit SAMutableString(const char* cString);
    SAMutableString(const char* bytes, unsigned long length);
    SAMutableString(const SAString& other);
    SAMutableString(const SAMutableString& other);

    const char* stringFromClass() override;
    const char* classID() override;
    bool isKindOfClass(const char* name) override;
    static const char* _classTypeID;

    /// ASCII letters A–Z become a–z, in place.
    void lowercase();
    /// ASCII letters a–z become A–Z, in place.
    void uppercase();
    /// Removes a leading and a trailing '"' when the string has at least two
    /// bytes and both ends are '"'; otherwise leaves it unchanged.
    void dequote();
    /// Removes leading and trailing space, tab, CR and LF bytes, in place.
    void trimWhiteSpace();
};
