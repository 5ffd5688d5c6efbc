// C++ functions that behave like Python functions in a class body.
//
// A `Function` is declared once per member with its Python parameter list,
// e.g. "$self, key, default=None". From that one string come the docstring's
// text signature (so inspect.signature works), the argument binder, and, for
// calls the binder refuses, a tiny Python stub with the same signature whose
// only job is to raise the interpreter's own TypeError text for the running
// version ("X.m() missing 1 required positional argument: 'key'" and so on).
// The fast path never formats a message itself, so the wording can't drift.
#pragma once

#include "errors.hpp"
#include "names.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace tavrin {

// The keywords of a call as a Python function receives them: every key a
// str, else the interpreter's own TypeError. A type's init slot gets the
// caller's dict unchecked (a class statement's __init__ would be called
// through the checking call path): such a slot asks here first.
inline bool keywords_are_strings(PyObject* kwargs) noexcept {
    return !kwargs || PyArg_ValidateKeywordArguments(kwargs) != 0;
}

enum class Kind { Method, ClassMethod, StaticMethod, ModuleFunction };

// An entry point: noexcept, since nothing thrown may cross into the interpreter.
using FastFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

class Function {
public:
    Function(const char* name, const char* params, const char* doc, FastFn fn, Kind kind = Kind::Method) noexcept
        : name_(name), params_(params), doc_(doc), fn_(fn), kind_(kind) {}
    Function(const Function&) = delete;
    Function& operator=(const Function&) = delete;

    // Parses the parameter list and fills the method table entry. `owner` is
    // the class's qualified name (empty for a module-level function).
    int prepare(const char* owner) noexcept {
        return guarded(-1, [&] {
            owner_ = owner ? owner : "";
            parse_params();
            full_doc_ = std::string(name_) + "(" + params_ + ")\n--\n\n" + (doc_ ? doc_ : "");
            def_.ml_name = name_;
            def_.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn_));
            def_.ml_flags = METH_FASTCALL | METH_KEYWORDS | (kind_ == Kind::ClassMethod ? METH_CLASS : 0) |
                            (kind_ == Kind::StaticMethod ? METH_STATIC : 0);
            def_.ml_doc = full_doc_.c_str();
            for (auto& p : named_) {
                p.interned = intern(p.name.c_str());  // kept for the life of the process
                if (!p.interned) {
                    return -1;
                }
            }
            return 0;
        });
    }

    PyMethodDef* def() noexcept { return &def_; }
    const char* name() const noexcept { return name_; }
    Kind kind() const noexcept { return kind_; }
    const std::string& owner() const noexcept { return owner_; }

    // Binds a vectorcall. `out` receives one borrowed pointer per named
    // parameter (null where absent: the caller applies the default).
    // `star` receives the extra positionals of a *args parameter, `kwextra`
    // a new dict of the extra keywords of a **kwargs parameter (left empty
    // when there are none). Returns false with the interpreter's own
    // TypeError set on any call a Python function of this signature would
    // reject.
    bool bind(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
              std::pair<PyObject* const*, Py_ssize_t>* star = nullptr, Ref* kwextra = nullptr) const noexcept {
        if (nargs == all_by_position_ && !kwnames) {
            // The usual call, every parameter by position: what the general
            // binding below finds, in a few instructions.
            for (Py_ssize_t i = 0; i < nargs; ++i) {
                out[i] = args[i];
            }
            if (star) {
                star->first = args + nargs;
                star->second = 0;
            }
            return true;
        }
        return bind_general(self, args, nargs, kwnames, out, star, kwextra);
    }

private:
    // bind() for any call.
    bool bind_general(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                      std::pair<PyObject* const*, Py_ssize_t>* star, Ref* kwextra) const noexcept {
        const Py_ssize_t nnamed = static_cast<Py_ssize_t>(named_.size());
        const Py_ssize_t npos = nargs < npositional_ ? nargs : npositional_;
        for (Py_ssize_t i = 0; i < npos; ++i) {
            out[i] = args[i];
        }
        for (Py_ssize_t i = npos; i < nnamed; ++i) {
            out[i] = nullptr;
        }
        if (nargs > npositional_ && !has_star_) {
            return reject(self, args, nargs, kwnames);
        }
        if (star) {
            star->first = args + npos;
            star->second = nargs - npos;
        }
        if (kwnames) {
            const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                PyObject* kw = PyTuple_GET_ITEM(kwnames, k);
                const Py_ssize_t slot = find(kw);
                if (slot >= 0 && !named_[static_cast<size_t>(slot)].positional_only) {
                    if (out[slot]) {
                        return reject(self, args, nargs, kwnames);  // given twice
                    }
                    out[slot] = args[nargs + k];
                    continue;
                }
                if (!has_kwstar_ || (receiver_by_keyword_ && PyUnicode_Check(kw) &&
                                     PyUnicode_CompareWithASCIIString(kw, receiver_name_.c_str()) == 0)) {
                    // Unknown keyword, or one that collides with the receiver's name.
                    return reject(self, args, nargs, kwnames);
                }
                if (!PyUnicode_Check(kw)) {
                    // Only a C caller can pass these.
                    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                    return false;
                }
                if (!*kwextra) {
                    *kwextra = Ref::steal(PyDict_New());
                    if (!*kwextra) {
                        return false;
                    }
                }
                if (PyDict_SetItem(kwextra->get(), kw, args[nargs + k]) < 0) {
                    return false;
                }
            }
        }
        for (Py_ssize_t i = 0; i < nnamed; ++i) {
            if (!out[i] && named_[static_cast<size_t>(i)].required) {
                return reject(self, args, nargs, kwnames);
            }
        }
        return true;
    }

    // Raises the interpreter's TypeError for a call this signature rejects,
    // by making the same call on a Python function with the same signature.
    bool reject(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const noexcept {
        PyObject* stub = stub_function();
        if (!stub) {
            return false;
        }
        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        const bool with_self = !receiver_name_.empty();
        std::vector<PyObject*> argv;
        try {
            argv.reserve(static_cast<size_t>(nargs + nkw + 1));
        } catch (...) {
            PyErr_NoMemory();
            return false;
        }
        if (with_self) {
            argv.push_back(self);
        }
        argv.insert(argv.end(), args, args + nargs + nkw);
        Ref r = Ref::steal(PyObject_Vectorcall(stub, argv.data(),
                                               static_cast<size_t>(nargs + (with_self ? 1 : 0)), kwnames));
        if (r) {
            PyErr_Format(PyExc_SystemError, "%s(): argument binding disagrees with the signature", name_);
        }
        return false;
    }

    struct Param {
        std::string name;
        PyObject* interned = nullptr;
        bool positional_only = false;
        bool keyword_only = false;
        bool required = false;
    };

    // The parameter list is ours (a literal in the module source): names,
    // "name=default", "/", "*", "*args", "**kwargs", and "$self" or "$cls"
    // for the receiver. Defaults never contain commas.
    void parse_params() {
        named_.clear();
        has_star_ = has_kwstar_ = receiver_by_keyword_ = false;
        npositional_ = 0;
        receiver_name_.clear();
        stub_params_.clear();
        const std::string all(params_);
        bool kw_only = false;
        size_t pos = 0;
        while (pos < all.size()) {
            size_t comma = all.find(',', pos);
            if (comma == std::string::npos) {
                comma = all.size();
            }
            std::string item = all.substr(pos, comma - pos);
            pos = comma + 1;
            const size_t b = item.find_first_not_of(' '), e = item.find_last_not_of(' ');
            if (b == std::string::npos) {
                continue;
            }
            item = item.substr(b, e - b + 1);
            std::string stub_item = item;
            if (item == "/") {
                for (auto& p : named_) {
                    p.positional_only = true;
                }
                receiver_by_keyword_ = false;
            } else if (item[0] == '$') {
                receiver_name_ = item.substr(1);
                receiver_by_keyword_ = true;
                stub_item = receiver_name_;
            } else if (item.rfind("**", 0) == 0) {
                has_kwstar_ = true;
            } else if (item[0] == '*') {
                has_star_ = has_star_ || item != "*";
                kw_only = true;
            } else {
                Param p;
                const size_t eq = item.find('=');
                p.name = item.substr(0, eq == std::string::npos ? item.size() : eq);
                while (!p.name.empty() && p.name.back() == ' ') {
                    p.name.pop_back();
                }
                p.required = eq == std::string::npos;
                p.keyword_only = kw_only;
                if (!kw_only) {
                    ++npositional_;
                }
                named_.push_back(p);
            }
            stub_params_ += (stub_params_.empty() ? "" : ", ") + stub_item;
        }
        all_by_position_ = npositional_ == static_cast<Py_ssize_t>(named_.size()) ? npositional_ : -1;
    }

    Py_ssize_t find(PyObject* kw) const noexcept {
        const Py_ssize_t n = static_cast<Py_ssize_t>(named_.size());
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (named_[static_cast<size_t>(i)].interned == kw) {
                return i;
            }
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (PyUnicode_Check(kw) &&
                PyUnicode_CompareWithASCIIString(kw, named_[static_cast<size_t>(i)].name.c_str()) == 0) {
                return i;
            }
        }
        return -1;
    }

    PyObject* stub_function() const noexcept {
        if (stub_) {
            return stub_;
        }
        std::string src;
        try {
            src = std::string("def ") + name_ + "(" + stub_params_ + "): pass\n";
        } catch (...) {
            PyErr_NoMemory();
            return nullptr;
        }
        Ref fn = python_function(src.c_str(), name_);
        if (!fn) {
            return nullptr;
        }
        if (!owner_.empty()) {
            Ref qual = Ref::steal(PyUnicode_FromFormat("%s.%s", owner_.c_str(), name_));
            if (!qual || PyObject_SetAttrString(fn.get(), "__qualname__", qual.get()) < 0) {
                return nullptr;
            }
        }
        stub_ = fn.release();  // kept for the life of the process
        return stub_;
    }

    const char* name_;
    const char* params_;
    const char* doc_;
    FastFn fn_;
    Kind kind_;
    std::string owner_;
    std::string full_doc_;
    std::string stub_params_;
    std::string receiver_name_;
    std::vector<Param> named_;
    Py_ssize_t npositional_ = 0;
    Py_ssize_t all_by_position_ = -1;  // the number of parameters when none is keyword-only
    bool receiver_by_keyword_ = false;
    bool has_star_ = false;
    bool has_kwstar_ = false;
    PyMethodDef def_{};
    mutable PyObject* stub_ = nullptr;
};

}  // namespace tavrin

// The one way to declare a C++ member: its Function `var` (Python name,
// parameter list, docstring) and its entry point `fn`, whose body follows:
//
//     TAVRIN_METHOD(f_get, map_get, "get", "$self, key, default=None", "Return ...") {
//         PyObject* argv[2];
//         if (!f_get.bind(self, args, nargs, kwnames, argv)) {
//             return nullptr;
//         }
//         ...
//     }
//
// TAVRIN_MEMBER does the same for a class method, a static method or a
// module-level function (tavrin::Kind).
#define TAVRIN_MEMBER(kind, var, fn, name, params, doc)                                                  \
    PyObject* fn(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;                          \
    ::tavrin::Function var(name, params, doc, fn, kind);                                                 \
    PyObject* fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
#define TAVRIN_METHOD(var, fn, name, params, doc) TAVRIN_MEMBER(::tavrin::Kind::Method, var, fn, name, params, doc)
