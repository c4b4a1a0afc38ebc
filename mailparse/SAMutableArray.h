#pragma once

#include "mailparse/SAArray.h"

const char* GETIDSAMutableArray();
const char* GETNAMESAMutableArray();

// An array that grows and shrinks. A full array grows by two slots, or by half
// its count when that is more.
class SAMutableArray : public SAArray {
public:
    SAMutableArray();
    /// Pre-allocates `capacity` empty slots (count 0).
    explicit SAMutableArray(unsigned long capacity);
    explicit SAMutableArray(int capacity);
    /// Array holding `object` (retained), or empty when it is null.
    explicit SAMutableArray(SAObject* object);

    const char* stringFromClass() override;
    const char* classID() override;
    bool isKindOfClass(const char* name) override;
    static const char* _classTypeID;

    /// Appends and retains `object` (null is ignored). When the slots cannot
    /// grow the object is not added.
    void addObject(SAObject* object);
    /// Inserts and retains `object` before the element at `index` (at the end
    /// when `index` equals count); ignored when `index` is beyond count.
    void insertObjectAtIndex(SAObject* object, unsigned long index);
    /// Releases the element at `index` and shifts the later ones down; ignored
    /// when the index is not below count.
    void removeObjectAtIndex(unsigned long index);
    void removeLastObject();
    /// Releases every element; count becomes 0, the capacity is kept.
    void removeAllObjects();
    /// Retains `object` and releases the element it replaces; no effect when the
    /// index is out of range, `object` is null or already there.
    void replaceObjectAtIndexWithObject(unsigned long index, SAObject* object);

private:
    bool grow();
};
