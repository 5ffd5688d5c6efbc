// tavrin.datastructures.wispseq: WispSeq, a collections.UserList whose
// entries are weak references to the objects written into it, so that an
// object leaves the list by itself when it is finalized.
#include <tavrin/module.hpp>

#include <algorithm>
#include <cstddef>
#include <vector>

using tavrin::keep;
using tavrin::Ref;

namespace {

// The lookups the fast paths stand on. The first rows are
// `super(WispSeq, self).name`: while one lands on UserList's own function,
// whose body acts on self.data, the overriding method does that work on
// self.data directly.
enum Row : unsigned {
    kInit,
    kContains,
    kGetitem,
    kSetitem,
    kIadd,
    kRemove,
    kAppend,
    kIndex,
    kCount,
    kPop,
    kInsert,
    kExtend,
    kSort,
    kBaseRows,
    kNoData = kBaseRows,  // no class in the MRO defines `data`
    kOwnRemove,           // the MRO finds our own remove (self.remove, unless the instance shadows it)
    kOwnExtend,           // likewise extend
    kOwnIter,             // and __iter__: iter(self) calls ours
    kRows
};

// Process-wide state, filled once by the module body.
struct State {
    PyObject* UserList = nullptr;
    PyObject* ReferenceType = nullptr;
    PyTypeObject* WispSeq = nullptr;
    PyTypeObject* Iter = nullptr;
    PyTypeObject* WeakMethod = nullptr;

    // Our own descriptors as the class holds them.
    PyObject* own_remove = nullptr;
    PyObject* own_iter = nullptr;
    PyObject* own_extend = nullptr;
    PyCFunction remove_meth = nullptr;  // the C function of our remove
    PyObject* absent = nullptr;         // what a lookup that finds nothing finds

    PyObject* s_data = nullptr;
    PyObject* s_init = nullptr;
    PyObject* s_contains = nullptr;
    PyObject* s_getitem = nullptr;
    PyObject* s_setitem = nullptr;
    PyObject* s_iadd = nullptr;
    PyObject* s_iter = nullptr;
    PyObject* s_remove = nullptr;
    PyObject* s_append = nullptr;
    PyObject* s_index = nullptr;
    PyObject* s_count = nullptr;
    PyObject* s_pop = nullptr;
    PyObject* s_insert = nullptr;
    PyObject* s_extend = nullptr;
    PyObject* s_sort = nullptr;
    PyObject* s_class = nullptr;
    PyObject* s_dict = nullptr;
    PyObject* s_new = nullptr;
    PyObject* s_name = nullptr;
    PyObject* s_update = nullptr;
    PyObject* s_deepcopy = nullptr;
    PyObject* empty_tuple = nullptr;
    PyObject* reverse_slice = nullptr;  // slice(None, None, -1)
    PyObject* sort_kwnames = nullptr;   // ("key", "reverse")
    PyObject* sep = nullptr;            // ", "

    PyObject* userlist[kBaseRows] = {};  // UserList's functions, by row
};
State S;

// Beside the rows: self.data reads and writes the instance dict and nothing
// else (no class defines it, and attribute access is the generic one).
constexpr unsigned kPlainData = kRows;

const tavrin::FactRow kFactRows[] = {
    {&S.s_init, &S.userlist[kInit], &S.WispSeq},
    {&S.s_contains, &S.userlist[kContains], &S.WispSeq},
    {&S.s_getitem, &S.userlist[kGetitem], &S.WispSeq},
    {&S.s_setitem, &S.userlist[kSetitem], &S.WispSeq},
    {&S.s_iadd, &S.userlist[kIadd], &S.WispSeq},
    {&S.s_remove, &S.userlist[kRemove], &S.WispSeq},
    {&S.s_append, &S.userlist[kAppend], &S.WispSeq},
    {&S.s_index, &S.userlist[kIndex], &S.WispSeq},
    {&S.s_count, &S.userlist[kCount], &S.WispSeq},
    {&S.s_pop, &S.userlist[kPop], &S.WispSeq},
    {&S.s_insert, &S.userlist[kInsert], &S.WispSeq},
    {&S.s_extend, &S.userlist[kExtend], &S.WispSeq},
    {&S.s_sort, &S.userlist[kSort], &S.WispSeq},
    {&S.s_data, &S.absent},
    {&S.s_remove, &S.own_remove},
    {&S.s_extend, &S.own_extend},
    {&S.s_iter, &S.own_iter},
};

constexpr tavrin::Facts bit(unsigned fact) noexcept { return tavrin::Facts{1} << fact; }

// Attribute access is looked up as a type slot: assigning a class's
// __getattribute__, __getattr__ or __setattr__ changes the slot and the
// type's version tag together.
int plain_data_fact(PyTypeObject* t, tavrin::Facts& out) noexcept {
    if ((out & bit(kNoData)) && t->tp_getattro == PyObject_GenericGetAttr &&
        t->tp_setattro == PyObject_GenericSetAttr) {
        out |= bit(kPlainData);
    }
    return 0;
}

tavrin::TypeFacts<kRows> facts(kFactRows, plain_data_fact);

// ------------------------------------------------------------------ entries

// The object of an entry: 1 with `out` set, 0 when its object is gone (out
// empty), -1 on error. Entries the class made are exact weak references and
// are read without running any code; anything else found in `data` is read
// the way the class's Python reading does it, by calling it.
int deref(PyObject* entry, Ref& out) noexcept {
    if (PyWeakref_CheckRefExact(entry)) {
        return tavrin::weakref_get(entry, out);
    }
    out = Ref::steal(PyObject_CallNoArgs(entry));
    if (!out) {
        return -1;
    }
    if (out.get() == Py_None) {
        out.reset();
        return 0;
    }
    return 1;
}

// Reading an entry as every read of the class does: the object, or None.
PyObject* read_entry(PyObject* entry) noexcept {
    Ref obj;
    const int rc = deref(entry, obj);
    if (rc < 0) {
        return nullptr;
    }
    if (rc == 0) {
        Py_RETURN_NONE;
    }
    return obj.release();
}

Ref get_data(PyObject* self) noexcept { return Ref::steal(PyObject_GetAttr(self, S.s_data)); }

// The overriding methods return None whatever the base returned.
PyObject* none_or_null(Ref r) noexcept {
    if (!r) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ------------------------------------------------------------ callbacks

PyObject* remove_impl(PyObject* self, PyObject* item) noexcept;

// The callback of the entries: the storing instance's `remove`, bound
// weakly. A bound method object would hold the instance, so that every
// non-empty list would be a reference cycle left to the cycle collector; a
// dropped list would keep its weak references attached to live objects
// until the collector ran, and the collector unlinking them while the
// interpreter is clearing the weak references of a finalized object (it can
// run inside that clearing, before 3.12) crashes CPython. Bound weakly, a
// list goes as soon as its last user drops it, taking its entries along,
// and a callback whose list is gone does nothing. Otherwise it is the bound
// method: __self__, __func__, called as func(instance, ref), and equal (with
// the same hash) to the method bound the ordinary way.
struct WeakMethod {
    PyObject_HEAD
    PyObject* self_ref;  // weak reference (without callback) to the instance
    PyObject* func;      // what `remove` was found to be, called as func(instance, *args)
    const void* self_at; // the instance's address, for a hash that outlives it
    vectorcallfunc vectorcall;
};

WeakMethod* as_method(PyObject* o) noexcept { return reinterpret_cast<WeakMethod*>(o); }

int wm_traverse(PyObject* o, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(o));
    Py_VISIT(as_method(o)->self_ref);
    Py_VISIT(as_method(o)->func);
    return 0;
}

int wm_clear(PyObject* o) noexcept {
    Py_CLEAR(as_method(o)->self_ref);
    Py_CLEAR(as_method(o)->func);
    return 0;
}

void wm_dealloc(PyObject* o) noexcept {
    PyTypeObject* tp = Py_TYPE(o);
    PyObject_GC_UnTrack(o);
    wm_clear(o);
    tp->tp_free(o);
    Py_DECREF(tp);
}

// The instance: 1 with `out` set, 0 when it is gone, -1 on error.
int wm_instance(PyObject* o, Ref& out) noexcept {
    PyObject* ref = as_method(o)->self_ref;
    if (!ref) {
        out.reset();
        return 0;
    }
    return tavrin::weakref_get(ref, out);
}

// Re-entry: rule 2 (the instance and function are read afresh and held for the call).
PyObject* wm_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    Ref inst;
    const int alive = wm_instance(callable, inst);
    if (alive <= 0) {
        if (alive == 0) {
            Py_RETURN_NONE;  // the list is gone, and its entries with it
        }
        return nullptr;
    }
    PyObject* func = as_method(callable)->func;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (func == S.own_remove && nargs == 1 && !kwnames) {
        return remove_impl(inst.get(), args[0]);
    }
    Ref hold = Ref::borrow(func);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return tavrin::guarded(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        std::vector<PyObject*> argv(static_cast<size_t>(nargs + nkw + 1));
        argv[0] = inst.get();
        std::copy(args, args + nargs + nkw, argv.begin() + 1);
        return PyObject_Vectorcall(hold.get(), argv.data(), static_cast<size_t>(nargs + 1), kwnames);
    });
}

// The hash of the method bound the ordinary way, from the instance's
// address alone, so that it outlives the instance. On 3.9 to 3.13 a bound
// method hashes as hash_pointer(__self__) ^ hash(__func__), and a method of
// a C function (our own remove, bound) as hash_pointer(__self__) ^
// hash_pointer(the C function). No API promises either formula: the tests
// compare hash(callback) with hash(instance.remove) for both kinds, and fail
// the day one changes.
// Re-entry: rule 2 (reads the fields once; only the function's hash runs code).
Py_hash_t wm_hash(PyObject* o) noexcept {
    WeakMethod* m = as_method(o);
    const Py_hash_t self_hash = tavrin::hash_pointer(m->self_at);
    Py_hash_t h;
    if (!m->func) {
        h = self_hash;  // cleared by the collector
    } else if (m->func == S.own_remove) {
        h = self_hash ^ tavrin::hash_pointer(reinterpret_cast<const void*>(S.remove_meth));
    } else {
        const Py_hash_t f = PyObject_Hash(m->func);
        if (f == -1) {
            return -1;
        }
        h = self_hash ^ f;
    }
    return h == -1 ? -2 : h;
}

// Re-entry: rule 2 (runs no code; compares pointers read afresh).
PyObject* wm_richcompare(PyObject* a, PyObject* b, int op) noexcept {
    if ((op != Py_EQ && op != Py_NE) || !as_method(a)->func) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    WeakMethod* m = as_method(a);
    PyObject* other_self = nullptr;
    PyObject* other_func = nullptr;
    Ref other_inst;
    if (Py_TYPE(b) == S.WeakMethod) {
        if (wm_instance(b, other_inst) < 0) {
            return nullptr;
        }
        other_self = other_inst.get();
        other_func = as_method(b)->func;
    } else if (PyMethod_Check(b)) {
        other_self = PyMethod_GET_SELF(b);
        other_func = PyMethod_GET_FUNCTION(b);
    } else if (PyCFunction_Check(b) && PyCFunction_GET_FUNCTION(b) == S.remove_meth) {
        other_self = PyCFunction_GET_SELF(b);
        other_func = S.own_remove;
    } else {
        Py_RETURN_NOTIMPLEMENTED;
    }
    Ref inst;
    if (wm_instance(a, inst) < 0) {
        return nullptr;
    }
    bool eq = other_func == m->func && ((inst && inst.get() == other_self) ||
                                        (Py_TYPE(b) == S.WeakMethod && as_method(b)->self_ref == m->self_ref));
    return PyBool_FromLong((op == Py_EQ) == eq);
}

// Re-entry: rule 2 (the instance is read after the name and held).
PyObject* wm_repr(PyObject* o) noexcept {
    Ref func = Ref::borrow(as_method(o)->func);
    Ref name = func ? Ref::steal(PyObject_GetAttrString(func.get(), "__qualname__")) : Ref();
    if (!name) {
        PyErr_Clear();
        name = Ref::steal(PyUnicode_FromString("?"));
        if (!name) {
            return nullptr;
        }
    }
    Ref inst;
    if (wm_instance(o, inst) < 0) {
        return nullptr;
    }
    if (!inst) {
        return PyUnicode_FromFormat("<weakly bound method %S of a finalized object>", name.get());
    }
    return PyUnicode_FromFormat("<weakly bound method %S of %s object at %p>", name.get(), Py_TYPE(inst.get())->tp_name,
                                static_cast<void*>(inst.get()));
}

PyObject* wm_get_self(PyObject* o, void*) noexcept {
    Ref inst;
    if (wm_instance(o, inst) < 0) {
        return nullptr;
    }
    return inst ? inst.release() : Ref::borrow(Py_None).release();
}

PyObject* wm_get_func(PyObject* o, void*) noexcept {
    return Ref::borrow(as_method(o)->func ? as_method(o)->func : Py_None).release();
}

// Re-entry: rule 2 (the function is held while its attribute is read).
PyObject* wm_get_attr_of_func(PyObject* o, void* name) noexcept {
    Ref func = Ref::borrow(as_method(o)->func);
    if (!func) {
        PyErr_SetString(PyExc_AttributeError, static_cast<const char*>(name));
        return nullptr;
    }
    return PyObject_GetAttrString(func.get(), static_cast<const char*>(name));
}

PyGetSetDef wm_getset[] = {
    {"__self__", wm_get_self, nullptr, "The instance, or None once it is gone.", nullptr},
    {"__func__", wm_get_func, nullptr, "The function called with the instance.", nullptr},
    {"__name__", wm_get_attr_of_func, nullptr, nullptr, const_cast<char*>("__name__")},
    {"__qualname__", wm_get_attr_of_func, nullptr, nullptr, const_cast<char*>("__qualname__")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef wm_members[] = {
    {"__vectorcalloffset__", TAVRIN_T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(WeakMethod, vectorcall)),
     TAVRIN_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot wm_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(wm_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(wm_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(wm_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_hash, reinterpret_cast<void*>(wm_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(wm_richcompare)},
    {Py_tp_repr, reinterpret_cast<void*>(wm_repr)},
    {Py_tp_getset, wm_getset},
    {Py_tp_members, wm_members},
    {Py_tp_free, reinterpret_cast<void*>(PyObject_GC_Del)},
    {0, nullptr},
};

PyType_Spec wm_spec = {
    "tavrin.datastructures.wispseq.weakly_bound_method",
    static_cast<int>(sizeof(WeakMethod)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
    wm_slots,
};

Ref bind_weakly(PyObject* self, PyObject* func) noexcept {
    Ref self_ref = Ref::steal(PyWeakref_NewRef(self, nullptr));
    if (!self_ref) {
        return self_ref;
    }
    Ref m = Ref::steal(PyType_GenericAlloc(S.WeakMethod, 0));
    if (!m) {
        return m;
    }
    WeakMethod* w = as_method(m.get());
    w->self_ref = self_ref.release();
    Py_INCREF(func);
    w->func = func;
    w->self_at = self;
    w->vectorcall = wm_vectorcall;
    return m;
}

// The callback of new entries: `self.remove`, looked up on the instance for
// every entry made, and bound weakly when it is a method of the instance.
// When the lookup lands on our own method, one callback serves every entry
// made in the same call, and append takes the one its neighbour holds: one
// callback object per list rather than one per entry.
class Callback {
public:
    explicit Callback(PyObject* self) noexcept : self_(self) {}

    Ref get() noexcept {
        const int own = tavrin::attribute_is(self_, facts, kOwnRemove);
        if (own < 0) {
            return Ref();
        }
        if (own) {
            return this->own(nullptr);
        }
        Ref found = Ref::steal(PyObject_GetAttr(self_, S.s_remove));
        if (!found) {
            return found;
        }
        PyObject* func = nullptr;
        if (PyMethod_Check(found.get()) && PyMethod_GET_SELF(found.get()) == self_) {
            func = PyMethod_GET_FUNCTION(found.get());
        } else if (PyCFunction_Check(found.get()) && PyCFunction_GET_SELF(found.get()) == self_ &&
                   PyCFunction_GET_FUNCTION(found.get()) == S.remove_meth) {
            func = S.own_remove;
        }
        if (!func) {
            return found;  // not a method of this instance: used as found
        }
        return weakly(func);
    }

    // Our own remove, once the lookup is known to find it; `neighbours` is
    // the list the new entry joins. The neighbour's callback is its
    // `__callback__`, read from the field that attribute reads: on 3.9 to
    // 3.13, weakref.ref's `__callback__` is a read-only member over
    // `wr_callback` of the PyWeakReference the running version's headers
    // declare, and the interpreter clears the field before it calls the
    // callback. The attribute lookup would add about a tenth to every
    // append. The tests check that entries appended one at a time share one
    // callback: they fail the day the field stops holding it.
    Ref own(PyObject* neighbours) noexcept {
        if (!bound_ && neighbours && PyList_GET_SIZE(neighbours) > 0) {
            PyObject* last = PyList_GET_ITEM(neighbours, PyList_GET_SIZE(neighbours) - 1);
            PyObject* cb = PyWeakref_CheckRefExact(last) ? reinterpret_cast<PyWeakReference*>(last)->wr_callback
                                                         : nullptr;
            if (cb && Py_TYPE(cb) == S.WeakMethod && as_method(cb)->func == S.own_remove) {
                Ref hold = Ref::borrow(cb);
                Ref inst;
                if (wm_instance(cb, inst) < 0) {
                    return Ref();
                }
                if (inst.get() == self_) {
                    bound_ = std::move(hold);
                }
            }
        }
        return weakly(S.own_remove);
    }

private:
    Ref weakly(PyObject* func) noexcept {
        if (!bound_ || as_method(bound_.get())->func != func) {
            bound_ = bind_weakly(self_, func);
            if (!bound_) {
                return Ref();
            }
        }
        return Ref::borrow(bound_.get());
    }

    PyObject* self_;
    Ref bound_;
};

// ---------------------------------------------------------------- iterator

// What WispSeq.__iter__ returns, and what slicing hands to the constructor.
// It walks a list of entries by position, reading its length before every
// step, so entries removed by finalization while it is suspended shift the
// later ones down and entries appended meanwhile are visited. Like a
// generator body, the walk over `owner.data` starts at the first step.
struct WispIter {
    PyObject_HEAD
    PyObject* owner;   // the WispSeq whose `data` is fetched at the first step
    PyObject* source;  // the list of entries, or an iterator over them
    Py_ssize_t pos;
    int skip_dead;     // slicing and copying leave out entries whose object is gone
    int generic;       // `source` is an iterator, not a list
    int running;       // the Busy claim of a step in progress
};

int iter_traverse(PyObject* o, visitproc visit, void* arg) noexcept {
    auto* it = reinterpret_cast<WispIter*>(o);
    Py_VISIT(Py_TYPE(o));
    Py_VISIT(it->owner);
    Py_VISIT(it->source);
    return 0;
}

// A finished walk, by exhaustion or by an error, stays finished.
void iter_finish(WispIter* it) noexcept {
    Py_CLEAR(it->owner);
    Py_CLEAR(it->source);
}

int iter_clear(PyObject* o) noexcept {
    auto* it = reinterpret_cast<WispIter*>(o);
    if (!it->running) {
        iter_finish(it);
    }
    return 0;
}

void iter_dealloc(PyObject* o) noexcept {
    PyTypeObject* tp = Py_TYPE(o);
    PyObject_GC_UnTrack(o);
    iter_finish(reinterpret_cast<WispIter*>(o));
    tp->tp_free(o);
    Py_DECREF(tp);
}

// Re-entry: rule 1 (a step holds the walk's claim, so a second `next` from
// inside it or from another thread is refused as a running generator's is).
PyObject* iter_next(PyObject* o) noexcept {
    auto* it = reinterpret_cast<WispIter*>(o);
    tavrin::Busy busy(it->running, "generator already executing");
    if (busy.refused()) {
        return nullptr;
    }
    if (!it->source) {
        if (!it->owner) {
            return nullptr;
        }
        Ref owner = Ref::steal(it->owner);
        it->owner = nullptr;
        Ref data = get_data(owner.get());
        if (!data) {
            return nullptr;
        }
        if (PyList_CheckExact(data.get())) {
            it->source = data.release();
        } else {
            it->source = PyObject_GetIter(data.get());
            if (!it->source) {
                return nullptr;
            }
            it->generic = 1;
        }
    }
    for (;;) {
        // Strong references only: the source may lose its last other
        // owner, and the entry its place, in whatever the next call runs.
        Ref source = Ref::borrow(it->source);
        if (!source) {
            return nullptr;
        }
        Ref entry;
        if (it->generic) {
            // `data` may be iterated by another of these (a list whose data
            // is itself): the chain of next() calls is C alone, so it counts
            // towards the recursion limit as the generator's frames would.
            tavrin::RecursionGuard guard(" while iterating a WispSeq");
            if (!guard.failed()) {
                entry = Ref::steal(PyIter_Next(source.get()));
            }
            if (!entry) {
                iter_finish(it);
                return nullptr;
            }
        } else {
            if (it->pos >= PyList_GET_SIZE(source.get())) {
                iter_finish(it);
                return nullptr;
            }
            entry = Ref::borrow(PyList_GET_ITEM(source.get(), it->pos));
            ++it->pos;
        }
        Ref obj;
        const int rc = deref(entry.get(), obj);
        if (rc < 0) {
            iter_finish(it);
            return nullptr;
        }
        if (rc > 0) {
            return obj.release();
        }
        if (!it->skip_dead) {
            Py_RETURN_NONE;
        }
    }
}

PyType_Slot iter_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(iter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(iter_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iter_next)},
    {Py_tp_free, reinterpret_cast<void*>(PyObject_GC_Del)},
    {0, nullptr},
};

PyType_Spec iter_spec = {
    "tavrin.datastructures.wispseq.wispseq_iterator",
    static_cast<int>(sizeof(WispIter)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    iter_slots,
};

Ref make_iter(PyObject* owner, PyObject* source, bool skip_dead) noexcept {
    Ref it = Ref::steal(PyType_GenericAlloc(S.Iter, 0));
    if (!it) {
        return it;
    }
    auto* w = reinterpret_cast<WispIter*>(it.get());
    Py_XINCREF(owner);
    w->owner = owner;
    Py_XINCREF(source);
    w->source = source;
    w->skip_dead = skip_dead ? 1 : 0;
    return it;
}

// iter(obj) for a WispSeq, without the slot machinery when type(obj) keeps
// our own __iter__ (special methods are looked up on the type only).
Ref iterate(PyObject* obj, bool skip_dead) noexcept {
    const int own = facts.holds(Py_TYPE(obj), kOwnIter);
    if (own < 0) {
        return Ref();
    }
    return own ? make_iter(obj, nullptr, skip_dead) : Ref::steal(PyObject_GetIter(obj));
}

// Each next object, or empty: at the end (no error) or on error.
Ref next_of(PyObject* it) noexcept {
    if (Py_TYPE(it) == S.Iter) {
        return Ref::steal(iter_next(it));
    }
    return Ref::steal(PyIter_Next(it));
}

// The objects of a list of entries (a snapshot), leaving out entries whose
// object is already gone.
Ref live_objects(PyObject* entries) noexcept {
    Ref it = make_iter(nullptr, nullptr, true);
    if (!it) {
        return it;
    }
    auto* w = reinterpret_cast<WispIter*>(it.get());
    if (PyList_CheckExact(entries)) {
        Py_INCREF(entries);
        w->source = entries;
    } else {
        w->source = PyObject_GetIter(entries);
        if (!w->source) {
            return Ref();
        }
        w->generic = 1;
    }
    Ref out = Ref::steal(PyList_New(0));
    if (!out) {
        return out;
    }
    for (;;) {
        Ref obj = Ref::steal(iter_next(it.get()));
        if (!obj) {
            return PyErr_Occurred() ? Ref() : std::move(out);
        }
        if (PyList_Append(out.get(), obj.get()) < 0) {
            return Ref();
        }
    }
}

// ----------------------------------------------------------- bulk wrapping

// The new entries of one bulk write, all made before anything changes. The
// objects are held until the entries are stored: an object that nobody
// else holds would otherwise be finalized between its wrapping and the
// store, and its callback would look for an entry that is not there yet.
struct Batch {
    Ref held;  // the objects
    Ref refs;  // their new entries, in order
};

int collect(PyObject* self, PyObject* items, Batch& out) noexcept {
    out.held = Ref::steal(PyList_New(0));
    out.refs = Ref::steal(PyList_New(0));
    if (!out.held || !out.refs) {
        return -1;
    }
    // Reading another WispSeq through our own iteration takes the objects
    // of its live entries: one caught between finalization and cleanup
    // has no object to write.
    const int typed = PyObject_TypeCheck(items, S.WispSeq);
    Ref it = typed ? iterate(items, true) : Ref::steal(PyObject_GetIter(items));
    if (!it) {
        return -1;
    }
    Callback callback(self);
    for (;;) {
        Ref obj = next_of(it.get());
        if (!obj) {
            return PyErr_Occurred() ? -1 : 0;
        }
        Ref cb = callback.get();
        if (!cb) {
            return -1;
        }
        Ref ref = Ref::steal(PyWeakref_NewRef(obj.get(), cb.get()));
        if (!ref || PyList_Append(out.held.get(), obj.get()) < 0 || PyList_Append(out.refs.get(), ref.get()) < 0) {
            return -1;
        }
    }
}

// ------------------------------------------------------------ scanning

// The probe of a lookup, and what can be decided about it without running
// code.
struct Probe {
    PyObject* ref = nullptr;
    Ref target;          // its object, when it has one
    bool exact = false;  // an exact weakref.ref
    bool dead = false;
    bool plain = false;  // the object's type compares with object's own ==
};

int make_probe(PyObject* ref, Probe& p) noexcept {
    p.ref = ref;
    p.exact = PyWeakref_CheckRefExact(ref);
    if (!p.exact) {
        return 0;
    }
    const int alive = tavrin::weakref_get(ref, p.target);
    if (alive < 0) {
        return -1;
    }
    p.dead = !alive;
    p.plain = alive && Py_TYPE(p.target.get())->tp_richcompare == PyBaseObject_Type.tp_richcompare;
    return 0;
}

// entry == probe, as the list compares them (the entry on the left), when
// that is known without running code: 1 equal, 0 not, 2 unknown, -1 error.
// Two weak references compare their objects when both are alive, else by
// identity; objects whose types both keep object's own == compare by
// identity and run nothing.
int quick_equal(const Probe& p, PyObject* entry) noexcept {
    if (entry == p.ref) {
        return 1;
    }
    if (!p.exact || !PyWeakref_CheckRefExact(entry)) {
        return 2;
    }
    if (p.dead) {
        return 0;
    }
    Ref obj;
    const int alive = tavrin::weakref_get(entry, obj);
    if (alive <= 0) {
        return alive;
    }
    if (!p.plain || Py_TYPE(obj.get())->tp_richcompare != PyBaseObject_Type.tp_richcompare) {
        return 2;
    }
    return obj.get() == p.target.get() ? 1 : 0;
}

// Where `entry` stands in `data` now, after Python code ran; -1 if gone.
// Removals move entries down, so the search goes down from the old place
// first.
Py_ssize_t relocate(PyObject* data, PyObject* entry, Py_ssize_t hint) noexcept {
    const Py_ssize_t n = PyList_GET_SIZE(data);
    if (hint < n && PyList_GET_ITEM(data, hint) == entry) {
        return hint;
    }
    for (Py_ssize_t k = std::min(hint, n) - 1; k >= 0; --k) {
        if (PyList_GET_ITEM(data, k) == entry) {
            return k;
        }
    }
    for (Py_ssize_t k = hint + 1; k < n; ++k) {
        if (PyList_GET_ITEM(data, k) == entry) {
            return k;
        }
    }
    return -1;
}

// list.index / list.count / `in` over an exact list of entries, comparing
// each entry with the probe from the front. An entry's == can run anything,
// finalizers and callbacks included, which may remove or add entries: the
// scan then finds the entry it compared again by identity and goes on after
// it, so it neither skips nor repeats entries, and a match is reported at
// the place the entry has when the scan returns. An entry that vanished
// during its own comparison does not match.
// With `count` null: 1 with *pos set on the first match, 0 for none.
// With `count`: the number of matches in *count, returns 0. -1 on error.
int scan(PyObject* data, const Probe& p, Py_ssize_t* pos, Py_ssize_t* count) noexcept {
    Py_ssize_t i = 0;
    while (i < PyList_GET_SIZE(data)) {
        PyObject* entry = PyList_GET_ITEM(data, i);
        int eq = quick_equal(p, entry);
        if (eq < 0) {
            return -1;
        }
        if (eq == 2) {
            Ref hold = Ref::borrow(entry);
            eq = PyObject_RichCompareBool(entry, p.ref, Py_EQ);
            if (eq < 0) {
                return -1;
            }
            const Py_ssize_t now = relocate(data, entry, i);
            if (now < 0) {
                continue;  // the entries after it moved down into place i
            }
            i = now;
        }
        if (eq) {
            if (!count) {
                *pos = i;
                return 1;
            }
            ++*count;
        }
        ++i;
    }
    return 0;
}

// The place of a dead reference among the entries, by identity: a dead
// reference equals nothing but itself. Searched from both ends at once, so
// objects that go in the order they came, or in the reverse order (a list
// drops its items last to first), are found at once.
Py_ssize_t find_dead(PyObject* data, PyObject* ref) noexcept {
    Py_ssize_t lo = 0, hi = PyList_GET_SIZE(data) - 1;
    while (lo <= hi) {
        if (PyList_GET_ITEM(data, hi) == ref) {
            return hi;
        }
        if (PyList_GET_ITEM(data, lo) == ref) {
            return lo;
        }
        ++lo;
        --hi;
    }
    return -1;
}

// ------------------------------------------------------------------ methods

Ref weak_probe(PyObject* item) noexcept { return Ref::steal(PyWeakref_NewRef(item, nullptr)); }

// Re-entry: rule 2 (the batch is private; `data` is looked up when it is stored).
TAVRIN_METHOD(f_init, seq_init, "__init__", "$self, items=()",
              "Wrap every element of items, in order, in a weak reference whose callback is\n"
              "this list's remove, and keep those references as the list's data.") {
    PyObject* items;
    if (!f_init.bind(self, args, nargs, kwnames, &items)) {
        return nullptr;
    }
    Batch batch;
    if (collect(self, items ? items : S.empty_tuple, batch) < 0) {
        return nullptr;
    }
    PyObject* refs = batch.refs.get();
    return none_or_null(tavrin::call_base(facts, kInit, self, {refs}, [&] {
        const int plain = facts.holds(Py_TYPE(self), kPlainData);
        if (plain < 0) {
            return Ref();
        }
        if (plain) {
            // UserList.__init__ sets self.data to a new list and copies ours
            // into it; with a plain attribute, storing our own fresh list is
            // the same.
            return tavrin::none_or_error(PyObject_SetAttr(self, S.s_data, refs));
        }
        PyObject* argv[] = {self, refs};  // UserList.__init__ itself, as super() finds it
        return Ref::steal(PyObject_Vectorcall(S.userlist[kInit], argv, 2, nullptr));
    }));
}

// Re-entry: rule 2 (holds `data`; `scan` finds its place again after every ==).
Ref contains_impl(PyObject* self, PyObject* item) noexcept {
    Ref probe = weak_probe(item);
    if (!probe) {
        return probe;
    }
    return tavrin::call_base(facts, kContains, self, {probe.get()}, [&] {
        Ref data = get_data(self);
        if (!data) {
            return data;
        }
        int found;
        if (PyList_CheckExact(data.get())) {
            Probe p;
            Py_ssize_t pos = 0;
            found = make_probe(probe.get(), p) < 0 ? -1 : scan(data.get(), p, &pos, nullptr);
        } else {
            found = PySequence_Contains(data.get(), probe.get());
        }
        return found < 0 ? Ref() : Ref::steal(PyBool_FromLong(found));
    });
}

TAVRIN_METHOD(f_contains, seq_contains, "__contains__", "$self, item",
              "Whether an entry's object equals item (item must be weakly referenceable).") {
    PyObject* item;
    if (!f_contains.bind(self, args, nargs, kwnames, &item)) {
        return nullptr;
    }
    return contains_impl(self, item).release();
}

// The `in` slot of the class itself: the same as calling __contains__.
int slot_contains(PyObject* self, PyObject* item) noexcept {
    Ref r = contains_impl(self, item);
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// data[index] for a slice: a new list of the same entries. The list's own
// slicing reads the bounds, then allocates the result, then copies; before
// 3.12 that allocation can run the cycle collector, whose weak-reference
// callbacks (this list's auto-cleanup) and finalizers shrink `data` in
// between, and the copy then takes entries that are already freed. Here the
// bounds are read again after every allocation, and nothing runs between
// that reading and the copy.
Ref slice_entries(PyObject* data, PyObject* slice) noexcept {
    if (!PyList_CheckExact(data)) {
        return Ref::steal(PyObject_GetItem(data, slice));
    }
    Py_ssize_t start0, stop0, step;
    if (PySlice_Unpack(slice, &start0, &stop0, &step) < 0) {
        return Ref();
    }
    for (;;) {
        Py_ssize_t start = start0, stop = stop0;
        const Py_ssize_t size = PyList_GET_SIZE(data);
        const Py_ssize_t n = PySlice_AdjustIndices(size, &start, &stop, step);
        Ref out = Ref::steal(PyList_New(n));
        if (!out) {
            return out;
        }
        if (PyList_GET_SIZE(data) != size) {
            continue;  // changed by the allocation: the bounds are stale
        }
        size_t cur = static_cast<size_t>(start);
        for (Py_ssize_t i = 0; i < n; ++i, cur += static_cast<size_t>(step)) {
            PyObject* entry = PyList_GET_ITEM(data, static_cast<Py_ssize_t>(cur));
            Py_INCREF(entry);
            PyList_SET_ITEM(out.get(), i, entry);
        }
        return out;
    }
}

// Re-entry: rule 2 (holds `data`; a slice copies a private snapshot of entries).
PyObject* getitem_impl(PyObject* self, PyObject* index) noexcept {
    if (PySlice_Check(index)) {
        Ref data = get_data(self);
        if (!data) {
            return nullptr;
        }
        Ref snapshot = slice_entries(data.get(), index);
        if (!snapshot) {
            return nullptr;
        }
        Ref it;
        if (PyList_CheckExact(snapshot.get())) {
            it = make_iter(nullptr, snapshot.get(), true);
        } else {
            Ref entries = Ref::steal(PyObject_GetIter(snapshot.get()));
            it = entries ? make_iter(nullptr, entries.get(), true) : Ref();
            if (it) {
                reinterpret_cast<WispIter*>(it.get())->generic = 1;
            }
        }
        if (!it) {
            return nullptr;
        }
        return PyObject_CallOneArg(reinterpret_cast<PyObject*>(Py_TYPE(self)), it.get());
    }
    Ref entry = tavrin::call_base(facts, kGetitem, self, {index}, [&] {
        Ref data = get_data(self);
        return data ? Ref::steal(PyObject_GetItem(data.get(), index)) : Ref();
    });
    if (!entry) {
        return nullptr;
    }
    return read_entry(entry.get());
}

TAVRIN_METHOD(f_getitem, seq_getitem, "__getitem__", "$self, index",
              "The object at index; for a slice, a new list of this class holding the\n"
              "objects of that slice (objects already gone are left out).") {
    PyObject* index;
    if (!f_getitem.bind(self, args, nargs, kwnames, &index)) {
        return nullptr;
    }
    return getitem_impl(self, index);
}

// super().__setitem__(index, value); 0 or -1.
int base_setitem(PyObject* self, PyObject* index, PyObject* value) noexcept {
    return tavrin::call_base(facts, kSetitem, self, {index, value}, [&] {
        Ref data = get_data(self);
        return tavrin::none_or_error(data ? PyObject_SetItem(data.get(), index, value) : -1);
    }) ? 0 : -1;
}

// Re-entry: rule 2 (entries made first; the list's own assignment checks the place).
TAVRIN_METHOD(f_setitem, seq_setitem, "__setitem__", "$self, index, item",
              "Store a weak reference to item at index; for a slice, weak references to\n"
              "every element of item (all made before the list changes).") {
    PyObject* argv[2];
    if (!f_setitem.bind(self, args, nargs, kwnames, argv)) {
        return nullptr;
    }
    if (PySlice_Check(argv[0])) {
        Batch batch;
        if (collect(self, argv[1], batch) < 0 || base_setitem(self, argv[0], batch.refs.get()) < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    Ref cb = Callback(self).get();
    if (!cb) {
        return nullptr;
    }
    Ref ref = Ref::steal(PyWeakref_NewRef(argv[1], cb.get()));
    if (!ref || base_setitem(self, argv[0], ref.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Re-entry: rule 1, held by each step of the iterator.
TAVRIN_METHOD(f_iter, seq_iter, "__iter__", "$self",
              "Iterate over the objects, walking the entries by position (an entry whose\n"
              "object is being finalized reads as None).") {
    if (!f_iter.bind(self, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    return make_iter(self, nullptr, false).release();
}

// list(self), iterating the instance.
Ref object_list(PyObject* self) noexcept {
    Ref it = iterate(self, false);
    Ref out = Ref::steal(PyList_New(0));
    if (!it || !out) {
        return Ref();
    }
    for (;;) {
        Ref obj = next_of(it.get());
        if (!obj) {
            return PyErr_Occurred() ? Ref() : std::move(out);
        }
        if (PyList_Append(out.get(), obj.get()) < 0) {
            return Ref();
        }
    }
}

// The comparisons: the list of objects against `other`.
// Re-entry: rule 2 (compares a private list of the objects).
PyObject* compare(const tavrin::Function& f, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, int op) noexcept {
    PyObject* other;
    if (!f.bind(self, args, nargs, kwnames, &other)) {
        return nullptr;
    }
    Ref objects = object_list(self);
    if (!objects) {
        return nullptr;
    }
    return PyObject_RichCompare(objects.get(), other, op);
}

TAVRIN_METHOD(f_eq, seq_eq, "__eq__", "$self, other", "Compare the list of objects with other by ==.") {
    return compare(f_eq, self, args, nargs, kwnames, Py_EQ);
}

// Re-entry: rule 2, as the slice path of __getitem__.
TAVRIN_METHOD(f_reversed, seq_reversed, "__reversed__", "$self",
              "self[::-1]: a new list of this class, objects last to first.") {
    if (!f_reversed.bind(self, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    return PyObject_GetItem(self, S.reverse_slice);
}

int extend_impl(PyObject* self, PyObject* items) noexcept;

// obj.extend(items), looked up on the object.
int call_extend(PyObject* obj, PyObject* items) noexcept {
    const int own = tavrin::attribute_is(obj, facts, kOwnExtend);
    if (own < 0) {
        return -1;
    }
    if (own) {
        return extend_impl(obj, items);
    }
    Ref method = Ref::steal(PyObject_GetAttr(obj, S.s_extend));
    return method && Ref::steal(PyObject_CallOneArg(method.get(), items)) ? 0 : -1;
}

// Re-entry: rule 2 (a new list filled through its extend).
TAVRIN_METHOD(f_add, seq_add, "__add__", "$self, item",
              "A new WispSeq (always this class) with the objects of self, then of item,\n"
              "which must be a WispSeq.") {
    PyObject* item;
    if (!f_add.bind(self, args, nargs, kwnames, &item)) {
        return nullptr;
    }
    const int ok = PyObject_IsInstance(item, reinterpret_cast<PyObject*>(S.WispSeq));
    if (ok < 0) {
        return nullptr;
    }
    if (!ok) {
        Ref name = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(item)), S.s_name));
        if (name) {
            // "concatenante" is spelt so on purpose: it is the class's
            // message as callers have always matched it. Do not correct it.
            PyErr_Format(PyExc_TypeError, "can only concatenante WispSeq (not \"%S\") to WispSeq", name.get());
        }
        return nullptr;
    }
    Ref result = Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(S.WispSeq)));
    if (!result || call_extend(result.get(), self) < 0 || call_extend(result.get(), item) < 0) {
        return nullptr;
    }
    return result.release();
}

// Re-entry: rule 2 (the batch is private; `data` is looked up when it is stored).
TAVRIN_METHOD(f_iadd, seq_iadd, "__iadd__", "$self, items",
              "Append weak references to every element of items (all made before the list\n"
              "changes); returns the list.") {
    PyObject* items;
    if (!f_iadd.bind(self, args, nargs, kwnames, &items)) {
        return nullptr;
    }
    Batch batch;
    if (collect(self, items, batch) < 0) {
        return nullptr;
    }
    PyObject* refs = batch.refs.get();
    return tavrin::call_base(facts, kIadd, self, {refs}, [&] {
        // UserList.__iadd__ with a list: self.data += other; return self.
        Ref data = get_data(self);
        Ref sum = data ? Ref::steal(PyNumber_InPlaceAdd(data.get(), refs)) : Ref();
        if (!sum || PyObject_SetAttr(self, S.s_data, sum.get()) < 0) {
            return Ref();
        }
        return Ref::borrow(self);
    }).release();
}

// The lists of entries that `sort` is sorting right now. The list's sort
// takes every entry out while it runs, so the callback of an entry whose
// object was already gone when the sort began (its callback still pending,
// on this thread or another) would find nothing to remove and leave the dead
// entry behind for good. Such removals wait here until the sort is over.
struct Sorting {
    PyObject* data;  // the list being sorted, held by the sort
    Ref pending;     // the dead references whose removal waits
};
std::vector<Sorting*> sorting;

Sorting* sorting_of(PyObject* data) noexcept {
    for (Sorting* s : sorting) {
        if (s->data == data) {
            return s;
        }
    }
    return nullptr;
}

// Registers `data` for the length of one sort; the outermost sort of a list
// owns its pending removals and carries them out at the end.
class SortScope {
public:
    explicit SortScope(PyObject* data) noexcept : state_{data, Ref()}, owner_(!sorting_of(data)) {
        if (owner_) {
            try {
                sorting.push_back(&state_);
            } catch (...) {
                owner_ = false;  // out of memory: this sort's removals are not deferred
            }
        }
    }
    ~SortScope() { finish(); }
    SortScope(const SortScope&) = delete;
    SortScope& operator=(const SortScope&) = delete;

    void finish() noexcept {
        if (!owner_) {
            return;
        }
        owner_ = false;
        sorting.erase(std::find(sorting.begin(), sorting.end(), &state_));
        if (!state_.pending) {
            return;
        }
        tavrin::PendingError error;
        Ref pending = std::move(state_.pending);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pending.get()); ++i) {
            const Py_ssize_t pos = find_dead(state_.data, PyList_GET_ITEM(pending.get(), i));
            if (pos >= 0 && PyList_SetSlice(state_.data, pos, pos + 1, nullptr) < 0) {
                PyErr_WriteUnraisable(state_.data);
            }
        }
        error.restore();
    }

private:
    Sorting state_;
    bool owner_;
};

// UserList.remove's body, self.data.remove(probe), with `probe` a weak
// reference: the dead reference of a callback, or one to the object sought.
// Re-entry: rule 2 (holds `data`; the place found is used before anything else runs).
Ref remove_from_data(PyObject* self, PyObject* probe) noexcept {
    Ref data = get_data(self);
    if (!data) {
        return data;
    }
    if (!PyList_CheckExact(data.get())) {
        PyObject* argv[] = {data.get(), probe};
        return Ref::steal(PyObject_VectorcallMethod(S.s_remove, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
    Probe p;
    if (make_probe(probe, p) < 0) {
        return Ref();
    }
    Py_ssize_t pos = p.exact && p.dead ? find_dead(data.get(), probe) : -1;
    if (pos < 0) {
        const int found = scan(data.get(), p, &pos, nullptr);
        if (found < 0) {
            return Ref();
        }
        if (!found) {
            Sorting* sort = p.exact && p.dead ? sorting_of(data.get()) : nullptr;
            if (sort) {
                if (!sort->pending) {
                    sort->pending = Ref::steal(PyList_New(0));
                }
                if (!sort->pending || PyList_Append(sort->pending.get(), probe) < 0) {
                    return Ref();
                }
                return Ref::borrow(Py_None);
            }
            PyErr_SetString(PyExc_ValueError, "list.remove(x): x not in list");
            return Ref();
        }
    }
    return tavrin::none_or_error(PyList_SetSlice(data.get(), pos, pos + 1, nullptr));
}

PyObject* remove_impl(PyObject* self, PyObject* item) noexcept {
    const int is_ref = PyWeakref_CheckRef(item) ? 1 : PyObject_IsInstance(item, S.ReferenceType);
    if (is_ref < 0) {
        return nullptr;
    }
    Ref probe = is_ref ? Ref::borrow(item) : weak_probe(item);
    if (!probe) {
        return nullptr;
    }
    return tavrin::call_base(facts, kRemove, self, {probe.get()}, [&] {
        return remove_from_data(self, probe.get());
    }).release();
}

TAVRIN_METHOD(f_remove, seq_remove, "remove", "$self, item",
              "Remove the first entry whose object equals item. Given a weak reference,\n"
              "remove the entry equal to it: this is the callback of every entry, called\n"
              "with the dead reference when its object is finalized.") {
    PyObject* item;
    if (!f_remove.bind(self, args, nargs, kwnames, &item)) {
        return nullptr;
    }
    return remove_impl(self, item);
}

// Re-entry: rule 2 (holds `data`; the list's own append places the entry).
TAVRIN_METHOD(f_append, seq_append, "append", "$self, item", "Append a weak reference to item.") {
    PyObject* item;
    if (!f_append.bind(self, args, nargs, kwnames, &item)) {
        return nullptr;
    }
    constexpr tavrin::Facts shared = bit(kAppend) | bit(kPlainData) | bit(kOwnRemove);
    const int share = facts.all(Py_TYPE(self), shared);
    if (share < 0) {
        return nullptr;
    }
    if (share) {
        // self.remove and self.data both come down to the instance dict:
        // one look at it decides both, and the new entry can share its
        // neighbour's callback.
        Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
        if (!dict) {
            return nullptr;
        }
        Ref data;
        if (tavrin::dict_get_ref(dict.get(), S.s_data, data) < 0) {
            return nullptr;
        }
        // A dict holding `data` and nothing else can't hold `remove`.
        const int shadowed = data && PyDict_GET_SIZE(dict.get()) == 1 ? 0 : PyDict_Contains(dict.get(), S.s_remove);
        if (shadowed < 0) {
            return nullptr;
        }
        if (shadowed) {
            data.reset();
        }
        if (data && PyList_CheckExact(data.get())) {
            Ref cb = Callback(self).own(data.get());
            Ref ref = cb ? Ref::steal(PyWeakref_NewRef(item, cb.get())) : Ref();
            if (!ref || PyList_Append(data.get(), ref.get()) < 0) {
                return nullptr;
            }
            Py_RETURN_NONE;
        }
    }
    Ref cb = Callback(self).get();
    Ref ref = cb ? Ref::steal(PyWeakref_NewRef(item, cb.get())) : Ref();
    if (!ref) {
        return nullptr;
    }
    return tavrin::call_base(facts, kAppend, self, {ref.get()}, [&] {
        Ref data = get_data(self);
        if (!data) {
            return data;
        }
        if (PyList_CheckExact(data.get())) {
            return tavrin::none_or_error(PyList_Append(data.get(), ref.get()));
        }
        PyObject* argv[] = {data.get(), ref.get()};
        return Ref::steal(PyObject_VectorcallMethod(S.s_append, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }).release();
}

// index(item) and count(item): the same probe and scan of the entries, the
// one answering the first position, the other how many match.
// Re-entry: rule 2 (holds `data`; `scan` finds its place again after every ==).
PyObject* find_entries(const tavrin::Function& f, Row row, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, bool first_position) noexcept {
    PyObject* item;
    if (!f.bind(self, args, nargs, kwnames, &item)) {
        return nullptr;
    }
    Ref probe = weak_probe(item);
    if (!probe) {
        return nullptr;
    }
    PyObject* arg = probe.get();
    return tavrin::call_base(facts, row, self, {arg}, [&] {
        Ref data = get_data(self);
        if (!data) {
            return data;
        }
        if (!PyList_CheckExact(data.get())) {
            PyObject* argv[] = {data.get(), arg};
            return Ref::steal(
                PyObject_VectorcallMethod(*kFactRows[row].name, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        }
        Probe p;
        if (make_probe(arg, p) < 0) {
            return Ref();
        }
        Py_ssize_t answer = 0;
        const int found =
            first_position ? scan(data.get(), p, &answer, nullptr) : scan(data.get(), p, nullptr, &answer);
        if (found < 0) {
            return Ref();
        }
        if (first_position && !found) {
            PyErr_Format(PyExc_ValueError, "%R is not in list", arg);
            return Ref();
        }
        return Ref::steal(PyLong_FromSsize_t(answer));
    }).release();
}

TAVRIN_METHOD(f_index, seq_index, "index", "$self, item", "The position of the first entry whose object equals item.") {
    return find_entries(f_index, kIndex, self, args, nargs, kwnames, true);
}

TAVRIN_METHOD(f_count, seq_count, "count", "$self, item", "The number of entries whose object equals item.") {
    return find_entries(f_count, kCount, self, args, nargs, kwnames, false);
}

// Re-entry: rule 2 (the list's own pop; the entry is held while it is read).
TAVRIN_METHOD(f_pop, seq_pop, "pop", "$self, item",
              "Remove the entry at position item (a list position, as list.pop takes, here\n"
              "required) and return its object (None if that object is being finalized).") {
    PyObject* item;
    if (!f_pop.bind(self, args, nargs, kwnames, &item)) {
        return nullptr;
    }
    Ref entry = tavrin::call_base(facts, kPop, self, {item}, [&] {
        Ref data = get_data(self);
        if (!data) {
            return data;
        }
        PyObject* argv[] = {data.get(), item};
        return Ref::steal(PyObject_VectorcallMethod(S.s_pop, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    });
    if (!entry) {
        return nullptr;
    }
    return read_entry(entry.get());
}

// Re-entry: rule 2 (the entry is made first; the list's own insert places it).
TAVRIN_METHOD(f_insert, seq_insert, "insert", "$self, index, item", "Insert a weak reference to item before index.") {
    PyObject* argv[2];
    if (!f_insert.bind(self, args, nargs, kwnames, argv)) {
        return nullptr;
    }
    Ref cb = Callback(self).get();
    if (!cb) {
        return nullptr;
    }
    Ref ref = Ref::steal(PyWeakref_NewRef(argv[1], cb.get()));
    if (!ref) {
        return nullptr;
    }
    return tavrin::call_base(facts, kInsert, self, {argv[0], ref.get()}, [&] {
        Ref data = get_data(self);
        if (!data) {
            return data;
        }
        PyObject* call[] = {data.get(), argv[0], ref.get()};
        return Ref::steal(PyObject_VectorcallMethod(S.s_insert, call, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }).release();
}

// Appends new entries to the end of `data` (UserList.extend's body for a
// list argument), or through super() when the base is something else.
int base_extend(PyObject* self, PyObject* refs) noexcept {
    return tavrin::call_base(facts, kExtend, self, {refs}, [&] {
        Ref data = get_data(self);
        if (!data) {
            return data;
        }
        if (PyList_CheckExact(data.get())) {
            const Py_ssize_t n = PyList_GET_SIZE(data.get());
            return tavrin::none_or_error(PyList_SetSlice(data.get(), n, n, refs));
        }
        PyObject* argv[] = {data.get(), refs};
        return Ref::steal(PyObject_VectorcallMethod(S.s_extend, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }) ? 0 : -1;
}

// Re-entry: rule 2 (the batch is private; the end of `data` is read when it is stored).
int extend_impl(PyObject* self, PyObject* items) noexcept {
    Batch batch;
    if (collect(self, items, batch) < 0) {
        return -1;
    }
    return base_extend(self, batch.refs.get());
}

TAVRIN_METHOD(f_extend, seq_extend, "extend", "$self, items",
              "Append weak references to every element of items (all made before the list\n"
              "changes).") {
    PyObject* items;
    if (!f_extend.bind(self, args, nargs, kwnames, &items)) {
        return nullptr;
    }
    if (extend_impl(self, items) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The key functions handed to the list's sort: an entry's object, or
// key(object). m_self is the caller's key (absent for the plain one).
// Re-entry: rule 2 (each call reads its entry afresh).
PyObject* sort_key_plain(PyObject*, PyObject* entry) noexcept { return read_entry(entry); }

PyObject* sort_key_with(PyObject* key, PyObject* entry) noexcept {
    Ref obj = Ref::steal(read_entry(entry));
    return obj ? PyObject_CallOneArg(key, obj.get()) : nullptr;
}

PyMethodDef sort_key_plain_def = {"sort_key", sort_key_plain, METH_O, nullptr};
PyMethodDef sort_key_with_def = {"sort_key", sort_key_with, METH_O, nullptr};

// Re-entry: rule 1 through the list's own sort ("list modified during sort"); callbacks wait in SortScope.
TAVRIN_METHOD(f_sort, seq_sort, "sort", "$self, key=None, reverse=False",
              "Sort the entries in place, stably, by their objects (or by key(object)).") {
    PyObject* argv[2];
    if (!f_sort.bind(self, args, nargs, kwnames, argv)) {
        return nullptr;
    }
    PyObject* key = argv[0] && argv[0] != Py_None ? argv[0] : nullptr;
    PyObject* reverse = argv[1] ? argv[1] : Py_False;
    Ref keyfn = Ref::steal(key ? PyCFunction_NewEx(&sort_key_with_def, key, nullptr)
                               : PyCFunction_NewEx(&sort_key_plain_def, nullptr, nullptr));
    if (!keyfn) {
        return nullptr;
    }
    Ref data = get_data(self);
    if (!data) {
        return nullptr;
    }
    // The list's sort empties the list while it runs: an object finalized
    // meanwhile would call back into an empty list and leave its dead entry
    // behind. Holding every object until the sort is over defers such
    // finalizations to the sorted list; the callbacks of entries already
    // dead wait in the scope.
    Ref held = live_objects(data.get());
    if (!held) {
        return nullptr;
    }
    SortScope scope(data.get());
    return none_or_null(tavrin::call_base(
        facts, kSort, self, {keyfn.get(), reverse},
        [&] {
            PyObject* call[] = {data.get(), keyfn.get(), reverse};
            return Ref::steal(
                PyObject_VectorcallMethod(S.s_sort, call, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, S.sort_kwnames));
        },
        S.sort_kwnames));
}

// "WispSeq([" + ", ".join(each(obj) for obj in self) + "])"
// Re-entry: rule 2 (walks its own iterator; Py_ReprEnter stops recursion).
PyObject* render(PyObject* self, PyObject* (*each)(PyObject*)) noexcept {
    const int busy = Py_ReprEnter(self);
    if (busy != 0) {
        return busy > 0 ? PyUnicode_FromString("WispSeq([...])") : nullptr;
    }
    Ref parts = Ref::steal(PyList_New(0));
    Ref it = iterate(self, false);
    Ref result;
    if (parts && it) {
        for (;;) {
            Ref obj = next_of(it.get());
            if (!obj) {
                if (!PyErr_Occurred()) {
                    Ref body = Ref::steal(PyUnicode_Join(S.sep, parts.get()));
                    if (body) {
                        result = Ref::steal(PyUnicode_FromFormat("WispSeq([%U])", body.get()));
                    }
                }
                break;
            }
            Ref text = Ref::steal(each(obj.get()));
            if (!text || PyList_Append(parts.get(), text.get()) < 0) {
                break;
            }
        }
    }
    Py_ReprLeave(self);
    return result.release();
}

TAVRIN_METHOD(f_repr, seq_repr, "__repr__", "$self", nullptr) {
    if (!f_repr.bind(self, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    return render(self, PyObject_Repr);
}

TAVRIN_METHOD(f_str, seq_str, "__str__", "$self", nullptr) {
    if (!f_str.bind(self, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    return render(self, PyObject_Str);
}

// ------------------------------------------- list operations on objects
//
// UserList's own versions of these act on the entries and so share
// references between instances or fail; these act on the objects.

// Re-entry: rule 2 (builds private lists of objects).
TAVRIN_METHOD(f_radd, seq_radd, "__radd__", "$self, other",
              "other + self: a new list of this class with the elements of other, then the\n"
              "objects of self.") {
    PyObject* other;
    if (!f_radd.bind(self, args, nargs, kwnames, &other)) {
        return nullptr;
    }
    const int user_list = PyObject_IsInstance(other, S.UserList);
    if (user_list < 0) {
        return nullptr;
    }
    Ref left;
    if (user_list) {
        Ref other_data = get_data(other);
        if (!other_data) {
            return nullptr;
        }
        left = PyObject_TypeCheck(other, S.WispSeq) ? live_objects(other_data.get())
                                                    : Ref::steal(PySequence_List(other_data.get()));
    } else {
        left = Ref::steal(PySequence_List(other));
    }
    Ref data = left ? get_data(self) : Ref();
    Ref right = data ? live_objects(data.get()) : Ref();
    if (!right) {
        return nullptr;
    }
    const Py_ssize_t n = PyList_GET_SIZE(left.get());
    if (PyList_SetSlice(left.get(), n, n, right.get()) < 0) {
        return nullptr;
    }
    return PyObject_CallOneArg(reinterpret_cast<PyObject*>(Py_TYPE(self)), left.get());
}

// The call's `n`, the repetition count of `seq * n`, with the interpreter's
// messages; -1 on error.
int repeat_count(const tavrin::Function& f, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, Py_ssize_t& count) noexcept {
    PyObject* n;
    if (!f.bind(self, args, nargs, kwnames, &n)) {
        return -1;
    }
    if (!PyIndex_Check(n)) {
        PyErr_Format(PyExc_TypeError, "can't multiply sequence by non-int of type '%.200s'", Py_TYPE(n)->tp_name);
        return -1;
    }
    count = PyNumber_AsSsize_t(n, PyExc_OverflowError);
    return count == -1 && PyErr_Occurred() ? -1 : 0;
}

// Re-entry: rule 2 (repeats a private list of the objects).
PyObject* mul_impl(const tavrin::Function& f, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
    Py_ssize_t count;
    if (repeat_count(f, self, args, nargs, kwnames, count) < 0) {
        return nullptr;
    }
    Ref data = get_data(self);
    Ref objects = data ? live_objects(data.get()) : Ref();
    Ref repeated = objects ? Ref::steal(PySequence_Repeat(objects.get(), count)) : Ref();
    if (!repeated) {
        return nullptr;
    }
    return PyObject_CallOneArg(reinterpret_cast<PyObject*>(Py_TYPE(self)), repeated.get());
}

TAVRIN_METHOD(f_mul, seq_mul, "__mul__", "$self, n",
              "A new list of this class holding the objects n times over, each copy with\n"
              "references of its own.") {
    return mul_impl(f_mul, self, args, nargs, kwnames);
}

TAVRIN_METHOD(f_rmul, seq_rmul, "__rmul__", "$self, n", "n * self, the same as self * n.") {
    return mul_impl(f_rmul, self, args, nargs, kwnames);
}

// Re-entry: rule 2 (the batch is private; the end of `data` is read when it is stored).
TAVRIN_METHOD(f_imul, seq_imul, "__imul__", "$self, n",
              "Repeat the objects in place: n - 1 more copies, with new references (n <= 0\n"
              "empties the list); returns the list.") {
    Py_ssize_t count;
    if (repeat_count(f_imul, self, args, nargs, kwnames, count) < 0) {
        return nullptr;
    }
    Ref data = get_data(self);
    if (!data) {
        return nullptr;
    }
    if (count <= 0) {
        if (PySequence_DelSlice(data.get(), 0, PY_SSIZE_T_MAX) < 0) {
            return nullptr;
        }
        return Ref::borrow(self).release();
    }
    Ref objects = live_objects(data.get());
    Ref repeated = objects ? Ref::steal(PySequence_Repeat(objects.get(), count - 1)) : Ref();
    Batch batch;
    if (!repeated || collect(self, repeated.get(), batch) < 0) {
        return nullptr;
    }
    int rc;
    if (PyList_CheckExact(data.get())) {
        const Py_ssize_t size = PyList_GET_SIZE(data.get());
        rc = PyList_SetSlice(data.get(), size, size, batch.refs.get());
    } else {
        PyObject* argv[] = {data.get(), batch.refs.get()};
        rc = Ref::steal(PyObject_VectorcallMethod(S.s_extend, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)) ? 0
                                                                                                                  : -1;
    }
    if (rc < 0) {
        return nullptr;
    }
    return Ref::borrow(self).release();
}

TAVRIN_METHOD(f_lt, seq_lt, "__lt__", "$self, other", "Compare the list of objects with other by <.") {
    return compare(f_lt, self, args, nargs, kwnames, Py_LT);
}

TAVRIN_METHOD(f_le, seq_le, "__le__", "$self, other", "Compare the list of objects with other by <=.") {
    return compare(f_le, self, args, nargs, kwnames, Py_LE);
}

TAVRIN_METHOD(f_gt, seq_gt, "__gt__", "$self, other", "Compare the list of objects with other by >.") {
    return compare(f_gt, self, args, nargs, kwnames, Py_GT);
}

TAVRIN_METHOD(f_ge, seq_ge, "__ge__", "$self, other", "Compare the list of objects with other by >=.") {
    return compare(f_ge, self, args, nargs, kwnames, Py_GE);
}

// cls.__new__(cls) with self's attributes but `data`, whose `data` holds new
// references (with the new instance's callback) to self's live objects.
// `attrs` copies the other attributes (a deep copy for __deepcopy__).
// Re-entry: rule 2 (holds the entries it copies; the batch is private).
Ref copy_impl(PyObject* self, Ref (*attrs)(PyObject* dict, PyObject* memo) noexcept, PyObject* memo) noexcept {
    Ref cls = Ref::steal(PyObject_GetAttr(self, S.s_class));
    if (!cls) {
        return cls;
    }
    PyObject* argv[] = {cls.get(), cls.get()};
    Ref inst = Ref::steal(PyObject_VectorcallMethod(S.s_new, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!inst) {
        return inst;
    }
    if (memo) {
        Ref id = Ref::steal(PyLong_FromVoidPtr(self));
        if (!id || PyObject_SetItem(memo, id.get(), inst.get()) < 0) {
            return Ref();
        }
    }
    Ref self_dict = Ref::steal(PyObject_GetAttr(self, S.s_dict));
    Ref inst_dict = self_dict ? Ref::steal(PyObject_GetAttr(inst.get(), S.s_dict)) : Ref();
    if (!inst_dict) {
        return Ref();
    }
    Ref entries = Ref::steal(PyObject_GetItem(self_dict.get(), S.s_data));
    Ref rest = entries ? attrs(self_dict.get(), memo) : Ref();
    if (!rest) {
        return Ref();
    }
    PyObject* argv2[] = {inst_dict.get(), rest.get()};
    if (!Ref::steal(PyObject_VectorcallMethod(S.s_update, argv2, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr))) {
        return Ref();
    }
    Ref objects = live_objects(entries.get());
    Batch batch;
    if (!objects || collect(inst.get(), objects.get(), batch) < 0 ||
        PyObject_SetItem(inst_dict.get(), S.s_data, batch.refs.get()) < 0) {
        return Ref();
    }
    return inst;
}

// The instance's attributes other than `data`.
Ref other_attrs(PyObject* dict, PyObject*) noexcept {
    Ref copy = Ref::steal(PyDict_New());
    if (!copy || PyDict_Merge(copy.get(), dict, 1) < 0 ||
        (PyDict_DelItem(copy.get(), S.s_data) < 0 && !PyErr_ExceptionMatches(PyExc_KeyError))) {
        return Ref();
    }
    PyErr_Clear();
    return copy;
}

Ref deep_other_attrs(PyObject* dict, PyObject* memo) noexcept {
    Ref shallow = other_attrs(dict, memo);
    Ref copy_module = shallow ? Ref::steal(PyImport_ImportModule("copy")) : Ref();
    if (!copy_module) {
        return Ref();
    }
    PyObject* argv[] = {copy_module.get(), shallow.get(), memo};
    return Ref::steal(PyObject_VectorcallMethod(S.s_deepcopy, argv, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

TAVRIN_METHOD(f_copy, seq_copy, "__copy__", "$self",
              "copy.copy(self): a new instance of this class with self's attributes and new\n"
              "references to the same objects.") {
    if (!f_copy.bind(self, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    return copy_impl(self, other_attrs, nullptr).release();
}

TAVRIN_METHOD(f_deepcopy, seq_deepcopy, "__deepcopy__", "$self, memo",
              "copy.deepcopy(self): a new instance of this class with deep copies of self's\n"
              "other attributes and new references to the same objects (copies that only\n"
              "this list referred to would vanish at once).") {
    PyObject* memo;
    if (!f_deepcopy.bind(self, args, nargs, kwnames, &memo)) {
        return nullptr;
    }
    Ref own_memo;
    if (memo == Py_None) {
        own_memo = Ref::steal(PyDict_New());
        if (!own_memo) {
            return nullptr;
        }
        memo = own_memo.get();
    }
    return copy_impl(self, deep_other_attrs, memo).release();
}

// ------------------------------------------------------------------ module

const char* const seq_doc =
    "A list that holds its items through weak references.\n"
    "\n"
    "- An entry vanishes from the list when its object is finalized.\n"
    "- Every read returns the object itself.\n"
    "- Every write takes objects and stores weak references to them.\n"
    "- The weak references are never visible.\n"
    "\n"
    "Since only weak references are stored, an object that nobody else holds\n"
    "vanishes from the list at once: WispSeq([object()]) is empty.";

int intern_all() noexcept {
    const tavrin::NameSlot names[] = {
        {&S.s_data, "data"},         {&S.s_init, "__init__"},     {&S.s_contains, "__contains__"},
        {&S.s_getitem, "__getitem__"}, {&S.s_setitem, "__setitem__"}, {&S.s_iadd, "__iadd__"},
        {&S.s_iter, "__iter__"},     {&S.s_remove, "remove"},     {&S.s_append, "append"},
        {&S.s_index, "index"},       {&S.s_count, "count"},       {&S.s_pop, "pop"},
        {&S.s_insert, "insert"},     {&S.s_extend, "extend"},     {&S.s_sort, "sort"},
        {&S.s_class, "__class__"},   {&S.s_dict, "__dict__"},     {&S.s_new, "__new__"},
        {&S.s_name, "__name__"},     {&S.s_update, "update"},     {&S.s_deepcopy, "deepcopy"},
        {&S.sep, ", "},
    };
    if (tavrin::intern_names(names) < 0) {
        return -1;
    }
    S.empty_tuple = keep(Ref::steal(PyTuple_New(0)));
    S.reverse_slice = keep(Ref::steal(PySlice_New(Py_None, Py_None, Ref::steal(PyLong_FromLong(-1)).get())));
    S.sort_kwnames = keep(Ref::steal(Py_BuildValue("(ss)", "key", "reverse")));
    return S.empty_tuple && S.reverse_slice && S.sort_kwnames ? 0 : -1;
}

int wispseq_body(PyObject* m) noexcept {
    if (intern_all() < 0) {
        return -1;
    }
    S.Iter = reinterpret_cast<PyTypeObject*>(keep(tavrin::make_internal_type(m, iter_spec)));
    S.WeakMethod = reinterpret_cast<PyTypeObject*>(keep(tavrin::make_internal_type(m, wm_spec)));
    if (!S.Iter || !S.WeakMethod) {
        return -1;
    }

    Ref weakref = tavrin::import_module(m, "weakref");
    Ref collections = weakref ? tavrin::import_module(m, "collections") : Ref();
    if (!collections) {
        return -1;
    }
    S.ReferenceType = keep(Ref::steal(PyObject_GetAttrString(weakref.get(), "ReferenceType")));
    S.UserList = keep(Ref::steal(PyObject_GetAttrString(collections.get(), "UserList")));
    if (!S.ReferenceType || !S.UserList) {
        return -1;
    }
    // UserList's own functions, to recognise when super() lands on them.
    for (unsigned r = 0; r < kBaseRows; ++r) {
        const char* name = PyUnicode_AsUTF8(*kFactRows[r].name);
        if (!name || !(S.userlist[r] = tavrin::builtin_entry(reinterpret_cast<PyTypeObject*>(S.UserList), name))) {
            return -1;
        }
    }

    Ref cls = tavrin::make_class(m, "WispSeq", {S.UserList}, seq_doc,
                                 {f_init, f_contains, f_getitem, f_setitem, f_iter, f_eq, f_reversed, f_add, f_iadd,
                                  f_remove, f_append, f_index, f_count, f_pop, f_insert, f_extend, f_sort, f_repr,
                                  f_str, f_radd, f_mul, f_rmul, f_imul, f_lt, f_le, f_gt, f_ge, f_copy, f_deepcopy});
    if (!cls || PyObject_SetAttrString(m, "WispSeq", cls.get()) < 0) {
        return -1;
    }
    S.WispSeq = reinterpret_cast<PyTypeObject*>(keep(std::move(cls)));
    if (!(S.own_remove = tavrin::builtin_entry(S.WispSeq, "remove")) ||
        !(S.own_iter = tavrin::builtin_entry(S.WispSeq, "__iter__")) ||
        !(S.own_extend = tavrin::builtin_entry(S.WispSeq, "extend"))) {
        return -1;
    }
    S.remove_meth = f_remove.def()->ml_meth;

    tavrin::DirectSlots direct;
    direct.contains = slot_contains;
    tavrin::install_direct_slots(reinterpret_cast<PyObject*>(S.WispSeq), direct);
    return 0;
}

}  // namespace

TAVRIN_MODULE(wispseq,
              "A list that holds its items through weak references.\n"
              "\n"
              "WispSeq stores a weak reference to every object written into it and hands\n"
              "back the object on every read; an object that is finalized leaves the list\n"
              "by itself.",
              wispseq_body)
