#pragma once

// A span of bytes inside a string or data object: a plain value, not an object.

/// Location of a range that was not found (its length is then 0).
inline constexpr unsigned long SANotFound = 2147483647UL;

struct SARange {
    unsigned long location;
    unsigned long length;
};

/// Builds a range from a location and a length.
inline constexpr SARange SAMakeRange(unsigned long location, unsigned long length) { return SARange{location, length}; }
