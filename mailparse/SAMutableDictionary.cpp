#include "mailparse/SAMutableDictionary.h"

#include <cstdlib>
#include <limits>
#include <new>

#include "mailparse/SAClassIdentity_p.h"
#include "mailparse/SAString.h"

SA_DEFINE_CLASS_IDENTITY(SAMutableDictionary, SADictionary)

SAMutableDictionary::SAMutableDictionary() = default;

SAMutableDictionary::SAMutableDictionary(unsigned long capacity)
{
    if (capacity == 0 || capacity > std::numeric_limits<unsigned long>::max() / sizeof(SADictionaryItem*))
        return;
    _items = static_cast<SADictionaryItem**>(std::calloc(capacity, sizeof(SADictionaryItem*)));
    if (_items)
        _slotCount = capacity;
}

void SAMutableDictionary::setObjectForKey(SAObject* value, const SAString* key)
{
    if (!value || !key || !key->cString())
        return;

    // 1. An item with exactly this key takes the new value.
    unsigned long hole = _slotCount;
    for (unsigned long i = 0; i < _slotCount; ++i) {
        SADictionaryItem* item = _items[i];
        if (!item) {
            hole = i;
            continue;
        }
        if (item->key->isEqualToString(key)) {
            if (item->value != value) {
                SAObject::retain(value);
                SAObject* old = item->value;
                item->value = value;
                SAObject::release(old);
            }
            return;
        }
    }

    auto* item = new (std::nothrow) SADictionaryItem{nullptr, value};
    if (!item)
        return;
    item->key = new SAString(*key);
    if (!item->key->cString()) {
        SAObject::release(item->key);
        delete item;
        return;
    }

    // 2. Otherwise the last hole met, 3. or one new slot at the end.
    if (hole == _slotCount) {
        if (_slotCount >= std::numeric_limits<unsigned long>::max() / sizeof(SADictionaryItem*) - 1) {
            SAObject::release(item->key);
            delete item;
            return;
        }
        auto* items = static_cast<SADictionaryItem**>(std::realloc(_items, (_slotCount + 1) * sizeof(SADictionaryItem*)));
        if (!items) {
            SAObject::release(item->key);
            delete item;
            return;
        }
        _items = items;
        _items[_slotCount++] = nullptr;
    }
    SAObject::retain(value);
    _items[hole] = item;
}

void SAMutableDictionary::removeObjectForKey(const SAString* key)
{
    if (!key)
        return;
    for (unsigned long i = 0; i < _slotCount; ++i) {
        SADictionaryItem* item = _items[i];
        if (item && item->key->isEqualToString(key)) {
            _items[i] = nullptr;
            SAObject::release(item->key);
            SAObject::release(item->value);
            delete item;
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
        SAObject::release(item->key);
        SAObject::release(item->value);
        delete item;
    }
}
