// What the utils module offers the client module for direct calls.
//
// The client looks `get_params` and `join_url_parts` up in its namespace on
// every call, like any global. When what it finds is the utils module's own
// function, it may skip the generic call: it recognises the function by the
// state of the module the function belongs to, which carries a tag and the
// function's entry point, so a replacement (a Python function, a mock, another
// builtin) always gets the ordinary call.
#pragma once

#include "ref.hpp"

#include <cstdint>
#include <utility>

using NamedValue = std::pair<PyObject*, PyObject*>;

struct UtilsNativeApi {
    // get_params(parameters=dict(pairs), exclusions=exclusions) for pairs with
    // distinct names, without making the parameters dict. The result has room
    // for `extra` more entries, which the caller adds next. `exclusions` is a
    // tuple of str, or null when the caller has left the excluded pairs out.
    PyObject* (*select_pairs)(const NamedValue* pairs, Py_ssize_t count, PyObject* exclusions, Py_ssize_t extra);
    // join_url_parts(*parts) for the common parts, at least two, ASCII with
    // nothing to escape and no dot segment: 1 with *url set to the result; 0,
    // with nothing made and no exception, for parts that need the full join;
    // -1 with an exception set.
    int (*join_plain)(PyObject* const* parts, Py_ssize_t count, PyObject** url);
};

inline constexpr std::uint64_t utils_state_tag = 0x66657272'7574696cULL;

struct UtilsState {
    // utils_state_tag once the exec step has filled in everything below.
    std::uint64_t tag;
    const UtilsNativeApi* api;
    // ml_meth of the two functions, to tell them from any other builtin.
    void* get_params_entry;
    void* join_url_parts_entry;
    PyObject* get_params_parameters[2];
};

// Whether the exec step has filled in all of a module's state; a module made
// from its spec but not executed has none, one whose exec failed or that was
// cleared has no tag.
inline bool utils_state_ready(const UtilsState* state) {
    return state != nullptr && state->tag == utils_state_tag;
}

// The utils module's state when `function` is one of that module's functions
// whose entry point is `entry` (a member of UtilsState) and the module is ready,
// otherwise nullptr: a function of a module not (fully) executed gets the
// ordinary call, which raises.
inline const UtilsState* utils_function_state(PyObject* function, void* UtilsState::*entry) {
    if (Py_TYPE(function) != &PyCFunction_Type) {
        return nullptr;
    }
    PyObject* module = PyCFunction_GET_SELF(function);
    if (module == nullptr || !PyModule_CheckExact(module)) {
        return nullptr;
    }
    const PyModuleDef* definition = PyModule_GetDef(module);
    if (definition == nullptr || definition->m_size != static_cast<Py_ssize_t>(sizeof(UtilsState))) {
        return nullptr;
    }
    const auto* state = static_cast<const UtilsState*>(PyModule_GetState(module));
    if (!utils_state_ready(state) || reinterpret_cast<void*>(PyCFunction_GET_FUNCTION(function)) != state->*entry) {
        return nullptr;
    }
    return state;
}
