// The layout of every instance, its access flag, and the per-class type cache.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "errors.hpp"
#include "python.hpp"

namespace bind {

// Marks shared (reading) and exclusive (writing) access to an instance's
// native value for the length of one call. Conflicts are reported at once,
// never waited for: the interpreter lock already serialises callers, so a
// conflict means re-entry (for example a list extended with itself).
class AccessFlag {
public:
    bool try_share() noexcept {
        std::int64_t state = state_.load(std::memory_order_relaxed);
        do {
            if (state == kExclusive) return false;
        } while (!state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed));
        return true;
    }
    void unshare() noexcept { state_.fetch_sub(1, std::memory_order_release); }

    bool try_exclusive() noexcept {
        std::int64_t expected = kFree;
        return state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void unexclusive() noexcept { state_.store(kFree, std::memory_order_release); }

    bool held_exclusively() const noexcept {
        return state_.load(std::memory_order_acquire) == kExclusive;
    }

private:
    static constexpr std::int64_t kFree = 0;
    static constexpr std::int64_t kExclusive = -1;
    std::atomic<std::int64_t> state_{kFree};
};

template <class T>
struct Instance {
    PyObject_HEAD
    T value;
    AccessFlag access;
};

template <class T>
Instance<T>* instance(PyObject* object) noexcept {
    return reinterpret_cast<Instance<T>*>(object);
}

// Specialised once per native type exposed as a class:
//   static constexpr const char* qualified;  // "builtins.Vec3d"
//   static PyTypeObject* build();            // creates the type object
// The part before the last dot is the class's __module__: "builtins" for
// the classes of the first release, "tessary_py" for those added since.
template <class T>
struct Class;

template <class T>
concept Exposed = requires { Class<T>::qualified; };

// The part of a qualified name after its last dot.
constexpr const char* unqualified(const char* qualified) {
    const char* name = qualified;
    for (const char* at = qualified; *at != '\0'; ++at) {
        if (*at == '.') name = at + 1;
    }
    return name;
}

template <Exposed T>
constexpr const char* class_name = unqualified(Class<T>::qualified);

template <Exposed T>
inline PyTypeObject* type_cache = nullptr;

// The type object of T, built on first need and kept for the process.
template <Exposed T>
PyTypeObject* type_of() {
    if (type_cache<T> == nullptr) [[unlikely]] {
        type_cache<T> = Class<T>::build();
        if (type_cache<T> == nullptr) throw PythonError{};
    }
    return type_cache<T>;
}

// Classes cannot be subclassed, so an exact type check is the instance check.
template <Exposed T>
bool is_instance(PyObject* object) {
    return Py_TYPE(object) == type_of<T>();
}

// A new instance holding `value`.
template <Exposed T, class V>
PyObject* new_instance(V&& value) {
    PyTypeObject* type = type_of<T>();
    void* memory = PyObject_Malloc(sizeof(Instance<T>));
    if (memory == nullptr) {
        PyErr_NoMemory();
        throw PythonError{};
    }
    auto* self = static_cast<Instance<T>*>(memory);
    try {
        new (&self->value) T(std::forward<V>(value));
    } catch (...) {
        PyObject_Free(memory);
        throw;
    }
    new (&self->access) AccessFlag();
    PyObject_Init(reinterpret_cast<PyObject*>(self), type);  // takes a reference to the heap type
    return reinterpret_cast<PyObject*>(self);
}

template <Exposed T>
void dealloc(PyObject* object) noexcept {
    std::destroy_at(&instance<T>(object)->value);
    PyTypeObject* type = Py_TYPE(object);
    PyObject_Free(object);
    Py_DECREF(type);
}

// Shared access to an instance for the length of a call.
template <Exposed T>
class Shared {
public:
    explicit Shared(PyObject* object) : self_(instance<T>(object)) {
        if (!self_->access.try_share()) raise(PyExc_RuntimeError, "Already mutably borrowed");
    }
    Shared(Shared&& other) noexcept : self_(std::exchange(other.self_, nullptr)) {}
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    ~Shared() {
        if (self_ != nullptr) self_->access.unshare();
    }
    const T& get() const noexcept { return self_->value; }

private:
    Instance<T>* self_;
};

// Exclusive access to an instance for the length of a call.
template <Exposed T>
class Exclusive {
public:
    explicit Exclusive(PyObject* object) : self_(instance<T>(object)) {
        if (!self_->access.try_exclusive()) raise(PyExc_RuntimeError, "Already borrowed");
    }
    Exclusive(Exclusive&& other) noexcept : self_(std::exchange(other.self_, nullptr)) {}
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;
    ~Exclusive() {
        if (self_ != nullptr) self_->access.unexclusive();
    }
    T& get() const noexcept { return self_->value; }

private:
    Instance<T>* self_;
};

// Shared access for a stretch of native code that runs no Python code and
// keeps no reference past it (no-argument methods, repr, length): nothing can
// observe the access between taking and releasing it, so only its refusal
// while a writer holds the instance remains to be checked.
template <Exposed T>
class Peek {
public:
    explicit Peek(PyObject* object) : self_(instance<T>(object)) {
        if (self_->access.held_exclusively()) raise(PyExc_RuntimeError, "Already mutably borrowed");
    }
    const T& get() const noexcept { return self_->value; }

private:
    const Instance<T>* self_;
};

// A copy of an instance's value. Taking a shared access, copying and
// releasing it runs no other code in between, so the only observable part of
// that access is its refusal while a writer holds the instance.
template <Exposed T>
T read(PyObject* object) {
    const Instance<T>* self = instance<T>(object);
    if (self->access.held_exclusively()) raise(PyExc_RuntimeError, "Already mutably borrowed");
    return self->value;
}

}  // namespace bind
