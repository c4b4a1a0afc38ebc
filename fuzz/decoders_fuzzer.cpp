// Feeds arbitrary bytes to every transfer decoder, in both forms, from a buffer
// of exactly the input's size, and checks the reported lengths against the
// allocation bounds and the two forms against each other.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mailparse/SAData.h"
#include "mailparse/SADecoderFactory.h"
#include "mailparse/SARef.h"

namespace {

using BufferDecoder = int (*)(const unsigned char*, unsigned long, unsigned char**, unsigned long*);
using ObjectDecoder = SAData* (*)(const SAData*);

struct Decoder {
    BufferDecoder buffer;
    ObjectDecoder object;
    unsigned long (*bound)(unsigned long);
};

unsigned long threeQuarters(unsigned long n) { return n / 4 * 3 + n % 4 * 3 / 4; }
unsigned long same(unsigned long n) { return n; }

const Decoder kDecoders[] = {
    {SADecoderFactory::decodeBase64Buffer, SADecoderFactory::decodeBase64, threeQuarters},
    {SADecoderFactory::decodeQuotedPrintableBuffer, SADecoderFactory::decodeQuotedPrintable, same},
    {SADecoderFactory::decodeQBuffer, SADecoderFactory::decodeQ, same},
    {SADecoderFactory::decodeUuencodeBuffer, SADecoderFactory::decodeUuencode, threeQuarters},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte chooses a decoder; the rest is the encoded input.
    if (size == 0)
        return 0;
    const Decoder& decoder = kDecoders[data[0] % 4];
    std::vector<unsigned char> input(data + 1, data + size);
    const unsigned char* in = input.empty() ? nullptr : input.data();
    const unsigned long inLength = input.size();

    unsigned char* out = nullptr;
    unsigned long outLength = 0;
    int status = decoder.buffer(in ? in : data, inLength, &out, &outLength);
    if (status == 0) {
        if (!out || outLength > decoder.bound(inLength))
            std::abort();
        if (outLength)
            std::memset(out, 0, outLength);  // every reported byte must be writable
    } else if (status != -1) {
        std::abort();
    }

    SAData wrapped(in, inLength, true);
    auto object = SARef<SAData>::adopt(decoder.object(&wrapped));
    if ((status == 0) != static_cast<bool>(object))
        std::abort();
    if (object) {
        // The object form gives the same bytes (compare against a fresh buffer run).
        unsigned char* again = nullptr;
        unsigned long againLength = 0;
        if (decoder.buffer(in, inLength, &again, &againLength) != 0 || againLength != object->length() ||
            (againLength && std::memcmp(again, object->bytes(), againLength) != 0))
            std::abort();
        std::free(again);
    }
    std::free(out);
    return 0;
}
