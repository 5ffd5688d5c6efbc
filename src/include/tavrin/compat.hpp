// The few shims for differences between CPython 3.9 and 3.13. Everything
// newer than 3.9 goes behind a PY_VERSION_HEX guard here, nowhere else.
#pragma once

#include "ref.hpp"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

namespace tavrin {

// Attribute lookup that tells "missing" (0, no error) from a failure (-1).
inline int get_optional_attr(PyObject* obj, PyObject* name, Ref& out) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* r = nullptr;
    int rc = PyObject_GetOptionalAttr(obj, name, &r);
    out = Ref::steal(r);
    return rc;
#else
    out = Ref::steal(PyObject_GetAttr(obj, name));
    if (out) {
        return 1;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
#endif
}

// Dict lookup with a strong result; 1 found, 0 missing, -1 error.
// Never swallows errors (the old PyDict_GetItem does).
inline int dict_get_ref(PyObject* dict, PyObject* key, Ref& out) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* r = nullptr;
    int rc = PyDict_GetItemRef(dict, key, &r);
    out = Ref::steal(r);
    return rc;
#else
    PyObject* r = PyDict_GetItemWithError(dict, key);
    out = Ref::borrow(r);
    if (r) {
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
#endif
}

// The referent of a weak reference as a strong reference (empty when dead).
inline int weakref_get(PyObject* ref, Ref& out) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* r = nullptr;
    int rc = PyWeakref_GetRef(ref, &r);
    out = Ref::steal(r);
    return rc;
#else
    PyObject* r = PyWeakref_GetObject(ref);
    if (!r) {
        return -1;
    }
    if (r == Py_None) {
        out.reset();
        return 0;
    }
    out = Ref::borrow(r);
    return 1;
#endif
}

// A type's own namespace (borrowed). Static builtin types keep it
// per interpreter from 3.12 on, where tp_dict may be null.
inline Ref type_dict(PyTypeObject* t) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyType_GetDict(t));
#else
    return Ref::borrow(t->tp_dict);
#endif
}

// The type's attribute cache tag, or 0 where it can't have one. A type's
// tag changes whenever it or any class in its MRO is modified.
inline unsigned int type_version(PyTypeObject* t) noexcept {
    if (!PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG)) {
#if PY_VERSION_HEX >= 0x030C0000
        if (!PyUnstable_Type_AssignVersionTag(t)) {
            return 0;
        }
#else
        // Before 3.12 a type gets its tag from the attribute cache, at the
        // first lookup through it after a change, and there is no call to
        // ask for one: a type that is only ever called into, never has an
        // attribute looked up, would go without, and every fact about it
        // be worked out again at every use. A lookup of a name no class
        // defines gives it one. (Those versions are final: this holds.)
        static PyObject* const probe = [] {
            Ref name = Ref::steal(PyUnicode_InternFromString("__tavrin_version_probe__"));
            if (!name) {
                PyErr_Clear();
            }
            return keep(std::move(name));
        }();
        if (!probe) {
            return 0;
        }
        (void)_PyType_Lookup(t, probe);
        if (!PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG)) {
            return 0;
        }
#endif
    }
    return t->tp_version_tag;
}

// Whether `tag` (from type_version) is still the type's tag: a few
// instructions, for the check in front of every cached fact.
inline bool version_is(PyTypeObject* t, unsigned int tag) noexcept {
    return tag != 0 && PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG) && t->tp_version_tag == tag;
}

// The exception being raised, normalised, with its traceback attached, as
// a new reference (null when none is); the indicator is cleared.
inline PyObject* fetch_raised_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb && v) {
        PyException_SetTraceback(v, tb);
    }
    Py_XDECREF(t);
    Py_XDECREF(tb);
    return v;
#endif
}

// Raises `exc` (a reference it takes over) again, traceback and all.
inline void set_raised_exception(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(t);
    PyErr_Restore(t, exc, PyException_GetTraceback(exc));
#endif
}

// Strings made through the old wide-character API are filled in lazily
// before 3.12; -1 on error.
inline int unicode_ready(PyObject* s) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(s);
#else
    (void)s;
    return 0;
#endif
}

// 3.9 refuses a float where an integer position is expected with a message
// of its own, before __index__ is asked; later versions leave it to
// PyNumber_Index. True (the error set) when this interpreter refuses `o` so.
inline bool refuses_float_position(PyObject* o) noexcept {
#if PY_VERSION_HEX < 0x030A0000
    if (PyFloat_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "integer argument expected, got float");
        return true;
    }
#else
    (void)o;
#endif
    return false;
}

// The interpreter's own hash of an address, the one object identity and
// bound methods hash by: public as Py_HashPointer from 3.13, exported under
// its older name before.
inline Py_hash_t hash_pointer(const void* p) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_HashPointer(p);
#else
    return _Py_HashPointer(p);
#endif
}

}  // namespace tavrin

// The module slot that lets the frame refuse other interpreters with its own
// message (3.12+ would otherwise refuse them before the frame runs).
#if PY_VERSION_HEX >= 0x030C0000
#define TAVRIN_INTERPRETER_SLOT {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define TAVRIN_INTERPRETER_SLOT
#endif

// PyMemberDef's type and flag names (renamed in 3.12).
#if PY_VERSION_HEX < 0x030C0000
#define TAVRIN_T_PYSSIZET T_PYSSIZET
#define TAVRIN_READONLY READONLY
#else
#define TAVRIN_T_PYSSIZET Py_T_PYSSIZET
#define TAVRIN_READONLY Py_READONLY
#endif
