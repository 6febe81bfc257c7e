// Everything the client module keeps for the life of a runtime, in one struct.
//
// An embedding host may finalize the interpreter and start a new one in the same
// process; the objects recorded here then belong to a runtime that is gone (freed,
// or left behind with it), and the next runtime must load the module afresh. Every
// record is a member of RuntimeRecords, so one assignment of a fresh struct forgets
// them all (module.cpp): a record added here cannot be left out of that.
#pragma once

#include "calls.hpp"
#include "names.hpp"

#include <cstdint>
#include <type_traits>

struct UtilsState;

// A function of the utils module as the client last recognised it (see
// api_client.cpp), with that module's state.
struct RecognisedFunction {
    PyObject* function = nullptr;
    const UtilsState* state = nullptr;
};

struct RuntimeRecords {
    // Loading (module.cpp): the interpreter that first created the module, the
    // module once its body ran (or while it runs), and whether this runtime's
    // exit hook is in the table.
    static constexpr std::int64_t no_interpreter = -1;
    std::int64_t owner_interpreter = no_interpreter;
    PyObject* loaded_module = nullptr;
    bool exit_hook_registered = false;

    // Interned names, keyword tuples and constants (calls.cpp), and the texts
    // of small ints.
    Names names;
    SmallIntTexts int_texts;

    // The type of every method object (method.cpp).
    PyTypeObject* method_type = nullptr;

    // The Command class that the module body built, its own __init__ method
    // object and the tp_init slot type() gave it (command.cpp).
    PyObject* command_class = nullptr;
    PyObject* command_init = nullptr;
    initproc command_tp_init = nullptr;

    // The endpoints of the queries without an id, per small API version, the
    // utils functions last recognised, and the all-None parameters mappings of the methods that call get_params
    // (api_client.cpp).
    SmallIntTexts user_info_endpoints;
    SmallIntTexts eventlog_endpoints;
    SmallIntTexts releases_endpoints;
    RecognisedFunction utils_get_params;
    RecognisedFunction utils_join_url_parts;
    PyObject* event_log_all_none = nullptr;
    PyObject* event_all_none = nullptr;
    PyObject* distribution_all_none = nullptr;
};

// Forgetting is a plain assignment: no member may own anything that would need
// releasing, nor run code when overwritten.
static_assert(std::is_trivially_copyable_v<RuntimeRecords> && std::is_trivially_destructible_v<RuntimeRecords>);

// The one instance, defined in module.cpp. Hidden, as all of the module is:
// code reads a record at a fixed offset from itself, with no indirection.
#if defined(__GNUC__)
extern RuntimeRecords records __attribute__((visibility("hidden")));
#else
extern RuntimeRecords records;
#endif
