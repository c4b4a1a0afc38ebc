#include "mailparse/SAData.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mailparse/SAClassIdentity_p.h"

SA_DEFINE_CLASS_IDENTITY(SAData, SAObject)

SAData::SAData() : _owner(true), _length(0), _bytes(nullptr) {}

SAData::SAData(unsigned long length) : SAData() {
    if (length == 0)
        return;
    _bytes = static_cast<char*>(std::malloc(length));
    if (_bytes)
        _length = length;
}

SAData::SAData(const unsigned char* bytes, unsigned long length, bool noCopy) : SAData() {
    if (!bytes || length == 0)
        return;
    if (noCopy) {
        _owner = false;
        _bytes = reinterpret_cast<char*>(const_cast<unsigned char*>(bytes));
        _length = length;
        return;
    }
    _bytes = static_cast<char*>(std::malloc(length));
    if (!_bytes)
        return;
    std::memcpy(_bytes, bytes, length);
    _length = length;
}

SAData::SAData(const SAData* other)
    : SAData(other ? reinterpret_cast<const unsigned char*>(other->_bytes) : nullptr, other ? other->_length : 0,
             false) {}

SAData::SAData(char*) : SAData() {}

SAData::~SAData() {
    if (_owner)
        std::free(_bytes);
}

SAData* SAData::subdataWithRange(SARange range) const {
    if (range.location >= _length || range.length > _length - range.location)
        return nullptr;
    return new SAData(reinterpret_cast<const unsigned char*>(_bytes) + range.location, range.length, false);
}

void SAData::description() { description(0); }

void SAData::description(unsigned long max) {
    printHeader();
    std::fputc('\n', stdout);
    unsigned long count = (max == 0 || max > _length) ? _length : max;
    const auto* bytes = reinterpret_cast<const unsigned char*>(_bytes);
    unsigned long offset = 0;
    // Full blocks: offset, four 32-bit words (bytes in memory order), characters.
    for (; count - offset >= 16; offset += 16) {
        std::printf("%08lx", offset);
        for (int word = 0; word < 4; ++word) {
            const unsigned char* w = bytes + offset + word * 4;
            unsigned long value = (static_cast<unsigned long>(w[0]) << 24) | (static_cast<unsigned long>(w[1]) << 16) |
                                  (static_cast<unsigned long>(w[2]) << 8) | w[3];
            std::printf(" %08lx", value);
        }
        std::fputs("  |", stdout);
        for (int i = 0; i < 16; ++i) {
            unsigned char c = bytes[offset + i];
            std::fputc((c >= 0x20 && c <= 0x7E) ? c : '.', stdout);
        }
        std::fputs(" |\n", stdout);
    }
    // The remaining 0 to 15 bytes: offset, four groups of up to four bytes, characters.
    unsigned long rest = count - offset;
    std::printf("%08lx ", offset);
    for (unsigned long group = 0; group < 4; ++group) {
        for (unsigned long i = group * 4; i < group * 4 + 4; ++i) {
            if (i < rest)
                std::printf("%02x", bytes[offset + i]);
            else
                std::fputs("  ", stdout);
        }
        std::fputc(' ', stdout);
    }
    std::fputs(" |", stdout);
    for (unsigned long i = 0; i < rest; ++i) {
        unsigned char c = bytes[offset + i];
        std::fputc((c >= 0x21 && c <= 0x7E) ? c : '.', stdout);
    }
    std::fputs("|\n", stdout);
}
