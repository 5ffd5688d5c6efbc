// What the generic attribute lookup would find, and the generic calls that
// every fast path stands beside: `super(owner, self).name(...)`,
// `obj.name(...)`. A fast path is allowed only where it is provably the same
// as these; the proof is a per-type fact (typefacts.hpp).
#pragma once

#include "errors.hpp"

namespace tavrin {

// What `super(owner, obj).<name>` would find before binding: the raw
// attribute of the first class after `owner` in type(obj).__mro__ that
// defines `name`. Empty with no error when none does.
inline int super_lookup(PyTypeObject* type, PyTypeObject* owner, PyObject* name, Ref& out) noexcept {
    out.reset();
    // Held: a namespace key's __eq__ may assign __bases__ (a new MRO) or let
    // the type itself go while the walk is under way.
    Ref held = Ref::borrow(type->tp_mro);
    PyObject* mro = held.get();
    if (!mro) {
        return 0;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(mro);
    Py_ssize_t i = 0;
    if (owner) {
        while (i < n && PyTuple_GET_ITEM(mro, i) != reinterpret_cast<PyObject*>(owner)) {
            ++i;
        }
        ++i;
    }
    for (; i < n; ++i) {
        Ref dict = type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
        if (!dict) {
            continue;
        }
        const int rc = dict_get_ref(dict.get(), name, out);
        if (rc != 0) {
            return rc;
        }
    }
    return 0;
}

// A new tuple of n borrowed items.
inline Ref tuple_of(PyObject* const* items, Py_ssize_t n) noexcept {
    Ref t = Ref::steal(PyTuple_New(n));
    if (!t) {
        return t;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_INCREF(items[i]);
        PyTuple_SET_ITEM(t.get(), i, items[i]);
    }
    return t;
}

// obj.name(*pos, **kwargs) through the ordinary attribute lookup: the
// generic path beside a fast path that calls our own C++ directly.
inline Ref call_attribute(PyObject* obj, PyObject* name, PyObject* const* pos, Py_ssize_t npos,
                          PyObject* kwargs) noexcept {
    Ref method = Ref::steal(PyObject_GetAttr(obj, name));
    if (!method) {
        return method;
    }
    Ref args = tuple_of(pos, npos);
    if (!args) {
        return args;
    }
    return Ref::steal(PyObject_Call(method.get(), args.get(), kwargs));
}

// super(owner, self).name(*args): the generic path behind every fast path
// that calls a built-in base directly.
inline Ref call_super(PyObject* self, PyTypeObject* owner, PyObject* name, PyObject* const* args,
                      size_t nargs, PyObject* kwnames = nullptr) noexcept {
    Ref raw;
    if (super_lookup(Py_TYPE(self), owner, name, raw) < 0) {
        return Ref();
    }
    if (!raw) {
        PyErr_Format(PyExc_AttributeError, "'super' object has no attribute '%U'", name);
        return Ref();
    }
    Ref bound;
    if (descrgetfunc get = Py_TYPE(raw.get())->tp_descr_get) {
        bound = Ref::steal(get(raw.get(), self, reinterpret_cast<PyObject*>(Py_TYPE(self))));
    } else {
        bound = std::move(raw);
    }
    if (!bound) {
        return Ref();
    }
    return Ref::steal(PyObject_Vectorcall(bound.get(), args, nargs, kwnames));
}

// The raw entry `name` of a type's own namespace (borrowed for the life of
// the process: used for built-in types' slot wrappers).
inline PyObject* builtin_entry(PyTypeObject* type, const char* name) noexcept {
    Ref dict = type_dict(type);
    Ref key = Ref::steal(PyUnicode_FromString(name));
    Ref out;
    if (!dict || !key || dict_get_ref(dict.get(), key.get(), out) <= 0) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_SystemError, "%s has no %s", type->tp_name, name);
        }
        return nullptr;
    }
    return keep(std::move(out));
}

}  // namespace tavrin
