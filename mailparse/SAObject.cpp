#include "mailparse/SAObject.h"

#include <cstdio>
#include <cstring>
#include <typeinfo>

const char* GETIDSAObject() { return typeid(SAObject*).name(); }
const char* GETNAMESAObject() { return "SAObject"; }

const char* SAObject::_className = "SAObject";
const char* SAObject::_classTypeID = GETIDSAObject();
bool SAObject::verbose_ = false;

SAObject::~SAObject() {
    if (verbose_)
        std::printf("Dealloc <(SAObject *) %p >\n", static_cast<void*>(this));
}

const char* SAObject::stringFromClass() { return GETNAMESAObject(); }

const char* SAObject::classID() { return GETIDSAObject(); }

bool SAObject::isKindOfClass(const char* name) { return name && std::strcmp(name, GETIDSAObject()) == 0; }

void SAObject::description() { std::printf("%d\n", retainCount()); }

void SAObject::printHeader() {
    std::printf("<(%s *) %p [%d]>", stringFromClass(), static_cast<void*>(this), retainCount());
}
