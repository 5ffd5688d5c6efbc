// The module frame every module shares: multi-phase initialisation, the
// version warning, one execution per process, one interpreter per process.
// A module includes this header alone: it brings the whole support layer.
//
// A module's state is process-wide (interned names, classes, cached
// lookups): the frame refuses a second execution and a second interpreter,
// so there is exactly one module object to serve. Objects kept that way
// are strong references held for the life of the process, never released
// (releasing them in static destructors would run after finalisation).
#pragma once

#include "abc_answers.hpp"
#include "classdef.hpp"
#include "lookup.hpp"
#include "reentry.hpp"
#include "slots.hpp"
#include "typefacts.hpp"

#include <cstdio>

namespace tavrin {

struct FrameState {
    const char* short_name;
    PyInterpreterState* interpreter = nullptr;
    bool executed = false;
};

inline PyObject* frame_create(FrameState& st, PyObject* spec) noexcept {
    PyInterpreterState* current = PyInterpreterState_Get();
    if (!st.interpreter) {
        st.interpreter = current;
    } else if (st.interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    return PyModule_NewObject(name.get());
}

// The running interpreter's major.minor, read from its version string.
inline void runtime_version(int& major, int& minor) noexcept {
    major = minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) {
        major = minor = 0;
    }
}

inline int frame_exec(FrameState& st, PyObject* module, int (*body)(PyObject*)) noexcept {
    int major = 0, minor = 0;
    runtime_version(major, minor);
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
        const char* full = PyModule_GetName(module);
        if (!full) {
            return -1;
        }
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                             PY_MAJOR_VERSION, PY_MINOR_VERSION, full, "does not match", major, minor) < 0) {
            return -1;
        }
    }
    if (st.executed) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", st.short_name);
        return -1;
    }
    if (st.interpreter && st.interpreter != PyInterpreterState_Get()) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return -1;
    }
    st.executed = true;
    if (!placeholder_slot()) {
        placeholder_slot() = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
        if (!placeholder_slot()) {
            return -1;
        }
    }
    return body(module);
}

// `import name` at module level.
inline Ref import_module(PyObject* module, const char* name, const char* as = nullptr) noexcept {
    Ref mod = Ref::steal(PyImport_ImportModule(name));
    if (!mod || PyObject_SetAttrString(module, as ? as : name, mod.get()) < 0) {
        return Ref();
    }
    return mod;
}

// `from source import name` at module level; returns the object.
inline Ref import_from(PyObject* module, const char* source, const char* name) noexcept {
    Ref mod = Ref::steal(PyImport_ImportModule(source));
    if (!mod) {
        return Ref();
    }
    Ref obj = Ref::steal(PyObject_GetAttrString(mod.get(), name));
    if (!obj) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, source);
        }
        return Ref();
    }
    if (PyObject_SetAttrString(module, name, obj.get()) < 0) {
        return Ref();
    }
    return obj;
}

}  // namespace tavrin

// Defines PyInit_<name> for a module whose body is `body(module)`.
#define TAVRIN_MODULE(name, doc, body)                                                                   \
    static tavrin::FrameState name##_frame{#name};                                                       \
    static PyObject* name##_create(PyObject* spec, PyModuleDef*) noexcept {                              \
        return tavrin::frame_create(name##_frame, spec);                                                 \
    }                                                                                                    \
    static int name##_exec(PyObject* module) noexcept { return tavrin::frame_exec(name##_frame, module, body); } \
    static PyModuleDef_Slot name##_slots[] = {                                                           \
        {Py_mod_create, reinterpret_cast<void*>(name##_create)},                                         \
        {Py_mod_exec, reinterpret_cast<void*>(name##_exec)},                                             \
        TAVRIN_INTERPRETER_SLOT{0, nullptr}};                                                            \
    static PyModuleDef name##_def = {PyModuleDef_HEAD_INIT, "tavrin.datastructures." #name, doc, 0, nullptr, \
                                     name##_slots, nullptr, nullptr, nullptr};                          \
    PyMODINIT_FUNC PyInit_##name(void) { return PyModuleDef_Init(&name##_def); }
