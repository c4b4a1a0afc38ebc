// Parses arbitrary bytes as a message the way the engine does, then asks every
// check of the tree, runs the address helpers on what it found and writes the
// debug dump into a null stream. The first byte picks the line ends (LF, CR or
// CR LF) and whether the header callback stops the parse. Checks the tree's
// shape: depths, children inside their parent's bytes, lists of the right kind.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "mailparse/SAArray.h"
#include "mailparse/SAData.h"
#include "mailparse/SAEncodedString.h"
#include "mailparse/SAMimePart.h"
#include "mailparse/SAMutableArray.h"
#include "mailparse/SAMutableDictionary.h"
#include "mailparse/SARef.h"
#include "mailparse/SAString.h"

namespace {

int stopAtHeaders(SADictionary* headers, void* context) {
    if (!headers)
        std::abort();
    return *static_cast<int*>(context);
}

void check(bool condition) {
    if (!condition)
        std::abort();
}

void walk(SAMIMEPart* part, const char* begin, const char* end, int depth) {
    check(part->_depth == depth);
    check(part->_depth <= SAMIMEMaximumDepth);
    check(part->_headers != nullptr);
    if (part->_data && part->_data->length() > 0)
        check(part->_data->bytes() >= begin && part->_data->bytes() + part->_data->length() <= end);
    if (part->_textContent)
        check(part->_contentType == SAMIMETypeText);

    for (SAArray* list : {part->_urls, part->_addresses}) {
        for (unsigned long i = 0; list && i < list->count(); ++i) {
            SAObject* item = list->objectAtIndex(i);
            check(item != nullptr);
            if (list == part->_urls) {
                check(item->isKindOfClass(GETIDSAMutableDictionary()));
                SAObject* url = static_cast<SADictionary*>(item)->objectForKey(sURLURLKey, 0);
                check(url && url->isKindOfClass(GETIDSAString()));
                SARef<SAString> host =
                    SARef<SAString>::adopt(SAMIMEPart::getDomainNameFromURL(static_cast<SAString*>(url)));
                (void)host;
            } else {
                check(item->isKindOfClass(GETIDSAString()));
                // At least two bytes, "@" and a dotted domain of three.
                check(static_cast<SAString*>(item)->length() >= 6);
            }
        }
    }

    SAString received("Received");
    SAObject* values = part->_headers->objectForKey(&received, 1);
    if (values && values->isKindOfClass(GETIDSAArray())) {
        auto* array = static_cast<SAArray*>(values);
        for (unsigned long i = 0; i < array->count(); ++i) {
            auto* value = static_cast<SAString*>(array->objectAtIndex(i));
            SARef<SAString> address = SARef<SAString>::adopt(SAMIMEPart::findAddressInString(value));
            SARef<SAString> reversed = SARef<SAString>::adopt(SAMIMEPart::reverseIPAddress(address.get()));
        }
    }
    SARef<SAString> from = SARef<SAString>::adopt(part->copyAddressFromField(sFromKey));
    SARef<SAString> id = SARef<SAString>::adopt(part->copyMessageID());
    SARef<SAEncodedString> subject = SARef<SAEncodedString>::adopt(part->copySubject());

    const char* childBegin = part->_data ? part->_data->bytes() : begin;
    const char* childEnd = part->_data ? part->_data->bytes() + part->_data->length() : end;
    for (unsigned long i = 0; part->_parts && i < part->_parts->count(); ++i) {
        SAObject* child = part->_parts->objectAtIndex(i);
        check(child && child->isKindOfClass(GETIDSAMIMEPart()));
        walk(static_cast<SAMIMEPart*>(child), childBegin, childEnd, depth + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The debug dumps go to standard output: send them nowhere.
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const uint8_t mode = data[0];
    // The parser blanks HTML links in place: it gets a writable copy.
    std::vector<unsigned char> bytes(data + 1, data + size);
    bool crlf = (mode & 3) == 2;
    MIME_EOL_CHAR = (mode & 3) == 1 ? 13 : 10;
    int verdict = (mode & 4) ? 3 : 0;

    SARef<SAData> message = SARef<SAData>::adopt(new SAData(bytes.data(), bytes.size(), true));
    SARef<SAMIMEPart> top = SARef<SAMIMEPart>::adopt(new SAMIMEPart(message.get(), !crlf, stopAtHeaders, &verdict));
    int result = top->process(true, (mode & 8) != 0);
    check(result == 0 || result == -1 || result == 8 || result == verdict);

    const char* begin = reinterpret_cast<const char*>(bytes.data());
    walk(top.get(), begin, begin + bytes.size(), 0);
    top->usesWhiteTrick();
    top->usesSmallFontTrick();
    top->usesTooManyWrongTags();
    top->usesSpamCharset();
    top->usesAfterHTML();
    top->usesTooManySpanDisplayNone();
    top->usesFloatLeftTrick();
    top->hasBoundaryForSinglePart();
    top->useTextBase64Encoding();
    top->hasStrangeHierarchy();
    top->containsJapaneseCharset();
    top->containsExoticCharset();
    top->description();
    MIME_EOL_CHAR = 10;
    return 0;
}
