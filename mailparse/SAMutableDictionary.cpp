#include "mailparse/SAMutableDictionary.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "mailparse/SAClassIdentity_p.h"
#include "mailparse/SAString.h"

SA_DEFINE_CLASS_IDENTITY(SAMutableDictionary, SADictionary)

namespace {

constexpr unsigned long kMaximumSlots = std::numeric_limits<unsigned long>::max() / sizeof(SADictionaryItem*) - 1;

}  // namespace

SAMutableDictionary::SAMutableDictionary() = default;

SAMutableDictionary::SAMutableDictionary(unsigned long capacity) {
    if (capacity == 0 || capacity > std::numeric_limits<unsigned long>::max() / sizeof(SADictionaryItem*))
        return;
    if (capacity > _slotCapacity) {
        auto* slots = static_cast<SADictionaryItem**>(std::calloc(capacity, sizeof(SADictionaryItem*)));
        if (!slots)
            return;
        _items = slots;
        _slotCapacity = capacity;
    }
    _slotCount = _holeCount = capacity;
}

bool SAMutableDictionary::growSlots(unsigned long capacity) {
    if (capacity <= _slotCapacity)
        return true;
    SADictionaryItem** slots;
    if (hasInlineSlots()) {
        slots = static_cast<SADictionaryItem**>(std::malloc(capacity * sizeof(SADictionaryItem*)));
        if (slots && _slotCount)
            std::memcpy(slots, _items, _slotCount * sizeof(SADictionaryItem*));
    } else {
        slots = static_cast<SADictionaryItem**>(std::realloc(_items, capacity * sizeof(SADictionaryItem*)));
    }
    if (!slots)
        return false;
    _items = slots;
    _slotCapacity = capacity;
    return true;
}

SAMutableDictionary::SAMutableDictionary(unsigned long capacity, unsigned long items) : SAMutableDictionary(capacity) {
    reserve(items);
}

void SAMutableDictionary::reserve(unsigned long items) {
    if (items == 0 || items > kMaximumSlots)
        return;
    // Slots: items fill the holes first, the rest need new ones at the end.
    const unsigned long appended = items > _holeCount ? items - _holeCount : 0;
    if (_slotCount <= kMaximumSlots - appended)
        growSlots(_slotCount + appended);
    // Item records: one block, taken once per dictionary when the records
    // inside the object are too few. Records already handed out stay where they are.
    if (_itemPool == _inlineItems && kInlineItems - _itemPoolUsed < items &&
        items <= std::numeric_limits<unsigned long>::max() / sizeof(SADictionaryItem)) {
        if (auto* pool = static_cast<SADictionaryItem*>(std::malloc(items * sizeof(SADictionaryItem)))) {
            _itemPool = pool;
            _itemPoolSize = items;
            _itemPoolUsed = 0;
        }
    }
}

bool SAMutableDictionary::insertNewItem(SAObject* value, SAString* key) {
    // The record: from the reserved block, or one of its own.
    const bool fromPool = _itemPoolUsed < _itemPoolSize;
    SADictionaryItem* item = fromPool ? &_itemPool[_itemPoolUsed] : new (std::nothrow) SADictionaryItem;
    if (!item)
        return false;

    // The last hole, or one new slot at the end.
    unsigned long hole = _slotCount;
    for (unsigned long i = _holeCount ? _slotCount : 0; i-- > 0;) {
        if (!_items[i]) {
            hole = i;
            break;
        }
    }
    if (hole == _slotCount) {
        bool room = _slotCount < _slotCapacity;
        if (!room && _slotCount < kMaximumSlots) {
            // Grows by half again (at least four), so appending stays linear.
            unsigned long step = _slotCapacity / 2 > 4 ? _slotCapacity / 2 : 4;
            unsigned long capacity = _slotCapacity + step;
            if (capacity > kMaximumSlots || capacity < _slotCapacity)
                capacity = kMaximumSlots;
            room = growSlots(capacity);
        }
        if (!room) {
            if (!fromPool)
                delete item;
            return false;
        }
        ++_slotCount;
    } else {
        --_holeCount;
    }

    if (fromPool)
        ++_itemPoolUsed;
    SAObject::retain(value);
    item->key = key;
    item->value = value;
    _items[hole] = item;
    return true;
}

void SAMutableDictionary::setObjectForKey(SAObject* value, const SAString* key) {
    if (!value || !key || !key->cString())
        return;

    // 1. An item with exactly this key takes the new value.
    for (unsigned long i = 0; i < _slotCount; ++i) {
        SADictionaryItem* item = _items[i];
        if (item && item->key->isEqualToString(key)) {
            if (item->value != value) {
                SAObject::retain(value);
                SAObject* old = item->value;
                item->value = value;
                SAObject::release(old);
            }
            return;
        }
    }

    // 2. Otherwise a new item with a private copy of the key.
    SAString* copy = SAString::create(key->cString(), key->length());
    if (!copy->cString() || !insertNewItem(value, copy))
        SAObject::release(copy);
}

void SAMutableDictionary::setObjectForNewKey(SAObject* value, SAString* key) {
    if (!value || !key || !key->cString() || !insertNewItem(value, key))
        SAObject::release(key);
}

void SAMutableDictionary::removeObjectForKey(const SAString* key) {
    if (!key)
        return;
    for (unsigned long i = 0; i < _slotCount; ++i) {
        SADictionaryItem* item = _items[i];
        if (item && item->key->isEqualToString(key)) {
            _items[i] = nullptr;
            ++_holeCount;
            discardItem(item);
            return;
        }
    }
}

void SAMutableDictionary::removeAllObjects() {
    for (unsigned long i = 0; i < _slotCount; ++i) {
        SADictionaryItem* item = _items[i];
        if (!item)
            continue;
        _items[i] = nullptr;
        ++_holeCount;
        discardItem(item);
    }
}
