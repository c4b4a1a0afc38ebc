#pragma once

// Class identity of a parsing-library class: GETID<Class>() (the run-time type
// name of a pointer to the class), GETNAME<Class>(), the static _classTypeID
// and the three identity operations. isKindOfClass compares with the class's
// own identifier and then asks the base class.

#include <cstring>
#include <typeinfo>

#define SA_DEFINE_CLASS_IDENTITY(Class, Base)                         \
    const char* GETID##Class() { return typeid(Class*).name(); }      \
    const char* GETNAME##Class() { return #Class; }                   \
    const char* Class::_classTypeID = GETID##Class();                 \
    const char* Class::stringFromClass() { return GETNAME##Class(); } \
    const char* Class::classID() { return GETID##Class(); }           \
    bool Class::isKindOfClass(const char* name) {                     \
        if (name && std::strcmp(name, GETID##Class()) == 0)           \
            return true;                                              \
        return Base::isKindOfClass(name);                             \
    }
