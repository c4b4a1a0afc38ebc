#include "hosts/mail/MailRuntime.h"

#include "platform/Log.h"

#include <map>
#include <mutex>
#include <shared_mutex>

namespace mailhost {

namespace {

// Guards every table's structure and the class list; implementations are atomic.
std::shared_mutex& tableLock() {
    static std::shared_mutex lock;
    return lock;
}

// Never destroyed: classes outlive every static object that may still use them.
std::map<std::string, MailClass*>& classList() {
    static auto* classes = new std::map<std::string, MailClass*>;
    return *classes;
}

}  // namespace

MailClass::MailClass(std::string name, MailClass* superclass, bool meta)
    : name_(std::move(name)), superclass_(superclass), meta_(meta) {}

MailClass* MailClass::define(const std::string& name, MailClass* superclass, Allocator allocator) {
    std::unique_lock lock(tableLock());
    auto found = classList().find(name);
    if (found != classList().end())
        return found->second;
    // Classes live as long as the process: a plug-in may hold pointers into them.
    auto* meta = new MailClass(name, superclass ? superclass->metaclass() : nullptr, true);
    auto* cls = new MailClass(name, superclass, false);
    cls->isa = meta;
    meta->isa = meta;
    cls->allocator_ = std::move(allocator);
    classList().emplace(name, cls);
    return cls;
}

MailClass* MailClass::named(const std::string& name) {
    std::shared_lock lock(tableLock());
    auto found = classList().find(name);
    return found == classList().end() ? nullptr : found->second;
}

std::vector<Method*> MailClass::copyMethodList() const {
    std::shared_lock lock(tableLock());
    std::vector<Method*> list;
    list.reserve(methods_.size());
    for (const auto& m : methods_)
        list.push_back(m.get());
    return list;
}

Method* MailClass::lookupMethod(const std::string& selector) const {
    std::shared_lock lock(tableLock());
    for (const MailClass* cls = this; cls; cls = cls->superclass_) {
        for (const auto& m : cls->methods_) {
            if (m->selector() == selector)
                return m.get();
        }
    }
    return nullptr;
}

bool MailClass::addMethod(const std::string& selector, IMP imp, const std::string& types) {
    if (selector.empty() || !imp)
        return false;
    std::unique_lock lock(tableLock());
    for (const auto& m : methods_) {
        if (m->selector() == selector)
            return false;
    }
    methods_.push_back(std::make_unique<Method>(selector, imp, types));
    return true;
}

IMP MailClass::implementationFor(const std::string& selector) const {
    Method* m = lookupMethod(selector);
    return m ? m->implementation() : nullptr;
}

MHObject* MailClass::allocate() const {
    if (!allocator_)
        return nullptr;
    MHObject* object = allocator_();
    if (object)
        object->isa = const_cast<MailClass*>(this);
    return object;
}

void exchangeImplementations(Method* a, Method* b) {
    if (!a || !b || a == b)
        return;
    std::unique_lock lock(tableLock());
    IMP first = a->implementation();
    a->setImplementation(b->implementation());
    b->setImplementation(first);
}

IMP implementationOf(const MHObject* object, const std::string& selector) {
    if (!object || !object->isa)
        return nullptr;
    return object->isa->implementationFor(selector);
}

void reportUnknownSelector(const MHObject* object, const std::string& selector) {
    const QString cls = object && object->isa ? QString::fromStdString(object->isa->name()) : QStringLiteral("nil");
    platform::log::console(
        QStringLiteral("[MailHost] %1 does not respond to %2").arg(cls, QString::fromStdString(selector)));
}

}  // namespace mailhost
