#include "mailparse/SADecoderFactory.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "mailparse/SAData.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define JUNKWARD_DECODERS_SSSE3 1
#endif

namespace {

// Base64 alphabet value of each byte, or kSkip for a byte that is skipped.
// kShifted[k][c] holds that value shifted into place k of a 24-bit group, or
// kInvalidGroup when c is not in the alphabet (so a group containing any
// other byte, "=" included, is recognised with one test).
constexpr uint8_t kSkip = 0xFF;
constexpr uint32_t kInvalidGroup = 0xFF000000u;

struct Base64Tables {
    std::array<uint8_t, 256> value{};
    std::array<std::array<uint32_t, 256>, 4> shifted{};
    constexpr Base64Tables() {
        for (int c = 0; c < 256; ++c) {
            int v = -1;
            if (c >= 'A' && c <= 'Z')
                v = c - 'A';
            else if (c >= 'a' && c <= 'z')
                v = c - 'a' + 26;
            else if (c >= '0' && c <= '9')
                v = c - '0' + 52;
            else if (c == '+')
                v = 62;
            else if (c == '/')
                v = 63;
            value[c] = v < 0 ? kSkip : static_cast<uint8_t>(v);
            for (int k = 0; k < 4; ++k)
                shifted[k][c] = v < 0 ? kInvalidGroup : static_cast<uint32_t>(v) << (18 - 6 * k);
        }
    }
};
constexpr Base64Tables kBase64;

// Hex digit value of each byte, or kNotHex.
constexpr uint8_t kNotHex = 0xFF;

struct HexTable {
    std::array<uint8_t, 256> value{};
    constexpr HexTable() {
        for (int c = 0; c < 256; ++c) {
            if (c >= '0' && c <= '9')
                value[c] = static_cast<uint8_t>(c - '0');
            else if (c >= 'A' && c <= 'F')
                value[c] = static_cast<uint8_t>(c - 'A' + 10);
            else if (c >= 'a' && c <= 'f')
                value[c] = static_cast<uint8_t>(c - 'a' + 10);
            else
                value[c] = kNotHex;
        }
    }
};
constexpr HexTable kHex;

// Word-at-a-time search. bytesEqual gives 0x80 in exactly the bytes of `word`
// equal to `byte`; firstByte the memory offset of the first such byte.
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kLows = 0x7F7F7F7F7F7F7F7Full;
inline uint64_t bytesEqual(uint64_t word, unsigned char byte) {
    uint64_t x = word ^ (kOnes * byte);
    return ~(((x & kLows) + kLows) | x | kLows);
}

inline unsigned long firstByte(uint64_t mask) {
    if constexpr (std::endian::native == std::endian::little)
        return static_cast<unsigned long>(__builtin_ctzll(mask)) / 8;
    else
        return static_cast<unsigned long>(__builtin_clzll(mask)) / 8;
}

inline uint64_t load64(const unsigned char* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// inLength × 3 / 4 without overflow.
inline unsigned long threeQuarters(unsigned long length) { return length / 4 * 3 + length % 4 * 3 / 4; }

// Output buffer of `bound` bytes plus `slack` bytes the decoder may scribble on
// (never reported); null when it cannot be had.
unsigned char* allocateOutput(unsigned long bound, unsigned long slack) {
    if (bound > static_cast<unsigned long>(-1) - slack)
        return nullptr;
    return static_cast<unsigned char*>(std::malloc(bound + slack));
}

bool badArguments(const unsigned char* in, unsigned long inLength, unsigned char** out, unsigned long* outLength) {
    return !in || inLength == 0 || !out || !outLength;
}

void clearResult(unsigned char** out, unsigned long* outLength) {
    if (out)
        *out = nullptr;
    if (outLength)
        *outLength = 0;
}

// Runs a buffer form on the data's bytes and wraps the result.
using BufferDecoder = int (*)(const unsigned char*, unsigned long, unsigned char**, unsigned long*);

SAData* decodeObject(const SAData* data, BufferDecoder decoder) {
    if (!data)
        return nullptr;
    unsigned char* out = nullptr;
    unsigned long outLength = 0;
    if (decoder(reinterpret_cast<const unsigned char*>(data->bytes()), data->length(), &out, &outLength) != 0)
        return nullptr;
    if (outLength == 0) {
        std::free(out);
        return new SAData();
    }
    auto* result = new SAData(out, outLength, true);
    result->_setOwner(true);
    return result;
}

}  // namespace

int SADecoderFactory::decodeBase64Buffer(const unsigned char* in, unsigned long inLength, unsigned char** out,
                                         unsigned long* outLength) {
    if (badArguments(in, inLength, out, outLength)) {
        if (inLength == 0)
            clearResult(out, outLength);
        return -1;
    }
    // Eight bytes of slack: the fast path stores whole 64-bit words.
    unsigned char* buffer = allocateOutput(threeQuarters(inLength), 8);
    if (!buffer)
        return -1;

    unsigned long o = 0;
    unsigned long i = 0;
    uint32_t group = 0;
    int values = 0;
    while (i < inLength) {
        // Fast path: whole groups of four alphabet bytes, two at a time, then one.
        if (values == 0) {
            while (inLength - i >= 8) {
                const unsigned char* p = in + i;
                uint32_t high = kBase64.shifted[0][p[0]] | kBase64.shifted[1][p[1]] | kBase64.shifted[2][p[2]] |
                                kBase64.shifted[3][p[3]];
                uint32_t low = kBase64.shifted[0][p[4]] | kBase64.shifted[1][p[5]] | kBase64.shifted[2][p[6]] |
                               kBase64.shifted[3][p[7]];
                if ((high | low) & kInvalidGroup)
                    break;
                uint64_t word = static_cast<uint64_t>(high) << 40 | static_cast<uint64_t>(low) << 16;
                if constexpr (std::endian::native == std::endian::little)
                    word = __builtin_bswap64(word);
                std::memcpy(buffer + o, &word, 8);
                o += 6;
                i += 8;
            }
            while (inLength - i >= 4) {
                uint32_t word = kBase64.shifted[0][in[i]] | kBase64.shifted[1][in[i + 1]] |
                                kBase64.shifted[2][in[i + 2]] | kBase64.shifted[3][in[i + 3]];
                if (word & kInvalidGroup)
                    break;
                unsigned char bytes[4] = {static_cast<unsigned char>(word >> 16), static_cast<unsigned char>(word >> 8),
                                          static_cast<unsigned char>(word), 0};
                std::memcpy(buffer + o, bytes, 4);
                o += 3;
                i += 4;
            }
            if (i >= inLength)
                break;
        }
        // One byte at a time: skip what is not in the alphabet, stop at "=".
        unsigned char c = in[i++];
        if (c == '=') {
            if (values == 3) {
                buffer[o++] = static_cast<unsigned char>(group >> 10);
                buffer[o++] = static_cast<unsigned char>(group >> 2);
            } else if (values == 2) {
                buffer[o++] = static_cast<unsigned char>(group >> 4);
            }
            values = 0;
            break;
        }
        uint8_t v = kBase64.value[c];
        if (v == kSkip)
            continue;
        group = group << 6 | v;
        if (++values == 4) {
            buffer[o++] = static_cast<unsigned char>(group >> 16);
            buffer[o++] = static_cast<unsigned char>(group >> 8);
            buffer[o++] = static_cast<unsigned char>(group);
            group = 0;
            values = 0;
        }
    }
    // A group left without padding is dropped.
    *out = buffer;
    *outLength = o;
    return 0;
}

namespace {

// Quoted-printable (Q false) and the "Q" encoding (Q true): one machine with the
// states normal, after "=" and after "=" plus one hex digit.
//   normal:        "=" moves on; any other byte is copied ("_" as a space for Q);
//   after "=":     LF or CR is a soft break, dropped with the "="; a hex digit
//                  moves on; any other byte is copied with the "=" (fails for Q);
//   after "=" + x: a second hex digit emits the byte; any other byte is copied
//                  with "=" and x (fails for Q).
// An escape left unfinished at the end is dropped. Returns false for a Q failure.
template <bool Q>
inline unsigned escapeAt(const unsigned char* p, unsigned char* w) {
    // The escape at p[0] ("="), p[1] and p[2] readable; its output goes to w.
    // Returns the bytes consumed plus 16 × the bytes written, or 0 for a Q failure.
    unsigned char first = p[1];
    unsigned char second = p[2];
    uint8_t high = kHex.value[first];
    uint8_t low = kHex.value[second];
    if ((high | low) < 16) {
        w[0] = static_cast<unsigned char>(high << 4 | low);
        return 3 + 16 * 1;
    }
    if (high != kNotHex) {
        if (Q)
            return 0;
        w[0] = '=';
        w[1] = first;
        w[2] = second;
        return 3 + 16 * 3;
    }
    if (first == '\n' || first == '\r')
        return 2;
    if (Q)
        return 0;
    w[0] = '=';
    w[1] = first;
    return 2 + 16 * 2;
}

#if JUNKWARD_DECODERS_SSSE3

// Packing tables: kPack[h][k] lists, in order, the offsets (plus 8·h) of the
// bits set in the 8-bit mask k, then 0x80 (a zero byte) for the rest, so that
// one byte shuffle moves the kept bytes of each 8-byte half to its front.
struct PackTables {
    alignas(8) uint8_t pack[2][256][8]{};
    uint8_t count[256]{};
    constexpr PackTables() {
        for (int k = 0; k < 256; ++k) {
            int n = 0;
            for (int b = 0; b < 8; ++b)
                if (k >> b & 1) {
                    pack[0][k][n] = static_cast<uint8_t>(b);
                    pack[1][k][n] = static_cast<uint8_t>(b + 8);
                    ++n;
                }
            count[k] = static_cast<uint8_t>(n);
            for (int r = n; r < 8; ++r)
                pack[0][k][r] = pack[1][k][r] = 0x80;
        }
    }
};
constexpr PackTables kPack;

// Byte classes looked up by nibble: kClassLow[c & 15] & kClassHigh[c >> 4]
// is 0x80 for a decimal digit, 0x49 for a hex letter (0x40 marks it, 9 is what
// its low nibble lacks of its value), 0x20 for LF and CR, 0 for anything else.
alignas(16) constexpr uint8_t kClassLow[16] = {0x80, 0xC9, 0xC9, 0xC9, 0xC9, 0xC9, 0xC9, 0x80,
                                               0x80, 0x80, 0x20, 0,    0,    0x20, 0,    0};
alignas(16) constexpr uint8_t kClassHigh[16] = {0x20, 0, 0, 0x80, 0x49, 0, 0x49, 0, 0, 0, 0, 0, 0, 0, 0, 0};

struct ByteClasses {
    __m128i values;   // hex digit value where the byte is one (junk below 16 elsewhere)
    unsigned digits;  // mask of the hex digits
    unsigned lineEnds;
};

__attribute__((target("ssse3"))) inline ByteClasses classify(__m128i v) {
    const __m128i nibbles = _mm_set1_epi8(0x0F);
    const __m128i low = _mm_and_si128(v, nibbles);
    const __m128i high = _mm_and_si128(_mm_srli_epi16(v, 4), nibbles);
    const __m128i classes =
        _mm_and_si128(_mm_shuffle_epi8(_mm_load_si128(reinterpret_cast<const __m128i*>(kClassLow)), low),
                      _mm_shuffle_epi8(_mm_load_si128(reinterpret_cast<const __m128i*>(kClassHigh)), high));
    // Shifting 16-bit lanes moves each byte's bits 6 and 5 to its bit 7.
    ByteClasses c;
    c.values = _mm_add_epi8(low, _mm_and_si128(classes, nibbles));
    c.digits = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(classes, _mm_slli_epi16(classes, 1))));
    c.lineEnds = static_cast<unsigned>(_mm_movemask_epi8(_mm_slli_epi16(classes, 2)));
    return c;
}

inline bool isLineEnd(unsigned char c) { return c == '\n' || c == '\r'; }

// Sixteen bytes at a time while 18 can be read (an escape begun in the last
// two bytes of a block has its digits in the next two). A block whose every
// "=" starts a two-digit escape or a soft break is decoded whole: escapes
// become their byte values, their digits and the breaks are dropped and the
// rest packed together; digits reaching into the next block are carried over
// as bytes it drops, so that blocks follow each other at a fixed stride.
// Otherwise the block is decoded up to its first other "=", which goes to
// escapeAt. Every "=" met this way starts an escape: the cursor only ever
// stops after a whole escape, and neither digits nor line ends are "=".
// Leaves *inAt, *outAt where it stopped; returns false for a Q failure.
template <bool Q>
__attribute__((target("ssse3"))) bool decodeEscapeBlocks(const unsigned char* in, unsigned long inLength,
                                                         unsigned char* out, unsigned long* inAt,
                                                         unsigned long* outAt) {
    unsigned long i = *inAt;
    unsigned long o = *outAt;
    unsigned carry = 0;  // offsets 0 and 1 of this block dropped as digits or a line end
    const __m128i equalsByte = _mm_set1_epi8('=');
    bool decoded = true;
    // The output never runs ahead of the input, so while 18 input bytes are
    // left there is room for a 16-byte store.
    while (inLength - i >= 18) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i equals = _mm_cmpeq_epi8(v, equalsByte);
        if (Q) {
            const __m128i underscores = _mm_cmpeq_epi8(v, _mm_set1_epi8('_'));
            v = _mm_or_si128(_mm_andnot_si128(underscores, v), _mm_and_si128(underscores, _mm_set1_epi8(' ')));
        }
        const unsigned starts = static_cast<unsigned>(_mm_movemask_epi8(equals));
        if ((starts | carry) == 0) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o), v);
            i += 16;
            o += 16;
            continue;
        }
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 1));
        const __m128i afterNext = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 2));
        const ByteClasses first = classify(next);
        const ByteClasses second = classify(afterNext);
        const unsigned escapes = starts & first.digits & second.digits;
        const unsigned breaks = starts & first.lineEnds;
        // Bytes of the block taken here: all 16, or those before the first
        // "=" that starts neither.
        const unsigned other = starts & ~escapes & ~breaks;
        const unsigned length = other ? static_cast<unsigned>(__builtin_ctz(other)) : 16;
        // High digits are below 16, so the 16-bit shift keeps them in their byte.
        const __m128i values = _mm_or_si128(_mm_slli_epi16(first.values, 4), second.values);
        v = _mm_or_si128(_mm_andnot_si128(equals, v), _mm_and_si128(equals, values));
        const unsigned dropped = escapes << 1 | escapes << 2 | breaks | breaks << 1 | carry;
        const unsigned keep = ~dropped & ((1u << length) - 1);
        const __m128i control =
            _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(kPack.pack[0][keep & 0xFF])),
                               _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kPack.pack[1][keep >> 8 & 0xFF])));
        const __m128i packed = _mm_shuffle_epi8(v, control);
        const unsigned lowCount = kPack.count[keep & 0xFF];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o), packed);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + o + lowCount), _mm_unpackhi_epi64(packed, packed));
        o += lowCount + kPack.count[keep >> 8 & 0xFF];
        if (length == 16) {
            carry = dropped >> 16;
            i += 16;
            continue;
        }
        carry = 0;
        i += length;
        const unsigned step = escapeAt<Q>(in + i, out + o);
        if (step == 0) {
            decoded = false;
            break;
        }
        i += step & 15;
        o += step >> 4;
    }
    // Step over carried digits: 0b1 is one byte, 0b11 two.
    i += (carry + 1) >> 1;
    *inAt = i;
    *outAt = o;
    return decoded;
}

bool haveSsse3() {
    // Initialised explicitly: a decoder may run from another library's
    // static initialiser, before the processor model is filled in.
    static const bool have = (__builtin_cpu_init(), __builtin_cpu_supports("ssse3"));
    return have;
}

// Uuencoded groups, four at a time: 16 characters at p give 12 bytes at w,
// stored as 16 (the caller leaves room). Decodes the first `groups` rounded
// down to a multiple of four; returns how many it decoded.
__attribute__((target("ssse3"))) unsigned long decodeUuencodeGroups(const unsigned char* p, unsigned long groups,
                                                                    unsigned char* w) {
    const unsigned long done = groups & ~3ul;
    for (unsigned long g = 0; g < done; g += 4, p += 16, w += 12) {
        __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i sextets = _mm_and_si128(_mm_sub_epi8(c, _mm_set1_epi8(32)), _mm_set1_epi8(63));
        // a·64 + b and c·64 + d in each 16-bit half, then a 24-bit value per group.
        __m128i pairs = _mm_maddubs_epi16(sextets, _mm_set1_epi16(0x0140));
        __m128i values = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
        __m128i bytes = _mm_shuffle_epi8(values, _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(w), bytes);
    }
    return done;
}

#endif

template <bool Q>
bool decodeEscapes(const unsigned char* in, unsigned long inLength, unsigned char* out, unsigned long* outLength) {
    unsigned long o = 0;
    unsigned long i = 0;
#if JUNKWARD_DECODERS_SSSE3
    if (haveSsse3() && !decodeEscapeBlocks<Q>(in, inLength, out, &i, &o))
        return false;
#endif
    // Eight bytes at a time: the word is stored whole (the output never runs
    // ahead of the input, so it fits), then the cursor moves to its first "=".
    while (inLength - i >= 8) {
        uint64_t word = load64(in + i);
        uint64_t equals = bytesEqual(word, '=');
        if (Q) {
            uint64_t underscores = bytesEqual(word, '_');
            uint64_t spread = (underscores >> 7) * 0xFF;
            word = (word & ~spread) | (kOnes * ' ' & spread);
        }
        std::memcpy(out + o, &word, 8);
        if (!equals) {
            i += 8;
            o += 8;
            continue;
        }
        // On to the "=". Tested first so that, where escapes follow each other,
        // the cursor moves by constants along predicted branches.
        if (in[i] != '=') {
            unsigned long k = firstByte(equals);
            i += k;
            o += k;
        }
        if (inLength - i < 3)
            break;
        unsigned char first = in[i + 1];
        unsigned char second = in[i + 2];
        uint8_t high = kHex.value[first];
        uint8_t low = kHex.value[second];
        if ((high | low) < 16) {
            out[o++] = static_cast<unsigned char>(high << 4 | low);
            i += 3;
            continue;
        }
        unsigned step = escapeAt<Q>(in + i, out + o);
        if (step == 0)
            return false;
        i += step & 15;
        o += step >> 4;
    }
    // The last bytes one at a time.
    while (i < inLength) {
        if (in[i] != '=') {
            out[o++] = (Q && in[i] == '_') ? ' ' : in[i];
            ++i;
            continue;
        }
        if (inLength - i >= 3) {
            unsigned step = escapeAt<Q>(in + i, out + o);
            if (step == 0)
                return false;
            i += step & 15;
            o += step >> 4;
            continue;
        }
        // "=" with one or two bytes left.
        if (inLength - i == 2) {
            unsigned char first = in[i + 1];
            if (first == '\n' || first == '\r' || kHex.value[first] != kNotHex) {
                i += 2;  // soft break, or an unfinished escape: dropped
                continue;
            }
            if (Q)
                return false;
            out[o++] = '=';
            out[o++] = first;
            i += 2;
            continue;
        }
        break;  // a lone "=" at the end is dropped
    }
    *outLength = o;
    return true;
}

}  // namespace

int SADecoderFactory::decodeQuotedPrintableBuffer(const unsigned char* in, unsigned long inLength, unsigned char** out,
                                                  unsigned long* outLength) {
    if (badArguments(in, inLength, out, outLength))
        return -1;
    unsigned char* buffer = allocateOutput(inLength, 0);
    if (!buffer)
        return -1;
    unsigned long length = 0;
    decodeEscapes<false>(in, inLength, buffer, &length);
    *out = buffer;
    *outLength = length;
    return 0;
}

int SADecoderFactory::decodeQBuffer(const unsigned char* in, unsigned long inLength, unsigned char** out,
                                    unsigned long* outLength) {
    if (badArguments(in, inLength, out, outLength))
        return -1;
    unsigned char* buffer = allocateOutput(inLength, 0);
    if (!buffer)
        return -1;
    unsigned long length = 0;
    if (!decodeEscapes<true>(in, inLength, buffer, &length)) {
        std::free(buffer);
        return -1;
    }
    *out = buffer;
    *outLength = length;
    return 0;
}

int SADecoderFactory::decodeUuencodeBuffer(const unsigned char* in, unsigned long inLength, unsigned char** out,
                                           unsigned long* outLength) {
    if (badArguments(in, inLength, out, outLength)) {
        if (inLength == 0)
            clearResult(out, outLength);
        return -1;
    }
    unsigned long bound = threeQuarters(inLength);
    // Sixteen bytes of slack: four groups are stored as 16 bytes.
    unsigned char* buffer = allocateOutput(bound, 16);
    if (!buffer)
        return -1;

    // 1. Skip leading blank space; 2. a "begin " line must follow.
    unsigned long i = 0;
    while (i < inLength && (in[i] == '\n' || in[i] == '\r' || in[i] == ' ' || in[i] == '\t'))
        ++i;
    static constexpr char kBegin[] = "begin ";
    constexpr unsigned long kBeginLength = sizeof kBegin - 1;
    if (inLength - i < kBeginLength || std::memcmp(in + i, kBegin, kBeginLength) != 0) {
        std::free(buffer);
        clearResult(out, outLength);
        return -1;
    }
    // 3. Skip the rest of that line.
    const void* lineEnd = std::memchr(in + i, '\n', inLength - i);
    i = lineEnd ? static_cast<unsigned long>(static_cast<const unsigned char*>(lineEnd) - in) + 1 : inLength;

    unsigned long o = 0;
    // 4. One line at a time; its first byte gives its byte count.
    while (i < inLength) {
        int n = static_cast<int>(in[i]) - 32;
        if (n <= 0 || n == 64)
            break;
        const void* nl = std::memchr(in + i, '\n', inLength - i);
        unsigned long end = nl ? static_cast<unsigned long>(static_cast<const unsigned char*>(nl) - in) : inLength;
        unsigned long p = i + 1;
        // 5. Groups of four characters give three bytes; 6. a last group of
        // three or two characters two or one. Characters are taken from this
        // line only: a group the line does not hold whole ends the line.
        auto sextet = [&](unsigned long at) { return static_cast<unsigned>((in[at] - 32) & 63); };
        unsigned long groups = static_cast<unsigned long>(n / 3);
        unsigned long whole = (end - p) / 4;
        if (whole > groups)
            whole = groups;
        if (whole > (bound - o) / 3)
            whole = (bound - o) / 3;
        unsigned long g = 0;
#if JUNKWARD_DECODERS_SSSE3
        if (haveSsse3()) {
            g = decodeUuencodeGroups(in + p, whole, buffer + o);
            p += 4 * g;
            o += 3 * g;
        }
#endif
        for (; g < whole; ++g, p += 4) {
            unsigned c0 = sextet(p), c1 = sextet(p + 1), c2 = sextet(p + 2), c3 = sextet(p + 3);
            buffer[o++] = static_cast<unsigned char>(c0 << 2 | c1 >> 4);
            buffer[o++] = static_cast<unsigned char>(c1 << 4 | c2 >> 2);
            buffer[o++] = static_cast<unsigned char>(c2 << 6 | c3);
        }
        unsigned long rest = static_cast<unsigned long>(n) - 3 * whole;
        if (whole == groups && rest > 0 && rest < 3 && end - p >= rest + 1 && bound - o >= rest) {
            unsigned c0 = sextet(p), c1 = sextet(p + 1), c2 = rest == 2 ? sextet(p + 2) : 0;
            buffer[o++] = static_cast<unsigned char>(c0 << 2 | c1 >> 4);
            if (rest == 2)
                buffer[o++] = static_cast<unsigned char>(c1 << 4 | c2 >> 2);
        }
        // 7. On to the next line.
        i = end < inLength ? end + 1 : inLength;
    }
    *out = buffer;
    *outLength = o;
    return 0;
}

SAData* SADecoderFactory::decodeBase64(const SAData* data) { return decodeObject(data, decodeBase64Buffer); }
SAData* SADecoderFactory::decodeQuotedPrintable(const SAData* data) {
    return decodeObject(data, decodeQuotedPrintableBuffer);
}
SAData* SADecoderFactory::decodeQ(const SAData* data) { return decodeObject(data, decodeQBuffer); }
SAData* SADecoderFactory::decodeUuencode(const SAData* data) { return decodeObject(data, decodeUuencodeBuffer); }
