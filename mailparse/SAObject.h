#pragma once

#include <atomic>
#include <cstdint>

// Root of the parsing library's reference-counted classes.
//
// Ownership: every object is born with a count of 1 and belongs to its creator.
// SAObject::retain adds a claim, SAObject::release drops one and destroys the
// object when the count falls to 0 or below. Operations named copy... and
// factories that return a new object hand the caller that first claim.
// Accessors return borrowed pointers. Counts are atomic, so threads may share
// objects (the library's constant keys, a parsed message) that they only read;
// nothing else in the library is synchronised.

/// The class identifier of SAObject (unique per class, stable for the run).
const char* GETIDSAObject();
/// The class name "SAObject".
const char* GETNAMESAObject();

class SAObject {
public:
    SAObject() : _retainCount(1) {}
    SAObject(const SAObject&) : _retainCount(1) {}
    /// Assignment copies no identity: each object keeps its own reference count.
    SAObject& operator=(const SAObject&) { return *this; }

    /// The class's name as a NUL-terminated string ("SAObject", "SAString", ...).
    virtual const char* stringFromClass();
    /// The class's identifier string (see GETIDSAObject()).
    virtual const char* classID();
    /// True when `name` is the identifier of this class or of one of its bases.
    virtual bool isKindOfClass(const char* name);
    virtual ~SAObject();
    /// Debug dump on standard output: the reference count and a newline.
    virtual void description();

    /// Adds a claim to `object`; a null pointer is ignored.
    static void retain(SAObject* object) {
        if (object)
            object->_retainCount.fetch_add(1, std::memory_order_relaxed);
    }
    /// Drops a claim on `object`, destroying it when none is left; null is ignored.
    static void release(SAObject* object) {
        if (object && object->_retainCount.fetch_sub(1, std::memory_order_acq_rel) <= 1)
            delete object;
    }

    /// The current reference count.
    int32_t retainCount() const { return _retainCount.load(std::memory_order_relaxed); }

    static const char* _className;
    static const char* _classTypeID;
    /// When true, every destruction prints "Dealloc <(SAObject *) ADDRESS >".
    static bool verbose_;

protected:
    /// Prints "<(CLASS *) ADDRESS [COUNT]>" (no newline): the head of every dump.
    void printHeader();

private:
    std::atomic<int32_t> _retainCount;
};
