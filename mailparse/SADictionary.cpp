#include "mailparse/SADictionary.h"

#include <cstdio>
#include <cstdlib>

#include "mailparse/SAClassIdentity_p.h"
#include "mailparse/SAMutableArray.h"
#include "mailparse/SAString.h"

SA_DEFINE_CLASS_IDENTITY(SADictionary, SAObject)

SADictionary::SADictionary()
    : _items(_inlineSlots),
      _slotCount(0),
      _slotCapacity(kInlineItems),
      _itemPool(_inlineItems),
      _itemPoolSize(kInlineItems),
      _itemPoolUsed(0),
      _holeCount(0),
      _inlineSlots{},
      _inlineItems{} {}

SADictionary::~SADictionary() {
    for (unsigned long i = 0; i < _slotCount; ++i)
        if (SADictionaryItem* item = _items[i])
            discardItem(item);
    if (!hasInlineSlots())
        std::free(_items);
    if (_itemPool != _inlineItems)
        std::free(_itemPool);
}

void SADictionary::discardItem(SADictionaryItem* item) {
    SAObject::release(item->key);
    SAObject::release(item->value);
    if (!isPooledItem(item))
        delete item;
}

unsigned long SADictionary::count() const {
    unsigned long count = 0;
    for (unsigned long i = 0; i < _slotCount; ++i)
        if (_items[i])
            ++count;
    return count;
}

SAObject* SADictionary::objectForKey(const SAString* key, int options) const {
    if (!key || !key->cString())
        return nullptr;
    for (unsigned long i = 0; i < _slotCount; ++i) {
        SADictionaryItem* item = _items[i];
        if (!item || !item->key->cString())
            continue;
        if (item->key->length() == key->length() && item->key->compareOptions(key, options) == 0)
            return item->value;
    }
    return nullptr;
}

SAMutableArray* SADictionary::allKeys() const {
    auto* keys = new SAMutableArray(count());
    for (unsigned long i = 0; i < _slotCount; ++i)
        if (_items[i])
            keys->addObject(_items[i]->key);
    return keys;
}

const SADictionaryItem* SADictionary::itemAtSlot(unsigned long index) const {
    return index < _slotCount ? _items[index] : nullptr;
}

void SADictionary::description() {
    printHeader();
    std::fputs("\n{\n", stdout);
    for (unsigned long i = 0; i < _slotCount; ++i) {
        if (SADictionaryItem* item = _items[i]) {
            item->key->description();
            if (item->value)
                item->value->description();
        }
    }
    std::fputs("}\n", stdout);
}
