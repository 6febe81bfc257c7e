// The two classes of the module, as tables: each becomes a class made by
// calling `type` with a namespace holding its docstring and method objects.
#pragma once

#include "method.hpp"

struct ClassSpec {
    const char* name;
    const char* doc;
    std::span<const MethodSpec> methods;
};

extern const ClassSpec api_client_class;
extern const ClassSpec command_class;

// Records the Command class that the module body built, with its __init__,
// so that the query methods can recognise it at call time.
void remember_command_class(PyObject* command_class_object);

// `command(client, response)`: what the query methods return. `command` is
// whatever the name Command held when looked up.
Ref new_command(PyObject* command, PyObject* client, PyObject* response);
