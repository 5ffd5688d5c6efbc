// Building a class the way a `class` statement does.
//
// The metaclass is the most derived metaclass of the bases; the namespace
// comes from its __prepare__ and holds __module__, __qualname__, __doc__
// (only when given) and the members in their definition order. C++ methods
// become method descriptors of the new class: those bind without a bound
// method object per call and are specialised by the 3.11+ interpreter. Since
// a descriptor needs its class, the namespace first holds a private
// placeholder under each C++ member's name (so the order, and the ABC
// metaclass's view of which names are defined, are right), which is replaced
// once the class exists.
#pragma once

#include "args.hpp"

#include <initializer_list>

namespace tavrin {

// Set once per module at execution (modules load once per process).
inline PyObject*& placeholder_slot() noexcept {
    static PyObject* placeholder = nullptr;
    return placeholder;
}

struct Member {
    Member(Function& f) noexcept : fn(&f), name(f.name()) {}  // NOLINT: implicit on purpose
    Member(const char* n, PyObject* v) noexcept : value(v), name(n) {}
    Function* fn = nullptr;
    PyObject* value = nullptr;  // borrowed
    const char* name;
};

// The metaclass a class statement would use for these bases.
inline PyTypeObject* calculate_metaclass(PyObject* bases) noexcept {
    PyTypeObject* winner = &PyType_Type;
    const Py_ssize_t n = PyTuple_GET_SIZE(bases);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTypeObject* t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, t)) {
            continue;
        }
        if (PyType_IsSubtype(t, winner)) {
            winner = t;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                        "subclass of the metaclasses of all its bases");
        return nullptr;
    }
    return winner;
}

// The descriptor (or function) for one C++ member of `cls`.
inline Ref make_member(PyObject* module, PyObject* cls, Function& f) noexcept {
    switch (f.kind()) {
        case Kind::Method:
            return Ref::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls), f.def()));
        case Kind::ClassMethod:
            return Ref::steal(PyDescr_NewClassMethod(reinterpret_cast<PyTypeObject*>(cls), f.def()));
        case Kind::StaticMethod: {
            // Bound to the class only so that __qualname__ reads "Cls.name";
            // the C function ignores its first argument.
            f.def()->ml_flags &= ~METH_STATIC;
            Ref modname = Ref::steal(PyModule_GetNameObject(module));
            if (!modname) {
                return Ref();
            }
            Ref fn = Ref::steal(PyCFunction_NewEx(f.def(), cls, modname.get()));
            if (!fn) {
                return Ref();
            }
            return Ref::steal(PyStaticMethod_New(fn.get()));
        }
        case Kind::ModuleFunction:
            break;
    }
    PyErr_SetString(PyExc_SystemError, "module function used as a class member");
    return Ref();
}

// class name(*bases): """doc"""; members...
inline Ref make_class(PyObject* module, const char* name, std::initializer_list<PyObject*> base_list,
                      const char* doc, std::initializer_list<Member> members) noexcept {
    Ref bases = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(base_list.size())));
    if (!bases) {
        return Ref();
    }
    Py_ssize_t i = 0;
    for (PyObject* b : base_list) {
        Py_INCREF(b);
        PyTuple_SET_ITEM(bases.get(), i++, b);
    }
    PyTypeObject* meta = calculate_metaclass(bases.get());
    if (!meta) {
        return Ref();
    }
    Ref pyname = Ref::steal(PyUnicode_FromString(name));
    Ref modname = Ref::steal(PyModule_GetNameObject(module));
    if (!pyname || !modname) {
        return Ref();
    }
    Ref ns;
    {
        Ref prepare;
        if (get_optional_attr(reinterpret_cast<PyObject*>(meta), Ref::steal(intern("__prepare__")).get(), prepare) <
            0) {
            return Ref();
        }
        ns = prepare ? Ref::steal(PyObject_CallFunctionObjArgs(prepare.get(), pyname.get(), bases.get(), nullptr))
                     : Ref::steal(PyDict_New());
        if (!ns) {
            return Ref();
        }
    }
    if (PyObject_SetItem(ns.get(), Ref::steal(intern("__module__")).get(), modname.get()) < 0 ||
        PyObject_SetItem(ns.get(), Ref::steal(intern("__qualname__")).get(), pyname.get()) < 0) {
        return Ref();
    }
    if (doc) {
        Ref d = Ref::steal(PyUnicode_FromString(doc));
        if (!d || PyObject_SetItem(ns.get(), Ref::steal(intern("__doc__")).get(), d.get()) < 0) {
            return Ref();
        }
    }
    for (const Member& m : members) {
        if (m.fn && m.fn->prepare(name) < 0) {
            return Ref();
        }
        Ref key = Ref::steal(intern(m.name));
        if (!key || PyObject_SetItem(ns.get(), key.get(), m.fn ? placeholder_slot() : m.value) < 0) {
            return Ref();
        }
    }
    Ref cls = Ref::steal(
        PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(meta), pyname.get(), bases.get(), ns.get(), nullptr));
    if (!cls) {
        return Ref();
    }
    for (const Member& m : members) {
        if (!m.fn) {
            continue;
        }
        Ref member = make_member(module, cls.get(), *m.fn);
        if (!member || PyObject_SetAttrString(cls.get(), m.name, member.get()) < 0) {
            return Ref();
        }
    }
    return cls;
}

// A module-level function bound to its module, as `def` at module level.
inline int add_function(PyObject* module, Function& f) noexcept {
    if (f.prepare(nullptr) < 0) {
        return -1;
    }
    Ref modname = Ref::steal(PyModule_GetNameObject(module));
    if (!modname) {
        return -1;
    }
    Ref fn = Ref::steal(PyCFunction_NewEx(f.def(), module, modname.get()));
    if (!fn) {
        return -1;
    }
    return PyObject_SetAttrString(module, f.name(), fn.get());
}

// A module's internal helper type (a generator, an iterator, a bound
// method): made from its spec, and never by calling the type, as the
// interpreter's own helper types are.
inline Ref make_internal_type(PyObject* module, PyType_Spec& spec) noexcept {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &spec, nullptr));
    if (type) {
        reinterpret_cast<PyTypeObject*>(type.get())->tp_new = nullptr;
    }
    return type;
}

}  // namespace tavrin
