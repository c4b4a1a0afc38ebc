#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mailparse/SAData.h"
#include "mailparse/SAFile.h"
#include "mailparse/SAMutableArray.h"
#include "mailparse/SAMutableDictionary.h"
#include "mailparse/SANumber.h"
#include "mailparse/SARef.h"
#include "mailparse/SAString.h"

namespace {

SARef<SAString> str(const char* text) { return SARef<SAString>::adopt(new SAString(text)); }

std::vector<std::string> strings(SAArray* array) {
    std::vector<std::string> out;
    for (unsigned long i = 0; i < array->count(); ++i)
        out.emplace_back(static_cast<SAString*>(array->objectAtIndex(i))->cString());
    return out;
}

// Counts destructions, to check who frees what.
struct Tracked : SAObject {
    explicit Tracked(int* deaths) : deaths(deaths) {}
    ~Tracked() override { ++*deaths; }
    int* deaths;
};

TEST(SAObject, referenceCountingDestroysAtZeroAndIgnoresNull) {
    int deaths = 0;
    auto* object = new Tracked(&deaths);
    EXPECT_EQ(object->retainCount(), 1);
    SAObject::retain(object);
    EXPECT_EQ(object->retainCount(), 2);
    SAObject::release(object);
    EXPECT_EQ(deaths, 0);
    SAObject::release(object);
    EXPECT_EQ(deaths, 1);
    SAObject::retain(nullptr);
    SAObject::release(nullptr);
}

TEST(SAObject, verboseDestructionPrintsItsLine) {
    auto* object = new SAObject;
    void* address = object;
    SAObject::verbose_ = true;
    testing::internal::CaptureStdout();
    SAObject::release(object);
    std::string out = testing::internal::GetCapturedStdout();
    SAObject::verbose_ = false;
    char expected[64];
    std::snprintf(expected, sizeof expected, "Dealloc <(SAObject *) %p >\n", address);
    EXPECT_EQ(out, expected);
}

TEST(SARef, holdsExactlyOneClaim) {
    int deaths = 0;
    {
        auto ref = SARef<Tracked>::adopt(new Tracked(&deaths));
        SARef<Tracked> copy = ref;
        EXPECT_EQ(ref->retainCount(), 2);
        SARef<Tracked> moved = std::move(copy);
        EXPECT_EQ(ref->retainCount(), 2);
        auto borrowed = SARef<Tracked>::retained(ref.get());
        EXPECT_EQ(ref->retainCount(), 3);
    }
    EXPECT_EQ(deaths, 1);
}

TEST(SAArray, retainsWhatItHoldsAndReleasesOnRemoval) {
    int deaths = 0;
    auto* a = new Tracked(&deaths);
    auto* b = new Tracked(&deaths);
    auto array = SARef<SAMutableArray>::adopt(new SAMutableArray(0UL));
    array->addObject(a);
    array->addObject(b);
    array->addObject(nullptr);
    EXPECT_EQ(array->count(), 2u);
    EXPECT_EQ(a->retainCount(), 2);
    EXPECT_EQ(array->lastObject(), b);
    EXPECT_EQ(array->objectAtIndex(2), nullptr);

    array->replaceObjectAtIndexWithObject(0, b);
    EXPECT_EQ(a->retainCount(), 1);
    EXPECT_EQ(b->retainCount(), 3);
    array->replaceObjectAtIndexWithObject(0, b);  // already there: unchanged
    EXPECT_EQ(b->retainCount(), 3);
    array->replaceObjectAtIndexWithObject(7, a);  // out of range: unchanged
    EXPECT_EQ(a->retainCount(), 1);

    array->removeObjectAtIndex(5);
    array->removeObjectAtIndex(0);
    EXPECT_EQ(array->count(), 1u);
    EXPECT_EQ(b->retainCount(), 2);
    array->removeAllObjects();
    EXPECT_EQ(array->count(), 0u);
    EXPECT_EQ(array->lastObject(), nullptr);
    array->removeLastObject();
    SAObject::release(a);
    SAObject::release(b);
    EXPECT_EQ(deaths, 2);
}

TEST(SAArray, growsByTwoAndKeepsOrderThroughInsertAndRemove) {
    auto array = SARef<SAMutableArray>::adopt(new SAMutableArray(1UL));
    const char* names[] = {"a", "b", "c", "d", "e", "f", "g"};
    for (const char* name : names)
        array->addObject(str(name).get());
    EXPECT_EQ(strings(array.get()), (std::vector<std::string>{"a", "b", "c", "d", "e", "f", "g"}));
    array->removeObjectAtIndex(2);
    array->removeLastObject();
    array->insertObjectAtIndex(str("x").get(), 0);
    array->insertObjectAtIndex(str("y").get(), array->count());
    array->insertObjectAtIndex(str("z").get(), 99);
    EXPECT_EQ(strings(array.get()), (std::vector<std::string>{"x", "a", "b", "d", "e", "f", "y"}));

    SAArray single(str("only").get());
    EXPECT_EQ(single.count(), 1u);
    SAArray none(static_cast<SAObject*>(nullptr));
    EXPECT_EQ(none.count(), 0u);
}

TEST(SAArray, componentsJoinedByString) {
    auto array = SARef<SAMutableArray>::adopt(new SAMutableArray());
    auto sep = str(", ");
    auto joined = SARef<SAString>::adopt(array->componentsJoinedByString(sep.get()));
    ASSERT_TRUE(joined);
    EXPECT_STREQ(joined->cString(), "");
    array->addObject(str("a").get());
    array->addObject(str("").get());
    array->addObject(str("b").get());
    joined = SARef<SAString>::adopt(array->componentsJoinedByString(sep.get()));
    EXPECT_STREQ(joined->cString(), "a, , b");
    EXPECT_EQ(joined->length(), 6u);
    // Elements that are not strings are passed over.
    array->addObject(SARef<SANumber>::adopt(new SANumber(1)).get());
    joined = SARef<SAString>::adopt(array->componentsJoinedByString(nullptr));
    EXPECT_STREQ(joined->cString(), "ab");
}

TEST(SADictionary, slotOrderLookupAndRemoval) {
    auto dict = SARef<SAMutableDictionary>::adopt(new SAMutableDictionary(2UL));
    auto one = SARef<SANumber>::adopt(new SANumber(1));
    auto two = SARef<SANumber>::adopt(new SANumber(2));
    auto three = SARef<SANumber>::adopt(new SANumber(3));
    dict->setObjectForKey(one.get(), str("A").get());
    dict->setObjectForKey(two.get(), str("B").get());
    dict->setObjectForKey(three.get(), str("C").get());
    auto keys = SARef<SAMutableArray>::adopt(dict->allKeys());
    EXPECT_EQ(strings(keys.get()), (std::vector<std::string>{"B", "A", "C"}));
    EXPECT_EQ(dict->count(), 3u);

    // Replacing keeps the slot; the old value is released.
    dict->setObjectForKey(three.get(), str("A").get());
    EXPECT_EQ(one->retainCount(), 1);
    EXPECT_EQ(three->retainCount(), 3);
    EXPECT_EQ(dict->objectForKey(str("A").get(), 0), three.get());

    // A removal leaves a hole that the next new key fills.
    dict->removeObjectForKey(str("B").get());
    EXPECT_EQ(dict->count(), 2u);
    EXPECT_EQ(dict->objectForKey(str("B").get(), 0), nullptr);
    dict->setObjectForKey(one.get(), str("D").get());
    keys = SARef<SAMutableArray>::adopt(dict->allKeys());
    EXPECT_EQ(strings(keys.get()), (std::vector<std::string>{"D", "A", "C"}));
    EXPECT_EQ(dict->slotCount(), 3u);

    dict->removeAllObjects();
    EXPECT_EQ(dict->count(), 0u);
    EXPECT_EQ(one->retainCount(), 1);
    EXPECT_EQ(three->retainCount(), 1);
}

TEST(SADictionary, caseInsensitiveLookupFindsTheLowestSlot) {
    auto dict = SARef<SAMutableDictionary>::adopt(new SAMutableDictionary());
    auto lower = SARef<SAString>::adopt(new SAString("lower"));
    auto upper = SARef<SAString>::adopt(new SAString("upper"));
    dict->setObjectForKey(upper.get(), str("Subject").get());
    dict->setObjectForKey(lower.get(), str("subject").get());
    EXPECT_EQ(dict->count(), 2u);
    EXPECT_EQ(dict->objectForKey(str("SUBJECT").get(), 1), upper.get());
    EXPECT_EQ(dict->objectForKey(str("subject").get(), 0), lower.get());
    EXPECT_EQ(dict->objectForKey(str("SUBJECT").get(), 0), nullptr);
    EXPECT_EQ(dict->objectForKey(str("Subjec").get(), 1), nullptr);
    EXPECT_EQ(dict->objectForKey(nullptr, 1), nullptr);
}

TEST(SADictionary, keysAreCopiedNotShared) {
    auto dict = SARef<SAMutableDictionary>::adopt(new SAMutableDictionary(1UL));
    auto key = str("Key");
    dict->setObjectForKey(key.get(), key.get());
    EXPECT_EQ(key->retainCount(), 2);  // retained as the value only
    auto keys = SARef<SAMutableArray>::adopt(dict->allKeys());
    EXPECT_NE(keys->objectAtIndex(0), key.get());
    dict->setObjectForKey(nullptr, key.get());
    dict->setObjectForKey(key.get(), nullptr);
    EXPECT_EQ(dict->count(), 1u);
}

TEST(SAData, ownershipOfWrappedAndCopiedBuffers) {
    auto* bytes = static_cast<unsigned char*>(std::malloc(4));
    std::memcpy(bytes, "abcd", 4);
    {
        SARef<SAData> wrapped = SARef<SAData>::adopt(new SAData(bytes, 4, true));
        EXPECT_FALSE(wrapped->isOwner());
        EXPECT_EQ(reinterpret_cast<unsigned char*>(wrapped->bytes()), bytes);
    }
    EXPECT_EQ(std::memcmp(bytes, "abcd", 4), 0);  // still ours and intact
    {
        SARef<SAData> copied = SARef<SAData>::adopt(new SAData(bytes, 4, false));
        EXPECT_TRUE(copied->isOwner());
        EXPECT_NE(reinterpret_cast<unsigned char*>(copied->bytes()), bytes);
        SAData copyOfCopy(copied.get());
        EXPECT_EQ(std::memcmp(copyOfCopy.bytes(), "abcd", 4), 0);
    }
    // Handing the buffer over: the object frees it (checked by the leak sanitizer).
    auto* owned = new SAData(bytes, 4, true);
    owned->_setOwner(true);
    SAObject::release(owned);

    SAData empty(reinterpret_cast<const unsigned char*>("x"), 0, true);
    EXPECT_TRUE(empty.isOwner());
    EXPECT_EQ(empty.bytes(), nullptr);
    SAData sized(16UL);
    EXPECT_EQ(sized.length(), 16u);
    EXPECT_NE(sized.bytes(), nullptr);
}

TEST(SAData, subdataWithRangeNearTheEnd) {
    SAData data(reinterpret_cast<const unsigned char*>("0123456789"), 10, false);
    struct Case {
        unsigned long location, length;
        const char* expected;  // null: no object
    };
    const Case cases[] = {
        {0, 10, "0123456789"},
        {9, 1, "9"},
        {3, 0, ""},
        {10, 0, nullptr},
        {9, 2, nullptr},
        {11, 0, nullptr},
        {1, static_cast<unsigned long>(-1), nullptr},
        {static_cast<unsigned long>(-1), 2, nullptr},
    };
    for (const Case& c : cases) {
        auto sub = SARef<SAData>::adopt(data.subdataWithRange(SAMakeRange(c.location, c.length)));
        if (!c.expected) {
            EXPECT_FALSE(sub) << c.location << "+" << c.length;
            continue;
        }
        ASSERT_TRUE(sub) << c.location << "+" << c.length;
        EXPECT_EQ(std::string(sub->bytes() ? sub->bytes() : "", sub->length()), c.expected);
    }
}

TEST(SAData, hexDumpFormat) {
    std::string bytes = "ABCDEFGHIJKLMNOP q\x01";
    SAData data(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), false);
    testing::internal::CaptureStdout();
    data.description();
    std::string out = testing::internal::GetCapturedStdout();
    char header[64];
    std::snprintf(header, sizeof header, "<(SAData *) %p [1]>\n", static_cast<void*>(&data));
    std::string expected = std::string(header) + "00000000 41424344 45464748 494a4b4c 4d4e4f50  |ABCDEFGHIJKLMNOP |\n" +
                           "00000010 207101   " + "         " + "         " + "         " + " |.q.|\n";
    EXPECT_EQ(out, expected);

    testing::internal::CaptureStdout();
    data.description(2);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, std::string(header) + "00000000 4142     " + "         " + "         " + "         " + " |AB|\n");
}

TEST(SANumber, conversions) {
    EXPECT_TRUE(SANumber(true).boolValue());
    EXPECT_EQ(SANumber(true).unsignedLongValue(), 1u);
    EXPECT_FALSE(SANumber().boolValue());
    EXPECT_EQ(SANumber(static_cast<short>(-3)).shortValue(), -3);
    EXPECT_EQ(SANumber(static_cast<unsigned short>(65535)).unsignedShortValue(), 65535);
    EXPECT_EQ(SANumber(4000000000UL).unsignedLongValue(), 4000000000UL);
    EXPECT_FLOAT_EQ(SANumber(2.5f).floatValue(), 2.5f);
    EXPECT_TRUE(SANumber(2.5f).isFloat());
    EXPECT_EQ(SANumber(2.5f).unsignedLongValue(), 2u);
    EXPECT_FLOAT_EQ(SANumber(7UL).floatValue(), 7.0f);
    // Floating values out of an integer range are clamped, not undefined.
    EXPECT_EQ(SANumber(-1.0e30).unsignedLongValue(), 0u);
    EXPECT_EQ(SANumber(1.0e30).shortValue(), 32767);
    EXPECT_EQ(SANumber(0.0 / 0.0).unsignedLongValue(), 0u);
}

TEST(SAFile, copyDataReadsWholeFilesAndFailsCleanly) {
    char dir[] = "/tmp/sa-file-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string full = std::string(dir) + "/full";
    std::string empty = std::string(dir) + "/empty";
    std::FILE* f = std::fopen(full.c_str(), "w");
    std::fwrite("hello\0world", 1, 11, f);
    std::fclose(f);
    std::fclose(std::fopen(empty.c_str(), "w"));

    auto data = SARef<SAData>::adopt(SAFile(full.c_str()).copyData());
    ASSERT_TRUE(data);
    EXPECT_EQ(std::string(data->bytes(), data->length()), std::string("hello\0world", 11));
    EXPECT_TRUE(data->isOwner());
    EXPECT_EQ(SAFile(empty.c_str()).copyData(), nullptr);
    EXPECT_EQ(SAFile((std::string(dir) + "/missing").c_str()).copyData(), nullptr);
    EXPECT_EQ(SAFile(dir).copyData(), nullptr);
    EXPECT_EQ(SAFile(nullptr).copyData(), nullptr);
    std::remove(full.c_str());
    std::remove(empty.c_str());
    rmdir(dir);
}

TEST(SAObject, classIdentityOfEveryCoreClass) {
    SAMutableArray mutableArray;
    SAMutableDictionary mutableDictionary;
    SANumber number;
    SAFile file("x");
    SAData data;
    struct Case {
        SAObject* object;
        const char* name;
        const char* id;
        const char* baseId;
    };
    const Case cases[] = {
        {&mutableArray, "SAMutableArray", GETIDSAMutableArray(), GETIDSAArray()},
        {&mutableDictionary, "SAMutableDictionary", GETIDSAMutableDictionary(), GETIDSADictionary()},
        {&number, "SANumber", GETIDSANumber(), GETIDSAObject()},
        {&file, "SAFile", GETIDSAFile(), GETIDSAObject()},
        {&data, "SAData", GETIDSAData(), GETIDSAObject()},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(c.object->stringFromClass(), c.name);
        EXPECT_STREQ(c.object->classID(), c.id);
        EXPECT_TRUE(c.object->isKindOfClass(c.baseId)) << c.name;
        EXPECT_TRUE(c.object->isKindOfClass(GETIDSAObject())) << c.name;
        EXPECT_FALSE(c.object->isKindOfClass(GETIDSAString())) << c.name;
    }
    EXPECT_FALSE(SAArray().isKindOfClass(GETIDSAMutableArray()));
}

}  // namespace

namespace {

// Slot order of a dictionary as "key=value" strings, "-" for a hole.
std::vector<std::string> slots(const SADictionary* dictionary) {
    std::vector<std::string> out;
    for (unsigned long i = 0; i < dictionary->slotCount(); ++i) {
        const SADictionaryItem* item = dictionary->itemAtSlot(i);
        out.push_back(item ? std::string(item->key->cString()) + "=" +
                                 std::to_string(static_cast<SANumber*>(item->value)->unsignedLongValue())
                           : "-");
    }
    return out;
}

}  // namespace

TEST(SADictionary, reservedRoomAndAdoptedKeysKeepTheSlotsOfThePlainDictionary) {
    // The same edits on a dictionary that reserves room and adopts new keys,
    // on a plain one, and on a model of the documented slot rules.
    for (unsigned long capacity : {0UL, 1UL, 4UL, 10UL}) {
        for (unsigned long reserved : {1UL, 6UL, 40UL}) {
            SARef<SAMutableDictionary> plain = SARef<SAMutableDictionary>::adopt(new SAMutableDictionary(capacity));
            SARef<SAMutableDictionary> fast =
                SARef<SAMutableDictionary>::adopt(new SAMutableDictionary(capacity, reserved));
            std::vector<std::string> model(capacity, "-");
            unsigned seed = 7;
            for (int step = 0; step < 300; ++step) {
                seed = seed * 1103515245u + 12345u;
                const std::string key = "k" + std::to_string((seed >> 8) % 23);
                const int value = step;
                SARef<SAString> name = str(key.c_str());
                SARef<SANumber> number = SARef<SANumber>::adopt(new SANumber(value));
                auto at = std::find_if(model.begin(), model.end(),
                                       [&](const std::string& s) { return s.rfind(key + "=", 0) == 0; });
                if ((seed >> 20) % 4 == 0) {
                    plain->removeObjectForKey(name.get());
                    fast->removeObjectForKey(name.get());
                    if (at != model.end())
                        *at = "-";
                } else {
                    plain->setObjectForKey(number.get(), name.get());
                    if (at != model.end()) {
                        fast->setObjectForKey(number.get(), name.get());
                        *at = key + "=" + std::to_string(value);
                    } else {
                        fast->setObjectForNewKey(number.get(), SAString::create(key.data(), key.size()));
                        auto hole = std::find(model.rbegin(), model.rend(), "-");
                        if (hole != model.rend())
                            *hole = key + "=" + std::to_string(value);
                        else
                            model.push_back(key + "=" + std::to_string(value));
                    }
                }
                ASSERT_EQ(slots(plain.get()), model) << "capacity " << capacity << " step " << step;
                ASSERT_EQ(slots(fast.get()), model) << "capacity " << capacity << " reserved " << reserved;
                ASSERT_EQ(number->retainCount(), 1 + (plain->objectForKey(name.get()) == number.get()) +
                                                     (fast->objectForKey(name.get()) == number.get()));
            }
            fast->removeAllObjects();
            EXPECT_EQ(fast->count(), 0u);
            // Holes left by removing everything are filled again from the last.
            SARef<SANumber> one = SARef<SANumber>::adopt(new SANumber(1));
            fast->setObjectForNewKey(one.get(), SAString::create("z", 1));
            if (fast->slotCount() > 0) {
                EXPECT_NE(fast->itemAtSlot(fast->slotCount() - 1), nullptr);
            }
        }
    }
}

TEST(SADictionary, adoptedKeysAreTheCallersObjectAndARefusedOneIsReleased) {
    int deaths = 0;
    SARef<SAMutableDictionary> d = SARef<SAMutableDictionary>::adopt(new SAMutableDictionary(2UL, 2UL));
    SAString* key = SAString::create("key", 3);
    SARef<SAString> value = str("value");
    d->setObjectForNewKey(value.get(), key);
    ASSERT_EQ(d->itemAtSlot(1)->key, key) << "not copied";
    EXPECT_EQ(key->retainCount(), 1) << "the caller's claim went to the dictionary";
    EXPECT_EQ(value->retainCount(), 2);

    // Without a value nothing is stored and the key is dropped.
    struct TrackedString : SAString {
        explicit TrackedString(int* deaths) : SAString("refused"), deaths(deaths) {}
        ~TrackedString() override { ++*deaths; }
        int* deaths;
    };
    d->setObjectForNewKey(nullptr, new TrackedString(&deaths));
    EXPECT_EQ(deaths, 1);
    SARef<SAString> nullKey = SARef<SAString>::adopt(new SAString());
    SAObject::retain(nullKey.get());
    d->setObjectForNewKey(value.get(), nullKey.get());
    EXPECT_EQ(nullKey->retainCount(), 1);
    EXPECT_EQ(d->count(), 1u);

    // Past the reserved records, items are allocated one by one; all are freed.
    for (int i = 0; i < 20; ++i) {
        const std::string name = "n" + std::to_string(i);
        d->setObjectForNewKey(value.get(), SAString::create(name.data(), name.size()));
    }
    EXPECT_EQ(d->count(), 21u);
    EXPECT_EQ(value->retainCount(), 22);
    d = SARef<SAMutableDictionary>();
    EXPECT_EQ(value->retainCount(), 1);
}
