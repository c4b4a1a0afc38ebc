// Feeds arbitrary bytes to the HTML, enriched and pseudo-HTML simplifiers, the
// attribute and declaration parsers and the colour parser. The input is copied
// into a buffer of exactly its size, so any read beyond it is caught; outputs
// must never be longer than their input, and the two forms of each simplifier
// must agree.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mailparse/SAColor.h"
#include "mailparse/SAData.h"
#include "mailparse/SAMutableDictionary.h"
#include "mailparse/SARef.h"
#include "mailparse/SAString.h"
#include "mailparse/SATextTranslator.h"

namespace {

using Buffer = int (*)(const unsigned char*, unsigned long, unsigned char**, unsigned long*);
using Object = SAData* (*)(SAData*);

void check(bool condition) {
    if (!condition)
        std::abort();
}

void runForm(Buffer buffer, Object object, const unsigned char* bytes, size_t size) {
    unsigned char* out = nullptr;
    unsigned long outLength = 0;
    const int status = buffer(bytes, size, &out, &outLength);
    check(status == (size ? 0 : -1));
    check(outLength <= size);

    SARef<SAData> in = SARef<SAData>::adopt(new SAData(bytes, size, true));
    SARef<SAData> result = SARef<SAData>::adopt(object(in.get()));
    check(!size || result);
    if (result) {
        check(result->length() == outLength);
        check(outLength == 0 || std::memcmp(result->bytes(), out, outLength) == 0);
    }
    std::free(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<unsigned char> copy(data, data + size);
    const unsigned char* bytes = copy.empty() ? nullptr : copy.data();

    SATextTranslator::clearHTMLTrickFlags();
    runForm(SATextTranslator::simplifiedHTMLBuffer, SATextTranslator::simplifiedHTML, bytes, size);
    runForm(SATextTranslator::enrichedToPlainBuffer, SATextTranslator::enrichedToPlain, bytes, size);
    runForm(SATextTranslator::simplifiedPseudoHTMLBuffer, SATextTranslator::simplifiedPseudoHTML, bytes, size);

    SARef<SAData> in = SARef<SAData>::adopt(new SAData(bytes, size, true));
    (void)SATextTranslator::containsPseudoTags(in.get());

    const char* text = reinterpret_cast<const char*>(bytes);
    SARef<SAMutableDictionary> attributes =
        SARef<SAMutableDictionary>::adopt(SATextTranslator::attributesForHTMLTag(text, static_cast<int>(size)));
    SARef<SAString> value = SARef<SAString>::adopt(new SAString(text, size));
    SARef<SAMutableDictionary> style =
        SARef<SAMutableDictionary>::adopt(SATextTranslator::attributesForHTMLAttribute(value.get()));
    check(attributes->count() <= 70 && style->count() <= 70);

    SARef<SAColor> color = SARef<SAColor>::adopt(new SAColor(value.get()));
    check(color->red() >= 0 && color->red() <= 1 && color->green() >= 0 && color->green() <= 1 && color->blue() >= 0 &&
          color->blue() <= 1);
    bool drop = false;
    (void)SATextTranslator::isHTMLTagKnown(text, size, &drop);
    std::vector<char> terminated(copy.begin(), copy.end());
    terminated.push_back('\0');
    (void)hexaToUnsignedLongLong(terminated.data());
    return 0;
}
