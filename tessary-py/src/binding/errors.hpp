// Failures and their Python exceptions, with the module's exact wording.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "python.hpp"
#include "ref.hpp"

namespace bind {

// A Python exception with a fixed message, which native code returns in
// place of its result (see Failable) rather than throws: the interpreter
// uses some of these for control flow (the IndexError that ends the legacy
// iteration protocol, as in `x, y, z = v`), where unwinding would cost many
// times the rest of the call.
struct Error {
    PyObject* type;
    const char* message;
};

// A native result or the Error that stands in for it.
template <class T>
using Failable = std::variant<T, Error>;

// A failed internal assertion; it reaches Python as PanicException.
struct Panic {
    std::string message;
};

[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise(PyObject* type, const std::string& message);

// TypeError "argument 'NAME': 'GIVEN' object cannot be cast as 'EXPECTED'".
[[noreturn]] void raise_wrong_class(std::string_view argument, PyObject* given, std::string_view expected);

// ValueError "argument 'NAME': WHAT".
[[noreturn]] void raise_bad_value(std::string_view argument, std::string_view what);

// ValueError "argument 'NAME': expected a number EXPECTED, got VALUE", the
// value as Python's repr of a float shows it.
[[noreturn]] void raise_number_out_of_range(std::string_view argument, std::string_view expected, double value);

// ValueError "argument 'NAME': expected an integer EXPECTED, got VALUE",
// `integer` a Python int.
[[noreturn]] void raise_integer_out_of_range(std::string_view argument, std::string_view expected, PyObject* integer);

// Python's repr of a float, for messages.
std::string float_text(double value);

// Called with a conversion error pending: a TypeError is replaced by one that
// names the argument, with the original as its __cause__; any other
// exception passes unchanged. Throws PythonError either way.
[[noreturn]] void reraise_for_argument(std::string_view argument);

// Called with an exception pending: replaces it with a TypeError whose
// message is `prefix` followed by the pending exception's text, with the
// original as its __cause__. Throws PythonError.
[[noreturn]] void reraise_as_type_error(std::string_view prefix);

// The type's __qualname__, as the messages show it.
std::string type_name(PyTypeObject* type);

// Sets PanicException(message), or MemoryError if there is no memory left
// to make one.
void set_panic(const char* message) noexcept;

// The boundary between native code and the interpreter: runs `body` and turns
// whatever it throws into the pending Python exception and the C API's error
// value (NULL for objects, -1 for integers).
template <class Result, class Body>
Result guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
    } catch (const Panic& panic) {
        set_panic(panic.message.c_str());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        set_panic("unexpected native exception");
    }
    if constexpr (std::is_pointer_v<Result>) {
        return nullptr;
    } else {
        return Result(-1);
    }
}

}  // namespace bind
