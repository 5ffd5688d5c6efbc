// tavrin.datastructures.rankmap: RankMap, a MutableMapping that keeps its
// values in a dict (`_data`) and its key order in a list (`_order`), with
// positional insert and move.
//
// Both structures are ordinary instance attributes, read through attribute
// lookup on every call, so a subclass or a caller can see and replace them.
// The fast paths below apply only while `_data` is an exact dict, `_order`
// an exact list and both hold as many keys; anything else (a caller who
// replaced or grew one of them behind our back) takes the general path,
// which performs the documented steps one by one.
#include <tavrin/module.hpp>

#include <algorithm>
#include <cstring>
#include <vector>

using tavrin::Kind;
using tavrin::PendingError;
using tavrin::RecursionGuard;
using tavrin::Ref;

namespace {

// Process-wide state, filled once by the module body.
struct State {
    PyObject* MutableMapping = nullptr;
    PyTypeObject* RankMap = nullptr;
    PyObject* unpack_pair = nullptr;  // Python helper for unusual update elements

    // Our own descriptors as the class holds them.
    PyObject* rm_getitem = nullptr;
    PyObject* rm_setitem = nullptr;
    PyObject* rm_delitem = nullptr;
    PyObject* rm_iter = nullptr;
    PyObject* rm_items = nullptr;
    PyObject* rm_update = nullptr;
    PyObject* rm_len = nullptr;

    PyObject* s_data = nullptr;
    PyObject* s_order = nullptr;
    PyObject* s_update = nullptr;
    PyObject* s_items = nullptr;
    PyObject* s_class = nullptr;
    PyObject* s_name = nullptr;
    PyObject* s_getitem = nullptr;
    PyObject* s_setitem = nullptr;
    PyObject* s_delitem = nullptr;
    PyObject* s_iter = nullptr;
    PyObject* s_len = nullptr;
    PyObject* s_append = nullptr;
    PyObject* s_remove = nullptr;
    PyObject* s_index = nullptr;
    PyObject* s_pop = nullptr;
    PyObject* s_insert = nullptr;
};
State S;

// ------------------------------------------------------------------ helpers

// raise KeyError(key), as dict does it: the arguments are given as a
// 1-tuple so that a tuple key stays one argument.
void set_key_error(PyObject* key) {
    Ref args = Ref::steal(PyTuple_Pack(1, key));
    if (args) {
        PyErr_SetObject(PyExc_KeyError, args.get());
    }
}

// What the generic lookups would find for objects of one type: whether
// `obj._data` and `obj._order` are plain entries of the instance dict
// (generic attribute lookup, and no class in the MRO defines either name: no
// property in a subclass, no class attribute), and which of our methods the
// special names, `items` and `update` still resolve to.
enum Row : unsigned {
    NO_CLASS_DATA,
    NO_CLASS_ORDER,
    ROW_GETITEM,
    ROW_SETITEM,
    ROW_DELITEM,
    ROW_LEN,
    ROW_ITER,
    ROW_ITEMS,
    ROW_UPDATE,
    ROWS
};
PyObject* const nothing = nullptr;
const tavrin::FactRow rows[ROWS] = {
    {&S.s_data, &nothing},           {&S.s_order, &nothing},          {&S.s_getitem, &S.rm_getitem},
    {&S.s_setitem, &S.rm_setitem},   {&S.s_delitem, &S.rm_delitem},   {&S.s_len, &S.rm_len},
    {&S.s_iter, &S.rm_iter},         {&S.s_items, &S.rm_items},       {&S.s_update, &S.rm_update},
};

enum Fact : tavrin::Facts {
    OWN_GETITEM = 1u << ROW_GETITEM,
    OWN_SETITEM = 1u << ROW_SETITEM,
    OWN_DELITEM = 1u << ROW_DELITEM,
    OWN_LEN = 1u << ROW_LEN,
    OWN_ITER = 1u << ROW_ITER,
    PLAIN_STATE = 1u << ROWS,
};

int plain_state(PyTypeObject* type, tavrin::Facts& out) noexcept {
    const tavrin::Facts unshadowed = (1u << NO_CLASS_DATA) | (1u << NO_CLASS_ORDER);
    if (type->tp_getattro == PyObject_GenericGetAttr && (out & unshadowed) == unshadowed) {
        out |= PLAIN_STATE;
    }
    return 0;
}
tavrin::TypeFacts<ROWS> type_facts(rows, plain_state);

// The facts for type(obj); -1 on error.
int facts_of(PyObject* obj, tavrin::Facts& facts) noexcept { return type_facts.get(Py_TYPE(obj), facts); }

// dict[name] for one of our interned attribute names, looked for first at
// the position where it was found last: the instance dicts of one class list
// their attributes in the same order, so that is nearly always right, and
// reading one entry by position costs a fraction of a hash lookup. The entry
// found there is used only if its key is our very name object; a dict holds
// one key per value of `==`, so that entry is dict[name]. PyDict_Next runs
// no Python code. 1 found, 0 missing, -1 error.
//
// A position handed out by one dict is passed to another here, which the C
// API does not promise to allow. It holds on 3.9 to 3.13: a position is an
// index into the dict's table of entries (into its insertion order for a
// split table), PyDict_Next skips deleted entries from there and returns
// false for any position outside the table, and the key it hands back is
// one the dict holds. tests/test_rankmap.py reads the state through dicts of
// other layouts in turn (positions past the end, on deleted entries, on
// other keys), which shows the day that changes, under ASan at the latest.
__attribute__((noinline)) int instance_entry_search(PyObject* dict, PyObject* name, Py_ssize_t& hint, Ref& out) {
    // Learn the position anew from the first few entries (a class's own
    // attributes come first); further out, a plain lookup serves.
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    for (Py_ssize_t seen = 0; seen < 8; ++seen) {
        const Py_ssize_t at = pos;
        if (!PyDict_Next(dict, &pos, &key, &value)) {
            break;
        }
        if (key == name) {
            hint = at;
            out = Ref::borrow(value);
            return 1;
        }
    }
    return tavrin::dict_get_ref(dict, name, out);
}

inline int instance_entry(PyObject* dict, PyObject* name, Py_ssize_t& hint, Ref& out) {
    Py_ssize_t pos = hint;
    PyObject *key = nullptr, *value = nullptr;
    if (PyDict_Next(dict, &pos, &key, &value) && key == name) {
        out = Ref::borrow(value);
        return 1;
    }
    return instance_entry_search(dict, name, hint, out);
}

Py_ssize_t data_hint = 0, order_hint = 1;  // where __init__ puts them

// self.<name> as the generic attribute lookup gives it: read straight from
// the instance dict where the type's facts allow, else (and for the exact
// AttributeError of a missing entry) through PyObject_GetAttr.
Ref get_state(PyObject* self, PyObject* name, tavrin::Facts facts) {
    if (facts & PLAIN_STATE) {
        Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
        if (!dict) {
            return Ref();
        }
        Ref out;
        const int found = instance_entry(dict.get(), name, name == S.s_data ? data_hint : order_hint, out);
        if (found != 0) {
            return out;  // the value, or empty with the error set
        }
    }
    return Ref::steal(PyObject_GetAttr(self, name));
}

Ref get_state(PyObject* self, PyObject* name) {
    tavrin::Facts facts = 0;
    if (facts_of(self, facts) < 0) {
        return Ref();
    }
    return get_state(self, name, facts);
}

Ref get_data(PyObject* self) { return get_state(self, S.s_data); }
Ref get_order(PyObject* self) { return get_state(self, S.s_order); }
Ref get_data(PyObject* self, tavrin::Facts facts) { return get_state(self, S.s_data, facts); }
Ref get_order(PyObject* self, tavrin::Facts facts) { return get_state(self, S.s_order, facts); }

// Whether the two structures are in the shape the fast paths rely on:
// our own exact types, as many keys in each. Reordering `keys()` keeps it;
// adding or removing through `keys()` or `_data` breaks it, and then the
// documented steps run instead.
bool in_step(PyObject* data, PyObject* order) {
    return PyDict_CheckExact(data) && PyList_CheckExact(order) &&
           PyDict_GET_SIZE(data) == PyList_GET_SIZE(order);
}

// The position argument of insert/move as list.insert converts it, with
// list.insert's own messages on every supported version.
int to_position(PyObject* position, Py_ssize_t& out) {
    if (PyLong_CheckExact(position)) {
        out = PyLong_AsSsize_t(position);
        return (out == -1 && PyErr_Occurred()) ? -1 : 0;
    }
    if (tavrin::refuses_float_position(position)) {
        return -1;
    }
    Ref index = Ref::steal(PyNumber_Index(position));
    if (!index) {
        return -1;
    }
    out = PyLong_AsSsize_t(index.get());
    return (out == -1 && PyErr_Occurred()) ? -1 : 0;
}

// list.insert's placement rule for a list of n elements.
Py_ssize_t clamp_position(Py_ssize_t pos, Py_ssize_t n) {
    if (pos < 0) {
        pos += n;
        return pos < 0 ? 0 : pos;
    }
    return pos > n ? n : pos;
}

// Index of `elem` in the exact list `order` by identity, or -1. Runs no
// Python code, so it is safe to use after one of our calls into Python to
// find an element we hold a strong reference to.
Py_ssize_t find_identical(PyObject* order, PyObject* elem) {
    const Py_ssize_t n = PyList_GET_SIZE(order);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyList_GET_ITEM(order, i) == elem) {
            return i;
        }
    }
    return -1;
}

// Index of the element of the exact list `order` that stands for `key`:
// the key object itself (the order list holds the very objects the store
// holds, so a key handed back to us is usually found without calling
// __eq__ at all), else the first element equal to it. -1 when absent, -2
// on error. __eq__ may change the list: each comparison holds its element
// and the length is re-read every step, as list.index does. The index is
// as the search left the list; `elem` receives the element found, for the
// caller to find again by identity after anything that changed the list.
Py_ssize_t find_key(PyObject* order, PyObject* key, Ref* elem = nullptr) {
    const Py_ssize_t same = find_identical(order, key);
    if (same >= 0) {
        if (elem) {
            *elem = Ref::borrow(key);
        }
        return same;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(order); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(order, i));
        const int eq = PyObject_RichCompareBool(item.get(), key, Py_EQ);
        if (eq < 0) {
            return -2;
        }
        if (eq > 0) {
            if (elem) {
                *elem = std::move(item);
            }
            return i;
        }
    }
    return -1;
}

// `key in order` for any order object.
int order_contains(PyObject* order, PyObject* key) {
    if (PyList_CheckExact(order)) {
        const Py_ssize_t i = find_key(order, key);
        return i == -2 ? -1 : i >= 0;
    }
    return PySequence_Contains(order, key);
}

// order.append(key) for any order object.
int order_append(PyObject* order, PyObject* key) {
    if (PyList_CheckExact(order)) {
        return PyList_Append(order, key);
    }
    return Ref::steal(PyObject_CallMethodObjArgs(order, S.s_append, key, nullptr)) ? 0 : -1;
}

// Takes back an element we just added to an exact list, found by identity
// (the failed step after it may have run Python code that moved things).
void drop_added(PyObject* order, PyObject* key) {
    if (!PyList_CheckExact(order)) {
        return;
    }
    PendingError failure;
    const Py_ssize_t n = PyList_GET_SIZE(order);
    for (Py_ssize_t i = n - 1; i >= 0; --i) {
        if (PyList_GET_ITEM(order, i) == key) {
            if (PyList_SetSlice(order, i, i + 1, nullptr) < 0) {
                PyErr_Clear();
            }
            break;
        }
    }
    failure.restore();
}

// After the store took a key in the fast path: one call into Python (a key's
// __eq__ or __hash__, a replaced value's finaliser) may have run our own
// methods on this mapping meanwhile, and each of those leaves the two
// structures agreeing. So the store now holds exactly one key more than the
// order list when, and only when, `key` still has to go into the list. Any
// other difference means the structures were changed behind our back; then
// the documented rule (add the key when no element equals it) decides.
// `where` is the insert position, or PY_SSIZE_T_MAX to append.
int place_after_store(PyObject* data, PyObject* order, PyObject* key, Py_ssize_t where) {
    const Py_ssize_t nd = PyDict_GET_SIZE(data), no = PyList_GET_SIZE(order);
    int add;
    if (nd == no + 1) {
        add = 1;
    } else if (nd == no) {
        add = 0;
    } else {
        const int has = order_contains(order, key);
        if (has < 0) {
            return -1;
        }
        add = !has;
    }
    if (!add) {
        return 0;
    }
    const int rc = where == PY_SSIZE_T_MAX ? PyList_Append(order, key) : PyList_Insert(order, where, key);
    if (rc < 0) {
        // Out of memory: take the key back out of the store so both agree.
        PendingError failure;
        if (PyDict_DelItem(data, key) < 0) {
            PyErr_Clear();
        }
        failure.restore();
    }
    return rc;
}

// ------------------------------------------------------------- operations

Ref getitem_impl(PyObject* self, PyObject* key, tavrin::Facts facts) {
    Ref data = get_data(self, facts);
    if (!data) {
        return Ref();
    }
    if (PyDict_CheckExact(data.get())) {
        // dict's own subscript without the dispatch: an exact dict has no
        // __missing__.
        Ref value;
        if (tavrin::dict_get_ref(data.get(), key, value) == 0) {
            set_key_error(key);
        }
        return value;
    }
    return Ref::steal(PyObject_GetItem(data.get(), key));
}

int setitem_impl(PyObject* self, PyObject* key, PyObject* value, tavrin::Facts facts) {
    Ref order = get_order(self, facts);
    if (!order) {
        return -1;
    }
    Ref data = get_data(self, facts);
    if (!data) {
        return -1;
    }
    if (in_step(data.get(), order.get())) {
        // While both hold the same keys, "not in the order list" is "not in
        // the store": one hash lookup instead of a scan of the list.
        if (PyDict_SetItem(data.get(), key, value) < 0) {
            return -1;
        }
        return place_after_store(data.get(), order.get(), key, PY_SSIZE_T_MAX);
    }
    // The documented steps: scan, append, store; a store that fails takes
    // the appended key back.
    const int has = order_contains(order.get(), key);
    if (has < 0) {
        return -1;
    }
    if (!has && order_append(order.get(), key) < 0) {
        return -1;
    }
    if (PyObject_SetItem(data.get(), key, value) < 0) {
        if (!has) {
            drop_added(order.get(), key);
        }
        return -1;
    }
    return 0;
}

int delitem_impl(PyObject* self, PyObject* key, tavrin::Facts facts) {
    Ref data = get_data(self, facts);
    if (!data) {
        return -1;
    }
    Ref order = get_order(self, facts);
    if (!order) {
        return -1;
    }
    if (!in_step(data.get(), order.get())) {
        if (PyObject_DelItem(data.get(), key) < 0) {
            return -1;
        }
        return Ref::steal(PyObject_CallMethodObjArgs(order.get(), S.s_remove, key, nullptr)) ? 0 : -1;
    }
    // Find the key in both before removing it from either, so that a key
    // whose __hash__ or __eq__ raises leaves both as they were.
    Ref value;
    const int found = tavrin::dict_get_ref(data.get(), key, value);
    if (found < 0) {
        return -1;
    }
    if (!found) {
        set_key_error(key);
        return -1;
    }
    Ref elem;
    Py_ssize_t index = find_key(order.get(), key, &elem);
    if (index == -2) {
        return -1;
    }
    if (PyDict_DelItem(data.get(), key) < 0) {
        return -1;
    }
    if (!elem) {
        // The search ran Python code, which may have put the key back in
        // front of where it had got to: the documented removal searches now.
        index = find_key(order.get(), key, &elem);
        if (index == -2) {
            return -1;
        }
        if (index == -1) {
            PyErr_SetString(PyExc_ValueError, "list.remove(x): x not in list");
            return -1;
        }
    }
    // The deletion ran Python code (hash, __eq__, the old value's
    // finaliser): find the element again by identity before removing it.
    if (index >= PyList_GET_SIZE(order.get()) || PyList_GET_ITEM(order.get(), index) != elem.get()) {
        index = find_identical(order.get(), elem.get());
        if (index < 0) {
            return 0;  // already gone with the key, through a nested call
        }
    }
    return PyList_SetSlice(order.get(), index, index + 1, nullptr);
}

// self[key] = value as the interpreter would run it: our own code directly
// when type(self).__setitem__ is ours.
int assign(PyObject* self, PyObject* key, PyObject* value) {
    tavrin::Facts facts = 0;
    if (facts_of(self, facts) < 0) {
        return -1;
    }
    return (facts & OWN_SETITEM) ? setitem_impl(self, key, value, facts) : PyObject_SetItem(self, key, value);
}

// One element of update's positional argument.
int update_element(PyObject* self, PyObject* element, Py_ssize_t index) {
    Ref key, value;
    if (PyTuple_CheckExact(element) && PyTuple_GET_SIZE(element) == 2) {
        key = Ref::borrow(PyTuple_GET_ITEM(element, 0));
        value = Ref::borrow(PyTuple_GET_ITEM(element, 1));
    } else {
        const Py_ssize_t len = PyObject_Size(element);
        if (len < 0) {
            return -1;
        }
        if (len != 2) {
            PyErr_Format(PyExc_ValueError, "update sequence element #%zd has length %zd; 2 is required", index,
                         len);
            return -1;
        }
        if (PyList_CheckExact(element) && PyList_GET_SIZE(element) == 2) {
            key = Ref::borrow(PyList_GET_ITEM(element, 0));
            value = Ref::borrow(PyList_GET_ITEM(element, 1));
        } else {
            // Unpacking iterates; the interpreter's own unpacking gives its messages.
            Ref pair = Ref::steal(PyObject_CallOneArg(S.unpack_pair, element));
            if (!pair) {
                return -1;
            }
            key = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0));
            value = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1));
        }
    }
    return assign(self, key.get(), value.get());
}

int update_impl(PyObject* self, PyObject* const* pos, Py_ssize_t npos, PyObject* kwargs) {
    if (npos > 1) {
        PyErr_Format(PyExc_TypeError, "expected at most 1 arguments, got %zd", npos);
        return -1;
    }
    if (npos == 1) {
        Ref it = Ref::steal(PyObject_GetIter(pos[0]));
        if (!it) {
            return -1;
        }
        for (Py_ssize_t index = 0;; ++index) {
            Ref element = Ref::steal(PyIter_Next(it.get()));
            if (!element) {
                if (PyErr_Occurred()) {
                    return -1;
                }
                break;
            }
            if (update_element(self, element.get(), index) < 0) {
                return -1;
            }
        }
    }
    if (kwargs) {
        // Our own fresh dict of the call's keywords: nothing else can change it.
        Py_ssize_t i = 0;
        PyObject *k, *v;
        while (PyDict_Next(kwargs, &i, &k, &v)) {
            Ref key = Ref::borrow(k), value = Ref::borrow(v);
            if (assign(self, key.get(), value.get()) < 0) {
                return -1;
            }
        }
    }
    return 0;
}

// self.items(), looked up on the object.
Ref items_impl(PyObject* self);

Ref call_items(PyObject* self) {
    const int own = tavrin::attribute_is(self, type_facts, ROW_ITEMS);
    if (own < 0) {
        return Ref();
    }
    if (own) {
        return items_impl(self);
    }
    Ref method = Ref::steal(PyObject_GetAttr(self, S.s_items));
    if (!method) {
        return Ref();
    }
    return Ref::steal(PyObject_CallNoArgs(method.get()));
}

// Reads the values for the elements of the order list, one after another.
// The store's own entries are read alongside, in their insertion order:
// wherever that agrees with the order list (the list element is the very key
// object of the next entry) the value is taken from there, and only keys out
// of that order are looked up by hash. Same values, but sequential memory
// access for large maps. The entry is read afresh for every element and used
// before anything else runs: the pointers PyDict_Next hands out are borrowed.
class StoreWalk {
public:
    explicit StoreWalk(PyObject* data) noexcept : data_(data) {}

    // The store's key object and value for `element`: 1 found, 0 missing,
    // -1 error.
    int next(PyObject* element, Ref& key, Ref& value) noexcept {
        Py_ssize_t at = cursor_;
        PyObject *entry_key = nullptr, *entry_value = nullptr;
        if (PyDict_Next(data_, &at, &entry_key, &entry_value) && entry_key == element) {
            key = Ref::borrow(entry_key);
            value = Ref::borrow(entry_value);
            cursor_ = at;
            return 1;
        }
        key = Ref::borrow(element);
        return tavrin::dict_get_ref(data_, key.get(), value);
    }

private:
    PyObject* data_;  // an exact dict the caller holds a reference to
    Py_ssize_t cursor_ = 0;
};

// The documented way: the store's pairs, sorted by each key's index in the
// order list (a stable sort on precomputed indices, like sorted(key=...)).
Ref items_by_index(PyObject* data, PyObject* order) {
    // The index table is a std::vector: a failed allocation becomes MemoryError.
    return tavrin::guarded(Ref(), [&]() -> Ref {
        Ref pairs = Ref::steal(PyMapping_Items(data));
        if (!pairs) {
            return Ref();
        }
        // Read by position while `index` runs Python code: out of reach of
        // gc.get_objects() there, so that it stays exactly as made.
        PyObject_GC_UnTrack(pairs.get());
        const Py_ssize_t n = PyList_GET_SIZE(pairs.get());
        std::vector<std::pair<Py_ssize_t, Py_ssize_t>> rank;
        rank.reserve(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* pair = PyList_GET_ITEM(pairs.get(), i);
            Ref key = Ref::steal(PySequence_GetItem(pair, 0));
            if (!key) {
                return Ref();
            }
            Ref index = Ref::steal(PyObject_CallMethodObjArgs(order, S.s_index, key.get(), nullptr));
            if (!index) {
                return Ref();
            }
            const Py_ssize_t at = PyLong_AsSsize_t(index.get());
            if (at == -1 && PyErr_Occurred()) {
                return Ref();
            }
            rank.emplace_back(at, i);
        }
        // `pairs` is our own list, out of anyone's reach: still as made.
        std::stable_sort(rank.begin(), rank.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        Ref result = Ref::steal(PyList_New(n));
        if (!result) {
            return Ref();
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* pair = PyList_GET_ITEM(pairs.get(), rank[static_cast<size_t>(i)].second);
            Py_INCREF(pair);
            PyList_SET_ITEM(result.get(), i, pair);
        }
        return result;
    });
}

Ref items_impl(PyObject* self) {
    Ref data = get_data(self);
    if (!data) {
        return Ref();
    }
    Ref order = get_order(self);
    if (!order) {
        return Ref();
    }
    if (in_step(data.get(), order.get())) {
        // Walking the order list gives the sorted result in linear time, as
        // long as every element is a key of the store and the sizes stay put
        // (a lookup may run __eq__, an allocation the cycle collector). On
        // any surprise the documented algorithm decides.
        const Py_ssize_t n = PyList_GET_SIZE(order.get());
        Ref result = Ref::steal(PyList_New(n));
        if (!result) {
            return Ref();
        }
        // Its slots are empty until filled, and a lookup may run Python code
        // (gc.get_objects() among it): out of the collector's sight till then.
        PyObject_GC_UnTrack(result.get());
        StoreWalk walk(data.get());
        Py_ssize_t i = 0;
        for (; i < n; ++i) {
            if (PyList_GET_SIZE(order.get()) != n || PyDict_GET_SIZE(data.get()) != n) {
                break;
            }
            Ref key, value;
            const int found = walk.next(PyList_GET_ITEM(order.get(), i), key, value);
            if (found < 0) {
                return Ref();
            }
            if (!found) {
                break;
            }
            PyObject* pair = PyTuple_Pack(2, key.get(), value.get());
            if (!pair) {
                return Ref();
            }
            PyList_SET_ITEM(result.get(), i, pair);
        }
        if (i == n && PyList_GET_SIZE(order.get()) == n && PyDict_GET_SIZE(data.get()) == n) {
            PyObject_GC_Track(result.get());
            return result;
        }
    }
    return items_by_index(data.get(), order.get());
}

// [self[k] for k in self], walking our own structures when both special
// methods are ours.
Ref values_impl(PyObject* self) {
    tavrin::Facts facts = 0;
    if (facts_of(self, facts) < 0) {
        return Ref();
    }
    const bool own = (facts & OWN_ITER) && (facts & OWN_GETITEM);
    Ref result = Ref::steal(PyList_New(0));
    if (!result) {
        return Ref();
    }
    Ref order, data;
    if (own) {
        if (!(order = get_order(self)) || !(data = get_data(self))) {
            return Ref();
        }
    }
    if (own && PyList_CheckExact(order.get()) && PyDict_CheckExact(data.get())) {
        // A list iterator re-reads the length every step; so do we.
        StoreWalk walk(data.get());
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(order.get()); ++i) {
            Ref key, value;
            const int found = walk.next(PyList_GET_ITEM(order.get(), i), key, value);
            if (found == 0) {
                set_key_error(key.get());
            }
            if (found <= 0 || PyList_Append(result.get(), value.get()) < 0) {
                return Ref();
            }
        }
        return result;
    }
    Ref it = Ref::steal(own ? PyObject_GetIter(order.get()) : PyObject_GetIter(self));
    if (!it) {
        return Ref();
    }
    for (;;) {
        Ref key = Ref::steal(PyIter_Next(it.get()));
        if (!key) {
            if (PyErr_Occurred()) {
                return Ref();
            }
            return result;
        }
        Ref value = Ref::steal(own ? PyObject_GetItem(data.get(), key.get()) : PyObject_GetItem(self, key.get()));
        if (!value || PyList_Append(result.get(), value.get()) < 0) {
            return Ref();
        }
    }
}

int insert_impl(PyObject* self, PyObject* key, PyObject* value, PyObject* position) {
    Ref order = get_order(self);
    if (!order) {
        return -1;
    }
    Ref data = get_data(self);
    if (!data) {
        return -1;
    }
    const bool fast = in_step(data.get(), order.get());
    // While both hold the same keys the store answers "already there"; an
    // unhashable key fails here with the store's TypeError, as the store
    // step would, before anything changed.
    const int present = fast ? PyDict_Contains(data.get(), key) : order_contains(order.get(), key);
    if (present < 0) {
        return -1;
    }
    if (present) {
        // Formatted as `"%s ..." % (key,)`, so a tuple key is one value.
        Ref msg = Ref::steal(PyUnicode_FromFormat("%S already exist in Report", key));
        if (msg) {
            set_key_error(msg.get());
        }
        return -1;
    }
    // A position list.insert would refuse is refused before the store changes.
    Py_ssize_t where = 0;
    if (to_position(position, where) < 0) {
        return -1;
    }
    if (fast && in_step(data.get(), order.get())) {
        if (PyDict_SetItem(data.get(), key, value) < 0) {
            return -1;
        }
        return place_after_store(data.get(), order.get(), key, where);
    }
    if (PyObject_SetItem(data.get(), key, value) < 0) {
        return -1;
    }
    int rc;
    if (PyList_CheckExact(order.get())) {
        rc = PyList_Insert(order.get(), where, key);
    } else {
        rc = Ref::steal(PyObject_CallMethodObjArgs(order.get(), S.s_insert, position, key, nullptr)) ? 0 : -1;
    }
    if (rc < 0) {
        PendingError failure;
        if (PyObject_DelItem(data.get(), key) < 0) {
            PyErr_Clear();
        }
        failure.restore();
    }
    return rc;
}

int move_impl(PyObject* self, PyObject* key, PyObject* position) {
    Ref order = get_order(self);
    if (!order) {
        return -1;
    }
    if (!PyList_CheckExact(order.get())) {
        // Another sequence type: the documented calls one by one, putting
        // the key back where it was if the insertion fails.
        const int has = PySequence_Contains(order.get(), key);
        if (has <= 0) {
            if (has == 0) {
                set_key_error(key);
            }
            return -1;
        }
        Ref index = Ref::steal(PyObject_CallMethodObjArgs(order.get(), S.s_index, key, nullptr));
        if (!index) {
            return -1;
        }
        Ref elem = Ref::steal(PyObject_CallMethodObjArgs(order.get(), S.s_pop, index.get(), nullptr));
        if (!elem) {
            return -1;
        }
        if (!Ref::steal(PyObject_CallMethodObjArgs(order.get(), S.s_insert, position, elem.get(), nullptr))) {
            PendingError failure;
            if (!Ref::steal(PyObject_CallMethodObjArgs(order.get(), S.s_insert, index.get(), elem.get(), nullptr))) {
                PyErr_Clear();
            }
            failure.restore();
            return -1;
        }
        return 0;
    }
    Ref elem;
    Py_ssize_t index = find_key(order.get(), key, &elem);
    if (index == -2) {
        return -1;
    }
    if (index == -1) {
        set_key_error(key);
        return -1;
    }
    // Validated before the list changes, so a bad position changes nothing.
    Py_ssize_t where = 0;
    if (to_position(position, where) < 0) {
        return -1;
    }
    // __index__ and __eq__ are Python code: find the element again.
    if (index >= PyList_GET_SIZE(order.get()) || PyList_GET_ITEM(order.get(), index) != elem.get()) {
        index = find_identical(order.get(), elem.get());
        if (index < 0) {
            set_key_error(key);
            return -1;
        }
    }
    // Removing the element and inserting it among the other n - 1 is a
    // rotation of the span between the two indices: no references change
    // hands and no Python code runs.
    const Py_ssize_t n = PyList_GET_SIZE(order.get());
    const Py_ssize_t target = clamp_position(where, n - 1);
    PyObject** items = PySequence_Fast_ITEMS(order.get());
    PyObject* moving = items[index];
    if (target < index) {
        std::memmove(items + target + 1, items + target, static_cast<size_t>(index - target) * sizeof(PyObject*));
    } else if (target > index) {
        std::memmove(items + index, items + index + 1, static_cast<size_t>(target - index) * sizeof(PyObject*));
    }
    items[target] = moving;
    return 0;
}

int clear_impl(PyObject* self) {
    // The old structures are held until both attributes are replaced:
    // dropping the store can finalize a value whose __del__ uses this very
    // mapping, and it must find the new store and order list together, not
    // a new store beside the old order list.
    Ref old_data, old_order;
    if (PyObject* dict = PyObject_GenericGetDict(self, nullptr)) {
        Ref d = Ref::steal(dict);
        if (PyDict_Check(d.get()) && (tavrin::dict_get_ref(d.get(), S.s_data, old_data) < 0 ||
                                      tavrin::dict_get_ref(d.get(), S.s_order, old_order) < 0)) {
            return -1;
        }
    } else {
        PyErr_Clear();  // no instance dict: the assignments below say what fails
    }
    Ref data = Ref::steal(PyDict_New());
    if (!data || PyObject_SetAttr(self, S.s_data, data.get()) < 0) {
        return -1;
    }
    Ref order = Ref::steal(PyList_New(0));
    if (!order || PyObject_SetAttr(self, S.s_order, order.get()) < 0) {
        return -1;
    }
    return 0;
}

int init_impl(PyObject* self, PyObject* const* pos, Py_ssize_t npos, PyObject* kwargs) {
    if (clear_impl(self) < 0) {
        return -1;
    }
    // self.update(*args, **kwargs)
    const int own = tavrin::attribute_is(self, type_facts, ROW_UPDATE);
    if (own < 0) {
        return -1;
    }
    if (own) {
        return update_impl(self, pos, npos, kwargs);
    }
    return tavrin::call_attribute(self, S.s_update, pos, npos, kwargs) ? 0 : -1;
}

Ref repr_impl(PyObject* self) {
    Ref cls = Ref::steal(PyObject_GetAttr(self, S.s_class));
    if (!cls) {
        return Ref();
    }
    Ref name = Ref::steal(PyObject_GetAttr(cls.get(), S.s_name));
    if (!name) {
        return Ref();
    }
    // A mapping that holds itself shows "..." there instead of recursing.
    const int busy = Py_ReprEnter(self);
    if (busy != 0) {
        return busy > 0 ? Ref::steal(PyUnicode_FromString("...")) : Ref();
    }
    Ref out;
    Ref items = call_items(self);
    if (items) {
        Ref list = PyList_CheckExact(items.get()) ? std::move(items) : Ref::steal(PySequence_List(items.get()));
        if (list) {
            out = Ref::steal(PyUnicode_FromFormat("%S(%R)", name.get(), list.get()));
        }
    }
    Py_ReprLeave(self);
    return out;
}

// self._data == other._data and then self._order == other._order, as the
// steps are written; empty on error.
Ref eq_steps(PyObject* self, PyObject* other) {
    Ref mine = get_data(self);
    if (!mine) {
        return Ref();
    }
    Ref theirs = get_data(other);
    if (!theirs) {
        return Ref();
    }
    Ref same = Ref::steal(PyObject_RichCompare(mine.get(), theirs.get(), Py_EQ));
    if (!same) {
        return Ref();
    }
    const int truth = PyObject_IsTrue(same.get());
    if (truth <= 0) {
        return truth < 0 ? Ref() : std::move(same);
    }
    Ref my_order = get_order(self);
    if (!my_order) {
        return Ref();
    }
    Ref their_order = get_order(other);
    if (!their_order) {
        return Ref();
    }
    return Ref::steal(PyObject_RichCompare(my_order.get(), their_order.get(), Py_EQ));
}

// self == other, with every Exception turned into False. KeyboardInterrupt,
// SystemExit and the other non-Exception signals still propagate.
Ref eq_impl(PyObject* self, PyObject* other) {
    Ref result = eq_steps(self, other);
    if (result || !PyErr_ExceptionMatches(PyExc_Exception)) {
        return result;
    }
    PyErr_Clear();
    return Ref::borrow(Py_False);
}

// -------------------------------------------------------------- the members

// reentry.hpp rule 2: each assignment reads _data and _order anew.
TAVRIN_METHOD(f_init, rankmap_init, "__init__", "$self, *args, **kwargs",
              "Start empty, then add the arguments with `self.update(*args, **kwargs)`: an\n"
              "iterable of (key, value) pairs and/or keywords, in that order.") {
    std::pair<PyObject* const*, Py_ssize_t> star;
    Ref kw;
    if (!f_init.bind(self, args, nargs, kwnames, nullptr, &star, &kw)) {
        return nullptr;
    }
    if (init_impl(self, star.first, star.second, kw.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// reentry.hpp rule 2: one lookup in the store it holds.
TAVRIN_METHOD(f_getitem, rankmap_getitem, "__getitem__", "$self, name", nullptr) {
    PyObject* key;
    if (!f_getitem.bind(self, args, nargs, kwnames, &key)) {
        return nullptr;
    }
    tavrin::Facts facts = 0;
    if (facts_of(self, facts) < 0) {
        return nullptr;
    }
    return getitem_impl(self, key, facts).release();
}

// reentry.hpp rule 2: sizes re-read after the store ran the key's code.
TAVRIN_METHOD(f_setitem, rankmap_setitem, "__setitem__", "$self, name, value", nullptr) {
    PyObject* argv[2];
    if (!f_setitem.bind(self, args, nargs, kwnames, argv)) {
        return nullptr;
    }
    tavrin::Facts facts = 0;
    if (facts_of(self, facts) < 0 || setitem_impl(self, argv[0], argv[1], facts) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// reentry.hpp rule 2: the element is found again by identity after the deletion.
TAVRIN_METHOD(f_delitem, rankmap_delitem, "__delitem__", "$self, name", nullptr) {
    PyObject* key;
    if (!f_delitem.bind(self, args, nargs, kwnames, &key)) {
        return nullptr;
    }
    tavrin::Facts facts = 0;
    if (facts_of(self, facts) < 0 || delitem_impl(self, key, facts) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// reentry.hpp rule 2: a list iterator, which re-reads the list every step.
TAVRIN_METHOD(f_iter, rankmap_iter, "__iter__", "$self", nullptr) {
    if (!f_iter.bind(self, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    Ref order = get_order(self);
    return order ? PyObject_GetIter(order.get()) : nullptr;
}

// reentry.hpp rule 2: sizes re-read every step; the documented sort on any surprise.
TAVRIN_METHOD(f_items, rankmap_items, "items", "$self",
              "A new list of the (key, value) pairs in the mapping's order.") {
    if (!f_items.bind(self, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    return items_impl(self).release();
}

// reentry.hpp rule 2: the old structures are held until both are replaced.
TAVRIN_METHOD(f_clear, rankmap_clear, "clear", "$self",
              "Remove every key. The store and the order list are replaced by new empty\n"
              "ones; a list obtained from keys() before keeps the old keys.") {
    if (!f_clear.bind(self, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    if (clear_impl(self) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// reentry.hpp rule 2: keeps nothing between its two calls.
TAVRIN_METHOD(f_copy, rankmap_copy, "copy", "$self",
              "A shallow copy: type(self)(self.items()), same keys in the same order, same\n"
              "value objects.") {
    if (!f_copy.bind(self, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    Ref items = call_items(self);
    if (!items) {
        return nullptr;
    }
    return PyObject_CallOneArg(reinterpret_cast<PyObject*>(Py_TYPE(self)), items.get());
}

// reentry.hpp rule 2: the fast path is re-checked after the position's code ran.
TAVRIN_METHOD(f_insert, rankmap_insert, "insert", "$self, key, value, position",
              "Add a new key with its value in front of the key now at `position`.\n"
              "\n"
              "`position` counts as a list index does: 0 puts the key first, a position at\n"
              "or past the end appends it, and a negative one counts from the end, so -1\n"
              "puts the key in front of the last one. A key that is already present raises\n"
              "KeyError and changes nothing; use move() to reposition it.\n"
              "\n"
              "    >>> m = RankMap([('a', 1), ('b', 2), ('c', 3)])\n"
              "    >>> m.insert('d', 4, 1)\n"
              "    >>> list(m)\n"
              "    ['a', 'd', 'b', 'c']") {
    PyObject* argv[3];
    if (!f_insert.bind(self, args, nargs, kwnames, argv)) {
        return nullptr;
    }
    if (insert_impl(self, argv[0], argv[1], argv[2]) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// reentry.hpp rule 2: the element is found again by identity before the list moves.
TAVRIN_METHOD(f_move, rankmap_move, "move", "$self, key, position",
              "Move an existing key in front of the key now at `position`, counted among\n"
              "the other keys.\n"
              "\n"
              "The key is taken out first and put back with the list index rules of\n"
              "insert(), so move(key, p) leaves it at index p for 0 <= p < len(self), and\n"
              "move(key, len(self)) moves it to the end. A missing key raises KeyError(key)\n"
              "and changes nothing.\n"
              "\n"
              "    >>> m = RankMap([('a', 1), ('b', 2), ('c', 3)])\n"
              "    >>> m.move('c', 0)\n"
              "    >>> list(m)\n"
              "    ['c', 'a', 'b']") {
    PyObject* argv[2];
    if (!f_move.bind(self, args, nargs, kwnames, argv)) {
        return nullptr;
    }
    if (move_impl(self, argv[0], argv[1]) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// reentry.hpp rule 2: keeps nothing.
TAVRIN_METHOD(f_keys, rankmap_keys, "keys", "$self",
              "The order list itself (the same list on every call, not a copy). Reordering\n"
              "it reorders the mapping; do not add or remove keys through it.") {
    if (!f_keys.bind(self, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    return get_order(self).release();
}

// reentry.hpp rule 2: the list's size re-read every step.
TAVRIN_METHOD(f_values, rankmap_values, "values", "$self", "A new list of the values in the mapping's order.") {
    if (!f_values.bind(self, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    return values_impl(self).release();
}

// reentry.hpp rule 2: each assignment reads _data and _order anew.
TAVRIN_METHOD(f_update, rankmap_update, "update", "$self, *args, **kwargs",
              "Add or replace entries from at most one iterable of (key, value) pairs,\n"
              "then from the keywords, one self[key] = value at a time. A mapping is\n"
              "iterated like any iterable (its keys); pass mapping.items() to add its\n"
              "entries.") {
    std::pair<PyObject* const*, Py_ssize_t> star;
    Ref kw;
    if (!f_update.bind(self, args, nargs, kwnames, nullptr, &star, &kw)) {
        return nullptr;
    }
    if (update_impl(self, star.first, star.second, kw.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// reentry.hpp rule 2: keeps nothing; items() holds what it reads.
TAVRIN_METHOD(f_repr, rankmap_repr, "__repr__", "$self", nullptr) {
    if (!f_repr.bind(self, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    return repr_impl(self).release();
}

// reentry.hpp rule 2: keeps nothing.
TAVRIN_METHOD(f_len, rankmap_len, "__len__", "$self", nullptr) {
    if (!f_len.bind(self, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    Ref order = get_order(self);
    if (!order) {
        return nullptr;
    }
    const Py_ssize_t n = PyObject_Size(order.get());
    return n < 0 ? nullptr : PyLong_FromSsize_t(n);
}

// reentry.hpp rule 2: each attribute read once and held.
TAVRIN_METHOD(f_eq, rankmap_eq, "__eq__", "$self, other", nullptr) {
    PyObject* other;
    if (!f_eq.bind(self, args, nargs, kwnames, &other)) {
        return nullptr;
    }
    return eq_impl(self, other).release();
}

// reentry.hpp rule 2: each assignment reads _data and _order anew.
TAVRIN_MEMBER(Kind::ClassMethod, f_fromkeys, rankmap_fromkeys, "fromkeys", "$cls, keys, value=None",
              "A new mapping of the class with the keys in iteration order, each mapped\n"
              "to the same `value` object; a repeated key keeps its first position.") {
    PyObject* argv[2];
    if (!f_fromkeys.bind(self, args, nargs, kwnames, argv)) {
        return nullptr;
    }
    PyObject* value = argv[1] ? argv[1] : Py_None;
    Ref inst = Ref::steal(PyObject_CallNoArgs(self));
    if (!inst) {
        return nullptr;
    }
    Ref it = Ref::steal(PyObject_GetIter(argv[0]));
    if (!it) {
        return nullptr;
    }
    for (;;) {
        Ref key = Ref::steal(PyIter_Next(it.get()));
        if (!key) {
            if (PyErr_Occurred()) {
                return nullptr;
            }
            return inst.release();
        }
        if (assign(inst.get(), key.get(), value) < 0) {
            return nullptr;
        }
    }
}

// ------------------------------------------------------------ type slots

// `m[k]`, `m[k] = v`, `del m[k]`, `len(m)` and `iter(m)` reach a class's
// special methods through its type slots. For a class with method
// descriptors the interpreter's generic slots look the name up in the MRO,
// bind and call it on every use. RankMap's own slots point here instead:
// each one asks (cached on the type's version tag) whether the name still
// resolves to our descriptor, runs our code directly if so, and otherwise
// makes the call the generic slot would. The interpreter also resets these
// slots to its generic ones whenever one of the names is assigned on the
// class or a base, and gives subclasses generic slots of their own, so
// behaviour never depends on which slot is installed.
const char* const slot_recursion = " while using a RankMap";

// m[key], the hottest path of all, written out in one piece: the same steps
// as getitem_impl (self._data from the instance dict, then the store's
// lookup), with nothing in between that could run Python code.
// reentry.hpp rule 2, as __getitem__.
PyObject* rankmap_mp_subscript(PyObject* self, PyObject* key) noexcept {
    tavrin::Facts facts = 0;
    if (facts_of(self, facts) < 0) {
        return nullptr;
    }
    if ((facts & (OWN_GETITEM | PLAIN_STATE)) == (OWN_GETITEM | PLAIN_STATE)) {
        Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
        if (!dict) {
            return nullptr;
        }
        Ref data;
        if (instance_entry(dict.get(), S.s_data, data_hint, data) < 0) {
            return nullptr;
        }
        if (data && PyDict_CheckExact(data.get())) {
            Ref value;
            if (tavrin::dict_get_ref(data.get(), key, value) == 0) {
                set_key_error(key);
            }
            return value.release();
        }
    }
    return tavrin::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        // A store that leads back here (m._data = m) goes round in C alone:
        // the slot counts towards the recursion limit, as a call would.
        RecursionGuard guard(slot_recursion);
        if (guard.failed()) {
            return nullptr;
        }
        return tavrin::call_base(type_facts, ROW_GETITEM, self, {key}, [&] {
                   return getitem_impl(self, key, facts);
               }).release();
    });
}

// reentry.hpp rule 2, as __setitem__ and __delitem__.
int rankmap_mp_ass_subscript(PyObject* self, PyObject* key, PyObject* value) noexcept {
    return tavrin::guarded(-1, [&] {
        RecursionGuard guard(slot_recursion);
        if (guard.failed()) {
            return -1;
        }
        tavrin::Facts facts = 0;
        if (facts_of(self, facts) < 0) {
            return -1;
        }
        if (!value) {
            return tavrin::call_base(type_facts, ROW_DELITEM, self, {key}, [&] {
                       return tavrin::none_or_error(delitem_impl(self, key, facts));
                   }) ? 0 : -1;
        }
        return tavrin::call_base(type_facts, ROW_SETITEM, self, {key, value}, [&] {
                   return tavrin::none_or_error(setitem_impl(self, key, value, facts));
               }) ? 0 : -1;
    });
}

// reentry.hpp rule 2: keeps nothing.
Py_ssize_t rankmap_length(PyObject* self) noexcept {
    return tavrin::guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
        tavrin::Facts facts = 0;
        if (facts_of(self, facts) < 0) {
            return -1;
        }
        if (facts & OWN_LEN) {
            Ref order = get_order(self, facts);
            if (order && PyList_CheckExact(order.get())) {
                return PyList_GET_SIZE(order.get());
            }
        }
        RecursionGuard guard(slot_recursion);
        if (guard.failed()) {
            return -1;
        }
        // What the generic slot does with __len__'s result.
        Ref r = tavrin::call_base(type_facts, ROW_LEN, self, {}, [&] {
            Ref order = get_order(self, facts);
            const Py_ssize_t n = order ? PyObject_Size(order.get()) : -1;
            return n < 0 ? Ref() : Ref::steal(PyLong_FromSsize_t(n));
        });
        if (!r) {
            return -1;
        }
        Ref n = Ref::steal(PyNumber_Index(r.get()));
        if (!n) {
            return -1;
        }
        const Py_ssize_t len = PyLong_AsSsize_t(n.get());
        if (len == -1 && PyErr_Occurred()) {
            return -1;
        }
        if (len < 0) {
            PyErr_SetString(PyExc_ValueError, "__len__() should return >= 0");
            return -1;
        }
        return len;
    });
}

// reentry.hpp rule 2, as __iter__.
PyObject* rankmap_tp_iter(PyObject* self) noexcept {
    return tavrin::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        tavrin::Facts facts = 0;
        if (facts_of(self, facts) < 0) {
            return nullptr;
        }
        if (facts & OWN_ITER) {
            Ref order = get_order(self, facts);
            if (order && PyList_CheckExact(order.get())) {
                return PyObject_GetIter(order.get());
            }
        }
        RecursionGuard guard(slot_recursion);
        if (guard.failed()) {
            return nullptr;
        }
        Ref it = tavrin::call_base(type_facts, ROW_ITER, self, {}, [&] {
            Ref order = get_order(self, facts);
            return order ? Ref::steal(PyObject_GetIter(order.get())) : Ref();
        });
        if (it && !PyIter_Check(it.get())) {
            PyErr_Format(PyExc_TypeError, "iter() returned non-iterator of type '%.100s'", Py_TYPE(it.get())->tp_name);
            return nullptr;
        }
        return it.release();
    });
}

// Installed once, on RankMap itself, right after the class is made.
void install_slots(PyTypeObject* type) {
    type->tp_as_mapping->mp_subscript = rankmap_mp_subscript;
    type->tp_as_mapping->mp_ass_subscript = rankmap_mp_ass_subscript;
    type->tp_as_mapping->mp_length = rankmap_length;
    type->tp_as_sequence->sq_length = rankmap_length;
    type->tp_iter = rankmap_tp_iter;
    PyType_Modified(type);
}

// ------------------------------------------------------------------ module

const char* const rankmap_doc =
    "A subclass of MutableMapping that behaves like a dictionary and remembers the\n"
    "order in which keys were first inserted; move() and insert() place keys at\n"
    "chosen positions.\n"
    "\n"
    "Keys are held twice internally, once in the store (a dict, `_data`) and once\n"
    "in the order list (`_order`), so a RankMap may use more memory than a plain\n"
    "dictionary.";

using tavrin::keep;

int intern_all() {
    const tavrin::NameSlot names[] = {
        {&S.s_data, "_data"},          {&S.s_order, "_order"},         {&S.s_update, "update"},
        {&S.s_items, "items"},         {&S.s_class, "__class__"},      {&S.s_name, "__name__"},
        {&S.s_getitem, "__getitem__"}, {&S.s_setitem, "__setitem__"}, {&S.s_delitem, "__delitem__"},
        {&S.s_iter, "__iter__"},       {&S.s_len, "__len__"},
        {&S.s_append, "append"},       {&S.s_remove, "remove"},        {&S.s_index, "index"},
        {&S.s_pop, "pop"},             {&S.s_insert, "insert"},
    };
    if (tavrin::intern_names(names) < 0) {
        return -1;
    }
    return 0;
}

// Elements other than pairs in exact tuples and lists are unpacked by the
// interpreter itself, so its messages ("too many values to unpack ...")
// are the ones the caller sees.
int make_unpack_helper() {
    S.unpack_pair = keep(tavrin::python_function(
        "def unpack_pair(element):\n    key, value = element\n    return key, value\n", "unpack_pair"));
    return S.unpack_pair ? 0 : -1;
}

int rankmap_body(PyObject* m) noexcept {
    if (intern_all() < 0 || make_unpack_helper() < 0) {
        return -1;
    }
    Ref mutable_mapping = tavrin::import_from(m, "collections.abc", "MutableMapping");
    if (!mutable_mapping) {
        return -1;
    }
    S.MutableMapping = keep(std::move(mutable_mapping));

    Ref cls = tavrin::make_class(m, "RankMap", {S.MutableMapping}, rankmap_doc,
                                 {f_init, f_getitem, f_setitem, f_delitem, f_iter, f_items, f_clear, f_copy,
                                  f_insert, f_move, f_keys, f_values, f_update, f_repr, f_len, f_eq, f_fromkeys});
    if (!cls || PyObject_SetAttrString(m, "RankMap", cls.get()) < 0) {
        return -1;
    }
    S.RankMap = reinterpret_cast<PyTypeObject*>(keep(std::move(cls)));
    struct {
        PyObject** slot;
        const char* name;
    } own[] = {
        {&S.rm_getitem, "__getitem__"}, {&S.rm_setitem, "__setitem__"}, {&S.rm_delitem, "__delitem__"},
        {&S.rm_iter, "__iter__"},       {&S.rm_items, "items"},         {&S.rm_update, "update"},
        {&S.rm_len, "__len__"},
    };
    for (auto& o : own) {
        if (!(*o.slot = tavrin::builtin_entry(S.RankMap, o.name))) {
            return -1;
        }
    }
    install_slots(S.RankMap);
    return 0;
}

}  // namespace

TAVRIN_MODULE(rankmap,
              "A mutable mapping whose key order the caller can change.\n"
              "\n"
              "RankMap remembers the order in which keys were first added, like an ordered\n"
              "dictionary, and also places a new key at a chosen position (insert) or moves\n"
              "an existing key to another position (move).",
              rankmap_body)
