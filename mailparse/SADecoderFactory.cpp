#include "mailparse/SADecoderFactory.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "mailparse/SAData.h"

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
    constexpr Base64Tables()
    {
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

// Hex digit value, or −1.
inline int hexValue(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// inLength × 3 / 4 without overflow.
inline unsigned long threeQuarters(unsigned long length)
{
    return length / 4 * 3 + length % 4 * 3 / 4;
}

// Output buffer of `bound` bytes plus `slack` bytes the decoder may scribble on
// (never reported); null when it cannot be had.
unsigned char* allocateOutput(unsigned long bound, unsigned long slack)
{
    if (bound > static_cast<unsigned long>(-1) - slack)
        return nullptr;
    return static_cast<unsigned char*>(std::malloc(bound + slack));
}

bool badArguments(const unsigned char* in, unsigned long inLength, unsigned char** out, unsigned long* outLength)
{
    return !in || inLength == 0 || !out || !outLength;
}

void clearResult(unsigned char** out, unsigned long* outLength)
{
    if (out)
        *out = nullptr;
    if (outLength)
        *outLength = 0;
}

// Runs a buffer form on the data's bytes and wraps the result.
using BufferDecoder = int (*)(const unsigned char*, unsigned long, unsigned char**, unsigned long*);

SAData* decodeObject(const SAData* data, BufferDecoder decoder)
{
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

} // namespace

int SADecoderFactory::decodeBase64Buffer(const unsigned char* in, unsigned long inLength, unsigned char** out,
                                         unsigned long* outLength)
{
    if (badArguments(in, inLength, out, outLength)) {
        if (inLength == 0)
            clearResult(out, outLength);
        return -1;
    }
    // Four bytes of slack: the fast path stores whole 32-bit words.
    unsigned char* buffer = allocateOutput(threeQuarters(inLength), 4);
    if (!buffer)
        return -1;

    unsigned long o = 0;
    unsigned long i = 0;
    uint32_t group = 0;
    int values = 0;
    while (i < inLength) {
        // Fast path: whole groups of four alphabet bytes.
        if (values == 0) {
            while (inLength - i >= 4) {
                uint32_t word = kBase64.shifted[0][in[i]] | kBase64.shifted[1][in[i + 1]]
                              | kBase64.shifted[2][in[i + 2]] | kBase64.shifted[3][in[i + 3]];
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

int SADecoderFactory::decodeQuotedPrintableBuffer(const unsigned char* in, unsigned long inLength,
                                                  unsigned char** out, unsigned long* outLength)
{
    if (badArguments(in, inLength, out, outLength))
        return -1;
    unsigned char* buffer = allocateOutput(inLength, 0);
    if (!buffer)
        return -1;

    unsigned long o = 0;
    unsigned long i = 0;
    while (i < inLength) {
        // Normal state: copy the run up to the next "=".
        const void* equals = std::memchr(in + i, '=', inLength - i);
        unsigned long end = equals ? static_cast<unsigned long>(static_cast<const unsigned char*>(equals) - in) : inLength;
        std::memcpy(buffer + o, in + i, end - i);
        o += end - i;
        i = end;
        if (i == inLength)
            break;
        // After "=": an unfinished escape at the end is dropped.
        if (inLength - i < 2)
            break;
        unsigned char first = in[i + 1];
        if (first == '\n' || first == '\r') {
            i += 2;
            continue;
        }
        int high = hexValue(first);
        if (high < 0) {
            buffer[o++] = '=';
            buffer[o++] = first;
            i += 2;
            continue;
        }
        // After "=" and one hex digit.
        if (inLength - i < 3)
            break;
        unsigned char second = in[i + 2];
        int low = hexValue(second);
        if (low < 0) {
            buffer[o++] = '=';
            buffer[o++] = first;
            buffer[o++] = second;
        } else {
            buffer[o++] = static_cast<unsigned char>(high << 4 | low);
        }
        i += 3;
    }
    *out = buffer;
    *outLength = o;
    return 0;
}

int SADecoderFactory::decodeQBuffer(const unsigned char* in, unsigned long inLength, unsigned char** out,
                                    unsigned long* outLength)
{
    if (badArguments(in, inLength, out, outLength))
        return -1;
    unsigned char* buffer = allocateOutput(inLength, 0);
    if (!buffer)
        return -1;

    unsigned long o = 0;
    unsigned long i = 0;
    while (i < inLength) {
        // Normal state: copy the run up to the next "=", "_" becoming a space.
        const void* equals = std::memchr(in + i, '=', inLength - i);
        unsigned long end = equals ? static_cast<unsigned long>(static_cast<const unsigned char*>(equals) - in) : inLength;
        for (; i < end; ++i)
            buffer[o++] = in[i] == '_' ? ' ' : in[i];
        if (i == inLength)
            break;
        // After "=": a line break is dropped with it, a hex digit moves on,
        // anything else is malformed. An unfinished escape at the end is dropped.
        if (inLength - i < 2)
            break;
        unsigned char first = in[i + 1];
        if (first == '\n' || first == '\r') {
            i += 2;
            continue;
        }
        int high = hexValue(first);
        if (high < 0)
            goto malformed;
        if (inLength - i < 3)
            break;
        {
            int low = hexValue(in[i + 2]);
            if (low < 0)
                goto malformed;
            buffer[o++] = static_cast<unsigned char>(high << 4 | low);
        }
        i += 3;
    }
    *out = buffer;
    *outLength = o;
    return 0;

malformed:
    std::free(buffer);
    return -1;
}

int SADecoderFactory::decodeUuencodeBuffer(const unsigned char* in, unsigned long inLength, unsigned char** out,
                                           unsigned long* outLength)
{
    if (badArguments(in, inLength, out, outLength)) {
        if (inLength == 0)
            clearResult(out, outLength);
        return -1;
    }
    unsigned long bound = threeQuarters(inLength);
    unsigned char* buffer = allocateOutput(bound, 1);
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

    auto sextet = [](unsigned char c) { return static_cast<unsigned>((c - 32) & 63); };
    unsigned long o = 0;
    // 4. One line at a time; its first byte gives its byte count.
    while (i < inLength) {
        int n = static_cast<int>(in[i]) - 32;
        if (n <= 0 || n == 64)
            break;
        const void* nl = std::memchr(in + i, '\n', inLength - i);
        unsigned long end = nl ? static_cast<unsigned long>(static_cast<const unsigned char*>(nl) - in) : inLength;
        unsigned long p = i + 1;
        // 5. and 6. Groups of four characters give three bytes, a last group of
        // three or two characters two or one. Characters are taken from this line
        // only: a group the line does not hold whole ends it.
        while (n > 0) {
            unsigned long need = n >= 3 ? 4 : static_cast<unsigned long>(n) + 1;
            if (end - p < need)
                break;
            unsigned c0 = sextet(in[p]), c1 = sextet(in[p + 1]);
            unsigned c2 = need > 2 ? sextet(in[p + 2]) : 0;
            unsigned c3 = need > 3 ? sextet(in[p + 3]) : 0;
            unsigned char bytes[3] = {static_cast<unsigned char>(c0 << 2 | c1 >> 4),
                                      static_cast<unsigned char>(c1 << 4 | c2 >> 2),
                                      static_cast<unsigned char>(c2 << 6 | c3)};
            unsigned long emit = n >= 3 ? 3 : static_cast<unsigned long>(n);
            if (bound - o < emit)
                break;
            std::memcpy(buffer + o, bytes, emit);
            o += emit;
            p += need;
            n -= 3;
        }
        // 7. On to the next line.
        i = end < inLength ? end + 1 : inLength;
    }
    *out = buffer;
    *outLength = o;
    return 0;
}

SAData* SADecoderFactory::decodeBase64(const SAData* data) { return decodeObject(data, decodeBase64Buffer); }
SAData* SADecoderFactory::decodeQuotedPrintable(const SAData* data) { return decodeObject(data, decodeQuotedPrintableBuffer); }
SAData* SADecoderFactory::decodeQ(const SAData* data) { return decodeObject(data, decodeQBuffer); }
SAData* SADecoderFactory::decodeUuencode(const SAData* data) { return decodeObject(data, decodeUuencodeBuffer); }
