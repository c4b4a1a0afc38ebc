#pragma once

#include "mailparse/SAObject.h"
#include "mailparse/SARange.h"

const char* GETIDSAData();
const char* GETNAMESAData();

// A byte buffer with a length. When the owner flag is set the object frees the
// buffer at destruction; a wrapped caller buffer (noCopy) is left alone.
class SAData : public SAObject {
public:
    /// Empty owner object.
    SAData();
    /// Owner of `length` uninitialised bytes (none for 0). When the bytes cannot
    /// be allocated the object is empty (length 0).
    explicit SAData(unsigned long length);
    /// With noCopy false copies the bytes and owns the copy; with noCopy true
    /// wraps the caller's buffer without owning it. A length of 0 (or null
    /// bytes) gives an empty owner object.
    SAData(const unsigned char* bytes, unsigned long length, bool noCopy);
    /// Owning copy of another data object (empty when `other` is null).
    explicit SAData(const SAData* other);
    /// Unused form; gives an empty owner object.
    explicit SAData(char* unused);
    ~SAData() override;
    SAData(const SAData&) = delete;
    SAData& operator=(const SAData&) = delete;

    const char* stringFromClass() override;
    const char* classID() override;
    bool isKindOfClass(const char* name) override;
    static const char* _classTypeID;
    /// Same as description(0).
    void description() override;
    /// Prints the header line and a hex dump of the first `max` bytes (all of
    /// them when `max` is 0 or beyond the length).
    virtual void description(unsigned long max);

    /// Hands the duty of freeing the buffer to (true) or from (false) this object.
    void _setOwner(bool owner) { _owner = owner; }
    bool isOwner() const { return _owner; }

    /// The bytes (borrowed; null when the length is 0).
    char* bytes() const { return _bytes; }
    unsigned long length() const { return _length; }

    /// New owning copy of the bytes in `range` (caller releases); null unless
    /// the location lies inside the data and the range ends within it.
    SAData* subdataWithRange(SARange range) const;

protected:
    bool _owner;
    unsigned long _length;
    char* _bytes;
};
