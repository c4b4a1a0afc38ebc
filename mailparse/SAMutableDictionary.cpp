#include "mailparse/SAMutableDictionary.h"

#include <cstdlib>
#include <limits>
#include <new>

#include "mailparse/SAClassIdentity_p.h"
#include "mailparse/SAString.h"

SA_DEFINE_CLASS_IDENTITY(SAMutableDictionary, SADictionary)

namespace {

constexpr unsigned long kMaximumSlots = std::numeric_limits<unsigned long>::max() / sizeof(SADictionaryItem*) - 1;

} // namespace

SAMutableDictionary::SAMutableDictionary() = default;

SAMutableDictionary::SAMutableDictionary(unsigned long capacity)
{
    if (capacity == 0 || capacity > std::numeric_limits<unsigned long>::max() / sizeof(SADictionaryItem*))
        return;
    _items = static_cast<SADictionaryItem**>(std::calloc(capacity, sizeof(SADictionaryItem*)));
    if (_items)
        _slotCount = _slotCapacity = _holeCount = capacity;
}

SAMutableDictionary::SAMutableDictionary(unsigned long capacity, unsigned long items) : SAMutableDictionary(capacity)
{
    reserve(items);
}

void SAMutableDictionary::reserve(unsigned long items)
{
    if (items == 0 || items > kMaximumSlots)
        return;
    // Slots: every item may need a new one at the end.
    if (_slotCount <= kMaximumSlots - items && _slotCount + items > _slotCapacity) {
        const unsigned long capacity = _slotCount + items;
        auto* slots = static_cast<SADictionaryItem**>(std::realloc(_items, capacity * sizeof(SADictionaryItem*)));
        if (slots) {
            _items = slots;
            _slotCapacity = capacity;
        }
    }
    // Item records: one block, taken once per dictionary.
    if (!_itemPool && items <= std::numeric_limits<unsigned long>::max() / sizeof(SADictionaryItem)) {
        _itemPool = static_cast<SADictionaryItem*>(std::malloc(items * sizeof(SADictionaryItem)));
        if (_itemPool)
            _itemPoolSize = items;
    }
}

bool SAMutableDictionary::insertNewItem(SAObject* value, SAString* key)
{
    // The record: from the reserved block, or one of its own.
    SADictionaryItem* item;
    if (_itemPoolUsed < _itemPoolSize)
        item = &_itemPool[_itemPoolUsed];
    else if (!(item = new (std::nothrow) SADictionaryItem))
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
            if (auto* slots = static_cast<SADictionaryItem**>(std::realloc(_items, capacity * sizeof(SADictionaryItem*)))) {
                _items = slots;
                _slotCapacity = capacity;
                room = true;
            }
        }
        if (!room) {
            if (!isPooledItem(item))
                delete item;
            return false;
        }
        ++_slotCount;
    } else {
        --_holeCount;
    }

    if (isPooledItem(item))
        ++_itemPoolUsed;
    SAObject::retain(value);
    item->key = key;
    item->value = value;
    _items[hole] = item;
    return true;
}

void SAMutableDictionary::setObjectForKey(SAObject* value, const SAString* key)
{
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

void SAMutableDictionary::setObjectForNewKey(SAObject* value, SAString* key)
{
    if (!value || !key || !key->cString() || !insertNewItem(value, key))
        SAObject::release(key);
}

void SAMutableDictionary::removeObjectForKey(const SAString* key)
{
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

void SAMutableDictionary::removeAllObjects()
{
    for (unsigned long i = 0; i < _slotCount; ++i) {
        SADictionaryItem* item = _items[i];
        if (!item)
            continue;
        _items[i] = nullptr;
        ++_holeCount;
        discardItem(item);
    }
}
