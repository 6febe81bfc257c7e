// Calling into Python from the client's methods: global and attribute lookups,
// method calls that make no bound-method objects, truth tests and building the
// texts that the methods would otherwise make with str.format.
#pragma once

#include "ref.hpp"

#include <initializer_list>
#include <utility>

#if defined(__GNUC__)
#define FERROVANE_COLD __attribute__((cold, noinline))
#else
#define FERROVANE_COLD
#endif

// The namespaces a method resolves global names in, like a Python function's
// __globals__ and __builtins__. Both are borrowed from the method object.
struct Scope {
    PyObject* globals;
    PyObject* builtins;
};

FERROVANE_COLD PyObject* raise_name_error(PyObject* name);

// A global name as a Python function resolves it at run time: the module
// namespace first, then the builtins, else NameError. Inline: every query
// looks up three.
inline Ref lookup_global(const Scope& scope, PyObject* name) {
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(scope.globals, name, &value);
    if (found == 0) {
        found = PyDict_GetItemRef(scope.builtins, name, &value);
    }
    if (found < 0) {
        return {};
    }
    if (found == 0) {
        return Ref::steal(raise_name_error(name));
    }
    return Ref::steal(value);
}

inline Ref get_attr(PyObject* object, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(object, name));
}

// A method read from an object without making a bound method where the
// attribute is a plain function found on the type (as the interpreter's own
// method calls do), for callers that must read it some steps before calling it.
// `self` is set when the call must prepend the object; it is held, as a bound
// method would hold it, because code that runs between the load and the call
// may drop every other reference to the object.
struct LoadedMethod {
    Ref callable;
    Ref self;
};

// Returns -1 with an exception set when the attribute cannot be read.
int load_method(PyObject* object, PyObject* name, LoadedMethod& method);

// Calls `callable` with positional arguments followed by keyword values whose
// names are in `kwnames` (nullptr for none). One slot in front of the arguments
// lets the callee prepend a bound self without copying.
template <typename... Args>
Ref call_vector(PyObject* callable, PyObject* kwnames, Args... args) {
    PyObject* argv[] = {nullptr, args...};
    const size_t total = sizeof...(Args);
    const size_t keywords = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return Ref::steal(PyObject_Vectorcall(callable, argv + 1, (total - keywords) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

template <typename... Args>
Ref call_method(const LoadedMethod& method, PyObject* kwnames, Args... args) {
    if (!method.self) {
        return call_vector(method.callable.get(), kwnames, args...);
    }
    PyObject* argv[] = {method.self.get(), args...};
    const size_t total = sizeof...(Args) + 1;
    const size_t keywords = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return Ref::steal(PyObject_Vectorcall(method.callable.get(), argv, total - keywords, kwnames));
}

// `object.name(*args)`: the interpreter loads the method and calls it at once,
// with no bound method made where the attribute is a function on the type.
template <typename... Args>
Ref call_method_by_name(PyObject* object, PyObject* name, PyObject* kwnames, Args... args) {
    PyObject* argv[] = {object, args...};
    const size_t total = sizeof...(Args) + 1;
    const size_t keywords = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return Ref::steal(
        PyObject_VectorcallMethod(name, argv, (total - keywords) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// `format(value, "")`, as str.format fills a bare "{}" field.
Ref format_field(PyObject* value);

// Concatenates str objects with a single allocation.
Ref concat_text(std::initializer_list<PyObject*> pieces);

// Texts kept for the ints 0 to small_int_count - 1, made on first use and
// held for the life of the runtime.
inline constexpr long small_int_count = 100;
struct SmallIntTexts {
    PyObject* slots[small_int_count] = {};
};

// `prefix + format(value) + suffix`, as "prefix{}suffix".format(value) does.
// With `memo`, the text for an exact small int is made once and kept there:
// an endpoint such as "v3/eventlog" is the same text on every request.
Ref format_text(PyObject* prefix, PyObject* value, PyObject* suffix, SmallIntTexts* memo = nullptr);

// `raise exception` as the raise statement does it for an instance or a class.
// Always returns nullptr with the exception set.
PyObject* raise_object(PyObject* exception);
