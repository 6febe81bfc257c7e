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
