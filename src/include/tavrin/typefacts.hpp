// Per-type facts: the proofs behind every fast path.
//
// A fast path may stand in for a generic lookup (`obj.name`, a slot,
// `super(owner, self).name`) only where that lookup provably finds a fixed
// object whose behaviour we know: our own method descriptor, a built-in's
// slot wrapper or function, or nothing at all. A module writes the lookups
// its fast paths rely on as one table of rows, `{name, expected entry}`;
// `TypeFacts` answers every row for a type at once, as bits, and remembers
// the answers, negative ones too, per type and version tag. Any change to a
// type or to a class in its MRO gives the type a new tag, and tags are never
// reused, so a remembered answer can't go stale. An answer is remembered
// only if the tag did not change while it was computed: the lookups compare
// keys of class namespaces, which can run the `__eq__` of odd keys.
#pragma once

#include "lookup.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace tavrin {

// Bit i holds when row i of the module's table holds; module-specific
// facts computed beside the rows take the bits above them.
using Facts = std::uint32_t;

// One lookup a fast path relies on. The pointers are to the module's state,
// filled at module execution.
struct FactRow {
    PyObject* const* name;
    // What the lookup must find; a slot that holds null: nothing at all.
    PyObject* const* expected;
    // Where the lookup starts: after `*owner` in the MRO, as
    // `super(*owner, self).name` looks; for none, the type's whole MRO.
    PyTypeObject* const* owner = nullptr;
};

// Facts a module computes for itself, beside its rows: called with the
// rows' answers in `out`, adds its own bits.
using ExtraFacts = int (*)(PyTypeObject* type, Facts& out) noexcept;

template <std::size_t Rows>
class TypeFacts {
    static_assert(Rows <= 24, "rows leave room for a module's own facts");

public:
    constexpr explicit TypeFacts(const FactRow (&rows)[Rows], ExtraFacts extra = nullptr) noexcept
        : rows_(rows), extra_(extra) {}
    TypeFacts(const TypeFacts&) = delete;
    TypeFacts& operator=(const TypeFacts&) = delete;

    // Every fact about `type`, in `out`; -1 on error.
    int get(PyTypeObject* type, Facts& out) noexcept {
        const Entry& e = entries_[0];
        if (__builtin_expect(e.type == type && version_is(type, e.tag), 1)) {
            out = e.facts;
            return 0;
        }
        return get_other(type, out);
    }

    // 1 when every fact in `mask` holds for `type`, 0 when one does not,
    // -1 on error.
    int all(PyTypeObject* type, Facts mask) noexcept {
        Facts f;
        if (get(type, f) < 0) {
            return -1;
        }
        return (f & mask) == mask;
    }

    // Row r's fact about `type`: 1, 0, or -1 on error.
    int holds(PyTypeObject* type, unsigned r) noexcept { return all(type, Facts{1} << r); }

    const FactRow& row(unsigned r) const noexcept { return rows_[r]; }

private:
    struct Entry {
        PyTypeObject* type = nullptr;
        unsigned int tag = 0;
        Facts facts = 0;
    };
    static constexpr std::size_t kEntries = 4;

    // Out of line, so that the check of the most recent type stays a few
    // instructions. A hit moves to the front: a base class and a subclass
    // used in turn both stay.
    __attribute__((noinline)) int get_other(PyTypeObject* type, Facts& out) noexcept {
        for (std::size_t i = 1; i < kEntries; ++i) {
            if (entries_[i].type == type && version_is(type, entries_[i].tag)) {
                const Entry hit = entries_[i];
                entries_[i] = entries_[0];
                entries_[0] = hit;
                out = hit.facts;
                return 0;
            }
        }
        // The lookups may run Python code (the __eq__ of an odd key in a
        // class namespace) that lets the type go: it must outlive them.
        Ref held = Ref::borrow(reinterpret_cast<PyObject*>(type));
        const unsigned int tag = type_version(type);
        if (compute(type, out) < 0) {
            return -1;
        }
        if (tag != 0 && type_version(type) == tag) {
            for (std::size_t i = kEntries - 1; i > 0; --i) {
                entries_[i] = entries_[i - 1];
            }
            entries_[0] = Entry{type, tag, out};
        }
        return 0;
    }

    int compute(PyTypeObject* type, Facts& out) noexcept {
        out = 0;
        for (std::size_t r = 0; r < Rows; ++r) {
            const FactRow& row = rows_[r];
            Ref found;
            if (super_lookup(type, row.owner ? *row.owner : nullptr, *row.name, found) < 0) {
                return -1;
            }
            if (found.get() == *row.expected) {
                out |= Facts{1} << r;
            }
        }
        return extra_ ? extra_(type, out) : 0;
    }

    const FactRow* rows_;
    ExtraFacts extra_;
    Entry entries_[kEntries];
};

// Whether `obj.name` finds exactly what row r of `facts` expects (a row
// without an owner): the type's attribute lookup is the generic one, its
// MRO finds the entry, and no entry of the instance's __dict__ shadows it.
// 1 yes, 0 no (take the generic path), -1 error.
template <std::size_t Rows>
int attribute_is(PyObject* obj, TypeFacts<Rows>& facts, unsigned r) noexcept {
    // Held: the lookups may run Python code that gives obj another class.
    Ref held = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        return 0;
    }
    const int rc = facts.holds(type, r);
    if (rc <= 0 || type->tp_dictoffset == 0) {
        return rc;
    }
    Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    if (!dict) {
        return -1;
    }
    const int has = PyDict_Contains(dict.get(), *facts.row(r).name);
    return has < 0 ? -1 : !has;
}

// What a fast path that hands work to its base class does: `direct()` when
// row r holds for type(self), else `generic(owner, name)`, the call the
// generic code makes.
template <std::size_t Rows, class Direct, class Generic>
Ref base_or_generic(TypeFacts<Rows>& facts, unsigned r, PyObject* self, Direct&& direct, Generic&& generic) noexcept {
    const int lands = facts.holds(Py_TYPE(self), r);
    if (lands < 0) {
        return Ref();
    }
    if (lands) {
        return direct();
    }
    const FactRow& row = facts.row(r);
    return generic(row.owner ? *row.owner : nullptr, *row.name);
}

// `super(owner, self).name(*args)` for row r of `facts`, whose expected
// entry is a built-in's (`args` as a vectorcall's: `nargs` positionals,
// then the values of `kwnames`): `direct()`, the built-in's own code, when
// the row holds for type(self); the generic call when it does not. The one
// way a fast path hands work to its base class. For a row without an owner
// it is the call a type slot makes: `type(self).name(self, *args)`.
template <std::size_t Rows, class Direct>
Ref call_base(TypeFacts<Rows>& facts, unsigned r, PyObject* self, PyObject* const* args, std::size_t nargs,
              Direct&& direct, PyObject* kwnames = nullptr) noexcept {
    return base_or_generic(facts, r, self, static_cast<Direct&&>(direct), [&](PyTypeObject* owner, PyObject* name) {
        return call_super(self, owner, name, args, nargs, kwnames);
    });
}

// The same with the arguments written out: the positionals, then the
// values of `kwnames`.
template <std::size_t Rows, class Direct>
Ref call_base(TypeFacts<Rows>& facts, unsigned r, PyObject* self, std::initializer_list<PyObject*> args,
              Direct&& direct, PyObject* kwnames = nullptr) noexcept {
    const std::size_t nkw = kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return call_base(facts, r, self, args.begin(), args.size() - nkw, static_cast<Direct&&>(direct), kwnames);
}

// The same for a call whose arguments come as a type's init slot gets
// them, a tuple and a dict of keywords (or null): they are put in a
// vectorcall's form only when the generic call needs them.
template <std::size_t Rows, class Direct>
Ref call_base(TypeFacts<Rows>& facts, unsigned r, PyObject* self, PyObject* args, PyObject* kwargs,
              Direct&& direct) noexcept {
    return base_or_generic(facts, r, self, static_cast<Direct&&>(direct), [&](PyTypeObject* owner, PyObject* name) {
        const Py_ssize_t npos = PyTuple_GET_SIZE(args);
        const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
        if (nkw == 0) {
            return call_super(self, owner, name, &PyTuple_GET_ITEM(args, 0), static_cast<size_t>(npos));
        }
        // Our own copies: the keywords' dict is the caller's.
        Ref all = Ref::steal(PyTuple_New(npos + nkw));
        Ref kwnames = Ref::steal(PyTuple_New(nkw));
        if (!all || !kwnames) {
            return Ref();
        }
        for (Py_ssize_t i = 0; i < npos; ++i) {
            PyObject* a = PyTuple_GET_ITEM(args, i);
            Py_INCREF(a);
            PyTuple_SET_ITEM(all.get(), i, a);
        }
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        for (Py_ssize_t i = 0; i < nkw && PyDict_Next(kwargs, &pos, &k, &v); ++i) {
            Py_INCREF(k);
            PyTuple_SET_ITEM(kwnames.get(), i, k);
            Py_INCREF(v);
            PyTuple_SET_ITEM(all.get(), npos + i, v);
        }
        return call_super(self, owner, name, &PyTuple_GET_ITEM(all.get(), 0), static_cast<size_t>(npos),
                          kwnames.get());
    });
}

// A slot's int result as a call's: None, or empty on error.
inline Ref none_or_error(int rc) noexcept { return rc < 0 ? Ref() : Ref::borrow(Py_None); }

}  // namespace tavrin
