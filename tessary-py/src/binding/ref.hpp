// Owned references with RAII, so that no error path can forget a decref.
#pragma once

#include <utility>

#include "python.hpp"

namespace bind {

// Thrown once a Python exception is set; turned into a NULL/-1 return at the
// single boundary of every entry point (see call.hpp).
struct PythonError {};

// An owned (strong) reference. Construction steals; `release` hands it on.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) noexcept : ptr_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Py_XDECREF(std::exchange(ptr_, std::exchange(other.ptr_, nullptr)));
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // A new strong reference to a borrowed object.
    static Ref borrowed(PyObject* object) noexcept { return Ref(Py_NewRef(object)); }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    PyObject* ptr_ = nullptr;
};

// Wraps the result of a C-API call that returns a new reference or NULL with
// an exception set.
inline Ref check(PyObject* result) {
    if (result == nullptr) throw PythonError{};
    return Ref(result);
}

inline void check_status(int status) {
    if (status < 0) throw PythonError{};
}

}  // namespace bind
