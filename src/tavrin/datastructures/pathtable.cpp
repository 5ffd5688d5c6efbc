// tavrin.datastructures.pathtable: PathTable, a list of (path, value)
// entries made from a nested mapping by a lazy depth-first walk, with the
// DictItem entry type, IndexMarker sequence positions, guarded list
// operations and `reconstruct`, the way back to a nested dict.
#include <tavrin/module.hpp>

#include <frameobject.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

using tavrin::keep;
using tavrin::PendingError;
using tavrin::plain_builtin_index;
using tavrin::Ref;

namespace {

// Process-wide state, filled once by the module body.
struct State {
    PyObject* MutableMapping = nullptr;
    PyObject* DictItem = nullptr;
    PyTypeObject* IndexMarker = nullptr;
    PyTypeObject* PathTable = nullptr;
    PyTypeObject* Generator = nullptr;
    PyObject* seq_types = nullptr;        // (list, tuple)
    PyObject* throw_helper = nullptr;     // a one-yield Python generator function
    PyObject* throw_helper_code = nullptr;
    PyObject* catch_helper = nullptr;     // one that keeps the exception thrown in
    PyObject* catch_helper_code = nullptr;

    // What the fast paths compare against.
    PyObject* absent = nullptr;        // a lookup that finds nothing
    PyObject* dictitem_new = nullptr;  // DictItem.__dict__['__new__'] as namedtuple made it
    PyObject* dictitem_new_code = nullptr;
    PyObject* object_init = nullptr;
    PyObject* marker_init = nullptr;
    PyObject* list_init = nullptr;
    PyObject* list_setitem = nullptr;
    PyObject* list_append = nullptr;
    PyObject* list_insert = nullptr;
    PyObject* list_extend = nullptr;

    PyObject* s_items = nullptr;
    PyObject* s_type_ = nullptr;
    PyObject* s_index = nullptr;
    PyObject* s_name = nullptr;
    PyObject* s_init = nullptr;
    PyObject* s_new = nullptr;
    PyObject* s_module = nullptr;
    PyObject* s_setitem = nullptr;
    PyObject* s_append = nullptr;
    PyObject* s_insert = nullptr;
    PyObject* s_extend = nullptr;
    PyObject* s_make = nullptr;
    PyObject* s_throw = nullptr;
    PyObject* s_gi_frame = nullptr;
    PyObject* s_tb_frame = nullptr;
    PyObject* s_tb_next = nullptr;
    PyObject* s_flatten = nullptr;
    PyObject* s_flatten_qualname = nullptr;
    PyObject* empty_tuple = nullptr;
    PyObject* full_slice = nullptr;
};
State S;

// The lookups the fast paths stand on. Rows with an owner are
// `super(PathTable, self).name`: while one lands on list's own entry, the
// overriding method calls list's code directly.
enum Row : unsigned {
    kListInit,
    kListSetitem,
    kListAppend,
    kListInsert,
    kListExtend,
    kDictItemNew,   // DictItem.__new__ is still namedtuple's
    kObjectInit,    // and its __init__ object's
    kMarkerInit,    // IndexMarker.__init__ is still ours
    kNoTypeAttr,    // and the class has no attribute named type_
    kNoIndexAttr,   // nor one named index (a property would run code)
    kRows
};
const tavrin::FactRow kFactRows[kRows] = {
    {&S.s_init, &S.list_init, &S.PathTable},
    {&S.s_setitem, &S.list_setitem, &S.PathTable},
    {&S.s_append, &S.list_append, &S.PathTable},
    {&S.s_insert, &S.list_insert, &S.PathTable},
    {&S.s_extend, &S.list_extend, &S.PathTable},
    {&S.s_new, &S.dictitem_new},
    {&S.s_init, &S.object_init},
    {&S.s_init, &S.marker_init},
    {&S.s_type_, &S.absent},
    {&S.s_index, &S.absent},
};
tavrin::TypeFacts<kRows> facts(kFactRows);

constexpr tavrin::Facts bit(Row r) noexcept { return tavrin::Facts{1} << r; }

const char* const kPairError = "PathTable only accepts a tuple of path/obj";

// ------------------------------------------------------------- small helpers

// Every answer the walk and the rebuild remember is checked where it is
// used, against something Python code can't change without it showing: a
// type's version tag (facts), the ABC cache token, the identity of a
// function's code. So no call into Python, however hidden (a finalizer, an
// iterator of the input), can leave one stale.

// isinstance(x, MutableMapping) for the plain types, remembered per type
// and checked against the ABC token at every use.
tavrin::AbcAnswers mm_answers;

// isinstance(obj, MutableMapping)
int is_mutable_mapping(PyObject* obj) noexcept {
    mm_answers.mark_stale();
    return mm_answers.isinstance(obj);
}

// isinstance(obj, (list, tuple)); for the plain types no __class__ can
// answer for the object.
int is_list_or_tuple(PyObject* obj) noexcept {
    if (plain_builtin_index(Py_TYPE(obj)) >= 0) {
        return PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
    }
    return PyObject_IsInstance(obj, S.seq_types);
}

// The truth of a value that passed the container test.
int is_true(PyObject* obj) noexcept {
    if (PyDict_CheckExact(obj)) {
        return PyDict_GET_SIZE(obj) != 0;
    }
    if (PyList_CheckExact(obj)) {
        return PyList_GET_SIZE(obj) != 0;
    }
    if (PyTuple_CheckExact(obj)) {
        return PyTuple_GET_SIZE(obj) != 0;
    }
    return PyObject_IsTrue(obj);
}

// Keys whose hash and equality run no Python code: looking them up once
// instead of three times is not observable.
bool quiet_key(PyObject* k) noexcept {
    const int i = plain_builtin_index(Py_TYPE(k));
    return i >= 0 && i != 2 && i != 3 && i != 7;
}

// Tuples and lists that iterate as themselves: reading their items is what
// their iterators do, and runs no Python code.
bool iterates_as_itself(PyObject* item) noexcept {
    PyTypeObject* t = Py_TYPE(item);
    return (PyTuple_Check(item) && t->tp_iter == PyTuple_Type.tp_iter) ||
           (PyList_Check(item) && t->tp_iter == PyList_Type.tp_iter);
}

enum class Wording { Interpreter, Legacy };

// `a, b = item`. The interpreter's messages for a two-target assignment,
// or (Legacy) the older ones that `reconstruct` reports for its entries.
int unpack_two(PyObject* item, Ref& a, Ref& b, Wording wording) noexcept {
    auto too_few = [wording](Py_ssize_t got) {
        if (wording == Wording::Legacy) {
            PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
        } else {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", got);
        }
        return -1;
    };
    auto too_many = [] {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return -1;
    };
    PyTypeObject* t = Py_TYPE(item);
    if (iterates_as_itself(item)) {
        const bool tup = PyTuple_Check(item);
        const Py_ssize_t n = tup ? PyTuple_GET_SIZE(item) : PyList_GET_SIZE(item);
        if (n == 2) {
            a = Ref::borrow(tup ? PyTuple_GET_ITEM(item, 0) : PyList_GET_ITEM(item, 0));
            b = Ref::borrow(tup ? PyTuple_GET_ITEM(item, 1) : PyList_GET_ITEM(item, 1));
            return 0;
        }
        return n > 2 ? too_many() : too_few(n);
    }
    if (wording == Wording::Interpreter && t->tp_iter == nullptr && !PySequence_Check(item)) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", t->tp_name);
        return -1;
    }
    Ref it = Ref::steal(PyObject_GetIter(item));
    if (!it) {
        return -1;
    }
    a = Ref::steal(PyIter_Next(it.get()));
    if (!a) {
        return PyErr_Occurred() ? -1 : too_few(0);
    }
    b = Ref::steal(PyIter_Next(it.get()));
    if (!b) {
        return PyErr_Occurred() ? -1 : too_few(1);
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        return too_many();
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The check's failure, as raised from an `except Exception:` block: the
// caught exception becomes the context. Other BaseExceptions
// (KeyboardInterrupt, SystemExit, ...) pass through unchanged.
void raise_pair_error() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return;
    }
    PendingError caught;
    PyErr_SetString(PyExc_ValueError, kPairError);
    caught.chain_into_current();
}

// The pair rule: `path, value = item`, or the ValueError above.
int pair_rule(PyObject* item, Ref& path, Ref& value) noexcept {
    if (unpack_two(item, path, value, Wording::Interpreter) == 0) {
        return 0;
    }
    raise_pair_error();
    return -1;
}

// Every element of an iterable, read once, in a new list. Only iterates
// (no __len__ or __length_hint__ calls), as a `for` loop would.
Ref read_all(PyObject* iterable) noexcept {
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
        return Ref::steal(PySequence_List(iterable));
    }
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it) {
        return Ref();
    }
    Ref out = Ref::steal(PyList_New(0));
    if (!out) {
        return Ref();
    }
    for (;;) {
        Ref x = Ref::steal(PyIter_Next(it.get()));
        if (!x) {
            return PyErr_Occurred() ? Ref() : std::move(out);
        }
        if (PyList_Append(out.get(), x.get()) < 0) {
            return Ref();
        }
    }
}

// DictItem(path, value). While DictItem still has the __new__ that
// namedtuple gave it, running the code namedtuple gave it, and no __init__
// of its own, that call is exactly tuple.__new__(DictItem, (path, value)):
// allocate and fill. The code is checked at every call: assigning a
// function's __code__ changes no version tag. The staticmethod's __get__
// hands out its function, as reading __func__ does.
int dictitem_is_plain() noexcept {
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(S.DictItem);
    if (Py_TYPE(t) != &PyType_Type) {
        return 0;
    }
    const int rc = facts.all(t, bit(kDictItemNew) | bit(kObjectInit));
    if (rc <= 0) {
        return rc;
    }
    Ref fn = Ref::steal(PyStaticMethod_Type.tp_descr_get(S.dictitem_new, nullptr, S.DictItem));
    if (!fn) {
        return -1;
    }
    return PyFunction_Check(fn.get()) && PyFunction_GET_CODE(fn.get()) == S.dictitem_new_code;
}

Ref make_dictitem(PyObject* path, PyObject* value) noexcept {
    const int fast = dictitem_is_plain();
    if (fast < 0) {
        return Ref();
    }
    if (fast) {
        PyTypeObject* t = reinterpret_cast<PyTypeObject*>(S.DictItem);
        Ref item = Ref::steal(t->tp_alloc(t, 2));
        if (!item) {
            return Ref();
        }
        Py_INCREF(path);
        PyTuple_SET_ITEM(item.get(), 0, path);
        Py_INCREF(value);
        PyTuple_SET_ITEM(item.get(), 1, value);
        return item;
    }
    PyObject* argv[] = {path, value};
    return Ref::steal(PyObject_Vectorcall(S.DictItem, argv, 2, nullptr));
}

// IndexMarker(seq, index). While the class keeps object.__new__, our
// __init__ and the generic attribute store, and has no class attribute
// named type_ or index (a property's setter would run Python code), that
// call is: a new instance, then type_ and index stored in this order.
int marker_is_plain() noexcept {
    PyTypeObject* t = S.IndexMarker;
    if (Py_TYPE(t) != &PyType_Type || t->tp_new != PyBaseObject_Type.tp_new ||
        t->tp_setattro != PyObject_GenericSetAttr) {
        return 0;
    }
    return facts.all(t, bit(kMarkerInit) | bit(kNoTypeAttr) | bit(kNoIndexAttr));
}

Ref make_marker(PyObject* seq, Py_ssize_t position) noexcept {
    Ref index = Ref::steal(PyLong_FromSsize_t(position));
    if (!index) {
        return Ref();
    }
    const int fast = marker_is_plain();
    if (fast < 0) {
        return Ref();
    }
    PyTypeObject* t = S.IndexMarker;
    if (fast) {
        Ref marker = Ref::steal(t->tp_new(t, S.empty_tuple, nullptr));
        if (!marker ||
            PyObject_GenericSetAttr(marker.get(), S.s_type_, reinterpret_cast<PyObject*>(Py_TYPE(seq))) < 0 ||
            PyObject_GenericSetAttr(marker.get(), S.s_index, index.get()) < 0) {
            return Ref();
        }
        return marker;
    }
    PyObject* argv[] = {seq, index.get()};
    return Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(t), argv, 2, nullptr));
}

// A StopIteration that escapes the walk (from the input's __bool__ or
// items(), say) ends it as it ends a Python generator's body: as
// RuntimeError, caused by it, never as a quiet end of the entries.
void stop_escaping_the_walk() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) {
        return;
    }
    PendingError stop;
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    PendingError err;
    if (err.get() && stop.get()) {
        Py_INCREF(stop.get());
        PyException_SetCause(err.get(), stop.get());
        Py_INCREF(stop.get());
        PyException_SetContext(err.get(), stop.get());
    }
    err.restore();
}

// --------------------------------------------------------------- the walk

// `if path: path = path[:]` else `()`: a level's own path.
Ref level_path(PyObject* path) noexcept {
    if (!path || path == Py_None) {
        return Ref::borrow(S.empty_tuple);
    }
    if (PyTuple_CheckExact(path)) {
        return Ref::borrow(path);  // a full slice of a tuple is the tuple
    }
    const int truth = PyObject_IsTrue(path);
    if (truth < 0) {
        return Ref();
    }
    if (!truth) {
        return Ref::borrow(S.empty_tuple);
    }
    PyMappingMethods* mp = Py_TYPE(path)->tp_as_mapping;
    if (!mp || !mp->mp_subscript) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(path)->tp_name);
        return Ref();
    }
    return Ref::steal(mp->mp_subscript(path, S.full_slice));
}

enum class Level : unsigned char { Dict, Mapping, List, Tuple, Iter, Bare };

// One level of the walk: what a nested generator of the recursive
// formulation holds. A level's path is either components[0:base] (tuple
// mode: every path below a tuple is a tuple, so it is built only for the
// entries themselves), or `path`, an object of another type that a
// caller's path made, extended with `+` as given.
struct Frame {
    Ref container;
    Ref iter;
    Ref path;
    Py_ssize_t next = 0;  // position, or PyDict_Next's cursor
    Py_ssize_t used = 0;  // Dict: the size the iteration started with
    Py_ssize_t left = 0;  // Dict: entries still expected
    size_t base = 0;
    Level level = Level::Bare;
};

// The depth-first walk with an explicit stack: time proportional to the
// entries plus their path lengths, the same order, and the same calls on
// the input (items(), iteration, instance and truth tests) as the
// recursive generators it stands for. Its stack and borrowed frame
// references live across calls into Python: rule 1, under its generator's
// claim, or private to the one call that made it (PathTable.__init__).
class Walker {
public:
    Walker(PyObject* indict, PyObject* path) : root_(Ref::borrow(indict)), root_path_(Ref::borrow(path)) {}

    // 1: `out` is the next object yielded; 0: finished; -1: error.
    int next(Ref& out) {
        if (!begun_) {
            begun_ = true;
            Ref indict = std::move(root_);
            Ref path = std::move(root_path_);
            if (start_level(std::move(indict), level_path(path.get())) < 0) {
                return -1;
            }
        }
        while (!stack_.empty()) {
            const size_t fi = stack_.size() - 1;
            Ref comp, value;
            Py_ssize_t position = -1;
            {
                Frame& f = stack_[fi];
                switch (f.level) {
                    case Level::Bare:
                        out = std::move(f.container);
                        pop();
                        return 1;
                    case Level::Dict: {
                        // What the dict's items iterator does, checks included.
                        PyObject* d = f.container.get();
                        if (f.used != PyDict_GET_SIZE(d)) {
                            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                            return -1;
                        }
                        PyObject *k, *v;
                        if (!PyDict_Next(d, &f.next, &k, &v)) {
                            pop();
                            continue;
                        }
                        if (f.left == 0) {
                            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
                            return -1;
                        }
                        --f.left;
                        comp = Ref::borrow(k);
                        value = Ref::borrow(v);
                        break;
                    }
                    case Level::Mapping: {
                        Ref item = Ref::steal(PyIter_Next(f.iter.get()));
                        if (!item) {
                            if (PyErr_Occurred()) {
                                return -1;
                            }
                            pop();
                            continue;
                        }
                        if (unpack_two(item.get(), comp, value, Wording::Interpreter) < 0) {
                            return -1;
                        }
                        break;
                    }
                    case Level::List:
                        // As the list iterator: the size is read at every step.
                        if (f.next >= PyList_GET_SIZE(f.container.get())) {
                            pop();
                            continue;
                        }
                        value = Ref::borrow(PyList_GET_ITEM(f.container.get(), f.next));
                        position = f.next++;
                        break;
                    case Level::Tuple:
                        if (f.next >= PyTuple_GET_SIZE(f.container.get())) {
                            pop();
                            continue;
                        }
                        value = Ref::borrow(PyTuple_GET_ITEM(f.container.get(), f.next));
                        position = f.next++;
                        break;
                    case Level::Iter:
                        value = Ref::steal(PyIter_Next(f.iter.get()));
                        if (!value) {
                            if (PyErr_Occurred()) {
                                return -1;
                            }
                            pop();
                            continue;
                        }
                        position = f.next++;
                        break;
                }
            }
            // isinstance(value, (MutableMapping, list, tuple)) and value
            int descend = is_mutable_mapping(value.get());
            if (descend == 0) {
                descend = is_list_or_tuple(value.get());
            }
            if (descend > 0) {
                descend = is_true(value.get());
            }
            if (descend < 0) {
                return -1;
            }
            if (position >= 0) {
                comp = make_marker(stack_[fi].container.get(), position);
                if (!comp) {
                    return -1;
                }
            }
            if (descend) {
                if (descend_into(fi, std::move(value), std::move(comp)) < 0) {
                    return -1;
                }
                continue;
            }
            Ref path = entry_path(fi, comp.get());
            if (!path) {
                return -1;
            }
            out = make_dictitem(path.get(), value.get());
            return out ? 1 : -1;
        }
        return 0;
    }

    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(root_.get());
        Py_VISIT(root_path_.get());
        for (const Frame& f : stack_) {
            Py_VISIT(f.container.get());
            Py_VISIT(f.iter.get());
            Py_VISIT(f.path.get());
        }
        for (const Ref& c : comps_) {
            Py_VISIT(c.get());
        }
        return 0;
    }

private:
    // The level for `value`, whose own path (already sliced) is `path`.
    int start_level(Ref value, Ref path) {
        if (!path) {
            return -1;
        }
        size_t base = 0;
        if (PyTuple_CheckExact(path.get())) {
            const Py_ssize_t n = PyTuple_GET_SIZE(path.get());
            truncate_comps(0);
            for (Py_ssize_t i = 0; i < n; ++i) {
                comps_.push_back(Ref::borrow(PyTuple_GET_ITEM(path.get(), i)));
            }
            base = static_cast<size_t>(n);
            path.reset();
        }
        return push(std::move(value), std::move(path), base);
    }

    int push(Ref value, Ref path, size_t base) {
        // The recursive formulation ends here in RecursionError too; a
        // structure that contains itself ends here.
        const int limit = Py_GetRecursionLimit();
        if (stack_.size() >= static_cast<size_t>(limit > 0 ? limit : 1)) {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while flattening a PathTable");
            return -1;
        }
        Frame f;
        f.path = std::move(path);
        f.base = base;
        PyObject* v = value.get();
        const int mapping = is_mutable_mapping(v);
        if (mapping < 0) {
            return -1;
        }
        if (mapping && PyDict_CheckExact(v)) {
            // dict.items() and its iterator, which nothing can override.
            f.level = Level::Dict;
            f.used = f.left = PyDict_GET_SIZE(v);
        } else if (mapping) {
            Ref items = Ref::steal(PyObject_CallMethodNoArgs(v, S.s_items));
            if (!items) {
                return -1;
            }
            f.iter = Ref::steal(PyObject_GetIter(items.get()));
            if (!f.iter) {
                return -1;
            }
            f.level = Level::Mapping;
        } else {
            const int seq = is_list_or_tuple(v);
            if (seq < 0) {
                return -1;
            }
            PyTypeObject* t = Py_TYPE(v);
            if (!seq) {
                f.level = Level::Bare;
            } else if (PyList_Check(v) && t->tp_iter == PyList_Type.tp_iter) {
                f.level = Level::List;
            } else if (PyTuple_Check(v) && t->tp_iter == PyTuple_Type.tp_iter) {
                f.level = Level::Tuple;
            } else {
                f.iter = Ref::steal(PyObject_GetIter(v));
                if (!f.iter) {
                    return -1;
                }
                f.level = Level::Iter;
            }
        }
        f.container = std::move(value);
        stack_.push_back(std::move(f));
        return 0;
    }

    // __flatten__(value, path + (comp,)), walked in place.
    int descend_into(size_t fi, Ref value, Ref comp) {
        if (!stack_[fi].path) {
            const size_t base = stack_[fi].base;
            truncate_comps(base);
            comps_.push_back(std::move(comp));
            return push(std::move(value), Ref(), base + 1);
        }
        Ref path = extend_path(stack_[fi].path.get(), comp.get());
        if (!path) {
            return -1;
        }
        return start_level(std::move(value), level_path(path.get()));
    }

    // Drops the top level. Its references leave the stack before they are
    // released, for the same reason as in truncate_comps.
    void pop() noexcept {
        Frame top = std::move(stack_.back());
        stack_.pop_back();
    }

    // Drops components past `n`. Each reference leaves the vector before it
    // is released: a finalizer run by the release may start a collection
    // that traverses this walk.
    void truncate_comps(size_t n) noexcept {
        while (comps_.size() > n) {
            Ref last = std::move(comps_.back());
            comps_.pop_back();
        }
    }

    Ref extend_path(PyObject* path, PyObject* comp) {
        Ref one = Ref::steal(PyTuple_Pack(1, comp));
        if (!one) {
            return Ref();
        }
        return Ref::steal(PyNumber_Add(path, one.get()));
    }

    // path + (comp,) for an entry of level `fi`.
    Ref entry_path(size_t fi, PyObject* comp) {
        const Frame& f = stack_[fi];
        if (f.path) {
            Ref p = Ref::borrow(f.path.get());
            return extend_path(p.get(), comp);
        }
        Ref path = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(f.base + 1)));
        if (!path) {
            return Ref();
        }
        for (size_t i = 0; i < f.base; ++i) {
            PyTuple_SET_ITEM(path.get(), static_cast<Py_ssize_t>(i), comps_[i].new_ref());
        }
        Py_INCREF(comp);
        PyTuple_SET_ITEM(path.get(), static_cast<Py_ssize_t>(f.base), comp);
        return path;
    }

    Ref root_;
    Ref root_path_;
    bool begun_ = false;
    std::vector<Frame> stack_;
    std::vector<Ref> comps_;
};

// ------------------------------------------------------ the generator object

// What __flatten__ returns: a generator in every respect a caller can use
// (iteration, send, throw, close, gi_running, __name__, __qualname__), over
// a Walker that starts on the first advance.
struct GenObject {
    PyObject_HEAD
    Walker* walker;  // owned; null once finished
    PyObject* name;
    PyObject* qualname;
    PyObject* weakrefs;
    int state;    // 0 not started, 1 suspended, 2 finished
    int running;  // the Busy claim of next/send/throw/close
};

enum { kNew = 0, kSuspended = 1, kFinished = 2 };

const char* const kRunning = "generator already executing";

GenObject* as_gen(PyObject* o) noexcept { return reinterpret_cast<GenObject*>(o); }

// A walk taken from its generator, freed when this goes out of scope. The
// entry points declare it before their claim, so the claim is released
// first: finalizers run by freeing the walk find the generator finished,
// as they would while a Python generator's frame is being cleared.
class Detached {
public:
    Detached() = default;
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;
    ~Detached() { drop(); }

    // Marks the generator finished and takes its walk.
    void take(GenObject* g) noexcept {
        g->state = kFinished;
        Walker* w = g->walker;
        g->walker = nullptr;
        drop();
        walker_ = w;
    }

private:
    void drop() noexcept {
        if (Walker* w = walker_) {
            walker_ = nullptr;
            PendingError err;  // the caller's result stays as it is
            delete w;
            err.restore();
        }
    }
    Walker* walker_ = nullptr;
};

// Reads only; the walk is consistent at every call into Python.
int gen_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    GenObject* g = as_gen(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(g->name);
    Py_VISIT(g->qualname);
    if (g->walker) {
        return g->walker->traverse(visit, arg);
    }
    return 0;
}

// Rule 1: a claimed walk is left alone.
int gen_clear(PyObject* self) noexcept {
    GenObject* g = as_gen(self);
    if (!g->running) {
        Detached done;
        done.take(g);
    }
    Py_CLEAR(g->name);
    Py_CLEAR(g->qualname);
    return 0;
}

// No claim can be held here: a caller's reference to `self` keeps it alive.
void gen_dealloc(PyObject* self) noexcept {
    GenObject* g = as_gen(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (g->weakrefs) {
        PyObject_ClearWeakRefs(self);
    }
    {
        Detached done;
        done.take(g);
    }
    Py_CLEAR(g->name);
    Py_CLEAR(g->qualname);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// One step of the walk, for a caller that holds the claim: the next entry,
// or null (with an error, or without one at the end).
PyObject* gen_step(GenObject* g, Detached& done) noexcept {
    if (g->state == kFinished || !g->walker) {
        return nullptr;
    }
    // A step counts towards the recursion limit, as resuming a generator's
    // frame does: a walk whose input hands it another of these generators
    // (a mapping whose items() is one) steps that one from inside its own
    // step, in C alone.
    tavrin::RecursionGuard guard(" while flattening a PathTable");
    if (guard.failed()) {
        done.take(g);
        return nullptr;
    }
    Ref out;
    Walker* w = g->walker;
    const int rc = tavrin::guarded(-1, [&] { return w->next(out); });
    if (rc == 1) {
        g->state = kSuspended;
        return out.release();
    }
    if (rc < 0) {
        stop_escaping_the_walk();
    }
    done.take(g);
    return nullptr;
}

// Rule 1.
PyObject* gen_iternext(PyObject* self) noexcept {
    GenObject* g = as_gen(self);
    Detached done;
    tavrin::Busy busy(g->running, kRunning);
    if (busy.refused()) {
        return nullptr;
    }
    return gen_step(g, done);
}

// Rule 1.
PyObject* gen_send(PyObject* self, PyObject* arg) noexcept {
    GenObject* g = as_gen(self);
    Detached done;
    tavrin::Busy busy(g->running, kRunning);
    if (busy.refused()) {
        return nullptr;
    }
    if (g->state == kNew && arg != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* r = gen_step(g, done);
    if (!r && !PyErr_Occurred()) {
        PyErr_SetNone(PyExc_StopIteration);
    }
    return r;
}

// Drops the first entry of `exc`'s traceback when it is a frame of the
// helper generator `code`: the helpers are not part of the story.
void strip_helper_frame(PyObject* exc, PyObject* code) noexcept {
    Ref tb = Ref::steal(PyException_GetTraceback(exc));
    if (!tb) {
        return;
    }
    Ref frame = Ref::steal(PyObject_GetAttr(tb.get(), S.s_tb_frame));
    Ref frame_code = frame && PyFrame_Check(frame.get())
                         ? Ref::steal(reinterpret_cast<PyObject*>(
                               PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(frame.get()))))
                         : Ref();
    if (frame_code && frame_code.get() == code) {
        Ref rest = Ref::steal(PyObject_GetAttr(tb.get(), S.s_tb_next));
        if (rest) {
            PyException_SetTraceback(exc, rest.get());
        }
    }
    PyErr_Clear();
}

// The exception that throw(*args) raises inside a generator, made by the
// interpreter itself: throw() on a small Python generator that catches and
// keeps what comes in. Argument checks and their messages, deprecation
// warnings and the class's own __init__ are the interpreter's.
Ref thrown_exception(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    Ref box = Ref::steal(PyList_New(0));
    if (!box) {
        return Ref();
    }
    Ref catcher = Ref::steal(PyObject_CallOneArg(S.catch_helper, box.get()));
    if (!catcher) {
        return Ref();
    }
    Ref first = Ref::steal(PyIter_Next(catcher.get()));
    if (!first) {
        return Ref();
    }
    Ref method = Ref::steal(PyObject_GetAttr(catcher.get(), S.s_throw));
    if (!method) {
        return Ref();
    }
    // Caught, the exception ends the catcher: StopIteration. Refused, the
    // arguments' own error is pending and nothing was caught.
    Ref r = Ref::steal(PyObject_Vectorcall(method.get(), args, static_cast<size_t>(nargs), kwnames));
    if (PyList_GET_SIZE(box.get()) != 1 || (!r && !PyErr_ExceptionMatches(PyExc_StopIteration))) {
        if (r && !PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "throw() helper did not catch");
        }
        return Ref();
    }
    PyErr_Clear();
    Ref exc = Ref::borrow(PyList_GET_ITEM(box.get(), 0));
    strip_helper_frame(exc.get(), S.catch_helper_code);
    return exc;
}

// Rule 1, once the exception is made. A thrown exception comes out of the
// walk unhandled. Making it runs Python code (its class's __init__) before
// the claim is taken, as a Python generator does, so that code may advance,
// throw into or close this generator. Then, under the claim, the exception
// gets exactly the interpreter's treatment for the state the generator is
// in now (StopIteration turned into RuntimeError, say): the same throw() is
// made on a small Python generator in that state.
PyObject* gen_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    GenObject* g = as_gen(self);
    Ref exc = thrown_exception(args, nargs, kwnames);
    if (!exc) {
        return nullptr;
    }
    Detached done;
    tavrin::Busy busy(g->running, kRunning);
    if (busy.refused()) {
        return nullptr;
    }
    Ref helper = Ref::steal(PyObject_CallNoArgs(S.throw_helper));
    if (!helper) {
        return nullptr;
    }
    if (g->state != kNew) {
        Ref first = Ref::steal(PyIter_Next(helper.get()));
        if (!first) {
            return nullptr;
        }
        if (g->state == kFinished) {
            Ref end = Ref::steal(PyIter_Next(helper.get()));
            if (end || PyErr_Occurred()) {
                return end ? end.release() : nullptr;
            }
        }
    }
    Ref method = Ref::steal(PyObject_GetAttr(helper.get(), S.s_throw));
    if (!method) {
        return nullptr;
    }
    PyObject* argv[] = {exc.get()};
    Ref r = Ref::steal(PyObject_Vectorcall(method.get(), argv, 1, nullptr));
    if (r) {
        return r.release();
    }
    PendingError err;
    if (g->state != kFinished) {
        // An exception that went in has finished the generator.
        Ref frame = Ref::steal(PyObject_GetAttr(helper.get(), S.s_gi_frame));
        if (!frame) {
            return nullptr;
        }
        if (frame.get() == Py_None) {
            done.take(g);
        }
    }
    if (PyObject* raised = err.get()) {
        strip_helper_frame(raised, S.throw_helper_code);
    }
    err.restore();
    return nullptr;
}

// Rule 1.
PyObject* gen_close(PyObject* self, PyObject*) noexcept {
    GenObject* g = as_gen(self);
    Detached done;
    tavrin::Busy busy(g->running, kRunning);
    if (busy.refused()) {
        return nullptr;
    }
    done.take(g);
    Py_RETURN_NONE;
}

PyObject* gen_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<generator object %S at %p>", as_gen(self)->qualname, self);
}

PyObject* gen_get_name(PyObject* self, void*) noexcept {
    GenObject* g = as_gen(self);
    Py_INCREF(g->name);
    return g->name;
}

PyObject* gen_get_qualname(PyObject* self, void*) noexcept {
    GenObject* g = as_gen(self);
    Py_INCREF(g->qualname);
    return g->qualname;
}

// Rule 2: keeps nothing across the release of the old name.
int gen_set_name_field(PyObject** field, PyObject* value, const char* which) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", which);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*field, value);
    return 0;
}

int gen_set_name(PyObject* self, PyObject* value, void*) noexcept {
    return gen_set_name_field(&as_gen(self)->name, value, "__name__");
}

int gen_set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return gen_set_name_field(&as_gen(self)->qualname, value, "__qualname__");
}

// The claim of next/send/throw/close, as gi_running reports a Python generator's.
PyObject* gen_get_running(PyObject* self, void*) noexcept { return PyBool_FromLong(as_gen(self)->running); }

PyMethodDef gen_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(gen_send), METH_O,
     "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(gen_throw)),
     METH_FASTCALL | METH_KEYWORDS,
     "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, return next yielded value or raise\n"
     "StopIteration."},
    {"close", gen_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef gen_getset[] = {
    {"__name__", gen_get_name, gen_set_name, "name of the generator", nullptr},
    {"__qualname__", gen_get_qualname, gen_set_qualname, "qualified name of the generator", nullptr},
    {"gi_running", gen_get_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef gen_members[] = {
    {"__weaklistoffset__", TAVRIN_T_PYSSIZET, offsetof(GenObject, weakrefs), TAVRIN_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot gen_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(gen_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(gen_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(gen_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(gen_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(gen_iternext)},
    {Py_tp_methods, gen_methods},
    {Py_tp_getset, gen_getset},
    {Py_tp_members, gen_members},
    {0, nullptr}};

PyType_Spec gen_spec = {"tavrin.datastructures.pathtable.generator", sizeof(GenObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, gen_slots};

Ref new_generator(PyObject* indict, PyObject* path) noexcept {
    Ref self = Ref::steal(S.Generator->tp_alloc(S.Generator, 0));
    if (!self) {
        return Ref();
    }
    GenObject* g = as_gen(self.get());
    g->state = kNew;
    Py_INCREF(S.s_flatten);
    g->name = S.s_flatten;
    Py_INCREF(S.s_flatten_qualname);
    g->qualname = S.s_flatten_qualname;
    const int rc = tavrin::guarded(-1, [&] {
        g->walker = new Walker(indict, path);
        return 0;
    });
    return rc < 0 ? Ref() : std::move(self);
}

// ------------------------------------------------------------- IndexMarker

// Rule 2: holds what it uses.
TAVRIN_METHOD(f_marker_init, marker_init, "__init__", "$self, obj, index",
              "Tracks the index position of elements in a list or tuple.\n"
              "\n"
              ":param obj: the list or tuple the position belongs to; its exact type is kept as `type_`\n"
              ":param index: the position in it, kept as int(index)") {
    PyObject* argv[2];
    if (!f_marker_init.bind(self, args, nargs, kwnames, argv)) {
        return nullptr;
    }
    if (PyObject_SetAttr(self, S.s_type_, reinterpret_cast<PyObject*>(Py_TYPE(argv[0]))) < 0) {
        return nullptr;
    }
    Ref index = Ref::steal(PyNumber_Long(argv[1]));
    if (!index || PyObject_SetAttr(self, S.s_index, index.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// "{type_}[{index}]".format(type_=self.type_.__name__, index=self.index)
// Rule 2: holds what it uses.
TAVRIN_METHOD(f_marker_repr, marker_repr, "__repr__", "$self", nullptr) {
    if (!f_marker_repr.bind(self, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    Ref type = Ref::steal(PyObject_GetAttr(self, S.s_type_));
    if (!type) {
        return nullptr;
    }
    Ref name = Ref::steal(PyObject_GetAttr(type.get(), S.s_name));
    if (!name) {
        return nullptr;
    }
    Ref index = Ref::steal(PyObject_GetAttr(self, S.s_index));
    if (!index) {
        return nullptr;
    }
    Ref name_text = Ref::steal(PyObject_Format(name.get(), nullptr));
    if (!name_text) {
        return nullptr;
    }
    Ref index_text = Ref::steal(PyObject_Format(index.get(), nullptr));
    if (!index_text) {
        return nullptr;
    }
    return PyUnicode_FromFormat("%U[%U]", name_text.get(), index_text.get());
}

// --------------------------------------------------------------- PathTable

// The overriding methods return None whatever super() returned.
PyObject* none_or_null(Ref r) noexcept {
    if (!r) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// super().__init__(generator) with list's own initialiser: clear, then
// append every entry of the walk as it comes. Rule 2 for the table, which is
// only appended to; the walk is private to this call.
Ref init_from_mapping(PyObject* self, PyObject* mapping) noexcept {
    Ref gen = new_generator(mapping, nullptr);
    if (!gen) {
        return Ref();
    }
    return tavrin::call_base(facts, kListInit, self, {gen.get()}, [&] {
        if (PyList_GET_SIZE(self) > 0 && PyList_SetSlice(self, 0, PyList_GET_SIZE(self), nullptr) < 0) {
            return Ref();
        }
        return tavrin::none_or_error(tavrin::guarded(-1, [&] {
            Walker walker(mapping, nullptr);
            for (;;) {
                Ref entry;
                const int rc = walker.next(entry);
                if (rc < 0) {
                    stop_escaping_the_walk();
                }
                if (rc <= 0) {
                    return rc;
                }
                if (PyList_Append(self, entry.get()) < 0) {
                    return -1;
                }
            }
        }));
    });
}

// Rule 2: the entries are checked in a private copy, then handed to list.
TAVRIN_METHOD(f_table_init, table_init, "__init__", "$self, *args",
              "Build the table.\n"
              "\n"
              "With one mutable mapping as the only argument, the table holds the DictItem\n"
              "entries of PathTable.__flatten__(mapping), in its depth-first order.\n"
              "Otherwise the arguments are those of list(): the first, if given, is read once\n"
              "and every element must unpack into exactly two values (path, value), else\n"
              "ValueError('PathTable only accepts a tuple of path/obj') is raised with the\n"
              "failure as its context; the elements are stored unchanged.") {
    std::pair<PyObject* const*, Py_ssize_t> star;
    if (!f_table_init.bind(self, args, nargs, kwnames, nullptr, &star)) {
        return nullptr;
    }
    PyObject* const* pos = star.first;
    const Py_ssize_t npos = star.second;
    if (npos == 1) {
        const int mapping = PyObject_IsInstance(pos[0], S.MutableMapping);
        if (mapping < 0) {
            return nullptr;
        }
        if (mapping) {
            return none_or_null(init_from_mapping(self, pos[0]));
        }
    }
    Ref init_args = tavrin::tuple_of(pos, npos);
    if (!init_args) {
        return nullptr;
    }
    if (npos > 0) {
        // Read once: a one-shot iterable is checked and stored, not lost.
        Ref entries = read_all(pos[0]);
        if (!entries) {
            raise_pair_error();
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
            Ref element = Ref::borrow(PyList_GET_ITEM(entries.get(), i));
            Ref path, value;
            if (pair_rule(element.get(), path, value) < 0) {
                return nullptr;
            }
        }
        // The tuple is new and ours alone: its first item is replaced in place.
        Ref given = Ref::steal(PyTuple_GET_ITEM(init_args.get(), 0));
        PyTuple_SET_ITEM(init_args.get(), 0, entries.release());
    }
    return none_or_null(tavrin::call_base(facts, kListInit, self, PySequence_Fast_ITEMS(init_args.get()),
                                          static_cast<size_t>(npos), [&] {
                                              return tavrin::none_or_error(
                                                  PyList_Type.tp_init(self, init_args.get(), nullptr));
                                          }));
}

// Runs no Python code: the walk starts on the generator's first step.
TAVRIN_MEMBER(tavrin::Kind::StaticMethod, f_table_flatten, table_flatten, "__flatten__", "indict, path=None",
              "Walk a nested structure depth first and yield its entries; a generator.\n"
              "\n"
              "For a mutable mapping, every (key, value) of indict.items() in order: a\n"
              "non-empty mutable mapping, list or tuple is walked in turn with the path\n"
              "extended by the key; anything else (empty containers included) is yielded as\n"
              "DictItem(path + (key,), value). A list or tuple is walked the same way with\n"
              "IndexMarker(seq, position) as the path component, one marker per element.\n"
              "Any other object is yielded itself. `path` is the path of indict (a tuple;\n"
              "None or empty for the top level). Nothing runs, not even the check of\n"
              "`path`, before the generator is first advanced. Leaves are the input's own\n"
              "objects.") {
    PyObject* argv[2];
    if (!f_table_flatten.bind(self, args, nargs, kwnames, argv)) {
        return nullptr;
    }
    return new_generator(argv[0], argv[1] ? argv[1] : Py_None).release();
}

// Rule 2: the table is reached only through list's own operations.
TAVRIN_METHOD(f_table_setitem, table_setitem, "__setitem__", "$self, index, item", nullptr) {
    PyObject* argv[2];
    if (!f_table_setitem.bind(self, args, nargs, kwnames, argv)) {
        return nullptr;
    }
    Ref path, value;
    if (pair_rule(argv[1], path, value) < 0) {
        return nullptr;
    }
    // tuple(item): the item itself when it is a tuple, else a tuple of the
    // two values just read (the item is not iterated a second time).
    Ref stored = PyTuple_CheckExact(argv[1]) ? Ref::borrow(argv[1]) : Ref::steal(PyTuple_Pack(2, path.get(), value.get()));
    if (!stored) {
        return nullptr;
    }
    return none_or_null(tavrin::call_base(facts, kListSetitem, self, {argv[0], stored.get()}, [&] {
        return tavrin::none_or_error(PyList_Type.tp_as_mapping->mp_ass_subscript(self, argv[0], stored.get()));
    }));
}

// Rule 2: the table is reached only through list's own operations.
TAVRIN_METHOD(f_table_append, table_append, "append", "$self, item",
              "Append one entry.\n"
              "\n"
              ":param item: anything that unpacks into exactly two values, (path, value)\n"
              ":return: None; the table gains DictItem(path, value)\n"
              ":raises ValueError: 'PathTable only accepts a tuple of path/obj' when item does\n"
              "    not unpack into two values; the table is then unchanged") {
    PyObject* item;
    if (!f_table_append.bind(self, args, nargs, kwnames, &item)) {
        return nullptr;
    }
    Ref path, value;
    if (pair_rule(item, path, value) < 0) {
        return nullptr;
    }
    Ref entry = make_dictitem(path.get(), value.get());
    if (!entry) {
        return nullptr;
    }
    return none_or_null(tavrin::call_base(facts, kListAppend, self, {entry.get()}, [&] {
        return tavrin::none_or_error(PyList_Append(self, entry.get()));
    }));
}

// Rule 2: the items are read once into a private list; the table is reached
// only through list's own operations.
TAVRIN_METHOD(f_table_extend, table_extend, "extend", "$self, items",
              "Append several entries, all or nothing.\n"
              "\n"
              ":param items: an iterable of items that each unpack into exactly two values;\n"
              "    it is read once, so an iterator or generator works too\n"
              ":return: None; the table gains one DictItem(path, value) per item, in order\n"
              ":raises ValueError: 'PathTable only accepts a tuple of path/obj' when an item\n"
              "    does not unpack into two values; nothing is added then") {
    PyObject* items;
    if (!f_table_extend.bind(self, args, nargs, kwnames, &items)) {
        return nullptr;
    }
    Ref elements = read_all(items);
    if (!elements) {
        return nullptr;
    }
    const Py_ssize_t n = PyList_GET_SIZE(elements.get());
    // Check every element before converting any: a failure adds nothing.
    std::vector<Ref> parts;
    if (tavrin::guarded(-1, [&] {
            parts.reserve(static_cast<size_t>(2 * n));
            return 0;
        }) < 0) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref element = Ref::borrow(PyList_GET_ITEM(elements.get(), i));
        Ref path, value;
        if (pair_rule(element.get(), path, value) < 0) {
            return nullptr;
        }
        parts.push_back(std::move(path));
        parts.push_back(std::move(value));
    }
    Ref converted = Ref::steal(PyList_New(n));
    if (!converted) {
        return nullptr;
    }
    // Making an entry can run Python code (a DictItem class of the user's);
    // until every slot is filled, gc.get_objects() must not reach the list.
    PyObject_GC_UnTrack(converted.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref entry = make_dictitem(parts[static_cast<size_t>(2 * i)].get(), parts[static_cast<size_t>(2 * i + 1)].get());
        if (!entry) {
            return nullptr;
        }
        PyList_SET_ITEM(converted.get(), i, entry.release());
    }
    PyObject_GC_Track(converted.get());
    return none_or_null(tavrin::call_base(facts, kListExtend, self, {converted.get()}, [&] {
        return tavrin::none_or_error(PyList_SetSlice(self, PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, converted.get()));
    }));
}

// Rule 2: the table is reached only through list's own operations.
TAVRIN_METHOD(f_table_insert, table_insert, "insert", "$self, index, item",
              "Insert one entry before position index, as list.insert does.\n"
              "\n"
              ":param index: the position (negative counts from the end; out of range clamps)\n"
              ":param item: anything that unpacks into exactly two values, (path, value)\n"
              ":return: None; the table gains DictItem(path, value)\n"
              ":raises ValueError: 'PathTable only accepts a tuple of path/obj' when item does\n"
              "    not unpack into two values (checked before index); the table is unchanged") {
    PyObject* argv[2];
    if (!f_table_insert.bind(self, args, nargs, kwnames, argv)) {
        return nullptr;
    }
    Ref path, value;
    if (pair_rule(argv[1], path, value) < 0) {
        return nullptr;
    }
    Ref entry = make_dictitem(path.get(), value.get());
    if (!entry) {
        return nullptr;
    }
    return none_or_null(tavrin::call_base(facts, kListInsert, self, {argv[0], entry.get()}, [&] {
        // list.insert itself, so its index conversion and clamping hold.
        PyObject* call[] = {self, argv[0], entry.get()};
        return Ref::steal(PyObject_Vectorcall(S.list_insert, call, 3, nullptr));
    }));
}

// ------------------------------------------------------------- reconstruct

// Identity map from our own containers to their tag, holding a reference
// to each (so an address always means the same object while it is used).
// Open addressing: reconstruct asks it once per path component.
class NodeTable {
public:
    NodeTable() { slots_.resize(64); }
    ~NodeTable() {
        for (Slot& s : slots_) {
            Py_XDECREF(s.node);
        }
    }
    NodeTable(const NodeTable&) = delete;
    NodeTable& operator=(const NodeTable&) = delete;

    PyObject* find(PyObject* node) const noexcept {
        const size_t mask = slots_.size() - 1;
        for (size_t i = hash(node) & mask;; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (s.node == node) {
                return s.tag;
            }
            if (!s.node) {
                return nullptr;
            }
        }
    }

    // `node` must not be in the table yet (it is always a new object).
    void add(PyObject* node, PyObject* tag) {
        if (2 * (count_ + 1) > slots_.size()) {
            grow();
        }
        place(node, tag);
        Py_INCREF(node);
        ++count_;
    }

private:
    struct Slot {
        PyObject* node = nullptr;
        PyObject* tag = nullptr;
    };

    static size_t hash(PyObject* p) noexcept {
        const unsigned long long x = static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)) >> 4;
        return static_cast<size_t>((x * 0x9E3779B97F4A7C15ull) >> 17);
    }

    void place(PyObject* node, PyObject* tag) noexcept {
        const size_t mask = slots_.size() - 1;
        size_t i = hash(node) & mask;
        while (slots_[i].node) {
            i = (i + 1) & mask;
        }
        slots_[i].node = node;
        slots_[i].tag = tag;
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (const Slot& s : old) {
            if (s.node) {
                place(s.node, s.tag);
            }
        }
    }

    std::vector<Slot> slots_;
    size_t count_ = 0;
};

// isinstance(k, IndexMarker)
int is_marker(PyObject* k) noexcept {
    if (Py_TYPE(k) == S.IndexMarker) {
        return 1;
    }
    if (plain_builtin_index(Py_TYPE(k)) >= 0) {
        return 0;
    }
    return PyObject_IsInstance(k, reinterpret_cast<PyObject*>(S.IndexMarker));
}

// Whether reading k.type_ and k.index reads the instance's own attributes
// and runs no Python code (an exact IndexMarker whose class has no
// attributes of those names and the generic lookup).
int marker_reads_are_plain(PyObject* k) noexcept {
    PyTypeObject* t = S.IndexMarker;
    if (Py_TYPE(k) != t || t->tp_getattro != PyObject_GenericGetAttr) {
        return 0;
    }
    return facts.all(t, bit(kNoTypeAttr) | bit(kNoIndexAttr));
}

// Builds the nested dict. Every container on the way is one of ours: a
// dict, or a list standing for a sequence level of some type_ (turned into
// that type at the end). A path that goes through a value stored by an
// earlier entry works on a copy of it, so the table's values and the
// caller's data are never changed.
// Rule 2: the table's size and entries are read afresh at every step, our
// containers are held by `ours_`, and the resumable chain is kept only from
// one entry to the next that both ran no Python code at all; the half-built
// result is private to the call.
class Rebuilder {
public:
    Ref run(PyObject* table) {
        ret_ = Ref::steal(PyDict_New());
        if (!ret_) {
            return Ref();
        }
        own(ret_.get(), kDict);
        if (Py_TYPE(table)->tp_iter == PyList_Type.tp_iter) {
            // As the list iterator: the size is read at every step.
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(table); ++i) {
                Ref entry = Ref::borrow(PyList_GET_ITEM(table, i));
                if (place_entry(i, entry.get(), true) < 0) {
                    return Ref();
                }
            }
        } else {
            Ref it = Ref::steal(PyObject_GetIter(table));
            if (!it) {
                return Ref();
            }
            for (Py_ssize_t i = 0;; ++i) {
                Ref entry = Ref::steal(PyIter_Next(it.get()));
                if (!entry) {
                    if (PyErr_Occurred()) {
                        return Ref();
                    }
                    break;
                }
                if (place_entry(i, entry.get(), false) < 0) {
                    return Ref();
                }
            }
        }
        if (convert_ && finish() < 0) {
            return Ref();
        }
        return std::move(ret_);
    }

private:
    // Tag of our dicts in `ours_` (sequence levels map to their type_).
    PyObject* const kDict = reinterpret_cast<PyObject*>(&PyDict_Type);

    // Our containers (and the type_ objects they stand for) are held until
    // the end, so an address in `ours_` always means the same object.
    void own(PyObject* node, PyObject* tag) {
        ours_.add(node, tag);
        if (tag != kDict && tag != reinterpret_cast<PyObject*>(&PyList_Type)) {
            convert_ = true;
            if (tag != reinterpret_cast<PyObject*>(&PyTuple_Type)) {
                pins_.push_back(Ref::borrow(tag));
            }
        }
    }

    Ref new_dict() {
        Ref d = Ref::steal(PyDict_New());
        if (d) {
            own(d.get(), kDict);
        }
        return d;
    }

    Ref new_level(PyObject* type_) {
        Ref b = Ref::steal(PyList_New(0));
        if (b) {
            own(b.get(), type_);
        }
        return b;
    }

    PyObject* tag_of(PyObject* node) const { return ours_.find(node); }

    // The slot that holds the current object: `container[key]`, or the
    // last element of a sequence level.
    struct Slot {
        PyObject* container = nullptr;
        bool sequence = false;
        Ref key;
        int set(PyObject* value) const {
            if (sequence) {
                Py_INCREF(value);
                return PyList_SetItem(container, PyList_GET_SIZE(container) - 1, value);
            }
            return PyDict_SetItem(container, key.get(), value);
        }
    };

    // `fetched_quietly`: the entry was read from the list itself, not from
    // an iterator that may run Python code.
    int place_entry(Py_ssize_t n, PyObject* entry, bool fetched_quietly) {
        Ref path, obj;
        if (unpack_two(entry, path, obj, Wording::Legacy) < 0) {
            return -1;
        }
        // Nothing ran since the previous entry: the chain it left is good.
        const bool resumable = fetched_quietly && iterates_as_itself(entry) && PyTuple_CheckExact(path.get());
        Ref comps = PyTuple_CheckExact(path.get()) ? Ref::borrow(path.get()) : Ref::steal(PySequence_List(path.get()));
        if (!comps) {
            return -1;
        }
        const bool tup = PyTuple_CheckExact(comps.get());
        const Py_ssize_t m = tup ? PyTuple_GET_SIZE(comps.get()) : PyList_GET_SIZE(comps.get());
        if (m == 0) {
            PyErr_Format(PyExc_ValueError, "PathTable entry %zd has an empty path", n);
            return -1;
        }
        // `comps` is a tuple or our own fresh list: nobody else changes it.
        auto comp = [&](Py_ssize_t j) { return tup ? PyTuple_GET_ITEM(comps.get(), j) : PyList_GET_ITEM(comps.get(), j); };
        const Py_ssize_t start = resumable ? resumable_steps(comps.get(), m) : 0;
        Slot slot;
        Ref current;
        if (start > 0) {
            const Step& at = chain_[static_cast<size_t>(start)];
            slot.container = at.slot_container;
            slot.sequence = at.slot_sequence;
            slot.key = Ref::borrow(at.slot_key);
            current = Ref::borrow(at.content);
        } else {
            current = Ref::borrow(ret_.get());
        }
        chain_.resize(static_cast<size_t>(start));
        bool quiet = true;
        for (Py_ssize_t j = start; j < m; ++j) {
            Ref k = Ref::borrow(comp(j));
            const bool last = j == m - 1;
            const int marker = is_marker(k.get());
            if (marker < 0) {
                return -1;
            }
            Step step;
            step.slot_container = slot.container;
            step.slot_sequence = slot.sequence;
            step.slot_key = slot.key.get();
            const int rc = marker ? (j == 0 ? leading_marker(n)
                                            : position_step(n, k.get(), last, obj.get(), slot, current, step))
                                  : key_step(n, k.get(), last, obj.get(), slot, current, step);
            if (rc < 0) {
                chain_.clear();
                return -1;
            }
            chain_.push_back(step);
            quiet = quiet && step.quiet;
            if (rc > 0) {
                break;
            }
        }
        // The chain is worth keeping only if no step ran Python code, which
        // could have changed what an earlier step read (a marker's index).
        prev_comps_ = std::move(comps);
        if (!quiet) {
            chain_.clear();
        }
        return 0;
    }

    // What one step found: the container it worked on (after replacing or
    // copying what was there), the slot that holds it, whether doing the
    // step again with the same component would only lead to the same place,
    // and whether it ran no Python code. Both are claimed only where they
    // are known to hold: a step that claims nothing is only done again.
    struct Step {
        PyObject* content = nullptr;  // ours (held by ours_)
        PyObject* slot_container = nullptr;
        PyObject* slot_key = nullptr;  // held by prev_comps_
        bool slot_sequence = false;
        bool repeatable = false;
        bool quiet = false;
        Py_ssize_t index = 0;  // markers: the position they probe
        bool marker = false;
    };

    // How many leading steps of this path can start from where the previous
    // entry's steps left off: the same component objects, each step one
    // that only finds its way (a plain key in our dict, a marker whose
    // position is present), and no Python code run since (a chain is kept
    // only then), so doing them again would change nothing and call
    // nothing. The last step always runs.
    Py_ssize_t resumable_steps(PyObject* comps, Py_ssize_t m) const {
        if (!prev_comps_ || chain_.empty()) {
            return 0;
        }
        PyObject* prev = prev_comps_.get();
        const bool ptup = PyTuple_CheckExact(prev), tup = PyTuple_CheckExact(comps);
        const Py_ssize_t limit = std::min<Py_ssize_t>(m, static_cast<Py_ssize_t>(chain_.size())) - 1;
        Py_ssize_t p = 0;
        for (; p < limit; ++p) {
            PyObject* a = tup ? PyTuple_GET_ITEM(comps, p) : PyList_GET_ITEM(comps, p);
            PyObject* b = ptup ? PyTuple_GET_ITEM(prev, p) : PyList_GET_ITEM(prev, p);
            const Step& step = chain_[static_cast<size_t>(p)];
            if (a != b || !step.repeatable) {
                break;
            }
            if (step.marker) {
                const Py_ssize_t size = PyList_GET_SIZE(step.content);
                if (step.index < -size || step.index >= size) {
                    break;
                }
            }
        }
        return p;
    }

    int leading_marker(Py_ssize_t n) {
        PyErr_Format(PyExc_ValueError, "PathTable entry %zd has a path that starts with a sequence position", n);
        return -1;
    }

    // 1 when the index is a position of the level (the probe `level[index]`
    // succeeds), 0 when that probe raises IndexError.
    static int probe(PyObject* level, PyObject* index) noexcept {
        if (PyLong_CheckExact(index)) {
            const Py_ssize_t i = PyLong_AsSsize_t(index);
            if (i == -1 && PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
                    return -1;
                }
                PyErr_Clear();
                return 0;  // list indexing reports this as IndexError
            }
            const Py_ssize_t size = PyList_GET_SIZE(level);
            return i >= -size && i < size;
        }
        Ref r = Ref::steal(PyObject_GetItem(level, index));  // the index's own __index__
        if (r) {
            return 1;
        }
        if (PyErr_ExceptionMatches(PyExc_IndexError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }

    // A component that is an IndexMarker. Returns 1 when the value is
    // stored (last component), 0 to go on, -1 on error.
    int position_step(Py_ssize_t n, PyObject* k, bool last, PyObject* obj, Slot& slot, Ref& current, Step& step) {
        const int plain = marker_reads_are_plain(k);
        if (plain < 0) {
            return -1;
        }
        step.quiet = plain > 0;
        Ref type_ = Ref::steal(PyObject_GetAttr(k, S.s_type_));
        if (!type_) {
            return -1;
        }
        if (!PyType_Check(type_.get()) ||
            !(PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type_.get()), &PyList_Type) ||
              PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type_.get()), &PyTuple_Type))) {
            PyErr_Format(PyExc_TypeError, "PathTable entry %zd: IndexMarker.type_ must be a list or tuple type, not %R",
                         n, type_.get());
            return -1;
        }
        PyObject* tag = tag_of(current.get());
        Ref level;
        bool placed = false;
        if (tag == type_.get()) {
            level = Ref::borrow(current.get());
        } else if (!tag && reinterpret_cast<PyObject*>(Py_TYPE(current.get())) == type_.get()) {
            // A stored sequence of this very type: go on in a copy.
            step.quiet = false;
            level = read_all(current.get());
            if (!level) {
                return -1;
            }
            own(level.get(), type_.get());
            if (slot.set(level.get()) < 0) {
                return -1;
            }
        } else {
            // Anything else there is replaced by a new level.
            level = new_level(type_.get());
            if (!level || slot.set(level.get()) < 0) {
                return -1;
            }
            placed = true;
        }
        step.content = level.get();
        step.marker = true;
        if (!placed) {
            Ref index = Ref::steal(PyObject_GetAttr(k, S.s_index));
            if (!index) {
                return -1;
            }
            const int present = probe(level.get(), index.get());
            if (present < 0) {
                return -1;
            }
            placed = !present;
            if (PyLong_CheckExact(index.get())) {
                step.index = PyLong_AsSsize_t(index.get());
                step.repeatable = !(step.index == -1 && PyErr_Occurred());
                PyErr_Clear();
            } else {
                step.quiet = false;  // the probe asked the index's __index__
            }
        }
        const bool tuple_like = PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type_.get()), &PyTuple_Type);
        if (last) {
            // A list position holds the value in its last element; a tuple
            // grows by one element for every value after its first.
            if (placed || tuple_like) {
                return PyList_Append(level.get(), obj) < 0 ? -1 : 1;
            }
            Py_INCREF(obj);
            return PyList_SetItem(level.get(), PyList_GET_SIZE(level.get()) - 1, obj) < 0 ? -1 : 1;
        }
        if (placed) {
            Ref holder = new_dict();
            if (!holder || PyList_Append(level.get(), holder.get()) < 0) {
                return -1;
            }
        }
        slot.container = level.get();  // held by ours_
        slot.sequence = true;
        slot.key.reset();
        current = Ref::borrow(PyList_GET_ITEM(level.get(), PyList_GET_SIZE(level.get()) - 1));
        return 0;
    }

    // A component that is a mapping key.
    int key_step(Py_ssize_t n, PyObject* k, bool last, PyObject* obj, Slot& slot, Ref& current, Step& step) {
        PyObject* tag = tag_of(current.get());
        Ref d;
        const bool quiet = quiet_key(k);
        step.content = current.get();
        step.quiet = quiet && tag;  // else the key's or the stored value's own code runs
        if (tag == kDict) {
            d = Ref::borrow(current.get());
            step.repeatable = quiet;
        } else if (tag) {
            // A key at a sequence level: a new dict holding it is appended.
            d = new_dict();
            if (!d || PyList_Append(current.get(), d.get()) < 0) {
                return -1;
            }
        } else {
            const int mapping = PyObject_IsInstance(current.get(), S.MutableMapping);
            if (mapping < 0) {
                return -1;
            }
            if (mapping) {
                // A stored mapping: go on in a copy, as a plain dict.
                d = new_dict();
                if (!d || PyDict_Merge(d.get(), current.get(), 1) < 0 || slot.set(d.get()) < 0) {
                    return -1;
                }
                step.content = d.get();
                step.repeatable = quiet;
            } else {
                const int seq = PyObject_IsInstance(current.get(), S.seq_types);
                if (seq < 0) {
                    return -1;
                }
                if (!seq) {
                    PyErr_Format(PyExc_TypeError, "PathTable entry %zd: the path continues below a stored '%.200s' value",
                                 n, Py_TYPE(current.get())->tp_name);
                    return -1;
                }
                Ref level = read_all(current.get());
                if (!level) {
                    return -1;
                }
                own(level.get(), reinterpret_cast<PyObject*>(Py_TYPE(current.get())));
                if (slot.set(level.get()) < 0) {
                    return -1;
                }
                step.content = level.get();
                d = new_dict();
                if (!d || PyList_Append(level.get(), d.get()) < 0) {
                    return -1;
                }
            }
        }
        PyObject* dict = d.get();
        Ref child;
        if (quiet) {
            if (last) {
                return PyDict_SetItem(dict, k, obj) < 0 ? -1 : 1;
            }
            const int found = tavrin::dict_get_ref(dict, k, child);
            if (found < 0) {
                return -1;
            }
            if (!found) {
                child = new_dict();
                if (!child || PyDict_SetItem(dict, k, child.get()) < 0) {
                    return -1;
                }
            }
        } else {
            // ptr[k] = ptr.get(k, {}); ptr = ptr[k]: the key's own __hash__
            // and __eq__ are called as those three operations call them.
            Ref v;
            const int found = tavrin::dict_get_ref(dict, k, v);
            if (found < 0) {
                return -1;
            }
            if (!found) {
                v = new_dict();
                if (!v) {
                    return -1;
                }
            }
            if (PyDict_SetItem(dict, k, v.get()) < 0) {
                return -1;
            }
            child = Ref::steal(PyObject_GetItem(dict, k));
            if (!child) {
                return -1;
            }
            if (last) {
                return PyDict_SetItem(dict, k, obj) < 0 ? -1 : 1;
            }
        }
        slot.container = dict;  // held by ours_
        slot.sequence = false;
        slot.key = Ref::borrow(k);
        current = std::move(child);
        return 0;
    }

    // Sequence levels of types other than list become their type, children
    // before parents: tuple(level), type_._make(level) for named tuples,
    // type_(level) for other subclasses.
    Ref convert(PyObject* level, PyObject* type_) {
        if (type_ == reinterpret_cast<PyObject*>(&PyTuple_Type)) {
            return Ref::steal(PyList_AsTuple(level));
        }
        if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type_), &PyTuple_Type)) {
            Ref make;
            const int has = tavrin::get_optional_attr(type_, S.s_make, make);
            if (has < 0) {
                return Ref();
            }
            if (has) {
                return Ref::steal(PyObject_CallOneArg(make.get(), level));
            }
        }
        return Ref::steal(PyObject_CallOneArg(type_, level));
    }

    int finish() {
        struct Visit {
            PyObject* node;
            PyObject* parent;
            Ref key;
            Py_ssize_t index;
        };
        std::vector<Visit> order;
        std::vector<size_t> todo;
        order.push_back({ret_.get(), nullptr, Ref(), 0});
        todo.push_back(0);
        while (!todo.empty()) {
            const size_t i = todo.back();
            todo.pop_back();
            PyObject* node = order[i].node;
            if (tag_of(node) == kDict) {
                Py_ssize_t pos = 0;
                PyObject *key, *value;
                while (PyDict_Next(node, &pos, &key, &value)) {
                    if (tag_of(value)) {
                        order.push_back({value, node, Ref::borrow(key), 0});
                        todo.push_back(order.size() - 1);
                    }
                }
            } else {
                for (Py_ssize_t j = 0; j < PyList_GET_SIZE(node); ++j) {
                    PyObject* value = PyList_GET_ITEM(node, j);
                    if (tag_of(value)) {
                        order.push_back({value, node, Ref(), j});
                        todo.push_back(order.size() - 1);
                    }
                }
            }
        }
        // Reverse pre-order puts every node after all of its descendants.
        for (size_t r = order.size(); r-- > 1;) {
            const Visit& v = order[r];
            PyObject* tag = tag_of(v.node);
            if (tag == kDict || tag == reinterpret_cast<PyObject*>(&PyList_Type)) {
                continue;
            }
            Ref made = convert(v.node, tag);
            if (!made) {
                return -1;
            }
            if (tag_of(v.parent) == kDict) {
                if (PyDict_SetItem(v.parent, v.key.get(), made.get()) < 0) {
                    return -1;
                }
            } else if (v.index < PyList_GET_SIZE(v.parent) &&
                       PyList_SetItem(v.parent, v.index, made.release()) < 0) {
                return -1;
            }
        }
        return 0;
    }

    Ref ret_;
    NodeTable ours_;
    std::vector<Ref> pins_;
    // Where the previous entry's steps went (see resumable_steps).
    std::vector<Step> chain_;
    Ref prev_comps_;
    bool convert_ = false;
};

// Rule 2 (see Rebuilder): a re-entrant call builds its own result.
TAVRIN_METHOD(f_table_reconstruct, table_reconstruct, "reconstruct", "$self",
              "Build the nested structure that the entries describe; a new dict every time.\n"
              "\n"
              "The entries are placed in table order: every mapping level becomes a new\n"
              "plain dict (keys in order of first appearance), every IndexMarker level a new\n"
              "sequence of the marker's `type_`. A marker whose index is not yet present in\n"
              "its level appends one element and otherwise addresses the level's last\n"
              "element, so positions are renumbered from 0; at a tuple level every value\n"
              "after the first makes the tuple one element longer. For a repeated path the\n"
              "last entry wins. Leaf values are placed as the very objects the table holds.\n"
              "The table itself is not changed.\n"
              "\n"
              "Beyond what the walk of `__flatten__` produces:\n"
              "\n"
              "- an entry whose path is empty or starts with an IndexMarker raises\n"
              "  ValueError (it has no place in a dict);\n"
              "- a path that goes on below a value stored by an earlier entry works on a\n"
              "  copy of that value when it is a mapping, list or tuple (the copy takes its\n"
              "  place in the result); below any other value it raises TypeError. Stored\n"
              "  values and the caller's data are never changed;\n"
              "- tuples whose elements are containers, and list or tuple subclasses, are\n"
              "  rebuilt faithfully: they are built as lists and made into their type at the\n"
              "  end (`tuple(...)`, `type_._make(...)` for named tuples, `type_(...)`\n"
              "  otherwise); a marker `type_` that is not a list or tuple type raises\n"
              "  TypeError.\n"
              "\n"
              ":return: a new dict\n"
              ":raises ValueError: an entry that does not unpack into (path, value), has an\n"
              "    empty path or a path that starts with an IndexMarker\n"
              ":raises TypeError: a path that goes on below a value that is not a mapping,\n"
              "    list or tuple, or a marker `type_` that is not a list or tuple type") {
    if (!f_table_reconstruct.bind(self, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    return tavrin::guarded<PyObject*>(nullptr, [&] {
        Rebuilder rebuilder;
        return rebuilder.run(self).release();
    });
}

// ------------------------------------------------------------------ module

const char* const table_doc =
    "A nested dictionary as a flat list of (path, value) entries.\n"
    "\n"
    "PathTable extends list. Built from a mutable mapping, it holds one\n"
    "DictItem(path, value) per leaf, in depth-first order: the path is the tuple of\n"
    "nested keys leading to the value, with an IndexMarker for every position in a\n"
    "list or tuple on the way. Entries can be filtered and edited with the usual\n"
    "list operations; append, insert, extend and item assignment accept only\n"
    "(path, value) pairs. reconstruct() goes the way back and always builds a new\n"
    "dictionary.";

int intern_all() noexcept {
    const tavrin::NameSlot names[] = {
        {&S.s_items, "items"},         {&S.s_type_, "type_"},         {&S.s_index, "index"},
        {&S.s_name, "__name__"},       {&S.s_init, "__init__"},       {&S.s_new, "__new__"},
        {&S.s_module, "__module__"},   {&S.s_setitem, "__setitem__"}, {&S.s_append, "append"},
        {&S.s_insert, "insert"},       {&S.s_extend, "extend"},       {&S.s_make, "_make"},
        {&S.s_throw, "throw"},         {&S.s_gi_frame, "gi_frame"},   {&S.s_tb_frame, "tb_frame"},
        {&S.s_tb_next, "tb_next"},     {&S.s_flatten, "__flatten__"}, {&S.s_flatten_qualname, "PathTable.__flatten__"},
    };
    if (tavrin::intern_names(names) < 0) {
        return -1;
    }
    S.empty_tuple = keep(Ref::steal(PyTuple_New(0)));
    S.full_slice = keep(Ref::steal(PySlice_New(nullptr, nullptr, nullptr)));
    return S.empty_tuple && S.full_slice ? 0 : -1;
}

// A generator function whose throw() gives a thrown exception the
// interpreter's own treatment (see gen_throw), and its code, by which its
// frames are told apart in tracebacks.
int make_helper(const char* source, const char* name, PyObject** fn_out, PyObject** code_out) noexcept {
    Ref fn = tavrin::python_function(source, name);
    if (!fn) {
        return -1;
    }
    *code_out = keep(Ref::borrow(PyFunction_GetCode(fn.get())));
    *fn_out = keep(std::move(fn));
    return 0;
}

int make_throw_helpers() noexcept {
    return make_helper("def throw_into():\n"
                       "    yield\n",
                       "throw_into", &S.throw_helper, &S.throw_helper_code) < 0 ||
                   make_helper("def catch_thrown(box):\n"
                               "    try:\n"
                               "        yield\n"
                               "    except BaseException as e:\n"
                               "        box.append(e)\n",
                               "catch_thrown", &S.catch_helper, &S.catch_helper_code) < 0
               ? -1
               : 0;
}

int pathtable_body(PyObject* m) noexcept {
    if (intern_all() < 0 || make_throw_helpers() < 0) {
        return -1;
    }
    // Made only by __flatten__.
    S.Generator = reinterpret_cast<PyTypeObject*>(keep(tavrin::make_internal_type(m, gen_spec)));
    if (!S.Generator) {
        return -1;
    }
    if (!(S.object_init = tavrin::builtin_entry(&PyBaseObject_Type, "__init__")) ||
        !(S.list_init = tavrin::builtin_entry(&PyList_Type, "__init__")) ||
        !(S.list_setitem = tavrin::builtin_entry(&PyList_Type, "__setitem__")) ||
        !(S.list_append = tavrin::builtin_entry(&PyList_Type, "append")) ||
        !(S.list_insert = tavrin::builtin_entry(&PyList_Type, "insert")) ||
        !(S.list_extend = tavrin::builtin_entry(&PyList_Type, "extend"))) {
        return -1;
    }

    Ref namedtuple = tavrin::import_from(m, "collections", "namedtuple");
    Ref mutable_mapping = tavrin::import_from(m, "collections.abc", "MutableMapping");
    if (!namedtuple || !mutable_mapping) {
        return -1;
    }
    S.MutableMapping = keep(std::move(mutable_mapping));
    if (mm_answers.init(S.MutableMapping) < 0) {
        return -1;
    }
    S.seq_types = keep(Ref::steal(
        PyTuple_Pack(2, reinterpret_cast<PyObject*>(&PyList_Type), reinterpret_cast<PyObject*>(&PyTuple_Type))));
    if (!S.seq_types) {
        return -1;
    }

    // DictItem = namedtuple("DictItem", ("path", "value"))
    Ref item_name = Ref::steal(PyUnicode_FromString("DictItem"));
    Ref fields = Ref::steal(Py_BuildValue("(ss)", "path", "value"));
    if (!item_name || !fields) {
        return -1;
    }
    Ref dictitem = Ref::steal(PyObject_CallFunctionObjArgs(namedtuple.get(), item_name.get(), fields.get(), nullptr));
    if (!dictitem) {
        return -1;
    }
    // namedtuple names the calling frame's module, which here is the import
    // machinery's; the class belongs to this module (pickling finds it here).
    Ref modname = Ref::steal(PyModule_GetNameObject(m));
    if (!modname || PyObject_SetAttr(dictitem.get(), S.s_module, modname.get()) < 0 ||
        PyObject_SetAttrString(m, "DictItem", dictitem.get()) < 0) {
        return -1;
    }
    S.DictItem = keep(std::move(dictitem));
    if (!(S.dictitem_new = tavrin::builtin_entry(reinterpret_cast<PyTypeObject*>(S.DictItem), "__new__"))) {
        return -1;
    }
    {
        // A class statement wraps a function __new__ in a staticmethod.
        Ref fn = Py_TYPE(S.dictitem_new) == &PyStaticMethod_Type
                     ? Ref::steal(PyStaticMethod_Type.tp_descr_get(S.dictitem_new, nullptr, S.DictItem))
                     : Ref();
        if (!fn || !PyFunction_Check(fn.get())) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_SystemError, "DictItem.__new__ is not a function");
            }
            return -1;
        }
        S.dictitem_new_code = keep(Ref::borrow(PyFunction_GetCode(fn.get())));
    }

    Ref marker = tavrin::make_class(m, "IndexMarker", {reinterpret_cast<PyObject*>(&PyBaseObject_Type)}, nullptr,
                                    {f_marker_init, f_marker_repr});
    if (!marker || PyObject_SetAttrString(m, "IndexMarker", marker.get()) < 0) {
        return -1;
    }
    S.IndexMarker = reinterpret_cast<PyTypeObject*>(keep(std::move(marker)));
    if (!(S.marker_init = tavrin::builtin_entry(S.IndexMarker, "__init__"))) {
        return -1;
    }

    Ref table = tavrin::make_class(m, "PathTable", {reinterpret_cast<PyObject*>(&PyList_Type)}, table_doc,
                                   {f_table_init, f_table_flatten, f_table_setitem, f_table_append, f_table_extend,
                                    f_table_insert, f_table_reconstruct});
    if (!table || PyObject_SetAttrString(m, "PathTable", table.get()) < 0) {
        return -1;
    }
    S.PathTable = reinterpret_cast<PyTypeObject*>(keep(std::move(table)));
    return 0;
}

}  // namespace

TAVRIN_MODULE(pathtable,
              "Flat (path, value) tables of nested configurations.\n"
              "\n"
              "PathTable turns a nested mapping, with the lists and tuples inside it, into a\n"
              "list of DictItem(path, value) entries, one per leaf, and rebuilds the nested\n"
              "dict from such a list with reconstruct().",
              pathtable_body)
