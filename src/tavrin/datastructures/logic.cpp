// tavrin.datastructures.logic: And, Or and Not, test objects that decide
// whether items satisfy a combination of regular expressions, callables and
// nested tests, and logic_str, which builds such an object from its text form
// (for instance a command-line argument).
#include <tavrin/module.hpp>

#include <iterator>
#include <vector>

using tavrin::Function;
using tavrin::PendingError;
using tavrin::RecursionGuard;
using tavrin::Ref;

namespace {

enum Op { AND = 0, OR = 1, NOT = 2, OTHER = 3 };

// Process-wide state, filled once by the module body (the frame refuses a
// second execution, so these are never replaced).
struct State {
    PyObject* globals = nullptr;   // the module's namespace: logic_str evaluates in it
    PyObject* builtins = nullptr;  // dict
    PyObject* eval = nullptr;      // builtins.eval
    PyObject* BaseLogic = nullptr;
    PyTypeObject* Pattern = nullptr;
    PyObject* pattern_search = nullptr;  // re.Pattern.search, unbound
    long unicode_flag = 0;               // re.UNICODE, the only flag re.compile(str) sets
    PyObject* call_descr[3] = {nullptr, nullptr, nullptr};  // And/Or/Not.__call__ as the classes hold them

    PyObject* s_expressions = nullptr;
    PyObject* s_re = nullptr;
    PyObject* s_compile = nullptr;
    PyObject* s_append = nullptr;
    PyObject* s_search = nullptr;
    PyObject* s_pattern = nullptr;
    PyObject* s_flags = nullptr;
    PyObject* s_name = nullptr;
    PyObject* s_call = nullptr;
    PyObject* s_string = nullptr;
    PyObject* s_decode = nullptr;
    PyObject* s_comma = nullptr;
};
State S;

using tavrin::keep;

// A module-level name as a function body of this module would find it: the
// module's namespace, then the built-ins.
Ref load_global(PyObject* name) noexcept {
    Ref found;
    int rc = tavrin::dict_get_ref(S.globals, name, found);
    if (rc == 0) {
        rc = tavrin::dict_get_ref(S.builtins, name, found);
    }
    if (rc == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return rc > 0 ? std::move(found) : Ref();
}

// Results of a callable expression, kept alive until every item has been
// passed, as the list a Python comprehension builds; released last to
// first, as a list releases its items.
class Results {
public:
    Results() = default;
    Results(const Results&) = delete;
    Results& operator=(const Results&) = delete;
    ~Results() noexcept {
        while (n_ > 0) {
            --n_;
            Py_DECREF(at(n_));
        }
    }
    // -1 with MemoryError set when there is no room for it.
    int push(Ref r) noexcept {
        if (n_ < kInline) {
            inline_[n_] = r.release();
        } else {
            try {
                heap_.push_back(r.get());  // r still owns the reference if this throws
            } catch (const std::bad_alloc&) {
                PyErr_NoMemory();
                return -1;
            }
            r.release();
        }
        ++n_;
        return 0;
    }
    size_t size() const noexcept { return n_; }
    PyObject* at(size_t i) const noexcept { return i < kInline ? inline_[i] : heap_[i - kInline]; }

private:
    static constexpr size_t kInline = 16;
    PyObject* inline_[kInline] = {};
    std::vector<PyObject*> heap_;
    size_t n_ = 0;
};

// ------------------------------------------------------------ patterns

// Characters with a meaning of their own in a pattern outside a character
// class (with no VERBOSE flag); a pattern without any of them is a sequence
// of literal characters.
bool is_special(Py_UCS4 ch) noexcept {
    switch (ch) {
        case '\\': case '.': case '^': case '$': case '*': case '+': case '?':
        case '{': case '}': case '[': case ']': case '|': case '(': case ')':
            return true;
        default:
            return false;
    }
}

// The source of a compiled pattern that matches exactly its own characters
// (no special character, no flag but the default UNICODE): for such a
// pattern, search(text) finds a match exactly when the source occurs in
// text as a substring, so a substring search gives the same answer without
// the regular-expression engine. 1 with `out` set, 0 when the pattern is a
// real regular expression, -1 on error. `e` is an exact re.Pattern, whose
// attributes are read-only C members: reading them runs no Python code.
int literal_source(PyObject* e, Ref& out) noexcept {
    Ref flags = Ref::steal(PyObject_GetAttr(e, S.s_flags));
    if (!flags) {
        return -1;
    }
    const long f = PyLong_AsLong(flags.get());
    if (f == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (f != S.unicode_flag) {
        return 0;
    }
    Ref source = Ref::steal(PyObject_GetAttr(e, S.s_pattern));
    if (!source) {
        return -1;
    }
    if (!PyUnicode_Check(source.get())) {
        return 0;
    }
    const Py_ssize_t len = PyUnicode_GET_LENGTH(source.get());
    const int kind = PyUnicode_KIND(source.get());
    const void* data = PyUnicode_DATA(source.get());
    for (Py_ssize_t i = 0; i < len; ++i) {
        if (is_special(PyUnicode_READ(kind, data, i))) {
            return 0;
        }
    }
    out = std::move(source);
    return 1;
}

// Rule for a compiled pattern `e` (an exact re.Pattern): searched in the
// text form of every item. str() of an item that is not exactly a str is
// Python code and runs for every item, in order; the searches themselves
// run no Python code, so once one has matched the rest are skipped.
int judge_pattern(PyObject* e, PyObject* const* items, Py_ssize_t n) noexcept {
    Ref literal;
    if (literal_source(e, literal) < 0) {
        return -1;
    }
    bool found = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = items[i];
        Ref text;
        if (PyUnicode_CheckExact(item)) {
            if (found) {
                continue;
            }
            text = Ref::borrow(item);
        } else {
            text = Ref::steal(PyObject_Str(item));
            if (!text) {
                return -1;
            }
            if (found) {
                continue;
            }
        }
        if (literal) {
            const Py_ssize_t pos =
                PyUnicode_Find(text.get(), literal.get(), 0, PyUnicode_GET_LENGTH(text.get()), 1);
            if (pos == -2) {
                return -1;
            }
            found = pos >= 0;
        } else {
            PyObject* argv[] = {e, text.get()};
            Ref match = Ref::steal(PyObject_Vectorcall(S.pattern_search, argv, 2, nullptr));
            if (!match) {
                return -1;
            }
            found = match.get() != Py_None;
        }
    }
    return found ? 1 : 0;
}

// The same rule for any other object a caller has put among the
// expressions: e.search(text) for every item, looked up each time.
int judge_search(PyObject* e, PyObject* const* items, Py_ssize_t n) noexcept {
    bool found = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = items[i];
        Ref text = PyUnicode_CheckExact(item) ? Ref::borrow(item) : Ref::steal(PyObject_Str(item));
        if (!text) {
            return -1;
        }
        Ref match = Ref::steal(PyObject_CallMethodOneArg(e, S.s_search, text.get()));
        if (!match) {
            return -1;
        }
        found = found || match.get() != Py_None;
    }
    return found ? 1 : 0;
}

// ----------------------------------------------------------- callables

// e(item) for every item, in order, all results collected before any is
// judged; true when one is truthy (judged in order up to the first truthy).
int judge_callable(PyObject* e, PyObject* const* items, Py_ssize_t n) noexcept {
    Results results;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref r = Ref::steal(PyObject_Vectorcall(e, items + i, 1, nullptr));
        if (!r) {
            return -1;
        }
        if (results.push(std::move(r)) < 0) {
            return -1;
        }
    }
    for (size_t i = 0; i < results.size(); ++i) {
        const int t = PyObject_IsTrue(results.at(i));
        if (t != 0) {
            return t;
        }
    }
    return 0;
}

// ------------------------------------------------------------ nesting

// Which of our own __call__ methods `obj(*items)` reaches for instances of
// a type: the one special-method lookup finds along the type's MRO. Row k
// holds when it finds op k's; the descriptors differ, so one row at most.
const tavrin::FactRow rows[] = {
    {&S.s_call, &S.call_descr[AND]},
    {&S.s_call, &S.call_descr[OR]},
    {&S.s_call, &S.call_descr[NOT]},
};
tavrin::TypeFacts<std::size(rows)> facts(rows);

int call_kind(PyTypeObject* t) noexcept {
    tavrin::Facts f;
    if (facts.get(t, f) < 0) {
        return -1;
    }
    return f & (1u << AND) ? AND : f & (1u << OR) ? OR : f & (1u << NOT) ? NOT : OTHER;
}

int combine(int op, PyObject* self, PyObject* const* items, Py_ssize_t n) noexcept;

// A nested expression object receives all items at once: e(*items). When
// the call would land in our own __call__, it is made here directly.
int judge_nested(PyObject* e, PyObject* const* items, Py_ssize_t n) noexcept {
    RecursionGuard guard(" while testing a nested logic expression");
    if (guard.failed()) {
        return -1;
    }
    const int kind = call_kind(Py_TYPE(e));
    if (kind < 0) {
        return -1;
    }
    if (kind != OTHER) {
        return combine(kind, e, items, n);
    }
    Ref r = Ref::steal(PyObject_Vectorcall(e, items, static_cast<size_t>(n), nullptr));
    if (!r) {
        return -1;
    }
    return PyObject_IsTrue(r.get());
}

// The truth of one expression for the items: nested expression objects
// first (they are callable too), then callables, then patterns.
int judge(PyObject* e, PyObject* const* items, Py_ssize_t n) noexcept {
    if (Py_TYPE(e) == S.Pattern) {
        // re.Pattern can't be subclassed or changed: not an expression
        // object, not callable, and its search is the C method.
        return n ? judge_pattern(e, items, n) : 0;
    }
    const int nested = PyObject_IsInstance(e, S.BaseLogic);
    if (nested != 0) {
        return nested < 0 ? -1 : judge_nested(e, items, n);
    }
    if (PyCallable_Check(e)) {
        return n ? judge_callable(e, items, n) : 0;
    }
    return n ? judge_search(e, items, n) : 0;
}

// And stops at the first false expression, Or and Not at the first true
// one. `self.expressions` is read once and walked as `for e in ...` would:
// a list is re-measured at every step, since any expression may change it.
int combine(int op, PyObject* self, PyObject* const* items, Py_ssize_t n) noexcept {
    const int decisive_truth = op == AND ? 0 : 1;
    const int decisive_result = op == OR ? 1 : 0;
    Ref exprs = Ref::steal(PyObject_GetAttr(self, S.s_expressions));
    if (!exprs) {
        return -1;
    }
    if (PyList_CheckExact(exprs.get())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(exprs.get()); ++i) {
            Ref e = Ref::borrow(PyList_GET_ITEM(exprs.get(), i));
            const int t = judge(e.get(), items, n);
            if (t < 0) {
                return -1;
            }
            if (t == decisive_truth) {
                return decisive_result;
            }
        }
        return 1 - decisive_result;
    }
    Ref it = Ref::steal(PyObject_GetIter(exprs.get()));
    if (!it) {
        return -1;
    }
    for (;;) {
        Ref e = Ref::steal(PyIter_Next(it.get()));
        if (!e) {
            return PyErr_Occurred() ? -1 : 1 - decisive_result;
        }
        const int t = judge(e.get(), items, n);
        if (t < 0) {
            return -1;
        }
        if (t == decisive_truth) {
            return decisive_result;
        }
    }
}

// ----------------------------------------------------------- BaseLogic


// self.expressions.append(value), the attribute read again as the
// statement would.
int append_expression(PyObject* self, PyObject* value) noexcept {
    Ref current = Ref::steal(PyObject_GetAttr(self, S.s_expressions));
    if (!current) {
        return -1;
    }
    if (PyList_CheckExact(current.get())) {
        return PyList_Append(current.get(), value);
    }
    return Ref::steal(PyObject_CallMethodOneArg(current.get(), S.s_append, value)) ? 0 : -1;
}

// reentry.hpp rule 2: self.expressions read anew for every append.
TAVRIN_METHOD(f_base_init, base_init, "__init__", "$self, *expressions",
              "Keep the expressions in self.expressions, in order: a str is compiled with\n"
              "re.compile, any callable (nested And, Or and Not objects included) is kept\n"
              "as it is; anything else raises TypeError.") {
    std::pair<PyObject* const*, Py_ssize_t> star;
    if (!f_base_init.bind(self, args, nargs, kwnames, nullptr, &star)) {
        return nullptr;
    }
    Ref fresh = Ref::steal(PyList_New(0));
    if (!fresh || PyObject_SetAttr(self, S.s_expressions, fresh.get()) < 0) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < star.second; ++i) {
        PyObject* arg = star.first[i];
        const int is_str = PyUnicode_Check(arg) ? 1 : PyObject_IsInstance(arg, reinterpret_cast<PyObject*>(&PyUnicode_Type));
        if (is_str < 0) {
            return nullptr;
        }
        Ref value;
        if (is_str) {
            // re.compile as the module's `re` names it now.
            Ref re = load_global(S.s_re);
            Ref compile = re ? Ref::steal(PyObject_GetAttr(re.get(), S.s_compile)) : Ref();
            value = compile ? Ref::steal(PyObject_CallOneArg(compile.get(), arg)) : Ref();
        } else if (!PyCallable_Check(arg)) {
            PyErr_Format(PyExc_TypeError, "Expression only accepts str and callable. Got: %S (%S)", arg,
                         reinterpret_cast<PyObject*>(Py_TYPE(arg)));
        } else {
            value = Ref::borrow(arg);
        }
        if (!value || append_expression(self, value.get()) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}


// reentry.hpp rule 2: keeps nothing.
TAVRIN_METHOD(f_base_call, base_call, "__call__", "$self",
              "The base class performs no test: always raises NotImplementedError.") {
    if (!f_base_call.bind(self, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    PyErr_SetNone(PyExc_NotImplementedError);
    return nullptr;
}

// Renders one expression: callables by their repr (nested expression
// objects so give their own text form), patterns as their quoted source.
Ref render(PyObject* e) noexcept {
    if (PyCallable_Check(e)) {
        return Ref::steal(PyObject_Repr(e));
    }
    Ref source = Ref::steal(PyObject_GetAttr(e, S.s_pattern));
    return source ? Ref::steal(PyUnicode_FromFormat("'%S'", source.get())) : Ref();
}


// reentry.hpp rule 2: iterates the expressions it holds.
TAVRIN_METHOD(f_base_str, base_str, "__str__", "$self",
              "The text form: the class name called with the expressions, e.g.\n"
              "And('a', Not('b')). logic_str reads it back.") {
    if (!f_base_str.bind(self, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    Ref name = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), S.s_name));
    if (!name) {
        return nullptr;
    }
    Ref exprs = Ref::steal(PyObject_GetAttr(self, S.s_expressions));
    if (!exprs) {
        return nullptr;
    }
    Ref parts = Ref::steal(PyList_New(0));
    Ref it = parts ? Ref::steal(PyObject_GetIter(exprs.get())) : Ref();
    if (!it) {
        return nullptr;
    }
    for (;;) {
        Ref e = Ref::steal(PyIter_Next(it.get()));
        if (!e) {
            if (PyErr_Occurred()) {
                return nullptr;
            }
            break;
        }
        Ref part = render(e.get());
        if (!part || PyList_Append(parts.get(), part.get()) < 0) {
            return nullptr;
        }
    }
    Ref joined = Ref::steal(PyUnicode_Join(S.s_comma, parts.get()));
    if (!joined) {
        return nullptr;
    }
    return PyUnicode_FromFormat("%S(%S)", name.get(), joined.get());
}


// reentry.hpp rule 2: keeps nothing.
TAVRIN_METHOD(f_base_repr, base_repr, "__repr__", "$self", "Same as str(self).") {
    if (!f_base_repr.bind(self, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    return PyObject_Str(self);
}


// reentry.hpp rule 2: both lists held.
TAVRIN_METHOD(f_base_eq, base_eq, "__eq__", "$self, other",
              "Equal when other is of exactly the same class and the expression lists are\n"
              "equal (patterns compare by source and flags).") {
    PyObject* other;
    if (!f_base_eq.bind(self, args, nargs, kwnames, &other)) {
        return nullptr;
    }
    if (Py_TYPE(other) != Py_TYPE(self)) {
        Py_RETURN_FALSE;
    }
    Ref mine = Ref::steal(PyObject_GetAttr(self, S.s_expressions));
    if (!mine) {
        return nullptr;
    }
    Ref theirs = Ref::steal(PyObject_GetAttr(other, S.s_expressions));
    if (!theirs) {
        return nullptr;
    }
    return PyObject_RichCompare(mine.get(), theirs.get(), Py_EQ);
}

// ----------------------------------------------------- And, Or, Not

PyObject* call_op(int op, const Function& f, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept {
    std::pair<PyObject* const*, Py_ssize_t> star;
    if (!f.bind(self, args, nargs, kwnames, nullptr, &star)) {
        return nullptr;
    }
    const int r = combine(op, self, star.first, star.second);
    return r < 0 ? nullptr : PyBool_FromLong(r);
}

// reentry.hpp rule 2 (combine): the list's size re-read every step, each expression held.
TAVRIN_METHOD(f_and_call, and_call, "__call__", "$self, *items",
              "True when every expression is satisfied by at least one of the items.") {
    return call_op(AND, f_and_call, self, args, nargs, kwnames);
}

// reentry.hpp rule 2 (combine).
TAVRIN_METHOD(f_or_call, or_call, "__call__", "$self, *items",
              "True when at least one expression is satisfied by at least one of the items.") {
    return call_op(OR, f_or_call, self, args, nargs, kwnames);
}

// reentry.hpp rule 2 (combine).
TAVRIN_METHOD(f_not_call, not_call, "__call__", "$self, *items",
              "True when no expression is satisfied by any of the items.") {
    return call_op(NOT, f_not_call, self, args, nargs, kwnames);
}

// ----------------------------------------------------------- logic_str

// reentry.hpp rule 2: keeps nothing.
TAVRIN_MEMBER(tavrin::Kind::ModuleFunction, f_logic_str, logic_str, "logic_str", "string",
              "Build an expression object from its text form, e.g. a command-line argument.\n"
              "\n"
              "The text goes through decode_cli_string, then is evaluated as a Python\n"
              "expression in this module's namespace, where And, Or and Not build the\n"
              "objects; the result must be an expression object:\n"
              "\n"
              "    >>> logic_str(\"And('a', 'b')\")('ab')\n"
              "    True\n"
              "\n"
              "SECURITY: the text is evaluated as Python code (lambdas and built-ins such as\n"
              "str.isdigit are allowed on purpose), so it can do anything Python can do.\n"
              "Never pass it text from an untrusted source.\n"
              "\n"
              "Raises ValueError('Not a properly formatted logic string: ...') when the\n"
              "evaluation fails with an Exception (kept as the error's context) or gives\n"
              "something that is not an expression object.") {
    (void)self;  // the module: its namespace is S.globals
    PyObject* string;
    if (!f_logic_str.bind(nullptr, args, nargs, kwnames, &string)) {
        return nullptr;
    }
    // Looked up at each call, and outside the error handling: what the
    // decoder raises reaches the caller unchanged.
    Ref decode = load_global(S.s_decode);
    if (!decode) {
        return nullptr;
    }
    Ref text = Ref::steal(PyObject_CallOneArg(decode.get(), string));
    if (!text) {
        return nullptr;
    }
    Ref result;
    Ref locals = Ref::steal(PyDict_New());
    if (locals && PyDict_SetItem(locals.get(), S.s_string, text.get()) == 0) {
        PyObject* argv[] = {text.get(), S.globals, locals.get()};
        result = Ref::steal(PyObject_Vectorcall(S.eval, argv, 3, nullptr));
    }
    if (result) {
        // Checked whatever the optimisation level: a non-expression result
        // is refused under -O too.
        const int ok = PyObject_IsInstance(result.get(), S.BaseLogic);
        if (ok <= 0) {
            if (ok == 0) {
                PyErr_SetNone(PyExc_AssertionError);
            }
            result.reset();
        }
    }
    if (result) {
        return result.release();
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return nullptr;  // SystemExit, KeyboardInterrupt and the like pass through
    }
    PendingError caught;
    Ref message = Ref::steal(PyUnicode_FromFormat("Not a properly formatted logic string: %S", text.get()));
    if (message) {
        PyErr_SetObject(PyExc_ValueError, message.get());
    }
    caught.chain_into_current();
    return nullptr;
}

// -------------------------------------------------------------- module

const char* const base_doc =
    "Common ground of And, Or and Not: keeps the expressions, renders the text\n"
    "form, compares. It performs no meaningful test by itself: calling an\n"
    "instance raises NotImplementedError.\n"
    "\n"
    "An expression is a str, compiled into a regular expression that is searched\n"
    "for in the text form of each item, or a callable, called with each item\n"
    "and judged by the truth of its result; And, Or and Not objects are\n"
    "callables too, and a nested one receives all the items at once.";

const char* const and_doc =
    "True when all expressions are satisfied: each one by at least one item\n"
    "(not necessarily the same). And('eth', Not('down'))('eth0', 'up') is True.";

const char* const or_doc =
    "True when one or more expressions are satisfied by some item.\n"
    "Or('a', 'b')('xbz') is True.";

const char* const not_doc =
    "True only when no expression is satisfied by any item: the negation of Or\n"
    "over the same expressions. Not('a', 'b')('xyz') is True.";

int intern_all() noexcept {
    const tavrin::NameSlot names[] = {
        {&S.s_expressions, "expressions"}, {&S.s_re, "re"},          {&S.s_compile, "compile"},
        {&S.s_append, "append"},           {&S.s_search, "search"},  {&S.s_pattern, "pattern"},
        {&S.s_flags, "flags"},             {&S.s_name, "__name__"},  {&S.s_call, "__call__"},
        {&S.s_string, "string"},           {&S.s_decode, "decode_cli_string"}, {&S.s_comma, ", "},
    };
    if (tavrin::intern_names(names) < 0) {
        return -1;
    }
    return 0;
}

int set_attr(PyObject* m, const char* name, Ref value) noexcept {
    return value ? PyObject_SetAttrString(m, name, value.get()) : -1;
}

int logic_body(PyObject* m) noexcept {
    if (intern_all() < 0) {
        return -1;
    }
    S.globals = keep(Ref::borrow(PyModule_GetDict(m)));
    // The module namespace serves as eval's globals; like any Python
    // module's namespace it carries __builtins__ from the start.
    S.builtins = keep(Ref::borrow(PyEval_GetBuiltins()));
    if (!S.builtins || PyDict_SetItemString(S.globals, "__builtins__", S.builtins) < 0) {
        return -1;
    }
    Ref eval;
    Ref eval_name = Ref::steal(PyUnicode_FromString("eval"));
    if (!eval_name || tavrin::dict_get_ref(S.builtins, eval_name.get(), eval) <= 0) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "builtins.eval not found");
        }
        return -1;
    }
    S.eval = keep(std::move(eval));

    // import re; import logging
    Ref re = tavrin::import_module(m, "re");
    Ref logging = tavrin::import_module(m, "logging");
    if (!re || !logging) {
        return -1;
    }
    Ref pattern = Ref::steal(PyObject_GetAttrString(re.get(), "Pattern"));
    Ref unicode = Ref::steal(PyObject_GetAttrString(re.get(), "UNICODE"));
    if (!pattern || !unicode) {
        return -1;
    }
    if (!PyType_Check(pattern.get())) {
        PyErr_SetString(PyExc_SystemError, "re.Pattern is not a type");
        return -1;
    }
    S.unicode_flag = PyLong_AsLong(unicode.get());
    if (S.unicode_flag == -1 && PyErr_Occurred()) {
        return -1;
    }
    S.Pattern = reinterpret_cast<PyTypeObject*>(keep(std::move(pattern)));
    if (!(S.pattern_search = tavrin::builtin_entry(S.Pattern, "search"))) {
        return -1;
    }

    // from tavrin.utils.strings import decode_cli_string
    if (!tavrin::import_from(m, "tavrin.utils.strings", "decode_cli_string")) {
        return -1;
    }

    // __all__ = ['And', 'Or', 'Not']
    if (set_attr(m, "__all__", Ref::steal(Py_BuildValue("[sss]", "And", "Or", "Not"))) < 0) {
        return -1;
    }
    // logger = logging.getLogger(__name__)
    Ref get_logger = Ref::steal(PyObject_GetAttrString(logging.get(), "getLogger"));
    Ref modname = Ref::steal(PyModule_GetNameObject(m));
    if (!get_logger || !modname ||
        set_attr(m, "logger", Ref::steal(PyObject_CallOneArg(get_logger.get(), modname.get()))) < 0) {
        return -1;
    }

    Ref base = tavrin::make_class(m, "BaseLogic", {reinterpret_cast<PyObject*>(&PyBaseObject_Type)}, base_doc,
                                  {f_base_init, f_base_call, f_base_str, f_base_repr, f_base_eq});
    if (!base || PyObject_SetAttrString(m, "BaseLogic", base.get()) < 0) {
        return -1;
    }
    S.BaseLogic = keep(std::move(base));

    struct {
        const char* name;
        const char* doc;
        Function& call;
        int op;
    } ops[] = {{"And", and_doc, f_and_call, AND}, {"Or", or_doc, f_or_call, OR}, {"Not", not_doc, f_not_call, NOT}};
    for (auto& o : ops) {
        Ref cls = tavrin::make_class(m, o.name, {S.BaseLogic}, o.doc, {o.call});
        if (!cls || PyObject_SetAttrString(m, o.name, cls.get()) < 0) {
            return -1;
        }
        // The descriptor as the class holds it, to recognise calls that reach it.
        if (!(S.call_descr[o.op] = tavrin::builtin_entry(reinterpret_cast<PyTypeObject*>(cls.get()), "__call__"))) {
            return -1;
        }
    }

    return tavrin::add_function(m, f_logic_str);
}

}  // namespace

TAVRIN_MODULE(logic,
              "Logical tests of items against regular expressions and callables.\n"
              "\n"
              "And, Or and Not objects are built from str patterns (searched for in the\n"
              "text form of each item), callables and nested And/Or/Not objects, and are\n"
              "called with the items to test. logic_str builds one from its text form,\n"
              "e.g. a command-line argument: logic_str(\"And('eth', Not('down'))\").\n"
              "logic_str evaluates Python code: never give it untrusted text.",
              logic_body)
