#pragma once

#include <cstddef>

#include "mailparse/SAObject.h"
#include "mailparse/SARange.h"

class SAMutableArray;
class SAString;

const char* GETIDSAString();
const char* GETNAMESAString();

/// "/" as a string, built at start-up (borrowed; never release it).
extern SAString* const SASTRING_POSIXFILESEPARATOR;

/// Bit 0 of the options of compareOptions, hasPrefix and hasSuffix: ASCII
/// letters compare without regard to case.
inline constexpr int SACaseInsensitiveSearch = 1;

// An immutable byte string: a length and a heap buffer that always ends in a
// NUL (not counted in the length), or no buffer at all (the null string,
// length 0). No character set is implied; the content may hold NUL bytes.
// Strings made by create() keep their buffer in the same allocation as the
// object.
class SAString : public SAObject {
public:
    /// The null string.
    SAString();
    /// Copies a NUL-terminated string; null gives the null string.
    explicit SAString(const char* cString);
    /// Copies exactly `length` bytes and appends a NUL; null gives the null string.
    SAString(const char* bytes, unsigned long length);
    /// Copies the whole content (every byte of the length) of `other`.
    SAString(const SAString& other);
    ~SAString() override;
    SAString& operator=(const SAString&) = delete;

    /// New string with a copy of exactly `length` bytes, as
    /// `new SAString(bytes, length)` gives, but object and buffer in one
    /// allocation (caller releases). Null bytes give the null string.
    static SAString* create(const char* bytes, unsigned long length);
    /// New string of `length` bytes whose content the caller writes through
    /// cString() before anyone else sees it, then shortens with truncate() if
    /// fewer were written (caller releases). The null string when the memory
    /// cannot be had.
    static SAString* createUninitialized(unsigned long length);
    // Strings from create() and from new are allocated and freed alike, with
    // malloc and free.
    static void* operator new(std::size_t size);
    static void* operator new(std::size_t, void* where) noexcept { return where; }
    static void operator delete(void* memory) noexcept;
    static void operator delete(void*, void*) noexcept {}

    const char* stringFromClass() override;
    const char* classID() override;
    bool isKindOfClass(const char* name) override;
    static const char* _classTypeID;
    /// Prints `<(SAString *) ADDRESS [COUNT]> "CONTENT"` and a newline.
    void description() override;

    /// The buffer (borrowed; null for the null string).
    char* cString() const { return _buffer; }
    /// The length in bytes, not counting the terminator.
    unsigned long length() const { return _length; }

    /// Exact byte comparison; false when the argument or either buffer is null.
    bool isEqualToString(const char* other) const;
    bool isEqualToString(const SAString* other) const;
    /// −1, 0 or 1 by byte order; 0 when either side or buffer is null.
    int compare(const SAString* other) const;
    /// As compare; options bit 0 (SACaseInsensitiveSearch) ignores ASCII case.
    int compareOptions(const SAString* other, int options) const;
    /// As compareOptions, on the bytes of this string inside `range` (clipped to
    /// the string); 0 when either buffer is null or the range starts beyond the end.
    int compareOptionsRange(const SAString* other, int options, SARange range) const;
    /// True when this string starts with `prefix`; false when either buffer is null.
    bool hasPrefix(const SAString* prefix, int options = 0) const;
    /// True when this string ends with `suffix` and `suffix` is strictly shorter.
    bool hasSuffix(const SAString* suffix, int options = 0) const;
    /// Range of the first occurrence of `other` (an empty `other` is found at 0);
    /// location SANotFound when absent or when either buffer is null.
    SARange rangeOfString(const SAString* other) const;
    /// New string with the bytes inside `range` (caller releases); null when the
    /// range does not lie inside the string.
    SAString* substringWithRange(SARange range) const;
    /// New array of new strings split at `separator` (caller releases). A leading
    /// or doubled separator gives empty components, a trailing one none. Null
    /// when the separator is null or empty.
    SAMutableArray* componentsSeparatedByString(const SAString* separator) const;
    /// New string with "." components removed and ".." components (from the
    /// third on) removed with the component before; null for no components.
    SAString* stringByStandardizingPath() const;
    /// Numeric value: hexadecimal when the second byte is 'x' or 'X', octal when
    /// the first byte is '0', decimal otherwise; bytes are not validated.
    unsigned long unsignedLongValue() const;

    /// Shortens a string made by createUninitialized to `length` bytes (no
    /// effect when `length` is not shorter); for its maker only.
    void truncate(unsigned long length);

protected:
    /// True for a string made by create(): its buffer is part of the
    /// object's own allocation and is not freed on its own. (Declared first,
    /// it takes room the base object leaves unused.)
    bool _inlineBuffer = false;
    unsigned long _length;
    char* _buffer;

private:
    struct InlineBuffer {};
    SAString(char* buffer, unsigned long length, InlineBuffer)
        : _inlineBuffer(true), _length(length), _buffer(buffer) {}
};
