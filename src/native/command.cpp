// Command: the result of every query, pairing the client with the response.
//
//     class Command:
//         def __init__(self, api_client, response):
//             self.api_client = api_client
//             self.response = response
#include "classes.hpp"
#include "records.hpp"

#include <array>

namespace {

PyObject* command_init(const Scope& /*scope*/, PyObject* const* args) {
    PyObject* self = args[0];
    if (PyObject_SetAttr(self, records.names.api_client, args[1]) < 0 || PyObject_SetAttr(self, records.names.response, args[2]) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

constexpr std::array<const char*, 3> init_parameters{"self", "api_client", "response"};

constexpr std::array<MethodSpec, 1> command_methods{{
    {"__init__", init_parameters, {}, false, nullptr, command_init},
}};

}  // namespace

namespace {

// The tp_init step of type.__call__ on a new instance, for the general case.
int run_tp_init(PyObject* instance, PyObject* client, PyObject* response) {
    initproc tp_init = Py_TYPE(instance)->tp_init;
    if (tp_init == nullptr) {
        return 0;
    }
    Ref arguments = Ref::steal(PyTuple_Pack(2, client, response));
    if (!arguments) {
        return -1;
    }
    return tp_init(instance, arguments.get(), nullptr);
}

}  // namespace

void remember_command_class(PyObject* command_class_object) {
    if (!PyType_Check(command_class_object)) {
        return;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(command_class_object);
    PyObject* init = _PyType_Lookup(type, records.names.dunder_init);  // borrowed
    if (init == nullptr) {
        return;
    }
    Py_XSETREF(records.command_class, Py_NewRef(command_class_object));
    Py_XSETREF(records.command_init, Py_NewRef(init));
    records.command_tp_init = type->tp_init;
}

// Calling a class goes through type.__call__: object.__new__ through the
// tp_new slot, then the tp_init slot, which looks __init__ up on the class and
// calls it. For the module's own class, with the metaclass, both slots and
// __init__ still those it was built with, the same steps are taken here
// directly, without the argument tuple and the generic call machinery; any
// change (rebinding, subclassing, a patched __new__, __init__ or metaclass)
// takes the ordinary call.
Ref new_command(PyObject* command, PyObject* client, PyObject* response) {
    if (command != records.command_class || Py_TYPE(command) != &PyType_Type) {
        return call_vector(command, nullptr, client, response);
    }
    auto* type = reinterpret_cast<PyTypeObject*>(command);
    // object.__new__ rejects arguments only when tp_init is object's own, so
    // it gets none here once tp_init is known to be the class's.
    if (type->tp_new != PyBaseObject_Type.tp_new || type->tp_init != records.command_tp_init) {
        return call_vector(command, nullptr, client, response);
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        return {};
    }
    Ref instance = Ref::steal(type->tp_new(type, records.names.no_arguments, nullptr));
    if (instance) {
        // Allocation may have run arbitrary code (collection, finalizers), so
        // the init step is decided on the class as it is now.
        PyObject* const arguments[] = {instance.get(), client, response};
        if (Py_TYPE(instance.get())->tp_init == records.command_tp_init &&
            _PyType_Lookup(Py_TYPE(instance.get()), records.names.dunder_init) == records.command_init) {
            Ref outcome = Ref::steal(run_method_body(records.command_init, arguments));
            if (!outcome) {
                instance = Ref();
            } else if (outcome.get() != Py_None) {
                PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                             Py_TYPE(outcome.get())->tp_name);
                instance = Ref();
            }
        } else if (run_tp_init(instance.get(), client, response) < 0) {
            instance = Ref();
        }
    }
    Py_LeaveRecursiveCall();
    return instance;
}

const ClassSpec command_class = {
    "Command",
    "Command to allow users to interact with commands submitted through Accounts REST API.\n\n"
    "    Args:\n"
    "        api_client (:py:class:`ferrovane.sdk.accounts_api.ApiClient`): Accounts API client.\n"
    "        response (:py:class:`requests.Response`): Command response.\n"
    "    ",
    command_methods,
};
