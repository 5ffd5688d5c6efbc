// tavrin.datastructures.typegetter: TypeGetterDescriptor (also bound as
// `typegetter`), a non-data descriptor used as a decorator that turns a
// function in a class body into a read-only attribute computed, on every
// read, from the class through which the attribute is reached.
#include <tavrin/module.hpp>

using tavrin::Ref;

namespace {

struct State {
    PyTypeObject* Descriptor = nullptr;
    PyObject* s_func = nullptr;
};
State S;

// self.func(owner): `func` is an ordinary attribute, looked up on every read
// (a subclass or the user may replace it), and called as stored. A func that
// is not a Python function counts towards the recursion limit here, as the
// call of a Python __get__ would: one that reads the attribute again through
// C alone (an attrgetter of its own name) would otherwise go round until the
// C stack overflowed. A Python function's own frame is counted anyway.
PyObject* call_func(PyObject* self, PyObject* owner) noexcept {
    Ref func = Ref::steal(PyObject_GetAttr(self, S.s_func));
    if (!func) {
        return nullptr;
    }
    if (PyFunction_Check(func.get())) {
        return PyObject_Vectorcall(func.get(), &owner, 1, nullptr);
    }
    tavrin::RecursionGuard guard(" while reading a typegetter attribute");
    if (guard.failed()) {
        return nullptr;
    }
    return PyObject_Vectorcall(func.get(), &owner, 1, nullptr);
}

// reentry.hpp rule 2: keeps nothing.
TAVRIN_METHOD(f_init, descriptor_init, "__init__", "$self, func",
              "Keep the decorated object as the attribute `func`, unchanged (no check that it\n"
              "is callable; nothing is copied from it).") {
    PyObject* func;
    if (!f_init.bind(self, args, nargs, kwnames, &func)) {
        return nullptr;
    }
    if (PyObject_SetAttr(self, S.s_func, func) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// reentry.hpp rule 2: func read anew on every call and held.
TAVRIN_METHOD(f_get, descriptor_get, "__get__", "$self, obj, owner",
              "Return self.func(owner), computed on every read. `owner` is the class through\n"
              "which the attribute was reached; `obj` (the instance, or None for a read\n"
              "through the class) is not used.") {
    PyObject* argv[2];
    if (!f_get.bind(self, args, nargs, kwnames, argv)) {
        return nullptr;
    }
    return call_func(self, argv[1]);
}

// The descriptor slot of TypeGetterDescriptor itself. The slot the class
// statement gives it looks `__get__` up in the class and calls it with None
// standing for a missing instance or owner; while that lookup finds our own
// __get__ the result is exactly this. It stays that way only as long as it
// is true: assigning or deleting `__get__` on the class (or changing its
// bases) makes the interpreter put its generic slot back, and subclasses get
// the generic slot from their own class creation, so an overriding __get__
// is always honoured.
// reentry.hpp rule 2, as __get__.
PyObject* descriptor_slot(PyObject* self, PyObject* obj, PyObject* owner) noexcept {
    (void)obj;
    return call_func(self, owner ? owner : Py_None);
}

const char* const descriptor_doc =
    "Descriptor that lets classes have their own properties, which subclasses\n"
    "inherit and can overwrite: a read-only property at class level.\n"
    "\n"
    "Use it as a decorator. Reading the attribute, through the class, a subclass\n"
    "or an instance, calls the function with the class it was reached through:\n"
    "\n"
    "    >>> class Host:\n"
    "    ...     @typegetter\n"
    "    ...     def kind(cls):\n"
    "    ...         return 'host'\n"
    "    >>> Host.kind, Host().kind\n"
    "    ('host', 'host')\n"
    "\n"
    "There is no setter: assigning the attribute on an instance shadows it for\n"
    "that instance, assigning it on the class replaces it.";

int typegetter_body(PyObject* m) noexcept {
    if (!(S.s_func = tavrin::intern("func"))) {
        return -1;
    }
    Ref cls = tavrin::make_class(m, "TypeGetterDescriptor", {reinterpret_cast<PyObject*>(&PyBaseObject_Type)},
                                 descriptor_doc, {f_init, f_get});
    if (!cls || PyObject_SetAttrString(m, "TypeGetterDescriptor", cls.get()) < 0 ||
        PyObject_SetAttrString(m, "typegetter", cls.get()) < 0) {
        return -1;
    }
    S.Descriptor = reinterpret_cast<PyTypeObject*>(tavrin::keep(std::move(cls)));
    S.Descriptor->tp_descr_get = descriptor_slot;
    return 0;
}

}  // namespace

TAVRIN_MODULE(typegetter, nullptr, typegetter_body)
