// The method object shared by every method of ApiClient and Command: a native
// callable that binds its arguments by the rules of a Python function with
// positional-or-keyword parameters, and looks like a function to users and tools.
#pragma once

#include "calls.hpp"

#include <span>

// The longest parameter list of any method, `self` included.
inline constexpr Py_ssize_t max_parameters = 11;

// Receives the bound arguments in parameter order, defaults filled in
// (borrowed, valid for the duration of the call); returns a new reference or
// nullptr with an exception set.
using MethodImpl = PyObject* (*)(const Scope& scope, PyObject* const* args);

enum class DefaultValue {
    none,         // the parameter defaults to None
    api_version,  // the value of DEFAULT_ACCOUNTS_API_VERSION when the class is built
};

struct MethodSpec {
    const char* name;
    std::span<const char* const> parameters;  // `self` first
    std::span<const DefaultValue> defaults;   // for the trailing parameters
    bool var_keywords;                        // accepts and ignores further keywords (**kwargs)
    const char* doc;                          // nullptr: no docstring
    MethodImpl impl;
};

// Makes the method object type (records.method_type); called once, from the
// module's exec step.
int init_method_type();

// Makes a method object for `spec`, as a function defined in a class body
// named `class_name` whose globals are `scope`.
Ref new_method(const MethodSpec& spec, PyObject* class_name, PyObject* module_name, const Scope& scope);

// Runs the body of a method object of this module on a complete argument list
// (`self` first, one value per parameter, as binding would leave them), in the
// method's own Scope. Only for callers that have made sure `method` is one of
// these objects: it is what calling it with exactly those positional
// arguments does.
PyObject* run_method_body(PyObject* method, PyObject* const* args);

// The namespace a method object of this module runs its body in.
Scope method_scope(PyObject* method);

// True when `callable` is a method object of this module whose body is `impl`.
bool has_method_body(PyObject* callable, MethodImpl impl);

// The default value of parameter `index` (counting `self`) of a method object
// of this module; borrowed. The parameter must have one.
PyObject* method_default(PyObject* method, Py_ssize_t index);
