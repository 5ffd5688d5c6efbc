// Native state that lives across calls into Python code.
//
// Any call into Python can change the world under a C++ function: `==`,
// `hash`, `__str__`, an exception's `__init__`, a callback, a finalizer, the
// cycle collector, and another thread taking the GIL while this one runs
// Python bytecode. A native object that keeps C++ state across such a call (a
// walker's stack, an iterator's position, a batch being written, a tree being
// drawn) follows one of two rules, entry point by entry point:
//
//  1. Hold the object's `Busy` claim for the whole call. While it is held,
//     every other entry point that reads or changes that state refuses at
//     once, as a running Python generator refuses `next`, `send`, `throw`
//     and `close` ("generator already executing"), and nothing frees or
//     replaces the state: `tp_clear` and `close`-like calls leave it alone
//     while the claim is held (`tp_dealloc` cannot run then: the caller's
//     reference to `self` keeps the object alive).
//  2. Or keep nothing across the call: after Python code has run, re-read
//     every pointer, size and cached fact (a list's size, an item, a
//     version tag) instead of trusting what was read before, and hold a
//     strong reference to anything that is used after the call.
//
// Rule 1 is for state that cannot be re-validated (a C++ stack of frames,
// a half-built result); rule 2 is for everything that reads a Python object
// afresh anyway. Whichever applies, the comment on the entry point says so.
#pragma once

#include "ref.hpp"

namespace tavrin {

// Rule 1 as a scope: claims `flag` for its lifetime. When the flag is held
// already (further up this thread's stack, or by another thread that is
// running Python code inside the claim), it raises `type(message)` and
// refuses; the caller returns its error result without touching the state.
class Busy {
public:
    Busy(int& flag, const char* message, PyObject* type = PyExc_ValueError) noexcept
        : flag_(flag), ok_(flag == 0) {
        if (ok_) {
            flag_ = 1;
        } else {
            PyErr_SetString(type, message);
        }
    }
    ~Busy() {
        if (ok_) {
            flag_ = 0;
        }
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;
    bool refused() const noexcept { return !ok_; }

private:
    int& flag_;
    bool ok_;
};

}  // namespace tavrin
