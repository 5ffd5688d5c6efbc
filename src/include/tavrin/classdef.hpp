// Building a class the way a `class` statement does, and looking up what a
// class statement's methods would find at run time.
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

// Remembers that, for one receiving type, `super_lookup(type, owner, name)`
// finds `expected`: an entry of a fixed object we know the behaviour of
// (our own method descriptor, or a built-in's slot wrapper). Valid while
// the type's version tag is unchanged: any change to the type or a class
// in its MRO gives it a new tag. Only positive answers are cached.
class LookupCache {
public:
    // 1 when the lookup finds `expected`, 0 when it finds something else.
    int check(PyTypeObject* type, PyTypeObject* owner, PyObject* name, PyObject* expected) noexcept {
        const unsigned int tag = type_version(type);
        if (tag != 0 && type == type_ && tag == tag_) {
            return 1;
        }
        // The lookup may run Python code (see super_lookup) that gives the
        // object another class: the type must outlive the tag read below.
        Ref held = Ref::borrow(reinterpret_cast<PyObject*>(type));
        Ref found;
        if (super_lookup(type, owner, name, found) < 0) {
            return -1;
        }
        if (found.get() != expected) {
            return 0;
        }
        const unsigned int tag_after = type_version(type);
        if (tag_after != 0 && tag_after == tag) {
            type_ = type;
            tag_ = tag;
        }
        return 1;
    }

private:
    PyTypeObject* type_ = nullptr;
    unsigned int tag_ = 0;
};

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

// Whether `obj.name` would find exactly `expected` (a function or method
// descriptor of a class) through the generic attribute lookup: the type's
// MRO finds it, and no entry of the instance's __dict__ shadows it.
// 1 yes, 0 no (take the generic path), -1 error.
inline int attribute_is(PyObject* obj, PyObject* name, PyObject* expected, LookupCache& cache) noexcept {
    // Held: the check may run Python code that gives obj another class.
    Ref held = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        return 0;
    }
    const int rc = cache.check(type, nullptr, name, expected);
    if (rc <= 0) {
        return rc;
    }
    if (type->tp_dictoffset == 0) {
        return 1;
    }
    Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    if (!dict) {
        return -1;
    }
    const int has = PyDict_Contains(dict.get(), name);
    return has < 0 ? -1 : !has;
}

// Direct slots. A class whose namespace holds a C++ `__init__` or
// `__getitem__` gets the interpreter's generic slot functions, which look
// the method up and call it on every use. For the class itself (not its
// subclasses, which get the generic slot at creation) we point the slot
// straight at the C++ implementation. This is the same behaviour as long as
// the class's entry is our descriptor; assigning or deleting the entry
// makes the interpreter recompute the slot, so it can't go stale.
// The C++ functions must behave exactly as the methods do (argument
// errors included: fall back to calling the descriptor for anything odd).
struct DirectSlots {
    initproc init = nullptr;
    binaryfunc subscript = nullptr;
    objobjargproc ass_subscript = nullptr;  // set and delete
    objobjproc contains = nullptr;
    reprfunc repr = nullptr;
};

inline void install_direct_slots(PyObject* cls, const DirectSlots& slots) noexcept {
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(cls);
    if (slots.init) {
        t->tp_init = slots.init;
    }
    if (slots.subscript && t->tp_as_mapping) {
        t->tp_as_mapping->mp_subscript = slots.subscript;
    }
    if (slots.ass_subscript && t->tp_as_mapping) {
        t->tp_as_mapping->mp_ass_subscript = slots.ass_subscript;
    }
    if (slots.contains && t->tp_as_sequence) {
        t->tp_as_sequence->sq_contains = slots.contains;
    }
    if (slots.repr) {
        t->tp_repr = slots.repr;
    }
    PyType_Modified(t);
}

// Exact built-in types whose instance checks, truth, hashing and equality
// run no Python code and whose instances can't claim another __class__
// (unlike, say, weakref proxies): an index for per-type answers, or -1.
inline int plain_builtin_index(PyTypeObject* t) noexcept {
    if (t == &PyUnicode_Type) return 0;
    if (t == &PyLong_Type) return 1;
    if (t == &PyDict_Type) return 2;
    if (t == &PyList_Type) return 3;
    if (t == &PyFloat_Type) return 4;
    if (t == &PyBool_Type) return 5;
    if (t == Py_TYPE(Py_None)) return 6;
    if (t == &PyTuple_Type) return 7;
    if (t == &PyBytes_Type) return 8;
    return -1;
}
constexpr int kPlainBuiltins = 9;

// isinstance(obj, abc) remembered for the plain built-in types. For those
// the answer depends only on the ABC's registrations, and
// abc.get_cache_token() changes with every registration anywhere. The token
// is asked again once the answers are marked stale (Python code may have
// run since); a caller that can't tell marks them before every use.
class AbcAnswers {
public:
    // Holds the ABC (and abc.get_cache_token) for the life of the process.
    int init(PyObject* abc) noexcept {
        Ref module = Ref::steal(PyImport_ImportModule("abc"));
        if (!module) {
            return -1;
        }
        get_token_ = PyObject_GetAttrString(module.get(), "get_cache_token");
        abc_ = abc;
        Py_XINCREF(abc_);
        return get_token_ && abc_ ? 0 : -1;
    }
    void mark_stale() noexcept { stale_ = true; }
    bool stale() const noexcept { return stale_; }

    int isinstance(PyObject* obj) noexcept {
        const int i = plain_builtin_index(Py_TYPE(obj));
        if (i < 0) {
            stale_ = true;  // the check may run Python code (hooks, __class__)
            return PyObject_IsInstance(obj, abc_);
        }
        if (stale_ && refresh() < 0) {
            return -1;
        }
        if (answers_[i] >= 0) {
            return answers_[i];
        }
        const int r = PyObject_IsInstance(obj, abc_);
        if (r >= 0) {
            answers_[i] = static_cast<signed char>(r);
        }
        stale_ = true;  // registered subclass hooks may have run
        return r;
    }

private:
    int refresh() noexcept {
        Ref token = Ref::steal(PyObject_CallNoArgs(get_token_));
        if (!token) {
            return -1;
        }
        const int same = token_ ? PyObject_RichCompareBool(token.get(), token_, Py_EQ) : 0;
        if (same < 0) {
            return -1;
        }
        if (!same) {
            for (auto& a : answers_) {
                a = -1;
            }
            Py_XDECREF(token_);
            token_ = token.release();  // held for the life of the process
        }
        stale_ = false;
        return 0;
    }

    PyObject* abc_ = nullptr;
    PyObject* get_token_ = nullptr;
    PyObject* token_ = nullptr;
    bool stale_ = true;
    signed char answers_[kPlainBuiltins] = {-1, -1, -1, -1, -1, -1, -1, -1, -1};
};

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
    return out.release();  // kept for the life of the process
}

}  // namespace tavrin
