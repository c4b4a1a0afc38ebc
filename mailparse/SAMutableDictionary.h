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

    const char* stringFromClass() override;
    const char* classID() override;
    bool isKindOfClass(const char* name) override;
    static const char* _classTypeID;

    /// Stores `value` (retained) under a private copy of `key`. An item whose key
    /// is exactly `key` gets the new value; otherwise the new item goes into the
    /// last hole, or into one new slot at the end. Null key or value: no effect.
    void setObjectForKey(SAObject* value, const SAString* key);
    /// Releases key and value of the first item whose key is exactly `key` and
    /// leaves a hole.
    void removeObjectForKey(const SAString* key);
    /// Releases every item, leaving all slots as holes.
    void removeAllObjects();
};
