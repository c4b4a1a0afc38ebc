// Parses arbitrary header values into encoded-word segments and runs the string
// operations the header code uses on pieces of the same input.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "mailparse/SAData.h"
#include "mailparse/SAEncodedString.h"
#include "mailparse/SAMutableArray.h"
#include "mailparse/SAMutableDictionary.h"
#include "mailparse/SAMutableString.h"
#include "mailparse/SARef.h"
#include "mailparse/SAString.h"

namespace {

void exerciseSegments(const SAString* value) {
    SAEncodedString encoded(value);
    SAMutableArray* segments = encoded.segments();
    unsigned long total = 0;
    if (segments) {
        for (unsigned long i = 0; i < segments->count(); ++i) {
            auto* segment = static_cast<SADictionary*>(segments->objectAtIndex(i));
            auto* charset = static_cast<SAString*>(segment->objectForKey(SAENCODEDSTRINGENCODING, 0));
            auto* data = static_cast<SAData*>(segment->objectForKey(SAENCODEDSTRINGDATA, 0));
            if (!charset)
                std::abort();
            SAStringEncodings encoding = SAEncodedString::getStringEncoding(charset);
            (void)SAEncodedString::isExoticCharSet(encoding);
            if (data)
                total += data->length();
        }
    }
    // Decoding never grows the bytes of a header value.
    if (total > value->length())
        std::abort();
    (void)encoded.containsExoticCharset();
    (void)encoded.containsJapaneseCharset();
    SAObject::release(encoded.copyString());
}

void exerciseStrings(const SAString* a, const SAString* b, unsigned long number) {
    (void)a->hasPrefix(b, 1);
    (void)a->hasSuffix(b, 1);
    (void)a->compareOptions(b, 1);
    (void)a->compareOptionsRange(b, 1, SAMakeRange(number % 64, number / 64 % 64));
    SARange range = a->rangeOfString(b);
    if (range.location != SANotFound && (range.location > a->length() || b->length() > a->length() - range.location))
        std::abort();
    (void)a->unsignedLongValue();
    SAObject::release(a->substringWithRange(SAMakeRange(number % 64, number / 64 % 64)));
    if (auto parts = SARef<SAMutableArray>::adopt(a->componentsSeparatedByString(b))) {
        auto joined = SARef<SAString>::adopt(parts->componentsJoinedByString(b));
        if (joined && joined->length() > a->length())
            std::abort();
    }
    SAObject::release(a->stringByStandardizingPath());
    SAMutableString edited(*a);
    edited.trimWhiteSpace();
    edited.dequote();
    edited.lowercase();
    if (edited.length() > a->length())
        std::abort();
    SAData bytes(reinterpret_cast<const unsigned char*>(a->cString()), a->length(), true);
    SAObject::release(bytes.subdataWithRange(SAMakeRange(number % 64, number / 64 % 64)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    auto value = SARef<SAString>::adopt(new SAString(bytes, size));
    exerciseSegments(value.get());

    // A second string from the first line of the input, the rest the first.
    const void* newline = std::memchr(data, '\n', size);
    size_t split = newline ? static_cast<size_t>(static_cast<const uint8_t*>(newline) - data) : size / 2;
    auto first = SARef<SAString>::adopt(new SAString(bytes, split));
    auto rest =
        SARef<SAString>::adopt(new SAString(bytes + split + (newline ? 1 : 0), size - split - (newline ? 1 : 0)));
    unsigned long number = size ? data[0] * 131u + data[size - 1] : 0;
    exerciseStrings(rest.get(), first.get(), number);
    exerciseStrings(first.get(), rest.get(), number);
    return 0;
}
