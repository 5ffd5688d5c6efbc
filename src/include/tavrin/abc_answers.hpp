// isinstance(obj, abc) answered once per plain built-in type.
#pragma once

#include "compat.hpp"

namespace tavrin {

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
        // The built-in's own C function, called as its METH_NOARGS calling
        // convention says: the token is asked before every use by callers
        // that can't tell, so it stays a few instructions.
        if (get_token_ && PyCFunction_Check(get_token_) && PyCFunction_GET_FLAGS(get_token_) == METH_NOARGS) {
            token_fn_ = PyCFunction_GET_FUNCTION(get_token_);
            token_self_ = PyCFunction_GET_SELF(get_token_);
        }
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
        // Remembered only if no other thread saw a new token meanwhile: the
        // answer may predate the registration that changed it.
        const unsigned long long seen = changes_;
        const int r = PyObject_IsInstance(obj, abc_);
        if (r >= 0 && changes_ == seen) {
            answers_[i] = static_cast<signed char>(r);
        }
        stale_ = true;  // registered subclass hooks may have run
        return r;
    }

private:
    int refresh() noexcept {
        Ref token = Ref::steal(token_fn_ ? token_fn_(token_self_, nullptr) : PyObject_CallNoArgs(get_token_));
        if (!token) {
            return -1;
        }
        if (token.get() == token_) {  // the usual answer: the same small int
            stale_ = false;
            return 0;
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
            ++changes_;
        }
        stale_ = false;
        return 0;
    }

    PyObject* abc_ = nullptr;
    PyObject* get_token_ = nullptr;
    PyCFunction token_fn_ = nullptr;
    PyObject* token_self_ = nullptr;
    PyObject* token_ = nullptr;
    unsigned long long changes_ = 0;
    bool stale_ = true;
    signed char answers_[kPlainBuiltins] = {-1, -1, -1, -1, -1, -1, -1, -1, -1};
};

}  // namespace tavrin
