#include "mailparse/SAMutableArray.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "mailparse/SAClassIdentity_p.h"

SA_DEFINE_CLASS_IDENTITY(SAMutableArray, SAArray)

SAMutableArray::SAMutableArray() = default;

SAMutableArray::SAMutableArray(unsigned long capacity) {
    if (capacity <= _capacity || capacity > std::numeric_limits<unsigned long>::max() / sizeof(SAObject*))
        return;
    if (auto* slots = static_cast<SAObject**>(std::calloc(capacity, sizeof(SAObject*)))) {
        _slots = slots;
        _capacity = capacity;
    }
}

SAMutableArray::SAMutableArray(int capacity)
    : SAMutableArray(capacity > 0 ? static_cast<unsigned long>(capacity) : 0UL) {}

SAMutableArray::SAMutableArray(SAObject* object) : SAArray(object) {}

// Makes room for one more element: count + 2 slots, or half as many again for
// a long array, so that appending stays linear on hostile input with many parts.
bool SAMutableArray::grow() {
    if (_count < _capacity)
        return true;
    unsigned long step = _count / 2 > 2 ? _count / 2 : 2;
    unsigned long capacity = _count + step;
    if (capacity < _count || capacity > std::numeric_limits<unsigned long>::max() / sizeof(SAObject*))
        return false;
    auto* slots = static_cast<SAObject**>(std::malloc(capacity * sizeof(SAObject*)));
    if (!slots)
        return false;
    if (_count)
        std::memcpy(slots, _slots, _count * sizeof(SAObject*));
    std::memset(slots + _count, 0, (capacity - _count) * sizeof(SAObject*));
    if (!hasInlineSlots())
        std::free(_slots);
    _slots = slots;
    _capacity = capacity;
    return true;
}

void SAMutableArray::addObject(SAObject* object) {
    if (!object || !grow())
        return;
    SAObject::retain(object);
    _slots[_count++] = object;
}

void SAMutableArray::insertObjectAtIndex(SAObject* object, unsigned long index) {
    if (!object || index > _count || !grow())
        return;
    std::memmove(_slots + index + 1, _slots + index, (_count - index) * sizeof(SAObject*));
    SAObject::retain(object);
    _slots[index] = object;
    ++_count;
}

void SAMutableArray::removeObjectAtIndex(unsigned long index) {
    if (index >= _count)
        return;
    SAObject* removed = _slots[index];
    std::memmove(_slots + index, _slots + index + 1, (_count - index - 1) * sizeof(SAObject*));
    _slots[--_count] = nullptr;
    SAObject::release(removed);
}

void SAMutableArray::removeLastObject() {
    if (_count > 0)
        removeObjectAtIndex(_count - 1);
}

void SAMutableArray::removeAllObjects() {
    // Detach first: releasing an element may run code that looks at this array.
    unsigned long count = _count;
    _count = 0;
    for (unsigned long i = 0; i < count; ++i) {
        SAObject* removed = _slots[i];
        _slots[i] = nullptr;
        SAObject::release(removed);
    }
}

void SAMutableArray::replaceObjectAtIndexWithObject(unsigned long index, SAObject* object) {
    if (index >= _count || !object || _slots[index] == object)
        return;
    SAObject::retain(object);
    SAObject* old = _slots[index];
    _slots[index] = object;
    SAObject::release(old);
}
