// Loading of `accounts_api`: the create and exec steps of multi-phase
// initialisation and the module body, which corresponds to this Python:
//
//     import json, logging, urllib3, requests
//     from .exceptions import BadRequestError, InternalServerError
//     from .utils import get_params, join_url_parts
//     logger = logging.getLogger(__name__)
//     DEFAULT_ACCOUNTS_API_VERSION = 3
//     ACCESS_TOKEN_REQUIRED_HEADERS = {...}
//     REQUIRED_HEADERS = {...}
//     class ApiClient: ...   # built by calling type(), see classes.hpp
//     class Command: ...
//
// The module can be loaded into one interpreter per process, and its body runs
// once: importing it again after it left sys.modules gives back the same object.
// An embedding host that finalizes the interpreter and starts a new one counts
// as a new process here: the new runtime loads the module afresh.
#include "classes.hpp"
#include "records.hpp"

#include <array>
#include <cstdint>

// The state of every file of the module, the loading records included; see
// records.hpp. They belong to one runtime: an embedding host may finalize the
// interpreter and initialize a new one in the same process, where the old
// objects are freed or cleared and interpreter IDs start again.
RuntimeRecords records;

namespace {

constexpr const char module_doc[] = "Abstractions to interact with the Ferrovane Accounts REST API.";
constexpr const char qualified_name[] = "sdk.accounts_api";

// Run by Py_FinalizeEx after everything else, when no Python code can run any
// more: forgets every record so that the next runtime loads the module afresh.
// Nothing is released: the runtime that owned the objects has freed them, or
// leaves them behind as it leaves its own.
void forget_runtime_records() { records = RuntimeRecords{}; }

// Once per runtime, before its first object is recorded. The hook table is small
// and process-wide; should it be full, the records of a finished runtime are
// recognised by the owner's mark instead (see owns_records), and registration is
// tried again when the module is next created.
void register_exit_hook() {
    if (!records.exit_hook_registered) {
        records.exit_hook_registered = Py_AtExit(forget_runtime_records) == 0;
    }
}

// The owning interpreter carries this key in its state dict, which lives and
// dies with that interpreter.
constexpr const char owner_mark[] = "ferrovane.sdk.accounts_api: owner of the module's records";

int set_owner_mark(PyObject* state_dict) {
    return state_dict != nullptr ? PyDict_SetItemString(state_dict, owner_mark, Py_True) : 0;
}

// Claims the records for `interpreter` of the current runtime: 0 when they are
// its own or free (those of a finished runtime are forgotten first), -1 with
// ImportError set when another interpreter of this runtime owns them, or that
// cannot be ruled out.
int owns_records(std::int64_t interpreter, PyObject* state_dict) {
    if (records.owner_interpreter == RuntimeRecords::no_interpreter) {
        records.owner_interpreter = interpreter;
        return set_owner_mark(state_dict);
    }
    int marked = 0;
    if (state_dict != nullptr) {
        PyObject* mark = nullptr;
        marked = PyDict_GetItemStringRef(state_dict, owner_mark, &mark);
        Py_XDECREF(mark);
        if (marked < 0) {
            return -1;
        }
    }
    if (interpreter == records.owner_interpreter && (marked || state_dict == nullptr)) {
        return 0;
    }
    if (interpreter == records.owner_interpreter) {
        // Interpreter IDs are not reused within a runtime, and the owner keeps its
        // mark while it lives: the same ID without the mark is a new runtime's
        // interpreter, and the records are a finished runtime's, whose exit hook
        // could not be registered.
        forget_runtime_records();
        records.owner_interpreter = interpreter;
        return set_owner_mark(state_dict);
    }
    if (records.exit_hook_registered) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    } else {
        PyErr_Format(PyExc_ImportError,
                     "Interpreter change detected - this module can only be loaded into one interpreter per process, "
                     "and as the exit hook table (Py_AtExit) was full, it cannot tell whether the interpreter that "
                     "loaded it (ID %lld) is one of a finalized runtime; import it first in the interpreter with "
                     "that ID.",
                     static_cast<long long>(records.owner_interpreter));
    }
    return -1;
}

// ---- create step ----------------------------------------------------------

// Copies `spec.<attribute>` into the module namespace as `key`; None is copied
// only where `allow_none` says so.
int copy_spec_attribute(PyObject* spec, PyObject* namespace_dict, const char* attribute, const char* key,
                        bool allow_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attribute));
    if (!value) {
        return -1;
    }
    if (!allow_none && value.get() == Py_None) {
        return 0;
    }
    return PyDict_SetItemString(namespace_dict, key, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef* /*definition*/) {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) {
        return nullptr;
    }
    if (owns_records(interpreter, PyInterpreterState_GetDict(PyInterpreterState_Get())) < 0) {
        return nullptr;
    }
    register_exit_hook();
    if (records.loaded_module != nullptr) {
        return Py_NewRef(records.loaded_module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject* namespace_dict = PyModule_GetDict(module.get());  // borrowed
    if (copy_spec_attribute(spec, namespace_dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, namespace_dict, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, namespace_dict, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, namespace_dict, "submodule_search_locations", "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

// ---- module body ----------------------------------------------------------

int bind(PyObject* namespace_dict, PyObject* name, Ref value) {
    if (!value) {
        return -1;
    }
    return PyDict_SetItem(namespace_dict, name, value.get());
}

// `from <module> import <name>`: a name that the module lacks may still be a
// submodule already in sys.modules.
Ref import_from(PyObject* module, PyObject* name) {
    Ref value = get_attr(module, name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return value;
    }
    PyErr_Clear();
    Ref module_name = get_attr(module, records.names.dunder_name);
    if (!module_name) {
        return {};
    }
    Ref full_name = Ref::steal(PyUnicode_FromFormat("%S.%U", module_name.get(), name));
    if (!full_name) {
        return {};
    }
    value = Ref::steal(PyImport_GetModule(full_name.get()));
    if (!value && !PyErr_Occurred()) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return value;
}

// `from .<sibling> import first, second`
int import_from_sibling(PyObject* namespace_dict, const char* sibling, PyObject* first, PyObject* second) {
    Ref sibling_name = Ref::steal(PyUnicode_FromString(sibling));
    Ref from_list = Ref::steal(PyTuple_Pack(2, first, second));
    if (!sibling_name || !from_list) {
        return -1;
    }
    Ref module = Ref::steal(
        PyImport_ImportModuleLevelObject(sibling_name.get(), namespace_dict, nullptr, from_list.get(), 1));
    if (!module) {
        return -1;
    }
    for (PyObject* name : {first, second}) {
        if (bind(namespace_dict, name, import_from(module.get(), name)) < 0) {
            return -1;
        }
    }
    return 0;
}

Ref new_text_dict(std::initializer_list<std::pair<const char*, const char*>> entries) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        return {};
    }
    for (const auto& [key, value] : entries) {
        Ref text = Ref::steal(PyUnicode_FromString(value));
        if (!text || PyDict_SetItemString(dict.get(), key, text.get()) < 0) {
            return {};
        }
    }
    return dict;
}

Ref build_class(const ClassSpec& spec, PyObject* bases, PyObject* module_name, const Scope& scope) {
    Ref class_name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref doc = Ref::steal(PyUnicode_FromString(spec.doc));
    Ref class_namespace = Ref::steal(PyDict_New());
    if (!class_name || !doc || !class_namespace) {
        return {};
    }
    if (PyDict_SetItemString(class_namespace.get(), "__module__", module_name) < 0 ||
        PyDict_SetItemString(class_namespace.get(), "__qualname__", class_name.get()) < 0 ||
        PyDict_SetItemString(class_namespace.get(), "__doc__", doc.get()) < 0) {
        return {};
    }
    for (const MethodSpec& method_spec : spec.methods) {
        Ref method = new_method(method_spec, class_name.get(), module_name, scope);
        if (!method || PyDict_SetItemString(class_namespace.get(), method_spec.name, method.get()) < 0) {
            return {};
        }
    }
    return Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type), class_name.get(), bases,
                                                   class_namespace.get(), nullptr));
}

// Steps 2 to 8 of the body; step 1 (the sys.modules alias) is run_body's.
int fill_namespace(PyObject* namespace_dict, PyObject* module_name, const Scope& scope) {
    for (PyObject* name : {records.names.json, records.names.logging, records.names.urllib3, records.names.requests}) {
        if (bind(namespace_dict, name, Ref::steal(PyImport_ImportModuleLevelObject(name, namespace_dict, nullptr,
                                                                                     nullptr, 0))) < 0) {
            return -1;
        }
    }
    if (import_from_sibling(namespace_dict, "exceptions", records.names.BadRequestError, records.names.InternalServerError) < 0 ||
        import_from_sibling(namespace_dict, "utils", records.names.get_params, records.names.join_url_parts) < 0) {
        return -1;
    }

    Ref logging = lookup_global(scope, records.names.logging);
    Ref dunder_name = logging ? lookup_global(scope, records.names.dunder_name) : Ref();
    if (!dunder_name ||
        bind(namespace_dict, records.names.logger, call_method_by_name(logging.get(), records.names.getLogger, nullptr,
                                                               dunder_name.get())) < 0) {
        return -1;
    }

    if (bind(namespace_dict, records.names.DEFAULT_ACCOUNTS_API_VERSION, Ref::steal(PyLong_FromLong(3))) < 0 ||
        bind(namespace_dict, records.names.ACCESS_TOKEN_REQUIRED_HEADERS,
             new_text_dict({{"content-Type", "application/x-www-form-urlencoded"}, {"X-Requested-By", "Accounts"}})) <
            0 ||
        bind(namespace_dict, records.names.REQUIRED_HEADERS,
             new_text_dict({{"X-Requested-By", "Accounts"},
                            {"X-FV-REST-CALL", "true"},
                            {"content-type", "application/json"}})) < 0) {
        return -1;
    }

    Ref api_client_bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    Ref no_bases = Ref::steal(PyTuple_New(0));
    if (!api_client_bases || !no_bases) {
        return -1;
    }
    if (bind(namespace_dict, records.names.ApiClient, build_class(api_client_class, api_client_bases.get(), module_name, scope)) <
            0 ||
        bind(namespace_dict, records.names.Command, build_class(command_class, no_bases.get(), module_name, scope)) < 0) {
        return -1;
    }
    PyObject* command = nullptr;
    if (PyDict_GetItemRef(namespace_dict, records.names.Command, &command) < 0) {
        return -1;
    }
    remember_command_class(command);
    Py_XDECREF(command);
    return 0;
}

// The module body. On failure it takes back the sys.modules alias it added, so
// that no half-made module stays reachable.
int run_body(PyObject* module, PyObject* builtins) {
    PyObject* namespace_dict = PyModule_GetDict(module);  // borrowed
    Ref module_name = Ref::steal(PyUnicode_InternFromString(qualified_name));
    if (!module_name) {
        return -1;
    }
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* alias_holder = nullptr;
    if (PyDict_SetDefaultRef(modules, module_name.get(), module, &alias_holder) < 0) {
        return -1;
    }
    const bool added_alias = alias_holder == module;
    Py_DECREF(alias_holder);

    const Scope scope{namespace_dict, PyModule_GetDict(builtins)};
    if (fill_namespace(namespace_dict, module_name.get(), scope) == 0) {
        return 0;
    }
    if (added_alias) {
        PyObject* failure = PyErr_GetRaisedException();
        PyObject* current = nullptr;
        const int found = PyDict_GetItemRef(modules, module_name.get(), &current);
        if (found > 0 && current == module && PyDict_DelItem(modules, module_name.get()) < 0) {
            // The import fails either way; report the original failure.
            PyErr_Clear();
        }
        Py_XDECREF(current);
        if (found < 0) {
            PyErr_Clear();
        }
        PyErr_SetRaisedException(failure);
    }
    return -1;
}

int warn_on_version_mismatch() {
    const int runtime_major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int runtime_minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (runtime_major == PY_MAJOR_VERSION && runtime_minor == PY_MINOR_VERSION) {
        return 0;
    }
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, qualified_name, "does not match", runtime_major,
                            runtime_minor);
}

int prepare_and_run(PyObject* module) {
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0) {
        return -1;
    }
    if (warn_on_version_mismatch() < 0 || init_names() < 0 || init_method_type() < 0) {
        return -1;
    }
    return run_body(module, builtins.get());
}

// ---- exec step ------------------------------------------------------------

int module_exec(PyObject* module) {
    if (records.loaded_module != nullptr) {
        if (records.loaded_module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'accounts_api' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    records.loaded_module = Py_NewRef(module);
    if (prepare_and_run(module) < 0) {
        // Forget the partly filled module so that a later import starts over.
        Py_CLEAR(records.loaded_module);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "accounts_api",
    .m_doc = module_doc,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_accounts_api() { return PyModuleDef_Init(&module_definition); }
