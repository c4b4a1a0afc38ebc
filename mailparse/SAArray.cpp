#include "mailparse/SAArray.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mailparse/SAClassIdentity_p.h"
#include "mailparse/SAString.h"

SA_DEFINE_CLASS_IDENTITY(SAArray, SAObject)

SAArray::SAArray() : _capacity(kInlineSlots), _slots(_inlineSlots), _count(0), _inlineSlots{} {}

SAArray::SAArray(SAObject* object) : SAArray() {
    if (object) {
        SAObject::retain(object);
        _slots[0] = object;
        _count = 1;
    }
}

SAArray::~SAArray() {
    for (unsigned long i = 0; i < _count; ++i)
        SAObject::release(_slots[i]);
    if (!hasInlineSlots())
        std::free(_slots);
}

SAObject* SAArray::objectAtIndex(unsigned long index) const { return index < _count ? _slots[index] : nullptr; }

SAObject* SAArray::lastObject() const { return _count > 0 ? _slots[_count - 1] : nullptr; }

SAString* SAArray::componentsJoinedByString(const SAString* separator) const {
    const char* sep = separator ? separator->cString() : nullptr;
    unsigned long sepLength = sep ? separator->length() : 0;

    // Total length first, refusing a sum that does not fit.
    unsigned long total = 0;
    bool first = true;
    for (unsigned long i = 0; i < _count; ++i) {
        SAObject* element = _slots[i];
        if (!element || !element->isKindOfClass(GETIDSAString()))
            continue;
        auto* string = static_cast<SAString*>(element);
        unsigned long add = string->length() + (first ? 0 : sepLength);
        if (add < string->length() || total + add < total)
            return nullptr;
        total += add;
        first = false;
    }
    if (total == static_cast<unsigned long>(-1))
        return nullptr;

    auto* buffer = static_cast<char*>(std::malloc(total + 1));
    if (!buffer)
        return nullptr;
    unsigned long at = 0;
    first = true;
    for (unsigned long i = 0; i < _count; ++i) {
        SAObject* element = _slots[i];
        if (!element || !element->isKindOfClass(GETIDSAString()))
            continue;
        auto* string = static_cast<SAString*>(element);
        if (!first && sepLength) {
            std::memcpy(buffer + at, sep, sepLength);
            at += sepLength;
        }
        if (string->length()) {
            std::memcpy(buffer + at, string->cString(), string->length());
            at += string->length();
        }
        first = false;
    }
    auto* result = new SAString(buffer, at);
    std::free(buffer);
    if (!result->cString()) {
        SAObject::release(result);
        return nullptr;
    }
    return result;
}

void SAArray::description() {
    printHeader();
    std::fputs("\n[\n", stdout);
    for (unsigned long i = 0; i < _count; ++i) {
        std::printf("[%lu] ", i);
        if (_slots[i])
            _slots[i]->description();
        else
            std::fputs("(null)\n", stdout);
    }
    std::fputs("]\n", stdout);
}
