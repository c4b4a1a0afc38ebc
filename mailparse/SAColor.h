#pragma once

#include "mailparse/SAObject.h"

class SAString;
class SAMutableDictionary;

const char* GETIDSAColor();
const char* GETNAMESAColor();

// A colour as three components between 0 and 1, parsed from HTML colour
// attribute values (named colours and hexadecimal forms). The HTML simplifier
// asks it whether text is visible against its background.
class SAColor : public SAObject {
public:
    /// Black (0, 0, 0).
    SAColor();
    SAColor(float red, float green, float blue);
    /// From a packed 0xRRGGBB value: each byte divided by 255.
    explicit SAColor(unsigned long rgb);
    /// From an HTML colour value: a named colour (any case, surrounding blanks
    /// ignored) unless the value starts with "#"; otherwise up to six
    /// hexadecimal bytes, two per component. Never fails: unknown text gives
    /// whatever its bytes read as digits; a null or empty value gives black.
    explicit SAColor(const SAString* value);
    /// As SAColor(const SAString*), from the `length` bytes at `bytes`.
    SAColor(const char* bytes, unsigned long length);

    const char* stringFromClass() override;
    const char* classID() override;
    bool isKindOfClass(const char* name) override;
    static const char* _classTypeID;
    /// Prints the header line, "{", "red: R ; green: G ; blue: B" and "}".
    void description() override;

    /// New white (1, 1, 1) and black (0, 0, 0) colours; the caller releases them.
    static SAColor* whiteColor();
    static SAColor* blackColor();

    float red() const { return _red; }
    float green() const { return _green; }
    float blue() const { return _blue; }

    /// HSL lightness: (largest component + smallest component) / 2.
    float luminosity() const;
    /// All three components above 0.99.
    bool isWhiteColor() const;
    /// Red and green above 0.9; blue is not examined, so white is yellow too.
    bool isYellowColor() const;
    /// Red in (0.74, 0.81), green above 0.9, blue in (0.09, 0.16).
    bool isLightGreenColor() const;

    /// The named-colour table (140 names mapped to colours), built on first
    /// use and kept for the run. Borrowed; lookups ignore case.
    static SAMutableDictionary* namedColors();
    static SAMutableDictionary* sNamedColorsDictionary_;
    /// The colour of the table named by the `length` bytes at `name` (case
    /// ignored), or null. Borrowed.
    static const SAColor* findNamedColor(const char* name, unsigned long length);

protected:
    float _red;
    float _green;
    float _blue;
};
