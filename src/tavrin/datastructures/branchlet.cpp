// tavrin.datastructures.branchlet: Branchlet, a named tree node with an
// ordered list of children whose text form draws the whole tree the way the
// `tree` command draws a directory hierarchy.
//
// Rendering is defined recursively: a node's text is its name followed by
// each child's text, every line of it re-indented under a four-character
// connector. Done literally that costs depth x output and one C stack frame
// per level. Here a single walk writes every line once, with the prefix the
// nested re-indenting would have given it (the continuation pieces of its
// ancestors, then its own connector), so the cost is linear in the output
// whatever the depth and deep chains need no recursion. A child is walked
// into only when str(child) would run this same rendering on plain
// attribute reads; anything else is rendered through its own str and its
// lines re-indented, so the text is exactly the recursive one.
#include <tavrin/module.hpp>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

using tavrin::RecursionGuard;
using tavrin::Ref;

namespace {

// Process-wide state, filled once by the module body.
struct State {
    PyTypeObject* Branchlet = nullptr;
    PyObject* str_descr = nullptr;  // our __str__ as the class holds it
    reprfunc tp_str = nullptr;      // the str slot a class with our __str__ gets
    PyObject* s_name = nullptr;
    PyObject* s_children = nullptr;
    PyObject* s_append = nullptr;
    PyObject* s_str = nullptr;
    PyObject* minus_one = nullptr;
    PyObject* head_slice = nullptr;  // slice(None, -1, None)
};
State S;

const char* const recursion_message = "maximum recursion depth exceeded while getting the str of an object";
const char* const recursion_where = " while getting the str of an object";

// ------------------------------------------------------------------ text

// The output text, built in the narrowest of the three string widths that
// holds every character written so far. Every character of every string
// handed to `sub` ends up in the output (only line feeds are taken out, and
// they are ASCII), so the widest input decides the result's width exactly
// as the interpreter's own concatenation would.
class Text {
public:
    void ascii(const char* p, size_t n) { append(p, n); }
    void ascii(const std::string& s) { ascii(s.data(), s.size()); }

    // Characters [start, end) of the str object `s`.
    void sub(PyObject* s, Py_ssize_t start, Py_ssize_t end) {
        const Py_UCS4 mc = PyUnicode_MAX_CHAR_VALUE(s);
        if (mc > maxchar_) {
            maxchar_ = mc;
            widen(kind_for(mc));
        }
        const size_t n = static_cast<size_t>(end - start);
        switch (PyUnicode_KIND(s)) {
            case PyUnicode_1BYTE_KIND:
                append(PyUnicode_1BYTE_DATA(s) + start, n);
                break;
            case PyUnicode_2BYTE_KIND:
                append(PyUnicode_2BYTE_DATA(s) + start, n);
                break;
            default:
                append(PyUnicode_4BYTE_DATA(s) + start, n);
                break;
        }
    }

    PyObject* finish() const {
        const size_t n = kind_ == 1 ? b1_.size() : kind_ == 2 ? b2_.size() : b4_.size();
        PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(n), maxchar_);
        if (!out || n == 0) {
            return out;
        }
        switch (kind_) {
            case 1:
                std::memcpy(PyUnicode_DATA(out), b1_.data(), n);
                break;
            case 2:
                std::memcpy(PyUnicode_DATA(out), b2_.data(), n * sizeof(Py_UCS2));
                break;
            default:
                std::memcpy(PyUnicode_DATA(out), b4_.data(), n * sizeof(Py_UCS4));
                break;
        }
        return out;
    }

private:
    static int kind_for(Py_UCS4 mc) { return mc < 256 ? 1 : mc < 65536 ? 2 : 4; }

    template <class C>
    void append(const C* p, size_t n) {
        // The source is never wider than the buffer: sub() widened first.
        switch (kind_) {
            case 1:
                b1_.insert(b1_.end(), p, p + n);
                break;
            case 2:
                b2_.insert(b2_.end(), p, p + n);
                break;
            default:
                b4_.insert(b4_.end(), p, p + n);
                break;
        }
    }

    void widen(int kind) {
        if (kind <= kind_) {
            return;
        }
        if (kind == 2) {
            b2_.assign(b1_.begin(), b1_.end());
        } else if (kind_ == 1) {
            b4_.assign(b1_.begin(), b1_.end());
        } else {
            b4_.assign(b2_.begin(), b2_.end());
        }
        if (kind_ == 1) {
            std::vector<Py_UCS1>().swap(b1_);
        } else {
            std::vector<Py_UCS2>().swap(b2_);
        }
        kind_ = kind;
    }

    std::vector<Py_UCS1> b1_;
    std::vector<Py_UCS2> b2_;
    std::vector<Py_UCS4> b4_;
    int kind_ = 1;
    Py_UCS4 maxchar_ = 127;
};

// Splits the str `s` at every line feed and writes each line after `lead`
// (a line feed and the ancestors' continuation pieces), the first under
// `first` and the others under `rest`: the re-indenting of one child's text.
int write_lines(Text& out, PyObject* s, const std::string& lead, const char* first, const char* rest) {
    if (tavrin::unicode_ready(s) < 0) {
        return -1;
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = static_cast<int>(PyUnicode_KIND(s));
    const void* data = PyUnicode_DATA(s);
    Py_ssize_t pos = 0;
    const char* connector = first;
    for (;;) {
        Py_ssize_t end = pos;
        if (kind == PyUnicode_1BYTE_KIND) {
            const void* hit = std::memchr(static_cast<const Py_UCS1*>(data) + pos, '\n', static_cast<size_t>(n - pos));
            end = hit ? static_cast<const Py_UCS1*>(hit) - static_cast<const Py_UCS1*>(data) : n;
        } else {
            while (end < n && PyUnicode_READ(kind, data, end) != '\n') {
                ++end;
            }
        }
        out.ascii(lead);
        out.ascii(connector, 4);
        out.sub(s, pos, end);
        if (end == n) {
            return 0;
        }
        pos = end + 1;
        connector = rest;
    }
}

const char* const conn_first = "|-- ";
const char* const conn_rest = "|   ";
const char* const conn_last_first = "`-- ";
const char* const conn_last_rest = "    ";

// ---------------------------------------------------------- inline nodes

// Types whose instances the walk renders in place of calling str() on them:
// instances of Branchlet whose str slot is the one a class gets from our
// __str__ and whose MRO finds our __str__, with the generic attribute
// access and no class in the MRO defining `name` or `children`. For those,
// str(node) is exactly our rendering, and node.name / node.children are
// plain instance-dict reads: no code of the user's runs, so reading them
// again (when a node falls back to its own str) changes nothing.
enum Row : unsigned { OWN_STR, NO_CLASS_NAME, NO_CLASS_CHILDREN, ROWS };
PyObject* const nothing = nullptr;
const tavrin::FactRow rows[ROWS] = {
    {&S.s_str, &S.str_descr},
    {&S.s_name, &nothing},
    {&S.s_children, &nothing},
};
constexpr tavrin::Facts INLINE = tavrin::Facts{1} << ROWS;

int inline_fact(PyTypeObject* t, tavrin::Facts& out) noexcept {
    const tavrin::Facts all_rows = (tavrin::Facts{1} << ROWS) - 1;
    if ((out & all_rows) == all_rows && t->tp_getattro == PyObject_GenericGetAttr) {
        out |= INLINE;
    }
    return 0;
}
tavrin::TypeFacts<ROWS> node_facts(rows, inline_fact);

// 1 when the walk renders instances of `t` itself, 0 when it calls their
// str, -1 on error. Only the classes of nodes are asked about: looking a
// name up in any other class's namespace could run the code of its keys.
int renders_inline(PyTypeObject* t) noexcept {
    if (t->tp_str != S.tp_str || (t != S.Branchlet && !PyType_IsSubtype(t, S.Branchlet))) {
        return 0;
    }
    return node_facts.all(t, INLINE);
}

// Children the walk can take apart without running user code: the truth
// test, the slice and the last item of None, exact lists and exact tuples
// are the built-in ones.
bool plain_children(PyObject* c) { return c == Py_None || PyList_CheckExact(c) || PyTuple_CheckExact(c); }

Py_ssize_t plain_size(PyObject* c) { return c == Py_None ? 0 : Py_SIZE(c); }

// children[-1], read when its turn comes (after the earlier children were
// rendered, which may have run code that changed the list).
Ref plain_last(PyObject* c) {
    if (PyTuple_CheckExact(c)) {
        return Ref::borrow(PyTuple_GET_ITEM(c, PyTuple_GET_SIZE(c) - 1));
    }
    const Py_ssize_t n = PyList_GET_SIZE(c);
    if (n == 0) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return Ref();
    }
    return Ref::borrow(PyList_GET_ITEM(c, n - 1));
}

// One node of the walk whose children are being written.
struct Level {
    Ref node;
    Ref children;        // the node's children: None, a list or a tuple
    size_t base;         // where children[:-1] starts in the walk's pool
    Py_ssize_t next;     // next position in children[:-1]
    Py_ssize_t count;    // the length of children[:-1]
    bool last_done;
    size_t lead_before;  // the lead's length to restore once the level is done
};

class Walk {
public:
    explicit Walk(Text& out) : out_(out) { lead_.push_back('\n'); }
    ~Walk() { release_from(0); }
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;

    // Writes the lines of `node`'s children below it (its name is written).
    int run(PyObject* node, PyObject* children) {
        push(node, children, lead_.size());
        while (!stack_.empty()) {
            Level& top = stack_.back();
            Ref child;
            bool last = false;
            if (top.next < top.count) {
                child = Ref::borrow(pool_[top.base + static_cast<size_t>(top.next)]);
                ++top.next;
            } else if (!top.last_done) {
                top.last_done = true;
                child = plain_last(top.children.get());
                if (!child) {
                    return -1;
                }
                last = true;
            } else {
                lead_.resize(top.lead_before);
                const size_t base = top.base;
                stack_.pop_back();
                release_from(base);
                continue;
            }
            if (child_lines(child.get(), last) < 0) {
                return -1;
            }
        }
        return 0;
    }

private:
    // The earlier children are those of children[:-1] taken now: later
    // changes to the list don't reach them. The copy lives in one pool
    // shared by all levels (they end in the reverse order they begin), not
    // in a list per node, so rendering makes no objects the cycle collector
    // would count.
    void push(PyObject* node, PyObject* children, size_t lead_before) {
        const Py_ssize_t n = plain_size(children);
        const size_t base = pool_.size();
        if (n > 1) {
            PyObject** items = PyTuple_CheckExact(children) ? &PyTuple_GET_ITEM(children, 0)
                                                            : &PyList_GET_ITEM(children, 0);
            pool_.insert(pool_.end(), items, items + (n - 1));
            for (size_t i = base; i < pool_.size(); ++i) {
                Py_INCREF(pool_[i]);
            }
        }
        stack_.push_back(Level{Ref::borrow(node), Ref::borrow(children), base, 0, n - 1, false, lead_before});
    }

    // Drops the pool's references from `base` on, last first.
    void release_from(size_t base) {
        while (pool_.size() > base) {
            PyObject* item = pool_.back();
            pool_.pop_back();
            Py_DECREF(item);
        }
    }

    // Whether `node` is being rendered further up: its rendering would then
    // contain itself and never end. The scan costs as much as the prefix
    // the node's first line gets, so the walk stays linear in the output.
    bool on_path(PyObject* node) const {
        for (const Level& l : stack_) {
            if (l.node.get() == node) {
                return true;
            }
        }
        return false;
    }

    int child_lines(PyObject* child, bool last) {
        const char* first = last ? conn_last_first : conn_first;
        const char* rest = last ? conn_last_rest : conn_rest;
        const int inl = renders_inline(Py_TYPE(child));
        if (inl < 0) {
            return -1;
        }
        if (inl) {
            Ref name = Ref::steal(PyObject_GenericGetAttr(child, S.s_name));
            if (!name) {
                return -1;
            }
            if (PyUnicode_CheckExact(name.get())) {
                Ref children = Ref::steal(PyObject_GenericGetAttr(child, S.s_children));
                if (!children) {
                    return -1;
                }
                if (plain_children(children.get())) {
                    if (write_lines(out_, name.get(), lead_, first, rest) < 0) {
                        return -1;
                    }
                    if (plain_size(children.get()) == 0) {
                        return 0;
                    }
                    if (on_path(child)) {
                        PyErr_SetString(PyExc_RecursionError, recursion_message);
                        return -1;
                    }
                    const size_t before = lead_.size();
                    lead_.append(rest, 4);
                    push(child, children.get(), before);
                    return 0;
                }
            }
        }
        // Rendered through its own str: names that aren't plain str, other
        // kinds of children, overridden __str__, objects that aren't nodes.
        Ref text = Ref::steal(PyObject_Str(child));
        if (!text) {
            return -1;
        }
        return write_lines(out_, text.get(), lead_, first, rest);
    }

    Text& out_;
    std::string lead_;  // a line feed, then the continuation piece of every open level
    std::vector<Level> stack_;
    std::vector<PyObject*> pool_;  // owned references: every open level's children[:-1]
};

// --------------------------------------------------------------- generic

// children[:-1] for any object, refused for objects that can't be sliced.
Ref head_of(PyObject* children) {
    PyMappingMethods* mp = Py_TYPE(children)->tp_as_mapping;
    if (!mp || !mp->mp_subscript) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(children)->tp_name);
        return Ref();
    }
    return Ref::steal(mp->mp_subscript(children, S.head_slice));
}

// The rendering for names that aren't plain str and children that aren't
// None, a list or a tuple, step by step: each child's text is appended to
// the text so far with `+=`, so a name that isn't a str fails (or gives a
// non-str result) the way the appending makes it.
Ref render_generic(PyObject* name, PyObject* children) {
    const int truth = PyObject_IsTrue(children);
    if (truth < 0) {
        return Ref();
    }
    if (!truth) {
        return Ref::borrow(name);
    }
    Ref head = head_of(children);
    if (!head) {
        return Ref();
    }
    // While the text so far is a plain str it lives in `out`; `text` holds it
    // only while it is some other object.
    Text out;
    Ref text;
    if (PyUnicode_CheckExact(name)) {
        if (tavrin::unicode_ready(name) < 0) {
            return Ref();
        }
        out.sub(name, 0, PyUnicode_GET_LENGTH(name));
    } else {
        text = Ref::borrow(name);
    }
    const std::string lead(1, '\n');
    auto append = [&](PyObject* child, bool last) -> int {
        Ref piece = Ref::steal(PyObject_Str(child));
        if (!piece) {
            return -1;
        }
        const char* first = last ? conn_last_first : conn_first;
        const char* rest = last ? conn_last_rest : conn_rest;
        if (!text) {
            return write_lines(out, piece.get(), lead, first, rest);
        }
        Text own;
        if (write_lines(own, piece.get(), lead, first, rest) < 0) {
            return -1;
        }
        Ref indented = Ref::steal(own.finish());
        if (!indented) {
            return -1;
        }
        text = Ref::steal(PyNumber_InPlaceAdd(text.get(), indented.get()));
        if (!text) {
            return -1;
        }
        if (PyUnicode_CheckExact(text.get())) {
            if (tavrin::unicode_ready(text.get()) < 0) {
                return -1;
            }
            out.sub(text.get(), 0, PyUnicode_GET_LENGTH(text.get()));
            text.reset();
        }
        return 0;
    };
    Ref it = Ref::steal(PyObject_GetIter(head.get()));
    if (!it) {
        return Ref();
    }
    for (;;) {
        Ref child = Ref::steal(PyIter_Next(it.get()));
        if (!child) {
            if (PyErr_Occurred()) {
                return Ref();
            }
            break;
        }
        if (append(child.get(), false) < 0) {
            return Ref();
        }
    }
    Ref last = Ref::steal(PyObject_GetItem(children, S.minus_one));
    if (!last || append(last.get(), true) < 0) {
        return Ref();
    }
    return text ? std::move(text) : Ref::steal(out.finish());
}

Ref render(PyObject* self) {
    RecursionGuard guard(recursion_where);
    if (guard.failed()) {
        return Ref();
    }
    Ref name = Ref::steal(PyObject_GetAttr(self, S.s_name));
    if (!name) {
        return Ref();
    }
    Ref children = Ref::steal(PyObject_GetAttr(self, S.s_children));
    if (!children) {
        return Ref();
    }
    if (!PyUnicode_CheckExact(name.get()) || !plain_children(children.get())) {
        return render_generic(name.get(), children.get());
    }
    if (plain_size(children.get()) == 0) {
        return name;  // the name itself, not a copy
    }
    if (tavrin::unicode_ready(name.get()) < 0) {
        return Ref();
    }
    Text out;
    out.sub(name.get(), 0, PyUnicode_GET_LENGTH(name.get()));
    Walk walk(out);
    if (walk.run(self, children.get()) < 0) {
        return Ref();
    }
    return Ref::steal(out.finish());
}

// ---------------------------------------------------------------- methods

// reentry.hpp rule 2: keeps nothing.
TAVRIN_METHOD(f_init, branchlet_init, "__init__", "$self, name, children=None",
              "Make a node.\n"
              "\n"
              "name: the node's name, a str, printed as is on the node's first line.\n"
              "children: a list of child nodes. A list given here is kept, not copied:\n"
              "add_child appends to it. When children is empty or not given, the node\n"
              "gets a new list of its own.") {
    PyObject* argv[2];
    if (!f_init.bind(self, args, nargs, kwnames, argv)) {
        return nullptr;
    }
    Ref children;
    if (argv[1]) {
        const int truth = PyObject_IsTrue(argv[1]);
        if (truth < 0) {
            return nullptr;
        }
        if (truth) {
            children = Ref::borrow(argv[1]);
        }
    }
    if (!children) {
        children = Ref::steal(PyList_New(0));
        if (!children) {
            return nullptr;
        }
    }
    if (PyObject_SetAttr(self, S.s_name, argv[0]) < 0 || PyObject_SetAttr(self, S.s_children, children.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// reentry.hpp rule 2: keeps nothing.
TAVRIN_METHOD(f_add_child, branchlet_add_child, "add_child", "$self, item",
              "Add one child node after the node's other children.\n"
              "\n"
              "item: the child, normally a Branchlet; any object can stand there and is\n"
              "printed through its str.") {
    PyObject* item;
    if (!f_add_child.bind(self, args, nargs, kwnames, &item)) {
        return nullptr;
    }
    Ref children = Ref::steal(PyObject_GetAttr(self, S.s_children));
    if (!children) {
        return nullptr;
    }
    if (PyList_CheckExact(children.get())) {
        // list.append is what `.append` finds on an exact list.
        if (PyList_Append(children.get(), item) < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    Ref method = Ref::steal(PyObject_GetAttr(children.get(), S.s_append));
    if (!method) {
        return nullptr;
    }
    return PyObject_CallOneArg(method.get(), item);
}

// reentry.hpp rule 2: the walk is this call's own; it holds every node and list it reads.
TAVRIN_METHOD(f_str, branchlet_str, "__str__", "$self",
              "Return the tree rooted at this node formatted as a string, one line per\n"
              "node, without a trailing line feed.") {
    if (!f_str.bind(self, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    return tavrin::guarded<PyObject*>(nullptr, [&] { return render(self).release(); });
}

// ------------------------------------------------------------------ module

const char* const branchlet_doc =
    "A tree node that mimics the printing of the `tree` command.\n"
    "\n"
    "A node has a name and a list of children; str() draws the node and all\n"
    "its descendants, each level indented by four more columns:\n"
    "\n"
    "    >>> pump = Branchlet('pump', [Branchlet('valve'), Branchlet('gauge')])\n"
    "    >>> tank = Branchlet('tank')\n"
    "    >>> tank.add_child(Branchlet('sensor', [Branchlet('probe'), Branchlet('cable')]))\n"
    "    >>> print(Branchlet('station', [pump, tank]))\n"
    "    station\n"
    "    |-- pump\n"
    "    |   |-- valve\n"
    "    |   `-- gauge\n"
    "    `-- tank\n"
    "        `-- sensor\n"
    "            |-- probe\n"
    "            `-- cable\n"
    "\n"
    "Any object can stand among the children; it is printed through its str.";

using tavrin::keep;

int branchlet_body(PyObject* m) noexcept {
    struct {
        PyObject** slot;
        const char* text;
    } names[] = {
        {&S.s_name, "name"},
        {&S.s_children, "children"},
        {&S.s_append, "append"},
        {&S.s_str, "__str__"},
    };
    for (auto& n : names) {
        if (!(*n.slot = tavrin::intern(n.text))) {
            return -1;
        }
    }
    if (!(S.minus_one = keep(Ref::steal(PyLong_FromLong(-1)))) ||
        !(S.head_slice = keep(Ref::steal(PySlice_New(Py_None, S.minus_one, Py_None))))) {
        return -1;
    }
    Ref cls = tavrin::make_class(m, "Branchlet", {reinterpret_cast<PyObject*>(&PyBaseObject_Type)}, branchlet_doc,
                                 {f_init, f_add_child, f_str});
    if (!cls || PyObject_SetAttrString(m, "Branchlet", cls.get()) < 0) {
        return -1;
    }
    S.Branchlet = reinterpret_cast<PyTypeObject*>(keep(std::move(cls)));
    S.tp_str = S.Branchlet->tp_str;
    if (!(S.str_descr = tavrin::builtin_entry(S.Branchlet, "__str__"))) {
        return -1;
    }
    return 0;
}

}  // namespace

TAVRIN_MODULE(branchlet, nullptr, branchlet_body)
