// Names made once at module execution: interned attribute names, and the
// few small Python functions a module defines from source.
#pragma once

#include "ref.hpp"

namespace tavrin {

// An interned attribute or method name, made once at module execution.
inline PyObject* intern(const char* s) noexcept { return PyUnicode_InternFromString(s); }

// Where an interned name goes, and its text.
struct NameSlot {
    PyObject** slot;
    const char* text;
};

// Interns every name into its slot, each held for the life of the process.
template <size_t N>
int intern_names(const NameSlot (&names)[N]) noexcept {
    for (const NameSlot& n : names) {
        *n.slot = intern(n.text);
        if (!*n.slot) {
            return -1;
        }
    }
    return 0;
}

// A small Python function made from its source in a namespace of its own:
// for the few steps whose exact behaviour (and messages) only the
// interpreter's own code gives, such as unpacking.
inline Ref python_function(const char* source, const char* name) noexcept {
    Ref globals = Ref::steal(PyDict_New());
    if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) {
        return Ref();
    }
    if (!Ref::steal(PyRun_String(source, Py_file_input, globals.get(), globals.get()))) {
        return Ref();
    }
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) {
        return Ref();
    }
    PyObject* fn = PyDict_GetItemWithError(globals.get(), key.get());
    if (!fn && !PyErr_Occurred()) {
        PyErr_Format(PyExc_SystemError, "%s was not defined", name);
    }
    return Ref::borrow(fn);
}

}  // namespace tavrin
