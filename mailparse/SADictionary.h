#pragma once

#include "mailparse/SAObject.h"

class SAString;
class SAMutableArray;

const char* GETIDSADictionary();
const char* GETNAMESADictionary();

/// One key/value pair of a dictionary: the key is the dictionary's private copy,
/// the value is retained.
struct SADictionaryItem {
    SAString* key;
    SAObject* value;
};

// A keyed collection kept in slots; a slot may be empty (a hole). Iteration
// order is slot order.
class SADictionary : public SAObject {
public:
    SADictionary();
    ~SADictionary() override;
    SADictionary(const SADictionary&) = delete;
    SADictionary& operator=(const SADictionary&) = delete;

    const char* stringFromClass() override;
    const char* classID() override;
    bool isKindOfClass(const char* name) override;
    static const char* _classTypeID;
    /// Prints the header line, then "{", each item's key and value dumps, then "}".
    void description() override;

    /// Number of non-empty slots.
    unsigned long count() const;
    /// Value (borrowed) of the first item, in slot order, whose key compares
    /// equal to `key` by compareOptions(key, options): 1 ignores ASCII case,
    /// 0 is exact. Null when nothing matches.
    SAObject* objectForKey(const SAString* key, int options = 0) const;
    /// New array of the keys (retained, not copied) in slot order (caller releases).
    SAMutableArray* allKeys() const;

    /// Number of slots, holes included.
    unsigned long slotCount() const { return _slotCount; }
    /// The item in slot `index` (borrowed), or null for a hole or a bad index.
    const SADictionaryItem* itemAtSlot(unsigned long index) const;

protected:
    SADictionaryItem** _items;
    unsigned long _slotCount;
};
