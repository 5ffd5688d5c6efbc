// Owning reference to a Python object, and the few error helpers that go
// with it. Every new reference is wrapped on the line that creates it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <utility>

namespace tavrin {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (may be null: the call failed).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference of its own to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller (for returning to the interpreter).
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    // A new reference for the caller, keeping ours.
    PyObject* new_ref() const noexcept {
        Py_XINCREF(p_);
        return p_;
    }
    void reset() noexcept {
        PyObject* old = p_;
        p_ = nullptr;
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// The pending exception, held while other Python code runs, then either
// restored or made the context of whatever that code raised.
class PendingError {
public:
    PendingError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = Ref::steal(PyErr_GetRaisedException());
#else
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyErr_NormalizeException(&t, &v, &tb);
        if (tb && v) {
            PyException_SetTraceback(v, tb);
        }
        Py_XDECREF(t);
        Py_XDECREF(tb);
        exc_ = Ref::steal(v);
#endif
    }
    PyObject* get() const noexcept { return exc_.get(); }
    bool matches(PyObject* type) const noexcept {
        return exc_ && PyErr_GivenExceptionMatches(exc_.get(), type);
    }
    // Raises it again.
    void restore() noexcept {
        PyObject* e = exc_.release();
        if (!e) {
            return;
        }
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(e);
#else
        PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(e));
        Py_INCREF(t);
        PyErr_Restore(t, e, PyException_GetTraceback(e));
#endif
    }
    // Makes the held exception the __context__ of the one now being raised,
    // as an `except` block does for an exception raised inside it.
    void chain_into_current() noexcept {
        if (!exc_ || !PyErr_Occurred()) {
            return;
        }
        PendingError now;
        if (now.exc_ && now.exc_.get() != exc_.get()) {
            PyException_SetContext(now.exc_.get(), exc_.release());
        }
        now.restore();
    }

private:
    Ref exc_;
};

// Runs `body` with C++ exceptions mapped to Python ones: nothing thrown
// may cross into the interpreter. `fail` is the error result (nullptr, -1).
template <class R, class F>
R guarded(R fail, F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    return fail;
}

// Py_EnterRecursiveCall as a scope: recursion over user data ends in
// RecursionError, never in a blown C stack.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) noexcept : ok_(Py_EnterRecursiveCall(where) == 0) {}
    ~RecursionGuard() {
        if (ok_) {
            Py_LeaveRecursiveCall();
        }
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    bool failed() const noexcept { return !ok_; }

private:
    bool ok_;
};

// An interned attribute or method name, made once at module execution.
inline PyObject* intern(const char* s) noexcept { return PyUnicode_InternFromString(s); }

// A reference held for the life of the process (a module's state: the
// module loads once per process, see module.hpp).
inline PyObject* keep(Ref r) noexcept { return r.release(); }

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
