#pragma once

#include <utility>

#include "mailparse/SAObject.h"

// Holds one claim on a parsing-library object and drops it when it goes out of
// scope. SARef<T>::adopt takes over the claim a copy... operation or factory
// handed over; SARef<T>::retained adds a claim of its own to a borrowed object.
template <class T>
class SARef {
public:
    SARef() = default;
    ~SARef() { SAObject::release(_object); }

    /// Takes over the caller's claim on `object` (which may be null).
    static SARef adopt(T* object) {
        SARef ref;
        ref._object = object;
        return ref;
    }
    /// Adds a claim on the borrowed `object` (which may be null).
    static SARef retained(T* object) {
        SAObject::retain(object);
        return adopt(object);
    }

    SARef(const SARef& other) : _object(other._object) { SAObject::retain(_object); }
    SARef(SARef&& other) noexcept : _object(std::exchange(other._object, nullptr)) {}
    SARef& operator=(SARef other) noexcept {
        std::swap(_object, other._object);
        return *this;
    }

    T* get() const { return _object; }
    T* operator->() const { return _object; }
    explicit operator bool() const { return _object != nullptr; }
    /// Gives the claim back to the caller, who must release it.
    T* take() { return std::exchange(_object, nullptr); }

private:
    T* _object = nullptr;
};
