// Errors across the C++/Python boundary: a pending exception held while
// other code runs, C++ exceptions mapped to Python ones, and recursion over
// user data turned into RecursionError.
#pragma once

#include "compat.hpp"

#include <new>

namespace tavrin {

// The pending exception, held while other Python code runs, then either
// restored or made the context of whatever that code raised.
class PendingError {
public:
    PendingError() noexcept : exc_(Ref::steal(fetch_raised_exception())) {}
    PyObject* get() const noexcept { return exc_.get(); }
    bool matches(PyObject* type) const noexcept {
        return exc_ && PyErr_GivenExceptionMatches(exc_.get(), type);
    }
    // Raises it again.
    void restore() noexcept {
        if (PyObject* exc = exc_.release()) {
            set_raised_exception(exc);
        }
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

}  // namespace tavrin
