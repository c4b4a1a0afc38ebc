// Classes by name, filled by the shared objects that register them at load.

#include "platform/ClassRegistry.h"

#include <QHash>
#include <QMutex>
#include <QMutexLocker>

namespace platform {

namespace {

struct Entry {
    QString baseTag;
    ClassRegistry::Factory factory;
};

// Reached through a function so that registrations made while other shared
// objects are still being initialised find it constructed.
struct Registry {
    QMutex mutex;
    QHash<QString, Entry> classes;
};

Registry& registry() {
    static Registry r;
    return r;
}

}  // namespace

void ClassRegistry::add(const QString& name, const QString& baseTag, Factory factory) {
    if (name.isEmpty() || !factory)
        return;
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    r.classes.insert(name, Entry{baseTag, std::move(factory)});
}

void* ClassRegistry::create(const QString& name, const QString& baseTag) {
    Factory factory;
    {
        Registry& r = registry();
        QMutexLocker lock(&r.mutex);
        auto it = r.classes.constFind(name);
        if (it == r.classes.cend() || it->baseTag != baseTag)
            return nullptr;
        factory = it->factory;
    }
    // Outside the lock: a constructor may itself look classes up.
    return factory();
}

bool ClassRegistry::contains(const QString& name) {
    Registry& r = registry();
    QMutexLocker lock(&r.mutex);
    return r.classes.contains(name);
}

}  // namespace platform
