#pragma once

#include <cstdint>

#include "mailparse/SAObject.h"

class SAString;
class SAMutableArray;

const char* GETIDSADictionary();
const char* GETNAMESADictionary();

/// One key/value pair of a dictionary: the key is the dictionary's private copy,
/// the value is retained.
struct SADictionaryItem {
    SAString* key;
    SAObject* value;
};

// A keyed collection kept in slots; a slot may be empty (a hole). Iteration
// order is slot order.
class SADictionary : public SAObject {
public:
    SADictionary();
    ~SADictionary() override;
    SADictionary(const SADictionary&) = delete;
    SADictionary& operator=(const SADictionary&) = delete;

    const char* stringFromClass() override;
    const char* classID() override;
    bool isKindOfClass(const char* name) override;
    static const char* _classTypeID;
    /// Prints the header line, then "{", each item's key and value dumps, then "}".
    void description() override;

    /// Number of non-empty slots.
    unsigned long count() const;
    /// Value (borrowed) of the first item, in slot order, whose key compares
    /// equal to `key` by compareOptions(key, options): 1 ignores ASCII case,
    /// 0 is exact. Null when nothing matches.
    SAObject* objectForKey(const SAString* key, int options = 0) const;
    /// New array of the keys (retained, not copied) in slot order (caller releases).
    SAMutableArray* allKeys() const;

    /// Number of slots, holes included.
    unsigned long slotCount() const { return _slotCount; }
    /// The item in slot `index` (borrowed), or null for a hole or a bad index.
    const SADictionaryItem* itemAtSlot(unsigned long index) const;

protected:
    /// Slots and item records kept inside the object: small dictionaries
    /// need no allocation of their own.
    static constexpr unsigned long kInlineItems = 6;
    bool hasInlineSlots() const { return _items == _inlineSlots; }

    /// True when `item` is one of the records handed out from the reserved
    /// block or from the object itself (freed with the dictionary, not one by one).
    bool isPooledItem(const SADictionaryItem* item) const {
        const auto at = reinterpret_cast<std::uintptr_t>(item);
        const auto pool = reinterpret_cast<std::uintptr_t>(_itemPool);
        const auto inlineItems = reinterpret_cast<std::uintptr_t>(_inlineItems);
        return (at >= pool && at < pool + _itemPoolSize * sizeof(SADictionaryItem)) ||
               (at >= inlineItems && at < inlineItems + sizeof _inlineItems);
    }
    /// Releases the key and value of `item` and frees its record.
    void discardItem(SADictionaryItem* item);

    SADictionaryItem** _items;
    unsigned long _slotCount;
    /// Slots allocated in _items; _slotCount of them are in use.
    unsigned long _slotCapacity;
    /// Records handed out to new items before any is allocated on its own.
    SADictionaryItem* _itemPool;
    unsigned long _itemPoolSize;
    unsigned long _itemPoolUsed;
    /// Empty slots among the first _slotCount: none means a new item goes at
    /// the end without a search.
    unsigned long _holeCount;
    SADictionaryItem* _inlineSlots[kInlineItems];
    SADictionaryItem _inlineItems[kInlineItems];
};
