#pragma once
// The mail host's object runtime: classes by name, each with a table of instance
// methods and a table of class methods (its metaclass), and dispatch by selector
// through those tables. A mail plug-in reaches the host's classes only through
// this runtime: it looks methods up, adds its own and exchanges implementations,
// so a host call of a selector runs whatever implementation the table holds now.
//
// Tables may change on any thread while other threads dispatch: the structure is
// guarded by one lock, implementations are swapped atomically.

#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace mailhost {

class MailClass;

// The untyped implementation of a method; callers cast it to the method's
// signature, which always begins with (MHObject* self, const char* selector).
using IMP = void (*)();

// Every object of the runtime starts with the class it belongs to. A class is
// itself an object whose class is its metaclass.
struct MHObject {
    MailClass* isa = nullptr;
    virtual ~MHObject() = default;
};

// One entry of a method table. Entries are never removed, so a pointer to one
// stays valid for the life of the process.
class Method {
public:
    Method(std::string selector, IMP imp, std::string types)
        : selector_(std::move(selector)), types_(std::move(types)), imp_(imp) {}
    const std::string& selector() const { return selector_; }
    const std::string& types() const { return types_; }
    IMP implementation() const { return imp_.load(std::memory_order_acquire); }
    // Sets the implementation; the previous one.
    IMP setImplementation(IMP imp) { return imp_.exchange(imp, std::memory_order_acq_rel); }

private:
    std::string selector_;
    std::string types_;
    std::atomic<IMP> imp_;
};

class MailClass : public MHObject {
public:
    using Allocator = std::function<MHObject*()>;

    // Defines a class and its metaclass; the existing one when the name is taken.
    // superclass may be null (a root class).
    static MailClass* define(const std::string& name, MailClass* superclass, Allocator allocator = {});
    // The class of that name, or null (objc_getClass).
    static MailClass* named(const std::string& name);

    const std::string& name() const { return name_; }
    MailClass* superclass() const { return superclass_; }
    bool isMetaclass() const { return meta_; }
    // The table of class methods (the metaclass); a metaclass answers itself.
    MailClass* metaclass() { return meta_ ? this : static_cast<MailClass*>(isa); }

    // The methods this class itself defines, in the order they were added.
    std::vector<Method*> copyMethodList() const;
    // The method of selector defined here or inherited; null when none.
    Method* lookupMethod(const std::string& selector) const;
    // Adds a method to this class; false when the class itself already defines it.
    bool addMethod(const std::string& selector, IMP imp, const std::string& types);
    // The implementation that a message sent to an instance of this class runs.
    IMP implementationFor(const std::string& selector) const;

    // A new instance, or null when the class has no allocator.
    MHObject* allocate() const;

private:
    MailClass(std::string name, MailClass* superclass, bool meta);
    std::string name_;
    MailClass* superclass_ = nullptr;
    bool meta_ = false;
    Allocator allocator_;
    std::vector<std::unique_ptr<Method>> methods_;
};

// Exchanges the implementations of two methods.
void exchangeImplementations(Method* a, Method* b);

// The implementation object responds to a selector with; null when none. For a
// class, its class methods are searched.
IMP implementationOf(const MHObject* object, const std::string& selector);
inline bool respondsToSelector(const MHObject* object, const std::string& selector) {
    return implementationOf(object, selector) != nullptr;
}

// Sends selector to object: runs the implementation its class holds now. An
// object that does not respond answers R{} (with one console line).
void reportUnknownSelector(const MHObject* object, const std::string& selector);
template <class R, class... Args>
R send(MHObject* object, const char* selector, Args... args) {
    IMP imp = implementationOf(object, selector);
    if (!imp) {
        reportUnknownSelector(object, selector);
        if constexpr (std::is_void_v<R>)
            return;
        else
            return R{};
    }
    return reinterpret_cast<R (*)(MHObject*, const char*, Args...)>(imp)(object, selector, args...);
}

// Casts a typed implementation to the table's untyped form.
template <class F>
IMP imp_cast(F* function) {
    return reinterpret_cast<IMP>(function);
}

}  // namespace mailhost
