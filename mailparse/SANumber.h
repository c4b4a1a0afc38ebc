#pragma once

#include "mailparse/SAObject.h"

const char* GETIDSANumber();
const char* GETNAMESANumber();

// A boxed number: an unsigned integer or a floating-point value.
class SANumber : public SAObject {
public:
    /// Integer 0.
    SANumber();
    explicit SANumber(bool value);
    explicit SANumber(short value);
    explicit SANumber(unsigned short value);
    explicit SANumber(int value);
    explicit SANumber(unsigned int value);
    explicit SANumber(long value);
    explicit SANumber(unsigned long value);
    explicit SANumber(float value);
    explicit SANumber(double value);

    const char* stringFromClass() override;
    const char* classID() override;
    bool isKindOfClass(const char* name) override;
    static const char* _classTypeID;
    /// Prints the header line ending "]> ", the value and a newline.
    void description() override;

    /// True for a floating-point number.
    bool isFloat() const { return _isFloat; }
    /// The stored value converted to the requested type. A floating value that
    /// does not fit an integer type is clamped to its range (NaN gives 0).
    bool boolValue() const;
    short shortValue() const;
    unsigned short unsignedShortValue() const;
    unsigned long unsignedLongValue() const;
    float floatValue() const;

protected:
    bool _isFloat;
    unsigned long _integerValue;
    double _floatValue;
};
