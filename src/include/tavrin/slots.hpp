// Pointing a class's own type slots straight at C++ implementations.
#pragma once

#include "ref.hpp"

namespace tavrin {

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

}  // namespace tavrin
