// Python class ResultArray.
#include "result_array.hpp"

#include <limits>
#include <new>

#include "members.hpp"
#include "stub_docs.hpp"

namespace bind {

ResultArray::ResultArray(char format, std::size_t itemsize, std::span<const std::size_t> shape)
    : ndim_(static_cast<int>(shape.size())), format_(format), itemsize_(static_cast<Py_ssize_t>(itemsize)) {
    std::size_t count = 1;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        // The byte count must fit a Py_ssize_t, as every buffer's length.
        const auto most = static_cast<std::size_t>(std::numeric_limits<Py_ssize_t>::max()) / itemsize;
        if (shape[i] != 0 && count > most / shape[i]) throw std::bad_alloc();
        count *= shape[i];
        shape_[i] = static_cast<Py_ssize_t>(shape[i]);
    }
    if (count != 0) storage_.reset(new std::byte[count * itemsize]);
}

std::string ResultArray::repr() const {
    std::string text = "ResultArray(shape=(";
    text.append(std::to_string(shape_[0]));
    text.append(ndim_ == 1 ? "," : ", " + std::to_string(shape_[1]));
    return text.append("), format='").append(1, format_).append("')");
}

PyObject* ResultArray::to_list() const {
    auto item = [&](std::size_t i) -> PyObject* {
        if (format_ == 'l') return PyLong_FromSsize_t(reinterpret_cast<const Py_ssize_t*>(storage_.get())[i]);
        if (format_ == '?') return Py_NewRef(reinterpret_cast<const bool*>(storage_.get())[i] ? Py_True : Py_False);
        return PyFloat_FromDouble(reinterpret_cast<const double*>(storage_.get())[i]);
    };
    auto row_list = [&](std::size_t first, std::size_t count) {
        Ref list = check(PyList_New(static_cast<Py_ssize_t>(count)));
        for (std::size_t j = 0; j < count; ++j) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(j), check(item(first + j)).release());
        }
        return list;
    };
    const auto rows = static_cast<std::size_t>(shape_[0]);
    if (ndim_ == 1) return row_list(0, rows).release();
    const auto columns = static_cast<std::size_t>(shape_[1]);
    Ref list = check(PyList_New(shape_[0]));
    for (std::size_t i = 0; i < rows; ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row_list(i * columns, columns).release());
    }
    return list.release();
}

std::unique_ptr<Exported<const ResultArray*>> ResultArray::exported() const {
    auto exported = std::make_unique<Exported<const ResultArray*>>();
    // The view holds the array's Python object, and the array never moves
    // its storage, so the view needs nothing more.
    exported->keep = this;
    exported->data = storage_.get();
    exported->ndim = ndim_;
    exported->shape[0] = shape_[0];
    exported->shape[1] = shape_[1];
    exported->format = format_;
    exported->itemsize = itemsize_;
    exported->writable = true;
    return exported;
}

}  // namespace bind

namespace {

using bind::ResultArray;
using M = bind::Members<ResultArray>;

std::size_t length(const ResultArray& self) { return self.rows(); }
std::string text(const ResultArray& self) { return self.repr(); }
bind::Ref tolist(const ResultArray& self) { return bind::Ref(self.to_list()); }
auto exported(const ResultArray& self) { return self.exported(); }

PyMethodDef methods[] = {
    M::method<"tolist($self)", &tolist, stub_docs::ResultArray::tolist>(),
    {},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(stub_docs::ResultArray::class_)},
    {Py_tp_methods, methods},
    bind::slot(Py_tp_repr, &M::repr<&text>),
    bind::slot(Py_mp_length, &M::length<&length>),
    bind::slot(Py_bf_getbuffer, &M::get_buffer<&exported>),
    bind::slot(Py_bf_releasebuffer, &M::release_buffer<&exported>),
    {0, nullptr},
};

}  // namespace

PyTypeObject* bind::Class<ResultArray>::build() { return bind::make_type<ResultArray>(slots); }
