#pragma once

#include "mailparse/SADictionary.h"

const char* GETIDSAMutableDictionary();
const char* GETNAMESAMutableDictionary();

// A dictionary that can be edited. Pre-allocated slots are filled from the last
// towards the first; further items are appended one slot at a time.
class SAMutableDictionary : public SADictionary {
public:
    SAMutableDictionary();
    /// `capacity` empty slots.
    explicit SAMutableDictionary(unsigned long capacity);
    /// `capacity` empty slots, and room reserved (see reserve) for `items`
    /// items in all.
    SAMutableDictionary(unsigned long capacity, unsigned long items);

    const char* stringFromClass() override;
    const char* classID() override;
    bool isKindOfClass(const char* name) override;
    static const char* _classTypeID;

    /// Stores `value` (retained) under a private copy of `key`. An item whose key
    /// is exactly `key` gets the new value; otherwise the new item goes into the
    /// last hole, or into one new slot at the end. Null key or value: no effect.
    void setObjectForKey(SAObject* value, const SAString* key);
    /// As setObjectForKey for a `key` that no item has yet: the dictionary
    /// takes over the caller's claim on `key` (an SAString nobody else edits)
    /// instead of copying it, and skips the search for an equal key. The claim
    /// is dropped when nothing is stored.
    void setObjectForNewKey(SAObject* value, SAString* key);
    /// Releases key and value of the first item whose key is exactly `key` and
    /// leaves a hole.
    void removeObjectForKey(const SAString* key);
    /// Releases every item, leaving all slots as holes.
    void removeAllObjects();
    /// Allocates at once what `items` further items need (slots beyond the
    /// holes, and item records), so they are added without growing anything.
    /// Where items go is not changed.
    void reserve(unsigned long items);

private:
    /// Makes room for `capacity` slots; false when memory runs out.
    bool growSlots(unsigned long capacity);
    /// Puts a new item into the last hole or a new slot at the end; false
    /// when the slots cannot grow (the item is then not stored).
    bool insertNewItem(SAObject* value, SAString* key);
};
