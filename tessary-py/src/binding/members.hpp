// Templates that turn native functions into the entries CPython calls.
//
// A class is then a table: each entry names a text signature and a native
// function, and the template here binds the arguments, takes the access on
// the receiver, converts each argument in order, calls the function and
// converts its result, with every failure raised at one boundary.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "arguments.hpp"
#include "buffer.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "instance.hpp"
#include "python.hpp"
#include "signature.hpp"

namespace bind {

namespace detail {

// The parameter list of a native function; a member function's object is
// its first parameter.
template <class F>
struct Params;
template <class R, class... A>
struct Params<R (*)(A...)> : std::type_identity<std::tuple<A...>> {};
template <class R, class... A>
struct Params<R (*)(A...) noexcept> : std::type_identity<std::tuple<A...>> {};
template <class R, class C, class... A>
struct Params<R (C::*)(A...) const> : std::type_identity<std::tuple<const C&, A...>> {};
template <class R, class C, class... A>
struct Params<R (C::*)(A...) const noexcept> : std::type_identity<std::tuple<const C&, A...>> {};
template <class R, class C, class... A>
struct Params<R (C::*)(A...)> : std::type_identity<std::tuple<C&, A...>> {};
template <class R, class C, class... A>
struct Params<R (C::*)(A...) noexcept> : std::type_identity<std::tuple<C&, A...>> {};

template <auto Fn>
using ParamsOf = typename Params<decltype(Fn)>::type;

template <auto Fn, std::size_t I>
using Param = std::tuple_element_t<I, ParamsOf<Fn>>;

template <auto Fn>
constexpr std::size_t param_count = std::tuple_size_v<ParamsOf<Fn>>;

// A receiver declared `T&` is taken exclusively, anything else shared. While
// arguments are converted Python code may run (__float__, __index__), so the
// shared access is held for the call; without arguments a peek suffices.
template <class T, class P>
using ReceiverAccess = std::conditional_t<std::is_same_v<P, T&>, Exclusive<T>, Shared<T>>;

// A class read in place (`shared_argument`) holds a large value whose
// members build Python objects while they read it; allocating may run the
// garbage collector and with it arbitrary Python code, so its members always
// hold a real shared access.
template <class T>
using ReadAccess = std::conditional_t<SharedArgument<T>, Shared<T>, Peek<T>>;
template <class T, class P>
using NoArgsReceiverAccess = std::conditional_t<std::is_same_v<P, T&>, Exclusive<T>, ReadAccess<T>>;

template <class R>
constexpr bool is_failable = false;
template <class T>
constexpr bool is_failable<Failable<T>> = true;

template <auto Fn, class... A>
PyObject* call_native(A&&... args) {
    using R = std::invoke_result_t<decltype(Fn), A...>;
    if constexpr (std::is_void_v<R>) {
        std::invoke(Fn, std::forward<A>(args)...);
        return Py_NewRef(Py_None);
    } else if constexpr (is_failable<R>) {
        R result = std::invoke(Fn, std::forward<A>(args)...);
        if (const Error* error = std::get_if<Error>(&result)) {
            PyErr_SetString(error->type, error->message);
            return nullptr;
        }
        return to_python(std::get<0>(std::move(result)));
    } else {
        return to_python(std::invoke(Fn, std::forward<A>(args)...));
    }
}

// A peek is not held while the result is converted, and allocating a list or
// a tuple may run finalizers (the cyclic collector) that write to the
// receiver; so a function called on a peek returns a value, never a
// reference into the receiver.
template <class Access>
constexpr bool is_peek = false;
template <class T>
constexpr bool is_peek<Peek<T>> = true;

template <auto Fn, class Access>
PyObject* call_on(const Access& receiver) {
    using Result = std::invoke_result_t<decltype(Fn), decltype(receiver.get())>;
    static_assert(!is_peek<Access> || !std::is_reference_v<Result>,
                  "a function called on a peeked receiver returns a value");
    return call_native<Fn>(receiver.get());
}

// Converting a number, an index or a flag may run Python code (__float__,
// __index__, __bool__), and so may a native function that converts a
// generic object itself. A class argument that such code could reach after
// it was converted is held under a shared access for the call, so that a
// change to it is refused as for the receiver; a copy would let the change
// pass unseen. Where no Python code can follow, the copy is the same.
template <class P>
constexpr bool runs_python = !Exposed<std::remove_cvref_t<P>>;

template <auto Fn>
constexpr bool takes_generic_object = []<std::size_t... J>(std::index_sequence<J...>) {
    return (false || ... || std::is_same_v<std::remove_cvref_t<Param<Fn, J>>, PyObject*>);
}(std::make_index_sequence<param_count<Fn>>{});

template <auto Fn, std::size_t P>
constexpr bool held_for_call = [] {
    using T = std::remove_cvref_t<Param<Fn, P>>;
    if constexpr (!Exposed<T> || SharedArgument<T>) {
        return false;
    } else {
        return takes_generic_object<Fn> || []<std::size_t... J>(std::index_sequence<J...>) {
            return (false || ... || runs_python<Param<Fn, P + 1 + J>>);
        }(std::make_index_sequence<param_count<Fn> - P - 1>{});
    }
}();

template <auto Fn, std::size_t P>
auto convert_param(PyObject* object, std::string_view name) {
    if constexpr (held_for_call<Fn, P>) {
        return ArgOf<Param<Fn, P>>::hold(object, name);
    } else {
        return ArgOf<Param<Fn, P>>::convert(object, name);
    }
}

// Converts bound[i] to parameter Skip + i of Fn, in order (a braced list is
// evaluated left to right, so the first failing argument is the one named),
// then calls Fn with `leading` before the converted arguments.
template <auto Fn, class Sig, std::size_t Skip, class... Leading>
PyObject* convert_and_call(PyObject* const* bound, Leading&&... leading) {
    static_assert(param_count<Fn> == Skip + Sig::arity, "the text signature and the function disagree");
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        std::tuple<decltype(convert_param<Fn, Skip + I>(nullptr, {}))...> held{
            convert_param<Fn, Skip + I>(bound[I], Sig::params[I])...};
        (void)held;
        return call_native<Fn>(std::forward<Leading>(leading)..., unwrap(std::get<I>(held))...);
    }(std::make_index_sequence<Sig::arity>{});
}

// The positional vector itself when it already fits, else a bound copy.
template <class Sig>
PyObject* const* bind_fast(const Callee& callee, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                           PyObject** storage) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    constexpr bool all_positional = Sig::positional == Sig::arity;
    if (all_positional && kwnames == nullptr && nargs == static_cast<Py_ssize_t>(Sig::arity)) [[likely]] {
        return args;
    }
    bind_vector(callee, args, nargs, kwnames, storage);
    return storage;
}

template <class Sig, auto Fn, std::size_t Skip, class Owner>
struct Entry {
    static constexpr Callee callee{Owner::value, Sig::name, Sig::params, Sig::positional, Sig::defaults};

    // Methods with parameters take METH_FASTCALL | METH_KEYWORDS.
    static PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) noexcept {
        return guarded<PyObject*>([&]() -> PyObject* {
            PyObject* storage[Sig::arity];
            PyObject* const* bound =
                bind_fast<Sig>(callee, args, static_cast<std::size_t>(nargsf), kwnames, storage);
            if constexpr (Skip == 1) {
                using T = std::remove_cvref_t<Param<Fn, 0>>;
                ReceiverAccess<T, Param<Fn, 0>> receiver(self);
                return convert_and_call<Fn, Sig, 1>(bound, receiver.get());
            } else {
                return convert_and_call<Fn, Sig, 0>(bound);
            }
        });
    }

    // Methods without parameters are METH_NOARGS: CPython itself refuses
    // any argument.
    static PyObject* noargs(PyObject* self, PyObject*) noexcept {
        return guarded<PyObject*>([&]() -> PyObject* {
            if constexpr (Skip == 1) {
                using T = std::remove_cvref_t<Param<Fn, 0>>;
                NoArgsReceiverAccess<T, Param<Fn, 0>> receiver(self);
                return call_on<Fn>(receiver);
            } else {
                return call_native<Fn>();
            }
        });
    }

    static PyMethodDef def(int extra_flags, const char* doc) {
        if constexpr (Sig::arity == 0) {
            return {Sig::c_name, reinterpret_cast<PyCFunction>(&noargs), METH_NOARGS | extra_flags, doc};
        } else {
            return {Sig::c_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall)),
                    METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
        }
    }
};

// The documentation of a callable: its text signature block, then Doc (a
// docstring of the stubs, see make_docstrings.py) unless it is empty.
// Doc is an array taken by reference, so its length is its type's and the
// text is read by index: as in signature.hpp, GCC's sanitizer builds cannot
// evaluate a comparison or a walk of such a pointer at compile time.
template <class Sig, const auto& Doc>
struct Documentation {
    static constexpr std::string_view block_end = "\n--\n\n";
    static constexpr std::size_t body = sizeof(Doc) - 1;
    static constexpr std::size_t head = Sig::text.size() + block_end.size();
    static constexpr std::array<char, head + body + 1> storage = [] {
        std::array<char, head + body + 1> text{};
        for (std::size_t i = 0; i < Sig::text.size(); ++i) text[i] = Sig::text[i];
        for (std::size_t i = 0; i < block_end.size(); ++i) text[Sig::text.size() + i] = block_end[i];
        for (std::size_t i = 0; i < body; ++i) text[head + i] = Doc[i];
        return text;
    }();
    static constexpr const char* doc = body == 0 ? Sig::doc : storage.data();
};

// The Doc of a member that has none of its own.
inline constexpr char no_doc[] = "";

struct NoOwner {
    static constexpr std::string_view value{};
};

template <class T>
struct OwnerName {
    static constexpr std::string_view value{class_name<T>};
};

inline PyObject* not_implemented() { return Py_NewRef(Py_NotImplemented); }

}  // namespace detail

// A module-level function.
template <FixedString Text, auto Fn, const auto& Doc = detail::no_doc>
PyMethodDef function() {
    using Sig = Signature<Text>;
    static_assert(!Sig::has_self);
    return detail::Entry<Sig, Fn, 0, detail::NoOwner>::def(0, detail::Documentation<Sig, Doc>::doc);
}

template <class Fn>
PyType_Slot slot(int id, Fn* fn) {
    return {id, reinterpret_cast<void*>(fn)};
}

template <Exposed T>
struct Members {
    using Owner = detail::OwnerName<T>;

    // An instance method; Fn's first parameter is the receiver. Doc, where
    // given, follows the text signature in the method's documentation.
    template <FixedString Text, auto Fn, const auto& Doc = detail::no_doc>
    static PyMethodDef method() {
        using Sig = Signature<Text>;
        static_assert(Sig::has_self);
        static_assert(std::is_same_v<std::remove_cvref_t<detail::Param<Fn, 0>>, T>, "receiver of another class");
        return detail::Entry<Sig, Fn, 1, Owner>::def(0, detail::Documentation<Sig, Doc>::doc);
    }

    template <FixedString Text, auto Fn, const auto& Doc = detail::no_doc>
    static PyMethodDef static_method() {
        using Sig = Signature<Text>;
        static_assert(!Sig::has_self);
        return detail::Entry<Sig, Fn, 0, Owner>::def(METH_STATIC, detail::Documentation<Sig, Doc>::doc);
    }

    // `__new__`, and the vectorcall that makes calling the class cheap. The
    // text signature, followed by Doc where given, is the class's
    // documentation.
    template <FixedString Text, auto Fn, const auto& Doc = detail::no_doc>
    struct Constructor {
        using Sig = Signature<Text>;
        static constexpr Callee callee{class_name<T>, "__new__", Sig::params, Sig::positional, Sig::defaults};

        static PyObject* vectorcall(PyObject*, PyObject* const* args, std::size_t nargsf,
                                    PyObject* kwnames) noexcept {
            return guarded<PyObject*>([&]() -> PyObject* {
                PyObject* storage[Sig::arity + 1];
                return detail::convert_and_call<Fn, Sig, 0>(
                    detail::bind_fast<Sig>(callee, args, nargsf, kwnames, storage));
            });
        }

        static PyObject* tp_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
            return guarded<PyObject*>([&]() -> PyObject* {
                PyObject* bound[Sig::arity + 1];
                bind_tuple(callee, args, kwargs, bound);
                // Values bound from the keyword dictionary are borrowed from
                // it, and a conversion's Python code may reach that dictionary
                // (gc.get_referrers) and empty it; own them for the call.
                Ref owned[Sig::arity + 1];
                for (std::size_t i = 0; i < Sig::arity; ++i) owned[i] = Ref::borrowed(bound[i]);
                return detail::convert_and_call<Fn, Sig, 0>(bound);
            });
        }

        static PyType_Slot doc_slot() {
            return {Py_tp_doc, const_cast<char*>(detail::Documentation<Sig, Doc>::doc)};
        }
        static PyType_Slot new_slot() { return slot(Py_tp_new, &tp_new); }
    };

    // A property backed by a field: the getter copies, the setter converts
    // the new value before it takes the exclusive access.
    template <auto Field>
    static PyGetSetDef field(const char* name) {
        return {name, &get_field<Field>, &set_field<Field>, "", nullptr};
    }

    // A read-only property computed from the value, documented by Doc
    // where given.
    template <auto Getter, const auto& Doc = detail::no_doc>
    static PyGetSetDef getter(const char* name) {
        return {name, &get_computed<Getter>, nullptr, Doc, nullptr};
    }

    // Operator with the instance on the left only (+, -, /). Operands that do
    // not fit give NotImplemented, never an error of their own.
    template <auto Fn>
    static PyObject* binary(PyObject* left, PyObject* right) noexcept {
        return guarded<PyObject*>([&]() -> PyObject* {
            if (PyObject* result = try_forward<Fn>(left, right)) return result;
            return detail::not_implemented();
        });
    }

    // Operator with a reflected form (*): `left OP right` first, then the
    // instance on the right with the operands swapped.
    template <auto Fn, auto Reflected>
    static PyObject* binary_reflected(PyObject* left, PyObject* right) noexcept {
        return guarded<PyObject*>([&]() -> PyObject* {
            if (PyObject* result = try_forward<Fn>(left, right)) return result;
            if (PyObject* result = try_forward<Reflected>(right, left)) return result;
            return detail::not_implemented();
        });
    }

    template <auto Fn>
    static PyObject* unary(PyObject* self) noexcept {
        return guarded<PyObject*>([&]() -> PyObject* {
            detail::ReadAccess<T> receiver(self);
            return detail::call_on<Fn>(receiver);
        });
    }

    // == and != by a native equality; every other comparison, and operands
    // of another class, give NotImplemented.
    template <auto Equal>
    static PyObject* equality(PyObject* left, PyObject* right, int op) noexcept {
        return guarded<PyObject*>([&]() -> PyObject* {
            if (!readable(left)) return detail::not_implemented();
            if ((op != Py_EQ && op != Py_NE) || !is_instance<T>(right)) return detail::not_implemented();
            // Unreachable while each access lasts for one call only.
            if (instance<T>(right)->access.held_exclusively()) throw Panic{"Already mutably borrowed"};
            const bool equal = std::invoke(Equal, instance<T>(left)->value, instance<T>(right)->value);
            return Py_NewRef(equal == (op == Py_EQ) ? Py_True : Py_False);
        });
    }

    // == by a native equality. != asks the interpreter for == and negates its
    // answer, so `a != b` is always `not (a == b)` and errors pass through.
    // Orderings give NotImplemented; an operator code the interpreter never
    // passes is a broken invariant.
    template <auto Equal>
    static PyObject* equality_negated_ne(PyObject* left, PyObject* right, int op) noexcept {
        return guarded<PyObject*>([&]() -> PyObject* {
            switch (op) {
                case Py_EQ: {
                    if (!readable(left) || !readable(right)) return detail::not_implemented();
                    const bool equal = std::invoke(Equal, instance<T>(left)->value, instance<T>(right)->value);
                    return Py_NewRef(equal ? Py_True : Py_False);
                }
                case Py_NE:
                    return negated_equality(left, right);
                case Py_LT:
                case Py_LE:
                case Py_GT:
                case Py_GE:
                    return detail::not_implemented();
                default:
                    throw Panic{"invalid compareop"};
            }
        });
    }

    // All six comparisons of one native key, by the key's own operators (IEEE
    // for a double). Not-equal asks the interpreter for == and negates its
    // truth value rather than comparing directly; an operator code outside
    // the six is a broken invariant.
    template <auto Key>
    static PyObject* ordering(PyObject* left, PyObject* right, int op) noexcept {
        return guarded<PyObject*>([&]() -> PyObject* {
            if (!readable(left) || !readable(right)) return detail::not_implemented();
            if (op == Py_NE) return negated_equality(left, right);
            const auto& a = std::invoke(Key, instance<T>(left)->value);
            const auto& b = std::invoke(Key, instance<T>(right)->value);
            bool result;
            switch (op) {
                case Py_LT: result = a < b; break;
                case Py_LE: result = a <= b; break;
                case Py_EQ: result = a == b; break;
                case Py_GT: result = a > b; break;
                case Py_GE: result = a >= b; break;
                default: throw Panic{"invalid compareop"};
            }
            return Py_NewRef(result ? Py_True : Py_False);
        });
    }

    // Digest is the class's unsigned 64-bit hash; CPython reserves -1.
    template <auto Digest>
    static Py_hash_t hash(PyObject* self) noexcept {
        return guarded<Py_hash_t>([&] {
            const auto digest = static_cast<Py_hash_t>(std::invoke(Digest, read<T>(self)));
            return digest == -1 ? Py_hash_t(-2) : digest;
        });
    }

    template <auto Text>
    static PyObject* repr(PyObject* self) noexcept {
        return guarded<PyObject*>([&]() -> PyObject* {
            detail::ReadAccess<T> receiver(self);
            return to_python(std::invoke(Text, receiver.get()));
        });
    }

    // obj[index] with a non-negative integer index named "index".
    template <auto Fn>
    static PyObject* subscript(PyObject* self, PyObject* key) noexcept {
        return guarded<PyObject*>([&]() -> PyObject* {
            Shared<T> receiver(self);
            return detail::call_native<Fn>(receiver.get(), Arg<Index>::convert(key, "index"));
        });
    }

    // The sequence-item protocol answered through the subscript. No length
    // is declared for it, so CPython passes negative positions unchanged.
    template <auto Fn>
    static PyObject* sequence_item(PyObject* self, Py_ssize_t position) noexcept {
        // The hot path of unpacking (`x, y, z = v`): a position that is
        // already a native integer needs no conversion, and with no Python
        // code to run a momentary read suffices.
        if (position >= 0) {
            return guarded<PyObject*>([&]() -> PyObject* {
                detail::ReadAccess<T> receiver(self);
                return detail::call_native<Fn>(receiver.get(), Index{static_cast<std::size_t>(position)});
            });
        }
        PyObject* key = PyLong_FromSsize_t(position);
        if (key == nullptr) return nullptr;
        PyObject* result = subscript<Fn>(self, key);
        Py_DECREF(key);
        return result;
    }

    // __next__: Fn takes the iterator exclusively and returns an optional;
    // an empty one ends the iteration (NULL with no exception set).
    template <auto Fn>
    static PyObject* next(PyObject* self) noexcept {
        return guarded<PyObject*>([&]() -> PyObject* {
            Exclusive<T> receiver(self);
            auto item = std::invoke(Fn, receiver.get());
            if (!item) return nullptr;
            return to_python(*std::move(item));
        });
    }

    // bf_getbuffer: Fn(const T&) makes the export, a unique_ptr to an
    // Exported<Keep>, under a momentary read: an export is not an access,
    // so it never blocks a later writer (Fn runs no Python code).
    template <auto Fn>
    static int get_buffer(PyObject* self, Py_buffer* view, int flags) noexcept {
        view->obj = nullptr;
        return guarded<int>([&] { return fill_view(self, view, flags, std::invoke(Fn, Peek<T>(self).get())); });
    }

    // bf_releasebuffer for the exports of get_buffer<Fn>.
    template <auto Fn>
    static void release_buffer(PyObject*, Py_buffer* view) noexcept {
        using Made = typename std::invoke_result_t<decltype(Fn), const T&>::element_type;
        delete static_cast<Made*>(view->internal);
    }

    template <auto Fn>
    static Py_ssize_t length(PyObject* self) noexcept {
        return guarded<Py_ssize_t>([&] {
            detail::ReadAccess<T> receiver(self);
            return static_cast<Py_ssize_t>(std::invoke(Fn, receiver.get()));
        });
    }

private:
    template <auto Field>
    static PyObject* get_field(PyObject* self, void*) noexcept {
        return guarded<PyObject*>([&] { return to_python(read<T>(self).*Field); });
    }

    template <auto Field>
    static int set_field(PyObject* self, PyObject* value, void*) noexcept {
        return guarded<int>([&] {
            if (value == nullptr) raise(PyExc_AttributeError, "can't delete attribute");
            using FieldType = std::remove_cvref_t<decltype(std::declval<T&>().*Field)>;
            auto converted = ArgOf<FieldType>::convert(value, "value");
            Exclusive<T> receiver(self);
            receiver.get().*Field = unwrap(converted);
            return 0;
        });
    }

    template <auto Getter>
    static PyObject* get_computed(PyObject* self, void*) noexcept {
        return guarded<PyObject*>([&]() -> PyObject* {
            detail::ReadAccess<T> receiver(self);
            return detail::call_on<Getter>(receiver);
        });
    }

    // An instance of T that a shared access would be granted on.
    static bool readable(PyObject* object) {
        return is_instance<T>(object) && !instance<T>(object)->access.held_exclusively();
    }

    // `left != right` as `not (left == right)` by the interpreter's full
    // protocol; an error raised there passes through.
    static PyObject* negated_equality(PyObject* left, PyObject* right) {
        Ref equal = check(PyObject_RichCompare(left, right, Py_EQ));
        const int truth = PyObject_IsTrue(equal.get());
        if (truth < 0) throw PythonError{};
        return Py_NewRef(truth ? Py_False : Py_True);
    }

    // Fn(const T&, operand) when `self` is an instance that can be read and
    // `operand` converts; NULL (no error) otherwise.
    template <auto Fn>
    static PyObject* try_forward(PyObject* self, PyObject* operand) {
        if (!readable(self)) return nullptr;
        Shared<T> receiver(self);
        auto converted = ArgOf<detail::Param<Fn, 1>>::attempt(operand);
        if (!converted) return nullptr;
        return detail::call_native<Fn>(receiver.get(), *converted);
    }
};

// Builds the heap type of T from its slots. Instances cannot be subclassed,
// have no __dict__ and no weak references; a class without a constructor
// cannot be instantiated from Python.
PyTypeObject* make_type(const char* qualified, std::size_t basicsize, destructor dealloc,
                        const PyType_Slot* slots, vectorcallfunc vectorcall);

template <Exposed T>
PyTypeObject* make_type(const PyType_Slot* slots, vectorcallfunc vectorcall = nullptr) {
    return make_type(Class<T>::qualified, sizeof(Instance<T>), &dealloc<T>, slots, vectorcall);
}

// Sets `module.name = object` and appends the name to `module.__all__`.
void add_to_module(PyObject* module, const char* name, PyObject* object);

template <Exposed T>
void add_class(PyObject* module) {
    add_to_module(module, class_name<T>, reinterpret_cast<PyObject*>(type_of<T>()));
}

}  // namespace bind
