#include "mailparse/SAMutableString.h"

#include <cstdlib>
#include <cstring>

#include "mailparse/SAClassIdentity_p.h"

SA_DEFINE_CLASS_IDENTITY(SAMutableString, SAString)

SAMutableString::SAMutableString() = default;
SAMutableString::SAMutableString(const char* cString) : SAString(cString) {}
SAMutableString::SAMutableString(const char* bytes, unsigned long length) : SAString(bytes, length) {}
SAMutableString::SAMutableString(const SAString& other) : SAString(other) {}
SAMutableString::SAMutableString(const SAMutableString& other) : SAString(other) {}

void SAMutableString::lowercase() {
    for (unsigned long i = 0; i < _length; ++i)
        if (_buffer[i] >= 'A' && _buffer[i] <= 'Z')
            _buffer[i] = static_cast<char>(_buffer[i] + ('a' - 'A'));
}

void SAMutableString::uppercase() {
    for (unsigned long i = 0; i < _length; ++i)
        if (_buffer[i] >= 'a' && _buffer[i] <= 'z')
            _buffer[i] = static_cast<char>(_buffer[i] - ('a' - 'A'));
}

void SAMutableString::dequote() {
    if (!_buffer || _length < 2 || _buffer[0] != '"' || _buffer[_length - 1] != '"')
        return;
    // The content moves down in its own buffer: the result is shorter.
    _length -= 2;
    std::memmove(_buffer, _buffer + 1, _length);
    _buffer[_length] = '\0';
}

void SAMutableString::trimWhiteSpace() {
    if (!_buffer)
        return;
    auto isWhite = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    unsigned long start = 0;
    while (start < _length && isWhite(_buffer[start]))
        ++start;
    unsigned long end = _length;
    while (end > start && isWhite(_buffer[end - 1]))
        --end;
    _length = end - start;
    std::memmove(_buffer, _buffer + start, _length);
    _buffer[_length] = '\0';
}
