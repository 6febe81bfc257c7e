// The method object type and argument binding.
//
// Every method of ApiClient and Command is one of these objects, made from a
// MethodSpec table entry. It behaves like a Python function defined in the class:
//
//     def name(self, a, b=None):  # __defaults__, __code__ for inspect.signature
//         ...
//
// It supports vectorcall, and carries the method-descriptor flag so that
// `client.method(...)` calls it with the instance prepended instead of making
// a bound method. Binding errors use one fixed set of messages, each raised
// from one out-of-line function below.
#include "method.hpp"
#include "records.hpp"
#include "text.hpp"

#include <algorithm>
#include <array>
#include <iterator>

namespace {

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodSpec* spec;
    Py_ssize_t parameter_count;  // `self` included; **kwargs not counted
    Py_ssize_t required_count;
    PyObject* parameter_names;   // tuple of interned str, in parameter order
    PyObject* defaults;          // tuple, or None when no parameter has a default
    // The defaults again, borrowed from that tuple, at their parameters'
    // indices (null before the first), for copying in one step.
    PyObject* default_values[max_parameters];
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* code;
    PyObject* globals;
    PyObject* builtins;
    PyObject* annotations;       // made on first access, as for functions
    PyObject* dict;
    PyObject* weakreflist;
    // The binding of the last keyword layout seen. A call site in Python code
    // passes the same kwnames tuple at every call (a constant of its code), so
    // where each parameter's value comes from is worked out once for it; the
    // reference keeps the tuple, its names and so its identity, unchanged.
    PyObject* layout_kwnames;
    Py_ssize_t layout_positional_count;
    std::array<signed char, max_parameters> layout_sources;  // keyword index, or -1: the default
};

MethodObject* as_method(PyObject* object) { return reinterpret_cast<MethodObject*>(object); }

// ---- binding errors -------------------------------------------------------

FERROVANE_COLD int raise_argument_count(const MethodObject* method, Py_ssize_t given) {
    const bool exact = method->required_count == method->parameter_count;
    Py_ssize_t expected = method->parameter_count;
    const char* bound = "at most";
    if (given < method->required_count) {
        expected = method->required_count;
        bound = "at least";
    }
    if (exact) {
        bound = "exactly";
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 method->spec->name, bound, expected, expected == 1 ? "" : "s", given);
    return -1;
}

FERROVANE_COLD int raise_unexpected_keyword(const MethodObject* method, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", method->spec->name, keyword);
    return -1;
}

FERROVANE_COLD int raise_multiple_values(const MethodObject* method, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", method->spec->name,
                 keyword);
    return -1;
}

FERROVANE_COLD int raise_keywords_must_be_strings(const MethodObject* method) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", method->spec->name);
    return -1;
}

// ---- binding --------------------------------------------------------------

// Interned names make identity the usual match; equal text covers keyword
// names that were built at run time.
bool names_match(PyObject* keyword, PyObject* parameter) {
    return keyword == parameter || (PyUnicode_Check(keyword) && same_characters(keyword, parameter));
}

// Index of the first keyword in `kwnames` naming `parameter`, or -1. A name
// repeated through the C call protocol binds its first occurrence, also when
// that one was built at run time and a later one is the interned object, so
// that the later one is the surplus reported.
Py_ssize_t find_keyword(PyObject* kwnames, Py_ssize_t keyword_count, PyObject* parameter) {
    Py_ssize_t identical = keyword_count;
    for (Py_ssize_t index = 0; index < keyword_count; ++index) {
        if (PyTuple_GET_ITEM(kwnames, index) == parameter) {
            identical = index;
            break;
        }
    }
    for (Py_ssize_t index = 0; index < identical; ++index) {
        if (names_match(PyTuple_GET_ITEM(kwnames, index), parameter)) {
            return index;
        }
    }
    return identical < keyword_count ? identical : -1;
}

// Whether every keyword name is an interned str, as those of calls from Python
// code are (the compiler interns them): then an interned parameter name matches
// by identity alone, since two interned strings never hold the same text.
bool keywords_interned(PyObject* kwnames, Py_ssize_t keyword_count) {
    for (Py_ssize_t index = 0; index < keyword_count; ++index) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, index);
        if (!PyUnicode_CheckExact(keyword) || !PyUnicode_CHECK_INTERNED(keyword)) {
            return false;
        }
    }
    return true;
}

// find_keyword where keywords_interned holds and `parameter` is interned.
Py_ssize_t find_interned_keyword(PyObject* kwnames, Py_ssize_t keyword_count, PyObject* parameter) {
    for (Py_ssize_t index = 0; index < keyword_count; ++index) {
        if (PyTuple_GET_ITEM(kwnames, index) == parameter) {
            return index;
        }
    }
    return -1;
}

// Index of the parameter named `keyword`, or -1.
Py_ssize_t find_parameter(const MethodObject* method, PyObject* keyword) {
    for (Py_ssize_t index = 0; index < method->parameter_count; ++index) {
        if (names_match(keyword, PyTuple_GET_ITEM(method->parameter_names, index))) {
            return index;
        }
    }
    return -1;
}

// The keywords that did not fill a missing parameter: each is a parameter
// already given by position, a name given twice, not a string, or unknown.
// Reported in the order the keywords were passed.
FERROVANE_COLD int check_surplus_keywords(const MethodObject* method, Py_ssize_t positional_count, PyObject* kwnames,
                                          Py_ssize_t keyword_count) {
    for (Py_ssize_t index = 0; index < keyword_count; ++index) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, index);
        if (!PyUnicode_Check(keyword)) {
            return raise_keywords_must_be_strings(method);
        }
        const Py_ssize_t parameter = find_parameter(method, keyword);
        if (parameter < 0) {
            if (method->spec->var_keywords) {
                continue;
            }
            return raise_unexpected_keyword(method, keyword);
        }
        if (parameter < positional_count ||
            find_keyword(kwnames, keyword_count, PyTuple_GET_ITEM(method->parameter_names, parameter)) != index) {
            return raise_multiple_values(method, keyword);
        }
    }
    return 0;
}

// Fills `bound` from a layout worked out by bind_arguments for these kwnames.
void bind_by_layout(const MethodObject* method, PyObject* const* keyword_values, Py_ssize_t positional_count,
                    PyObject** bound) {
    for (Py_ssize_t index = positional_count; index < method->parameter_count; ++index) {
        const signed char source = method->layout_sources[static_cast<size_t>(index)];
        bound[index] = source >= 0 ? keyword_values[source] : method->default_values[index];
    }
}

// Fills `bound` with one borrowed reference per parameter.
int bind_arguments(MethodObject* method, PyObject* const* args, Py_ssize_t positional_count, PyObject* kwnames,
                   PyObject** bound) {
    const Py_ssize_t parameter_count = method->parameter_count;
    const Py_ssize_t required_count = method->required_count;
    if (positional_count > parameter_count) {
        return raise_argument_count(method, positional_count);
    }
    for (Py_ssize_t index = 0; index < positional_count; ++index) {
        bound[index] = args[index];
    }
    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (keyword_count == 0) {
        if (positional_count < required_count) {
            return raise_argument_count(method, positional_count);
        }
        std::copy(method->default_values + positional_count, method->default_values + parameter_count,
                  bound + positional_count);
        return 0;
    }
    PyObject* const* keyword_values = args + positional_count;
    if (kwnames == method->layout_kwnames && positional_count == method->layout_positional_count) {
        bind_by_layout(method, keyword_values, positional_count, bound);
        return 0;
    }
    const bool interned = keywords_interned(kwnames, keyword_count);
    std::array<signed char, max_parameters> sources{};
    Py_ssize_t matched = 0;
    for (Py_ssize_t index = positional_count; index < parameter_count; ++index) {
        PyObject* name = PyTuple_GET_ITEM(method->parameter_names, index);
        const Py_ssize_t keyword = interned && PyUnicode_CHECK_INTERNED(name)
                                       ? find_interned_keyword(kwnames, keyword_count, name)
                                       : find_keyword(kwnames, keyword_count, name);
        if (keyword >= 0) {
            bound[index] = keyword_values[keyword];
            ++matched;
        } else if (index < required_count) {
            // The count given is that of the leading parameters supplied.
            return raise_argument_count(method, index);
        } else {
            bound[index] = method->default_values[index];
        }
        sources[static_cast<size_t>(index)] = static_cast<signed char>(keyword);
    }
    if (matched < keyword_count) {
        // Not kept: a surplus keyword is either an error or (with **kwargs)
        // left aside, and either way checked again at the next call.
        return check_surplus_keywords(method, positional_count, kwnames, keyword_count);
    }
    Py_XSETREF(method->layout_kwnames, Py_NewRef(kwnames));
    method->layout_positional_count = positional_count;
    method->layout_sources = sources;
    return 0;
}

PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    MethodObject* method = as_method(callable);
    const Py_ssize_t positional_count = PyVectorcall_NARGS(nargsf);
    const Scope scope{method->globals, method->builtins};
    if (kwnames == nullptr && positional_count == method->parameter_count) {
        return method->spec->impl(scope, args);
    }
    PyObject* bound[max_parameters];
    if (bind_arguments(method, args, positional_count, kwnames, bound) < 0) {
        return nullptr;
    }
    return method->spec->impl(scope, bound);
}

// ---- the type -------------------------------------------------------------

PyObject* method_descr_get(PyObject* self, PyObject* instance, PyObject* /*owner*/) {
    if (instance == nullptr || instance == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, instance);
}

PyObject* method_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_method(self)->qualname, self);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    MethodObject* method = as_method(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(method->parameter_names);
    Py_VISIT(method->defaults);
    Py_VISIT(method->name);
    Py_VISIT(method->qualname);
    Py_VISIT(method->module);
    Py_VISIT(method->doc);
    Py_VISIT(method->code);
    Py_VISIT(method->globals);
    Py_VISIT(method->builtins);
    Py_VISIT(method->annotations);
    Py_VISIT(method->dict);
    Py_VISIT(method->layout_kwnames);
    return 0;
}

int method_clear(PyObject* self) {
    MethodObject* method = as_method(self);
    Py_CLEAR(method->parameter_names);
    Py_CLEAR(method->defaults);
    Py_CLEAR(method->name);
    Py_CLEAR(method->qualname);
    Py_CLEAR(method->module);
    Py_CLEAR(method->doc);
    Py_CLEAR(method->code);
    Py_CLEAR(method->globals);
    Py_CLEAR(method->builtins);
    Py_CLEAR(method->annotations);
    Py_CLEAR(method->dict);
    Py_CLEAR(method->layout_kwnames);
    return 0;
}

void method_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_method(self)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    method_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

int set_text_attribute(PyObject** slot, PyObject* value, const char* attribute) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_method(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    return set_text_attribute(&as_method(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_method(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text_attribute(&as_method(self)->qualname, value, "__qualname__");
}
// __module__ and __doc__ may be set to anything; deleting them leaves None.
PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_method(self)->module); }
int set_module(PyObject* self, PyObject* value, void*) {
    Py_SETREF(as_method(self)->module, Py_NewRef(value ? value : Py_None));
    return 0;
}
PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_method(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) {
    Py_SETREF(as_method(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}
PyObject* get_defaults(PyObject* self, void*) { return Py_NewRef(as_method(self)->defaults); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_annotations(PyObject* self, void*) {
    MethodObject* method = as_method(self);
    if (method->annotations == nullptr) {
        method->annotations = PyDict_New();
        if (method->annotations == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(method->annotations);
}
PyObject* get_type_params(PyObject*, void*) { return PyTuple_New(0); }

PyGetSetDef method_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__type_params__", get_type_params, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef method_members[] = {
    {"__code__", Py_T_OBJECT_EX, offsetof(MethodObject, code), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(MethodObject, globals), Py_READONLY, nullptr},
    {"__builtins__", Py_T_OBJECT_EX, offsetof(MethodObject, builtins), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(MethodObject, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(MethodObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(MethodObject, weakreflist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot method_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(method_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(method_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
    {Py_tp_getset, method_getset},
    {Py_tp_members, method_members},
    {0, nullptr},
};

PyType_Spec method_type_spec = {
    .name = "sdk.accounts_api.function",
    .basicsize = sizeof(MethodObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
             Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = method_slots,
};

// A code object with the method's parameter list, so that inspect.signature,
// help() and other tools read the signature as they do for Python functions.
Ref make_code(const MethodSpec& spec, PyObject* name, PyObject* qualname, PyObject* module_name,
              PyObject* parameter_names) {
    Ref variable_names = Ref::borrow(parameter_names);
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (spec.var_keywords) {
        flags |= CO_VARKEYWORDS;
        Ref var_keywords_name = Ref::steal(PyTuple_Pack(1, records.names.kwargs));
        if (!var_keywords_name) {
            return {};
        }
        variable_names = Ref::steal(PySequence_Concat(parameter_names, var_keywords_name.get()));
        if (!variable_names) {
            return {};
        }
    }
    Ref filename = Ref::steal(PyUnicode_FromFormat("<%U>", module_name));
    if (!filename) {
        return {};
    }
    PyCodeObject* empty = PyCode_NewEmpty(PyUnicode_AsUTF8(filename.get()), spec.name, 0);
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(empty));
    if (!code) {
        return {};
    }
    Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
    if (!replace) {
        return {};
    }
    Ref changes = Ref::steal(Py_BuildValue("{s:n,s:O,s:n,s:i,s:O,s:O}", "co_argcount",
                                           PyTuple_GET_SIZE(parameter_names), "co_varnames", variable_names.get(),
                                           "co_nlocals", PyTuple_GET_SIZE(variable_names.get()), "co_flags", flags,
                                           "co_name", name, "co_qualname", qualname));
    if (!changes) {
        return {};
    }
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) {
        return {};
    }
    return Ref::steal(PyObject_Call(replace.get(), no_args.get(), changes.get()));
}

}  // namespace

PyObject* run_method_body(PyObject* method, PyObject* const* args) {
    const MethodObject* object = as_method(method);
    const Scope scope{object->globals, object->builtins};
    return object->spec->impl(scope, args);
}

Scope method_scope(PyObject* method) {
    const MethodObject* object = as_method(method);
    return Scope{object->globals, object->builtins};
}

bool has_method_body(PyObject* callable, MethodImpl impl) {
    return Py_TYPE(callable) == records.method_type && as_method(callable)->spec->impl == impl;
}

PyObject* method_default(PyObject* method, Py_ssize_t index) {
    const MethodObject* object = as_method(method);
    return object->default_values[index];
}

int init_method_type() {
    if (records.method_type != nullptr) {
        return 0;
    }
    records.method_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&method_type_spec));
    return records.method_type ? 0 : -1;
}

Ref new_method(const MethodSpec& spec, PyObject* class_name, PyObject* module_name, const Scope& scope) {
    const auto parameter_count = static_cast<Py_ssize_t>(spec.parameters.size());
    const auto default_count = static_cast<Py_ssize_t>(spec.defaults.size());

    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    if (!name) {
        return {};
    }
    Ref qualname = Ref::steal(PyUnicode_FromFormat("%U.%U", class_name, name.get()));
    if (!qualname) {
        return {};
    }
    Ref parameter_names = Ref::steal(PyTuple_New(parameter_count));
    if (!parameter_names) {
        return {};
    }
    for (Py_ssize_t index = 0; index < parameter_count; ++index) {
        PyObject* parameter = PyUnicode_InternFromString(spec.parameters[static_cast<size_t>(index)]);
        if (parameter == nullptr) {
            return {};
        }
        PyTuple_SET_ITEM(parameter_names.get(), index, parameter);
    }
    Ref defaults = Ref::borrow(Py_None);
    if (default_count > 0) {
        defaults = Ref::steal(PyTuple_New(default_count));
        if (!defaults) {
            return {};
        }
        for (Py_ssize_t index = 0; index < default_count; ++index) {
            Ref value = Ref::borrow(Py_None);
            if (spec.defaults[static_cast<size_t>(index)] == DefaultValue::api_version) {
                value = lookup_global(scope, records.names.DEFAULT_ACCOUNTS_API_VERSION);
                if (!value) {
                    return {};
                }
            }
            PyTuple_SET_ITEM(defaults.get(), index, value.release());
        }
    }
    Ref doc = spec.doc ? Ref::steal(PyUnicode_FromString(spec.doc)) : Ref::borrow(Py_None);
    if (!doc) {
        return {};
    }
    Ref code = make_code(spec, name.get(), qualname.get(), module_name, parameter_names.get());
    if (!code) {
        return {};
    }

    MethodObject* method = PyObject_GC_New(MethodObject, records.method_type);
    if (method == nullptr) {
        return {};
    }
    method->vectorcall = method_vectorcall;
    method->spec = &spec;
    method->parameter_count = parameter_count;
    method->required_count = parameter_count - default_count;
    method->parameter_names = parameter_names.release();
    method->defaults = defaults.release();
    method->name = name.release();
    method->qualname = qualname.release();
    method->module = Py_NewRef(module_name);
    method->doc = doc.release();
    method->code = code.release();
    method->globals = Py_NewRef(scope.globals);
    method->builtins = Py_NewRef(scope.builtins);
    method->annotations = nullptr;
    method->dict = nullptr;
    method->weakreflist = nullptr;
    std::fill(std::begin(method->default_values), std::end(method->default_values), nullptr);
    for (Py_ssize_t index = 0; index < default_count; ++index) {
        method->default_values[method->required_count + index] = PyTuple_GET_ITEM(method->defaults, index);
    }
    method->layout_kwnames = nullptr;
    method->layout_positional_count = 0;
    method->layout_sources = {};
    PyObject_GC_Track(method);
    return Ref::steal(reinterpret_cast<PyObject*>(method));
}
