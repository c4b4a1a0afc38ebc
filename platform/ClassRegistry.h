#pragma once
// Classes by name: a shared object registers factories when it is loaded, and
// callers create instances by the name a bundle's NSPrincipalClass gives.

#include <QString>
#include <functional>
#include <memory>

namespace platform {

class ClassRegistry {
public:
    using Factory = std::function<void*()>;

    // Registers factory under name for base type tag (e.g. "SWPlugInFilter").
    // A later registration of the same name replaces the earlier one.
    static void add(const QString& name, const QString& baseTag, Factory factory);
    // A new object of class name, or nullptr when unknown or of another base.
    static void* create(const QString& name, const QString& baseTag);
    static bool contains(const QString& name);

    template <class Base>
    static Base* createAs(const QString& name, const QString& baseTag) {
        return static_cast<Base*>(create(name, baseTag));
    }
};

// In a plug-in's source: JUNKWARD_REGISTER_CLASS(SWBayesFilter, SWPlugInFilter)
// registers a default-constructed SWBayesFilter under its own name at load time.
#define JUNKWARD_REGISTER_CLASS(Class, Base)                                                       \
    namespace {                                                                                    \
    const bool Class##_registered = [] {                                                           \
        ::platform::ClassRegistry::add(QStringLiteral(#Class), QStringLiteral(#Base),              \
                                       []() -> void* { return static_cast<Base*>(new Class()); }); \
        return true;                                                                               \
    }();                                                                                           \
    }

}  // namespace platform
