// tavrin.datastructures.memberbag: MemberBag, a dict whose attribute
// dictionary is the instance itself, and NestedMemberBag, which reads and
// writes dotted key paths through nested levels of its own class.
#include <tavrin/module.hpp>

#include <cstring>
#include <iterator>

using tavrin::PendingError;
using tavrin::RecursionGuard;
using tavrin::Ref;

namespace {

// Process-wide state, filled once by the module body.
struct State {
    PyObject* Mapping = nullptr;
    PyObject* MutableMapping = nullptr;
    PyTypeObject* MemberBag = nullptr;
    PyTypeObject* Nested = nullptr;
    PyObject* newobj = nullptr;        // copyreg.__newobj__
    PyObject* mm_setdefault = nullptr;  // MutableMapping.setdefault
    PyObject* unpack_pair = nullptr;   // Python helper for unusual update elements

    // Raw entries of dict, to recognise when super() lands on them.
    PyObject* dict_init = nullptr;
    PyObject* dict_repr = nullptr;
    PyObject* dict_getitem = nullptr;
    PyObject* dict_setitem = nullptr;
    PyObject* dict_delitem = nullptr;
    PyObject* dict_contains = nullptr;
    PyObject* dict_items = nullptr;

    // Our own descriptors.
    PyObject* bag_init = nullptr;
    PyObject* bag_dict_slot = nullptr;  // MemberBag.__dict__['__dict__']
    PyObject* nested_init = nullptr;
    PyObject* nested_getitem = nullptr;
    PyObject* nested_update = nullptr;

    PyObject* s_dict = nullptr;
    PyObject* s_init = nullptr;
    PyObject* s_repr = nullptr;
    PyObject* s_getitem = nullptr;
    PyObject* s_setitem = nullptr;
    PyObject* s_delitem = nullptr;
    PyObject* s_contains = nullptr;
    PyObject* s_setdefault = nullptr;
    PyObject* s_update = nullptr;
    PyObject* s_items = nullptr;
    PyObject* s_index = nullptr;
    PyObject* s_class = nullptr;
    PyObject* s_name = nullptr;
    PyObject* s_split = nullptr;
    PyObject* s_dot = nullptr;
    PyObject* s_self = nullptr;
    PyObject* s_missing = nullptr;
    PyObject* empty_tuple = nullptr;
    PyObject* nothing = nullptr;  // stays null: a lookup that finds nothing
};
State S;

// The lookups the fast paths rely on, one row each.
enum Row : unsigned {
    BAG_SUPER_INIT,        // super(MemberBag, self).__init__ is dict's
    BAG_SUPER_REPR,        // super(MemberBag, self).__repr__ is dict's
    OWN_DICT_SLOT,         // self.__dict__ is MemberBag's own slot
    NESTED_SUPER_INIT,     // super(NestedMemberBag, self).__init__ is MemberBag's
    NESTED_SUPER_GETITEM,  // super(NestedMemberBag, self).__getitem__ is dict's, and so on
    NESTED_SUPER_SETITEM,
    NESTED_SUPER_DELITEM,
    NESTED_SUPER_CONTAINS,
    OWN_GETITEM,     // type(obj).__getitem__ is NestedMemberBag's
    OWN_UPDATE,      // obj.update is NestedMemberBag's
    OWN_SETDEFAULT,  // obj.setdefault is MutableMapping's
    NO_MISSING,      // no __missing__ anywhere in the MRO
};
const tavrin::FactRow rows[] = {
    {&S.s_init, &S.dict_init, &S.MemberBag},
    {&S.s_repr, &S.dict_repr, &S.MemberBag},
    {&S.s_dict, &S.bag_dict_slot},
    {&S.s_init, &S.bag_init, &S.Nested},
    {&S.s_getitem, &S.dict_getitem, &S.Nested},
    {&S.s_setitem, &S.dict_setitem, &S.Nested},
    {&S.s_delitem, &S.dict_delitem, &S.Nested},
    {&S.s_contains, &S.dict_contains, &S.Nested},
    {&S.s_getitem, &S.nested_getitem},
    {&S.s_update, &S.nested_update},
    {&S.s_setdefault, &S.mm_setdefault},
    {&S.s_missing, &S.nothing},
};
tavrin::TypeFacts<std::size(rows)> facts(rows);

constexpr tavrin::Facts bit(Row r) noexcept { return tavrin::Facts{1} << r; }

// ---------------------------------------------------------------- MemberBag

// self.__dict__ = self. When the attribute lookup would find MemberBag's own
// __dict__ slot (a generic attribute setter, no override in a subclass),
// that slot's setter is the generic one: store the dict pointer directly.
int set_own_dict(PyObject* self) noexcept {
    if (Py_TYPE(self)->tp_setattro == PyObject_GenericSetAttr) {
        const int own = facts.holds(Py_TYPE(self), OWN_DICT_SLOT);
        if (own < 0) {
            return -1;
        }
        if (own) {
            return PyObject_GenericSetDict(self, self, nullptr);
        }
    }
    return PyObject_SetAttr(self, S.s_dict, self);
}

// super(MemberBag, self).__init__(*args, **kwargs), then self.__dict__ = self.
int bag_init_tuple(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    // dict.__init__ is exactly the dict type's init slot.
    if (!tavrin::call_base(facts, BAG_SUPER_INIT, self, args, kwargs,
                           [&] { return tavrin::none_or_error(PyDict_Type.tp_init(self, args, kwargs)); })) {
        return -1;
    }
    return set_own_dict(self);
}

int bag_init_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwargs) noexcept {
    Ref tuple = tavrin::tuple_of(args, nargs);
    return tuple ? bag_init_tuple(self, tuple.get(), kwargs) : -1;
}

// Calls one of our descriptors the ordinary way (for the rare calls a
// direct slot hands back, such as a keyword named like the receiver).
int call_descriptor(PyObject* descr, PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    Ref full = Ref::steal(PyTuple_New(PyTuple_GET_SIZE(args) + 1));
    if (!full) {
        return -1;
    }
    Py_INCREF(self);
    PyTuple_SET_ITEM(full.get(), 0, self);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
        PyObject* a = PyTuple_GET_ITEM(args, i);
        Py_INCREF(a);
        PyTuple_SET_ITEM(full.get(), i + 1, a);
    }
    return Ref::steal(PyObject_Call(descr, full.get(), kwargs)) ? 0 : -1;
}

// A keyword argument named like the receiver: a Python __init__ rejects it.
int names_receiver(PyObject* kwargs) noexcept {
    return kwargs ? PyDict_Contains(kwargs, S.s_self) : 0;
}

// MemberBag(...) straight from the type's init slot.
// reentry.hpp rule 2: keeps nothing across dict's own init.
int bag_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    if (!tavrin::keywords_are_strings(kwargs)) {
        return -1;
    }
    const int odd = names_receiver(kwargs);
    if (odd) {
        return odd < 0 ? -1 : call_descriptor(S.bag_init, self, args, kwargs);
    }
    return bag_init_tuple(self, args, kwargs);
}


// reentry.hpp rule 2: keeps nothing across dict's own init.
TAVRIN_METHOD(f_bag_init, bag_init, "__init__", "$self, *args, **kwargs",
              "Build the dict from the arguments as dict() does, then make the instance its own\n"
              "attribute dictionary: self.__dict__ is self, so every entry with a string key is\n"
              "also an attribute and every attribute write is an entry.") {
    std::pair<PyObject* const*, Py_ssize_t> star;
    Ref kw;
    if (!f_bag_init.bind(self, args, nargs, kwnames, nullptr, &star, &kw)) {
        return nullptr;
    }
    if (bag_init_impl(self, star.first, star.second, kw.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}


// reentry.hpp rule 2: keeps nothing.
TAVRIN_METHOD(f_bag_repr, bag_repr, "__repr__", "$self", nullptr) {
    if (!f_bag_repr.bind(self, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    Ref cls = Ref::steal(PyObject_GetAttr(self, S.s_class));
    if (!cls) {
        return nullptr;
    }
    Ref name = Ref::steal(PyObject_GetAttr(cls.get(), S.s_name));
    if (!name) {
        return nullptr;
    }
    Ref inner = tavrin::call_base(facts, BAG_SUPER_REPR, self, {}, [&] { return Ref::steal(PyDict_Type.tp_repr(self)); });
    if (!inner) {
        return nullptr;
    }
    return PyUnicode_FromFormat("%S(%S)", name.get(), inner.get());
}

// Copying and pickling rebuild the object without running __init__, so
// both go through here to give it back its identity as attribute dictionary.

// reentry.hpp rule 2: keeps nothing.
TAVRIN_METHOD(f_bag_reduce, bag_reduce, "__reduce__", "$self",
              "Pickle and copy support: the entries are the state, restored without\n"
              "re-splitting keys, and the copy is again its own attribute dictionary.") {
    if (!f_bag_reduce.bind(self, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    Ref state = Ref::steal(PyDict_Copy(self));
    if (!state) {
        return nullptr;
    }
    return Py_BuildValue("O(O)O", S.newobj, reinterpret_cast<PyObject*>(Py_TYPE(self)), state.get());
}


// reentry.hpp rule 2: keeps nothing.
TAVRIN_METHOD(f_bag_setstate, bag_setstate, "__setstate__", "$self, state",
              "Restore the entries saved by __reduce__ as they were stored.") {
    PyObject* state;
    if (!f_bag_setstate.bind(self, args, nargs, kwnames, &state)) {
        return nullptr;
    }
    if (PyObject_SetAttr(self, S.s_dict, self) < 0 || PyDict_Update(self, state) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------- NestedMemberBag

// Position of the first "." in an exact str, -1 if none, -2 on error.
Py_ssize_t find_dot(PyObject* key) noexcept {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(key);
    if (PyUnicode_KIND(key) == PyUnicode_1BYTE_KIND) {
        const auto* data = static_cast<const char*>(PyUnicode_DATA(key));
        const void* hit = std::memchr(data, '.', static_cast<size_t>(len));
        return hit ? static_cast<const char*>(hit) - data : -1;
    }
    return PyUnicode_FindChar(key, '.', 0, len, 1);
}

// A key is a path when it is a str containing ".". Exact str keys are
// split here; a str subclass gets its own `in` and `split`, as the class
// statement's code would call them.
// Returns 1 with head/rest set, 0 for a plain key, -1 on error.
int split_path(PyObject* key, Ref& head, Ref& rest) noexcept {
    if (PyUnicode_CheckExact(key)) {
        const Py_ssize_t len = PyUnicode_GET_LENGTH(key);
        const Py_ssize_t dot = find_dot(key);
        if (dot < 0) {
            return dot == -1 ? 0 : -1;
        }
        head = Ref::steal(PyUnicode_Substring(key, 0, dot));
        rest = Ref::steal(PyUnicode_Substring(key, dot + 1, len));
        return head && rest ? 1 : -1;
    }
    if (!PyUnicode_Check(key)) {
        return 0;
    }
    const int has = PySequence_Contains(key, S.s_dot);
    if (has <= 0) {
        return has;
    }
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) {
        return -1;
    }
    Ref parts = Ref::steal(PyObject_CallMethodObjArgs(key, S.s_split, S.s_dot, one.get(), nullptr));
    if (!parts) {
        return -1;
    }
    Ref pair = Ref::steal(PyObject_CallOneArg(S.unpack_pair, parts.get()));
    if (!pair) {
        return -1;
    }
    head = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0));
    rest = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1));
    return 1;
}

// super(NestedMemberBag, self).__getitem__(key)
Ref super_getitem(PyObject* self, PyObject* key) noexcept {
    return tavrin::call_base(facts, NESTED_SUPER_GETITEM, self, {key},
                             [&] { return Ref::steal(PyDict_Type.tp_as_mapping->mp_subscript(self, key)); });
}

// Whether obj[key] lands in nested_getitem with super() landing in dict:
// then the walk can go on here instead of through the slot machinery.
int walks_here(PyObject* obj) noexcept {
    return facts.all(Py_TYPE(obj), bit(OWN_GETITEM) | bit(NESTED_SUPER_GETITEM));
}


Ref getitem_impl(PyObject* self, PyObject* key) noexcept {
    RecursionGuard guard(" while reading a NestedMemberBag path");
    if (guard.failed()) {
        return Ref();
    }
    Ref current = Ref::borrow(self);
    Ref k = Ref::borrow(key);
    for (;;) {
        Ref head, rest;
        const int path = split_path(k.get(), head, rest);
        if (path < 0) {
            return Ref();
        }
        if (!path) {
            return super_getitem(current.get(), k.get());
        }
        Ref value = super_getitem(current.get(), head.get());
        if (!value) {
            return Ref();
        }
        // The level is ours: walk on without re-entering through value[rest].
        // Only with an exact str remainder, which is shorter than the key: a
        // str subclass's split() may hand back a key as long as the one it
        // was given, and then only the recursion limit ends the walk.
        const int here = walks_here(value.get());
        if (here < 0) {
            return Ref();
        }
        if (!here || !PyUnicode_CheckExact(rest.get())) {
            return Ref::steal(PyObject_GetItem(value.get(), rest.get()));
        }
        current = std::move(value);
        k = std::move(rest);
    }
}

// reentry.hpp rule 2: each level and remaining key held.
TAVRIN_METHOD(f_nested_getitem, nested_getitem, "__getitem__", "$self, key", nullptr) {
    PyObject* key;
    if (!f_nested_getitem.bind(self, args, nargs, kwnames, &key)) {
        return nullptr;
    }
    return getitem_impl(self, key).release();
}

int nested_ass_subscript(PyObject* self, PyObject* key, PyObject* value) noexcept;
int setitem_impl(PyObject* self, PyObject* key, PyObject* value) noexcept;

// self[key] = value: straight into our own code when the type's slot is ours
// (that is what the interpreter would call), else through the slot.
int store(PyObject* self, PyObject* key, PyObject* value) noexcept {
    if (Py_TYPE(self)->tp_as_mapping && Py_TYPE(self)->tp_as_mapping->mp_ass_subscript == nested_ass_subscript) {
        return setitem_impl(self, key, value);
    }
    return PyObject_SetItem(self, key, value);
}

// type(self)() with no arguments. With the plain `type` call behind the
// metaclass this is what type.__call__ does, minus the generic call path.
Ref new_level(PyObject* self) noexcept {
    // Held: a Python __new__ may reassign self.__class__, and the old class
    // must outlive the type check below.
    Ref owner = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(owner.get());
    if (Py_TYPE(cls)->tp_call != PyType_Type.tp_call || !cls->tp_new) {
        return Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(cls)));
    }
    Ref obj = Ref::steal(cls->tp_new(cls, S.empty_tuple, nullptr));
    if (!obj || !PyObject_TypeCheck(obj.get(), cls)) {
        return obj;
    }
    initproc init = Py_TYPE(obj.get())->tp_init;
    if (init && init(obj.get(), S.empty_tuple, nullptr) < 0) {
        return Ref();
    }
    return obj;
}

// MutableMapping.setdefault(self, key, default) as its Python code runs it:
// try self[key], on KeyError store default (that KeyError becomes the
// context of anything the store raises) and return it.
Ref setdefault_generic_equivalent(PyObject* self, PyObject* key, PyObject* deflt) noexcept {
    // When self[key] is a plain dict lookup (our __getitem__, dict below it,
    // no __missing__, key not a path), a miss needn't raise and catch a
    // KeyError: it is made only if the store fails and needs it as context.
    const int here = walks_here(self);
    if (here < 0) {
        return Ref();
    }
    if (here && (PyUnicode_CheckExact(key) || !PyUnicode_Check(key))) {
        const int no_missing = facts.holds(Py_TYPE(self), NO_MISSING);
        if (no_missing < 0) {
            return Ref();
        }
        const Py_ssize_t dot = PyUnicode_Check(key) ? find_dot(key) : -1;
        if (dot == -2) {
            return Ref();
        }
        if (no_missing && dot == -1) {
            Ref found;
            const int rc = tavrin::dict_get_ref(self, key, found);
            if (rc != 0) {
                return found;
            }
            if (store(self, key, deflt) < 0) {
                PendingError failure;
                Ref missing = Ref::steal(PyObject_CallOneArg(PyExc_KeyError, key));
                if (missing) {
                    PyException_SetContext(failure.get(), missing.release());
                }
                failure.restore();
                return Ref();
            }
            return Ref::borrow(deflt);
        }
    }
    Ref found = Ref::steal(PyObject_GetItem(self, key));
    if (found || !PyErr_ExceptionMatches(PyExc_KeyError)) {
        return found;
    }
    PendingError missing;
    if (PyObject_SetItem(self, key, deflt) < 0) {
        missing.chain_into_current();
        return Ref();
    }
    return Ref::borrow(deflt);
}

// self.setdefault(key, default), looked up on the object.
Ref call_setdefault(PyObject* self, PyObject* key, PyObject* deflt) noexcept {
    const int own = tavrin::attribute_is(self, facts, OWN_SETDEFAULT);
    if (own < 0) {
        return Ref();
    }
    if (own) {
        return setdefault_generic_equivalent(self, key, deflt);
    }
    Ref method = Ref::steal(PyObject_GetAttr(self, S.s_setdefault));
    if (!method) {
        return Ref();
    }
    PyObject* argv[] = {key, deflt};
    return Ref::steal(PyObject_Vectorcall(method.get(), argv, 2, nullptr));
}

int super_setitem(PyObject* self, PyObject* key, PyObject* value) noexcept {
    return tavrin::call_base(facts, NESTED_SUPER_SETITEM, self, {key, value}, [&] {
               return tavrin::none_or_error(PyDict_Type.tp_as_mapping->mp_ass_subscript(self, key, value));
           })
               ? 0
               : -1;
}

int setitem_impl(PyObject* self, PyObject* key, PyObject* value) noexcept {
    Ref head, rest;
    const int path = split_path(key, head, rest);
    if (path < 0) {
        return -1;
    }
    if (!path) {
        return super_setitem(self, key, value);
    }
    Ref fresh = new_level(self);
    if (!fresh) {
        return -1;
    }
    Ref level = call_setdefault(self, head.get(), fresh.get());
    if (!level) {
        return -1;
    }
    // type(self) read now, as the statement after the setdefault call reads
    // it, and held: that call ran Python code, which may have given self
    // another class and dropped the old one.
    Ref owner = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    PyObject* cls = owner.get();
    const int is_level = PyObject_IsInstance(level.get(), cls);
    if (is_level < 0) {
        return -1;
    }
    if (!is_level) {
        Ref cls_name = Ref::steal(PyObject_GetAttr(cls, S.s_name));
        if (!cls_name) {
            return -1;
        }
        Ref msg = Ref::steal(PyUnicode_FromFormat("target key \"%S\" is a value, cannot update value against another %S",
                                                  head.get(), cls_name.get()));
        if (!msg) {
            return -1;
        }
        Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_KeyError, msg.get()));
        if (exc) {
            PyErr_SetObject(PyExc_KeyError, exc.get());
        }
        return -1;
    }
    RecursionGuard guard(" while writing a NestedMemberBag path");
    if (guard.failed()) {
        return -1;
    }
    return PyObject_SetItem(level.get(), rest.get(), value);
}


// reentry.hpp rule 2: the level and type(self) read after setdefault ran.
TAVRIN_METHOD(f_nested_setitem, nested_setitem, "__setitem__", "$self, key, value", nullptr) {
    PyObject* argv[2];
    if (!f_nested_setitem.bind(self, args, nargs, kwnames, argv)) {
        return nullptr;
    }
    if (setitem_impl(self, argv[0], argv[1]) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}


int super_contains(PyObject* self, PyObject* key) noexcept {
    Ref r = tavrin::call_base(facts, NESTED_SUPER_CONTAINS, self, {key}, [&] {
        const int has = PyDict_Contains(self, key);
        return has < 0 ? Ref() : Ref::borrow(has ? Py_True : Py_False);
    });
    if (!r) {
        return -1;
    }
    // The direct answer, as PyObject_IsTrue would read it, without the call.
    return r.get() == Py_True ? 1 : r.get() == Py_False ? 0 : PyObject_IsTrue(r.get());
}

// reentry.hpp rule 2, as __contains__ (also the direct slot).
int contains_impl(PyObject* self, PyObject* key) noexcept {
    Ref head, rest;
    const int path = split_path(key, head, rest);
    if (path <= 0) {
        return path < 0 ? -1 : super_contains(self, key);
    }
    const int present = super_contains(self, head.get());
    if (present <= 0) {
        return present;
    }
    Ref value = super_getitem(self, head.get());
    if (!value) {
        return -1;
    }
    RecursionGuard guard(" while testing a NestedMemberBag path");
    if (guard.failed()) {
        return -1;
    }
    return PySequence_Contains(value.get(), rest.get());
}

// reentry.hpp rule 2: each level held.
TAVRIN_METHOD(f_nested_contains, nested_contains, "__contains__", "$self, key", nullptr) {
    PyObject* key;
    if (!f_nested_contains.bind(self, args, nargs, kwnames, &key)) {
        return nullptr;
    }
    const int result = contains_impl(self, key);
    return result < 0 ? nullptr : PyBool_FromLong(result);
}


int delitem_impl(PyObject* self, PyObject* key) noexcept {
    Ref head, rest;
    const int path = split_path(key, head, rest);
    if (path < 0) {
        return -1;
    }
    if (!path) {
        return tavrin::call_base(facts, NESTED_SUPER_DELITEM, self, {key}, [&] {
                   return tavrin::none_or_error(PyDict_Type.tp_as_mapping->mp_ass_subscript(self, key, nullptr));
               })
                   ? 0
                   : -1;
    }
    Ref value = super_getitem(self, head.get());
    if (!value) {
        return -1;
    }
    RecursionGuard guard(" while deleting a NestedMemberBag path");
    if (guard.failed()) {
        return -1;
    }
    return PyObject_DelItem(value.get(), rest.get());
}

// reentry.hpp rule 2: each level held.
TAVRIN_METHOD(f_nested_delitem, nested_delitem, "__delitem__", "$self, key", nullptr) {
    PyObject* key;
    if (!f_nested_delitem.bind(self, args, nargs, kwnames, &key)) {
        return nullptr;
    }
    if (delitem_impl(self, key) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// update --------------------------------------------------------------------

int update_impl(PyObject* self, PyObject* const* pos, Py_ssize_t npos, PyObject* kwargs) noexcept;

// obj.update(value), looked up on the object; our own update runs here.
int call_update(PyObject* obj, PyObject* value) noexcept {
    const int own = tavrin::attribute_is(obj, facts, OWN_UPDATE);
    if (own < 0) {
        return -1;
    }
    if (own) {
        return update_impl(obj, &value, 1, nullptr);
    }
    Ref method = Ref::steal(PyObject_GetAttr(obj, S.s_update));
    if (!method) {
        return -1;
    }
    Ref r = Ref::steal(PyObject_CallOneArg(method.get(), value));
    return r ? 0 : -1;
}

// isinstance(obj, Mapping). Any step of an update may run Python code
// (hashing, finalizers, overridden methods), so the ABC token is asked
// before each cached answer is used.
tavrin::AbcAnswers mapping_answers;

int is_mapping(PyObject* obj) noexcept {
    if (PyDict_CheckExact(obj)) {
        return 1;  // dict is registered with Mapping, and registration can't be undone
    }
    mapping_answers.mark_stale();
    return mapping_answers.isinstance(obj);
}

// One (key, value) element of update's source.
int update_element(PyObject* self, PyObject* source, PyObject* element) noexcept {
    Ref key, value;
    if ((PyTuple_CheckExact(element) && PyTuple_GET_SIZE(element) == 2)) {
        key = Ref::borrow(PyTuple_GET_ITEM(element, 0));
        value = Ref::borrow(PyTuple_GET_ITEM(element, 1));
    } else {
        const Py_ssize_t len = PyObject_Size(element);
        if (len < 0) {
            return -1;
        }
        if (len != 2) {
            Ref index = Ref::steal(PyObject_CallMethodObjArgs(source, S.s_index, element, nullptr));
            if (!index) {
                return -1;
            }
            PyErr_Format(PyExc_TypeError, "cannot convert dictionary update sequence element #%S to a sequence",
                         index.get());
            return -1;
        }
        if (PyList_CheckExact(element)) {
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
    const int mapping = is_mapping(value.get());
    if (mapping < 0) {
        return -1;
    }
    if (!mapping) {
        return store(self, key.get(), value.get());
    }
    // self.setdefault is looked up before the new level is made, as in
    // `self.setdefault(key, type(self)())`.
    const int own = tavrin::attribute_is(self, facts, OWN_SETDEFAULT);
    if (own < 0) {
        return -1;
    }
    Ref method;
    if (!own) {
        method = Ref::steal(PyObject_GetAttr(self, S.s_setdefault));
        if (!method) {
            return -1;
        }
    }
    Ref fresh = new_level(self);
    if (!fresh) {
        return -1;
    }
    Ref level;
    if (own) {
        level = setdefault_generic_equivalent(self, key.get(), fresh.get());
    } else {
        PyObject* argv[] = {key.get(), fresh.get()};
        level = Ref::steal(PyObject_Vectorcall(method.get(), argv, 2, nullptr));
    }
    if (!level) {
        return -1;
    }
    return call_update(level.get(), value.get());
}

int update_impl(PyObject* self, PyObject* const* pos, Py_ssize_t npos, PyObject* kwargs) noexcept {
    if (npos > 1) {
        PyErr_Format(PyExc_TypeError, "expected at most 1 arguments, got %zd", npos);
        return -1;
    }
    if (npos == 0 && !kwargs) {
        return 0;  // nothing to iterate: a fresh level
    }
    RecursionGuard guard(" while updating a NestedMemberBag");
    if (guard.failed()) {
        return -1;
    }
    Ref source;
    if (npos == 1) {
        const int mapping = is_mapping(pos[0]);
        if (mapping < 0) {
            return -1;
        }
        if (!mapping) {
            source = Ref::borrow(pos[0]);
        } else if (PyDict_CheckExact(pos[0])) {
            // An exact dict has no instance attributes: .items is dict.items.
            source = Ref::steal(PyObject_Vectorcall(S.dict_items, pos, 1, nullptr));
        } else {
            source = Ref::steal(PyObject_CallMethodObjArgs(pos[0], S.s_items, nullptr));
        }
    } else {
        source = Ref::borrow(S.empty_tuple);
    }
    if (!source) {
        return -1;
    }
    Ref it = Ref::steal(PyObject_GetIter(source.get()));
    if (!it) {
        return -1;
    }
    for (;;) {
        Ref element = Ref::steal(PyIter_Next(it.get()));
        if (!element) {
            if (PyErr_Occurred()) {
                return -1;
            }
            break;
        }
        if (update_element(self, source.get(), element.get()) < 0) {
            return -1;
        }
    }
    if (kwargs) {
        // Our own fresh dict of the call's keywords: nothing else can change it.
        Py_ssize_t i = 0;
        PyObject *k, *v;
        while (PyDict_Next(kwargs, &i, &k, &v)) {
            Ref element = Ref::steal(PyTuple_Pack(2, k, v));
            if (!element || update_element(self, source.get(), element.get()) < 0) {
                return -1;
            }
        }
    }
    return 0;
}


// reentry.hpp rule 2: iterates what it holds; every write looks the level up anew.
TAVRIN_METHOD(f_nested_update, nested_update, "update", "$self, *args, **kwargs",
              "Merge mappings and (key, value) pairs, then keywords, into the bag: mapping\n"
              "values become levels of the bag's class, merged into the level already\n"
              "there; other values are stored with bag[key] = value, so dotted keys make\n"
              "or reuse levels.") {
    std::pair<PyObject* const*, Py_ssize_t> star;
    Ref kw;
    if (!f_nested_update.bind(self, args, nargs, kwnames, nullptr, &star, &kw)) {
        return nullptr;
    }
    if (update_impl(self, star.first, star.second, kw.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}


// super().__init__(), then self.update(*args, **kwargs).
int nested_init_impl(PyObject* self, PyObject* const* pos, Py_ssize_t npos, PyObject* kwargs) noexcept {
    if (!tavrin::call_base(facts, NESTED_SUPER_INIT, self, {},
                           [&] { return tavrin::none_or_error(bag_init_tuple(self, S.empty_tuple, nullptr)); })) {
        return -1;
    }
    const int own = tavrin::attribute_is(self, facts, OWN_UPDATE);
    if (own < 0) {
        return -1;
    }
    if (own) {
        return update_impl(self, pos, npos, kwargs);
    }
    return tavrin::call_attribute(self, S.s_update, pos, npos, kwargs) ? 0 : -1;
}

// reentry.hpp rule 2, as update.
TAVRIN_METHOD(f_nested_init, nested_init, "__init__", "$self, *args, **kwargs", nullptr) {
    std::pair<PyObject* const*, Py_ssize_t> star;
    Ref kw;
    if (!f_nested_init.bind(self, args, nargs, kwnames, nullptr, &star, &kw)) {
        return nullptr;
    }
    if (nested_init_impl(self, star.first, star.second, kw.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Direct slots of NestedMemberBag itself (see install_direct_slots).
// reentry.hpp rule 2, as update; the caller's keywords are copied first.
int nested_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    if (!tavrin::keywords_are_strings(kwargs)) {
        return -1;
    }
    const int odd = names_receiver(kwargs);
    if (odd) {
        return odd < 0 ? -1 : call_descriptor(S.nested_init, self, args, kwargs);
    }
    // The keywords are the caller's dict; update walks a copy of its own.
    Ref kw;
    if (kwargs && PyDict_GET_SIZE(kwargs)) {
        kw = Ref::steal(PyDict_Copy(kwargs));
        if (!kw) {
            return -1;
        }
    }
    return nested_init_impl(self, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), kw.get());
}

// reentry.hpp rule 2, as __getitem__.
PyObject* nested_subscript(PyObject* self, PyObject* key) noexcept { return getitem_impl(self, key).release(); }

// reentry.hpp rule 2, as __setitem__ and __delitem__.
int nested_ass_subscript(PyObject* self, PyObject* key, PyObject* value) noexcept {
    return value ? setitem_impl(self, key, value) : delitem_impl(self, key);
}

// ------------------------------------------------------------------ module

const char* const bag_doc =
    "A dict whose entries are also attributes: bag['name'] and bag.name are the same\n"
    "entry, because the instance is its own attribute dictionary.\n"
    "\n"
    "Known limitation: keys that are not valid identifiers (containing a dot, comma,\n"
    "brackets, hyphen, quotes, slashes and the like) cannot be reached with the dot\n"
    "syntax; use item access (or getattr) for them.";

using tavrin::keep;

int intern_all() noexcept {
    const tavrin::NameSlot names[] = {
        {&S.s_dict, "__dict__"},         {&S.s_init, "__init__"},       {&S.s_repr, "__repr__"},
        {&S.s_getitem, "__getitem__"},   {&S.s_setitem, "__setitem__"}, {&S.s_delitem, "__delitem__"},
        {&S.s_contains, "__contains__"}, {&S.s_setdefault, "setdefault"}, {&S.s_update, "update"},
        {&S.s_items, "items"},           {&S.s_index, "index"},         {&S.s_class, "__class__"},
        {&S.s_name, "__name__"},         {&S.s_split, "split"},         {&S.s_dot, "."},
        {&S.s_self, "self"},             {&S.s_missing, "__missing__"},
    };
    if (tavrin::intern_names(names) < 0) {
        return -1;
    }
    S.empty_tuple = keep(Ref::steal(PyTuple_New(0)));
    return S.empty_tuple ? 0 : -1;
}

// Elements other than exact tuples and lists are unpacked by the
// interpreter itself, so its messages ("too many values to unpack ...")
// are the ones the caller sees.
int make_unpack_helper() noexcept {
    S.unpack_pair = keep(tavrin::python_function(
        "def unpack_pair(element):\n    key, value = element\n    return key, value\n", "unpack_pair"));
    return S.unpack_pair ? 0 : -1;
}

int memberbag_body(PyObject* m) noexcept {
    if (intern_all() < 0 || make_unpack_helper() < 0) {
        return -1;
    }
    Ref copyreg = Ref::steal(PyImport_ImportModule("copyreg"));
    if (!copyreg || !(S.newobj = keep(Ref::steal(PyObject_GetAttrString(copyreg.get(), "__newobj__"))))) {
        return -1;
    }
    if (!(S.dict_init = tavrin::builtin_entry(&PyDict_Type, "__init__")) ||
        !(S.dict_repr = tavrin::builtin_entry(&PyDict_Type, "__repr__")) ||
        !(S.dict_getitem = tavrin::builtin_entry(&PyDict_Type, "__getitem__")) ||
        !(S.dict_setitem = tavrin::builtin_entry(&PyDict_Type, "__setitem__")) ||
        !(S.dict_delitem = tavrin::builtin_entry(&PyDict_Type, "__delitem__")) ||
        !(S.dict_contains = tavrin::builtin_entry(&PyDict_Type, "__contains__")) ||
        !(S.dict_items = tavrin::builtin_entry(&PyDict_Type, "items"))) {
        return -1;
    }

    if (!tavrin::import_module(m, "itertools")) {
        return -1;
    }
    Ref mapping = tavrin::import_from(m, "collections.abc", "Mapping");
    Ref mutable_mapping = tavrin::import_from(m, "collections.abc", "MutableMapping");
    if (!mapping || !mutable_mapping) {
        return -1;
    }
    S.Mapping = keep(std::move(mapping));
    if (mapping_answers.init(S.Mapping) < 0) {
        return -1;
    }
    S.MutableMapping = keep(std::move(mutable_mapping));

    Ref bag = tavrin::make_class(m, "MemberBag", {reinterpret_cast<PyObject*>(&PyDict_Type)}, bag_doc,
                                 {f_bag_init, f_bag_repr, f_bag_reduce, f_bag_setstate});
    if (!bag || PyObject_SetAttrString(m, "MemberBag", bag.get()) < 0) {
        return -1;
    }
    S.MemberBag = reinterpret_cast<PyTypeObject*>(keep(std::move(bag)));

    Ref mm_get = Ref::steal(PyObject_GetAttrString(S.MutableMapping, "get"));
    Ref mm_pop = Ref::steal(PyObject_GetAttrString(S.MutableMapping, "pop"));
    Ref mm_setdefault = Ref::steal(PyObject_GetAttrString(S.MutableMapping, "setdefault"));
    if (!mm_get || !mm_pop || !mm_setdefault) {
        return -1;
    }
    Ref nested = tavrin::make_class(m, "NestedMemberBag",
                                    {reinterpret_cast<PyObject*>(S.MemberBag), S.MutableMapping}, nullptr,
                                    {f_nested_init, f_nested_getitem, f_nested_setitem, f_nested_contains,
                                     f_nested_delitem, {"get", mm_get.get()}, {"pop", mm_pop.get()},
                                     {"setdefault", mm_setdefault.get()}, f_nested_update});
    if (!nested || PyObject_SetAttrString(m, "NestedMemberBag", nested.get()) < 0) {
        return -1;
    }
    S.Nested = reinterpret_cast<PyTypeObject*>(keep(std::move(nested)));
    S.mm_setdefault = keep(std::move(mm_setdefault));

    // Our descriptors as the classes now hold them.
    if (!(S.bag_init = tavrin::builtin_entry(S.MemberBag, "__init__")) ||
        !(S.bag_dict_slot = tavrin::builtin_entry(S.MemberBag, "__dict__")) ||
        !(S.nested_init = tavrin::builtin_entry(S.Nested, "__init__")) ||
        !(S.nested_getitem = tavrin::builtin_entry(S.Nested, "__getitem__")) ||
        !(S.nested_update = tavrin::builtin_entry(S.Nested, "update"))) {
        return -1;
    }
    tavrin::DirectSlots bag_slots;
    bag_slots.init = bag_tp_init;
    tavrin::install_direct_slots(reinterpret_cast<PyObject*>(S.MemberBag), bag_slots);
    tavrin::DirectSlots nested_slots;
    nested_slots.init = nested_tp_init;
    nested_slots.subscript = nested_subscript;
    nested_slots.ass_subscript = nested_ass_subscript;
    nested_slots.contains = contains_impl;
    tavrin::install_direct_slots(reinterpret_cast<PyObject*>(S.Nested), nested_slots);
    return 0;
}

}  // namespace

TAVRIN_MODULE(memberbag,
              "Dictionaries whose entries are also attributes.\n"
              "\n"
              "MemberBag extends dict so that key-value pairs can be reached as object\n"
              "attributes (obj.key) as well as in the native obj['key'] form;\n"
              "NestedMemberBag adds dotted key paths (obj['a.b.c']) through nested levels.",
              memberbag_body)
