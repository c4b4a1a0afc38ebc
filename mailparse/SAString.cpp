#include "mailparse/SAString.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "mailparse/SAClassIdentity_p.h"
#include "mailparse/SAMutableArray.h"

SA_DEFINE_CLASS_IDENTITY(SAString, SAObject)

namespace {

// Built before any other initialiser of the library runs, so other start-up
// code may use it; the pointer itself is a constant.
SAString posixFileSeparator __attribute__((init_priority(101))) ("/");

inline unsigned char asciiLower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// Compares n bytes, ignoring ASCII case when caseless is set; <0, 0, >0.
int compareBytes(const char* a, const char* b, unsigned long n, bool caseless) {
    const auto* x = reinterpret_cast<const unsigned char*>(a);
    const auto* y = reinterpret_cast<const unsigned char*>(b);
    for (unsigned long i = 0; i < n; ++i) {
        unsigned char c = caseless ? asciiLower(x[i]) : x[i];
        unsigned char d = caseless ? asciiLower(y[i]) : y[i];
        if (c != d)
            return c < d ? -1 : 1;
    }
    return 0;
}

// Orders two byte strings by content, then by length; −1, 0 or 1.
int compareStrings(const char* a, unsigned long aLength, const char* b, unsigned long bLength, bool caseless) {
    int result = compareBytes(a, b, aLength < bLength ? aLength : bLength, caseless);
    if (result != 0)
        return result;
    if (aLength == bLength)
        return 0;
    return aLength < bLength ? -1 : 1;
}

// Offset of the first occurrence of needle in haystack at or after `from`, or
// haystackLength when there is none.
unsigned long findBytes(const char* haystack, unsigned long haystackLength, unsigned long from, const char* needle,
                        unsigned long needleLength) {
    if (from > haystackLength || needleLength > haystackLength - from)
        return haystackLength;
    if (needleLength == 0)
        return from;
    const void* hit = memmem(haystack + from, haystackLength - from, needle, needleLength);
    return hit ? static_cast<unsigned long>(static_cast<const char*>(hit) - haystack) : haystackLength;
}

}  // namespace

SAString* const SASTRING_POSIXFILESEPARATOR = &posixFileSeparator;

SAString::SAString() : _length(0), _buffer(nullptr) {}

SAString::SAString(const char* cString) : SAString(cString, cString ? std::strlen(cString) : 0) {}

SAString::SAString(const char* bytes, unsigned long length) : _length(0), _buffer(nullptr) {
    if (!bytes || length == static_cast<unsigned long>(-1))
        return;
    _buffer = static_cast<char*>(std::malloc(length + 1));
    if (!_buffer)
        return;
    std::memcpy(_buffer, bytes, length);
    _buffer[length] = '\0';
    _length = length;
}

SAString::SAString(const SAString& other) : SAString(other._buffer, other._length) {}

void* SAString::operator new(std::size_t size) {
    if (void* memory = std::malloc(size))
        return memory;
    throw std::bad_alloc();
}

void SAString::operator delete(void* memory) noexcept { std::free(memory); }

SAString* SAString::createUninitialized(unsigned long length) {
    if (length >= std::numeric_limits<unsigned long>::max() - sizeof(SAString) - 1)
        return new SAString();
    void* memory = std::malloc(sizeof(SAString) + length + 1);
    if (!memory)
        return new SAString();
    char* buffer = static_cast<char*>(memory) + sizeof(SAString);
    buffer[length] = '\0';
    return new (memory) SAString(buffer, length, InlineBuffer{});
}

SAString* SAString::create(const char* bytes, unsigned long length) {
    if (!bytes || length == static_cast<unsigned long>(-1))
        return new SAString();
    SAString* string = createUninitialized(length);
    if (string->_buffer)
        std::memcpy(string->_buffer, bytes, length);
    return string;
}

void SAString::truncate(unsigned long length) {
    if (!_buffer || length >= _length)
        return;
    _length = length;
    _buffer[length] = '\0';
}

SAString::~SAString() {
    if (!_inlineBuffer)
        std::free(_buffer);
}

void SAString::description() {
    printHeader();
    std::fputs(" \"", stdout);
    if (_buffer)
        std::fwrite(_buffer, 1, _length, stdout);
    std::fputs("\"\n", stdout);
}

bool SAString::isEqualToString(const char* other) const {
    if (!other || !_buffer)
        return false;
    unsigned long otherLength = std::strlen(other);
    return otherLength == _length && std::memcmp(_buffer, other, _length) == 0;
}

bool SAString::isEqualToString(const SAString* other) const {
    if (!other || !other->_buffer || !_buffer)
        return false;
    return other->_length == _length && std::memcmp(_buffer, other->_buffer, _length) == 0;
}

int SAString::compare(const SAString* other) const { return compareOptions(other, 0); }

int SAString::compareOptions(const SAString* other, int options) const {
    if (!other || !other->_buffer || !_buffer)
        return 0;
    return compareStrings(_buffer, _length, other->_buffer, other->_length, options & SACaseInsensitiveSearch);
}

int SAString::compareOptionsRange(const SAString* other, int options, SARange range) const {
    if (!other || !other->_buffer || !_buffer || range.location > _length)
        return 0;
    unsigned long length = range.length;
    if (length > _length - range.location)
        length = _length - range.location;
    return compareStrings(_buffer + range.location, length, other->_buffer, other->_length,
                          options & SACaseInsensitiveSearch);
}

bool SAString::hasPrefix(const SAString* prefix, int options) const {
    if (!prefix || !prefix->_buffer || !_buffer || prefix->_length > _length)
        return false;
    return compareBytes(_buffer, prefix->_buffer, prefix->_length, options & SACaseInsensitiveSearch) == 0;
}

bool SAString::hasSuffix(const SAString* suffix, int options) const {
    if (!suffix || !suffix->_buffer || !_buffer || suffix->_length >= _length)
        return false;
    return compareBytes(_buffer + (_length - suffix->_length), suffix->_buffer, suffix->_length,
                        options & SACaseInsensitiveSearch) == 0;
}

SARange SAString::rangeOfString(const SAString* other) const {
    if (!other || !other->_buffer || !_buffer)
        return SAMakeRange(SANotFound, 0);
    unsigned long at = findBytes(_buffer, _length, 0, other->_buffer, other->_length);
    if (at == _length && other->_length != 0)
        return SAMakeRange(SANotFound, 0);
    return SAMakeRange(at, other->_length);
}

SAString* SAString::substringWithRange(SARange range) const {
    if (!_buffer || range.location > _length || range.length > _length - range.location)
        return nullptr;
    return new SAString(_buffer + range.location, range.length);
}

SAMutableArray* SAString::componentsSeparatedByString(const SAString* separator) const {
    if (!separator || !separator->_buffer || separator->_length == 0)
        return nullptr;
    auto* components = new SAMutableArray(1UL);
    if (!_buffer)
        return components;
    unsigned long cursor = 0;
    for (;;) {
        unsigned long at = findBytes(_buffer, _length, cursor, separator->_buffer, separator->_length);
        if (at == _length)
            break;
        auto* component = new SAString(_buffer + cursor, at - cursor);
        components->addObject(component);
        SAObject::release(component);
        cursor = at + separator->_length;
    }
    if (cursor < _length) {
        auto* component = new SAString(_buffer + cursor, _length - cursor);
        components->addObject(component);
        SAObject::release(component);
    }
    return components;
}

SAString* SAString::stringByStandardizingPath() const {
    SAMutableArray* components = componentsSeparatedByString(SASTRING_POSIXFILESEPARATOR);
    if (!components)
        return nullptr;
    unsigned long index = 0;
    while (index < components->count()) {
        auto* component = static_cast<SAString*>(components->objectAtIndex(index));
        if (component->isEqualToString(".")) {
            components->removeObjectAtIndex(index);
        } else if (component->isEqualToString("..") && index >= 2) {
            components->removeObjectAtIndex(index);
            components->removeObjectAtIndex(index - 1);
            index -= 1;
        } else {
            ++index;
        }
    }
    SAString* result = nullptr;
    if (components->count() > 0)
        result = components->componentsJoinedByString(SASTRING_POSIXFILESEPARATOR);
    SAObject::release(components);
    return result;
}

unsigned long SAString::unsignedLongValue() const {
    if (!_buffer)
        return 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(_buffer);
    unsigned long value = 0;
    if (_length > 2 && (bytes[1] == 'x' || bytes[1] == 'X')) {
        for (unsigned long i = 2; i < _length; ++i) {
            unsigned char c = bytes[i];
            unsigned digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            else
                break;
            value = value * 16 + digit;
        }
        return value;
    }
    // Unvalidated digits: arithmetic wraps modulo 2^64 as unsigned values do.
    unsigned long base = bytes[0] == '0' ? 8 : 10;
    for (unsigned long i = 0; i < _length; ++i)
        value = value * base + static_cast<unsigned long>(static_cast<long>(bytes[i]) - '0');
    return value;
}
