#include "mailparse/SANumber.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "mailparse/SAClassIdentity_p.h"

SA_DEFINE_CLASS_IDENTITY(SANumber, SAObject)

namespace {

// Converts a floating value to an integer type without undefined behaviour:
// out-of-range values are clamped, NaN gives 0.
template <class T>
T clampToInteger(double value) {
    if (std::isnan(value))
        return 0;
    if (value <= static_cast<double>(std::numeric_limits<T>::min()))
        return std::numeric_limits<T>::min();
    if (value >= static_cast<double>(std::numeric_limits<T>::max()))
        return std::numeric_limits<T>::max();
    return static_cast<T>(value);
}

}  // namespace

SANumber::SANumber() : _isFloat(false), _integerValue(0), _floatValue(0) {}
SANumber::SANumber(bool value) : SANumber() { _integerValue = value ? 1 : 0; }
SANumber::SANumber(short value) : SANumber() { _integerValue = static_cast<unsigned long>(static_cast<long>(value)); }
SANumber::SANumber(unsigned short value) : SANumber() { _integerValue = value; }
SANumber::SANumber(int value) : SANumber() { _integerValue = static_cast<unsigned long>(static_cast<long>(value)); }
SANumber::SANumber(unsigned int value) : SANumber() { _integerValue = value; }
SANumber::SANumber(long value) : SANumber() { _integerValue = static_cast<unsigned long>(value); }
SANumber::SANumber(unsigned long value) : SANumber() { _integerValue = value; }
SANumber::SANumber(float value) : SANumber(static_cast<double>(value)) {}
SANumber::SANumber(double value) : _isFloat(true), _integerValue(0), _floatValue(value) {}

bool SANumber::boolValue() const { return _isFloat ? _floatValue != 0.0 : _integerValue != 0; }

short SANumber::shortValue() const {
    return _isFloat ? clampToInteger<short>(_floatValue) : static_cast<short>(_integerValue);
}

unsigned short SANumber::unsignedShortValue() const {
    return _isFloat ? clampToInteger<unsigned short>(_floatValue) : static_cast<unsigned short>(_integerValue);
}

unsigned long SANumber::unsignedLongValue() const {
    return _isFloat ? clampToInteger<unsigned long>(_floatValue) : _integerValue;
}

float SANumber::floatValue() const {
    return _isFloat ? static_cast<float>(_floatValue) : static_cast<float>(_integerValue);
}

void SANumber::description() {
    printHeader();
    if (_isFloat)
        std::printf(" %f\n", _floatValue);
    else
        std::printf(" %lu\n", _integerValue);
}
