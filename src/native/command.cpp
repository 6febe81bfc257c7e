// Command: the result of every query, pairing the client with the response.
//
//     class Command:
//         def __init__(self, api_client, response):
//             self.api_client = api_client
//             self.response = response
#include "classes.hpp"
#include "names.hpp"

#include <array>

namespace {

PyObject* command_init(const Scope& /*scope*/, PyObject* const* args) {
    PyObject* self = args[0];
    if (PyObject_SetAttr(self, names.api_client, args[1]) < 0 || PyObject_SetAttr(self, names.response, args[2]) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

constexpr std::array<const char*, 3> init_parameters{"self", "api_client", "response"};

constexpr std::array<MethodSpec, 1> command_methods{{
    {"__init__", init_parameters, {}, false, nullptr, command_init},
}};

}  // namespace

const ClassSpec command_class = {
    "Command",
    "Command to allow users to interact with commands submitted through Accounts REST API.\n\n"
    "    Args:\n"
    "        api_client (:py:class:`ferrovane.sdk.accounts_api.ApiClient`): Accounts API client.\n"
    "        response (:py:class:`requests.Response`): Command response.\n"
    "    ",
    command_methods,
};
