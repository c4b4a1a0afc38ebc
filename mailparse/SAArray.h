#pragma once

#include "mailparse/SAObject.h"

class SAString;

const char* GETIDSAArray();
const char* GETNAMESAArray();

// An ordered collection of objects. The array retains every object it holds
// and releases it when the object is removed or the array is destroyed.
class SAArray : public SAObject {
public:
    /// Empty array.
    SAArray();
    /// Array holding `object` (retained), or empty when it is null.
    explicit SAArray(SAObject* object);
    ~SAArray() override;
    SAArray(const SAArray&) = delete;
    SAArray& operator=(const SAArray&) = delete;

    const char* stringFromClass() override;
    const char* classID() override;
    bool isKindOfClass(const char* name) override;
    static const char* _classTypeID;
    /// Prints the header line, then "[", each element as "[INDEX] " and its own
    /// dump, then "]".
    void description() override;

    unsigned long count() const { return _count; }
    /// The element at `index` (borrowed), or null when the index is not below count.
    SAObject* objectAtIndex(unsigned long index) const;
    /// The last element (borrowed), or null when the array is empty.
    SAObject* lastObject() const;
    /// New string of the string elements in order with `separator` between
    /// neighbours (caller releases). Elements that are not strings contribute
    /// nothing; an empty array gives the empty string; null when memory runs out.
    SAString* componentsJoinedByString(const SAString* separator) const;

protected:
    /// Slots kept inside the object: short arrays need no allocation of their own.
    static constexpr unsigned long kInlineSlots = 2;
    bool hasInlineSlots() const { return _slots == _inlineSlots; }

    unsigned long _capacity;
    SAObject** _slots;
    unsigned long _count;
    SAObject* _inlineSlots[kInlineSlots];
};
