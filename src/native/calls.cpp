// Calling into Python from the client's methods; see calls.hpp.
#include "calls.hpp"
#include "names.hpp"
#include "text.hpp"

Names names;

#if FERROVANE_INTERPRETER_METHOD_LOAD
// Exported by the interpreter, declared only in its internal headers; the build
// defines FERROVANE_INTERPRETER_METHOD_LOAD only after finding this very
// declaration in the target interpreter's own headers (see CMakeLists.txt).
extern "C" PyAPI_FUNC(int) _PyObject_GetMethod(PyObject* object, PyObject* name, PyObject** method);
#endif

namespace {

FERROVANE_COLD PyObject* raise_name_error(PyObject* name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

Ref new_tuple(std::initializer_list<PyObject*> items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) {
        return {};
    }
    Py_ssize_t index = 0;
    for (PyObject* item : items) {
        PyTuple_SET_ITEM(tuple.get(), index++, Py_NewRef(item));
    }
    return tuple;
}

}  // namespace

int init_names() {
    if (names.empty != nullptr) {
        return 0;
    }
    Names made;
#define FERROVANE_MAKE_NAME(identifier, text)                      \
    made.identifier = PyUnicode_InternFromString(text);            \
    if (made.identifier == nullptr) {                              \
        return -1;                                                 \
    }
    FERROVANE_NAME_LIST(FERROVANE_MAKE_NAME)
#undef FERROVANE_MAKE_NAME

    struct TupleSpec {
        PyObject** slot;
        std::initializer_list<PyObject*> items;
    };
    const TupleSpec tuples[] = {
        {&made.kw_params, {made.params}},
        {&made.kw_params_data, {made.params, made.data}},
        {&made.kw_params_data_files_headers, {made.params, made.data, made.files, made.headers}},
        {&made.kw_app_endpoint, {made.app, made.endpoint}},
        {&made.kw_app_endpoint_params, {made.app, made.endpoint, made.params}},
        {&made.kw_parameters_exclusions, {made.parameters, made.exclusions}},
        {&made.event_log_exclusions, {made.self, made.app_name, made.sort_sorted, made.sort_unsorted}},
        {&made.event_exclusions,
         {made.self, made.event_id, made.app_name, made.sort_sorted, made.sort_unsorted}},
        {&made.distribution_exclusions, {made.self, made.distribution_key, made.platform}},
    };
    for (const TupleSpec& spec : tuples) {
        *spec.slot = new_tuple(spec.items).release();
        if (*spec.slot == nullptr) {
            return -1;
        }
    }
    made.no_arguments = PyTuple_New(0);
    if (made.no_arguments == nullptr) {
        return -1;
    }
    made.status_500 = PyLong_FromLong(500);
    made.status_400 = PyLong_FromLong(400);
    if (made.status_500 == nullptr || made.status_400 == nullptr) {
        return -1;
    }
    // Only a complete set is published; a failed attempt leaks its few
    // objects, which is harmless for an import that is failing anyway.
    names = made;
    return 0;
}

Ref lookup_global(const Scope& scope, PyObject* name) {
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

int load_method(PyObject* object, PyObject* name, LoadedMethod& method) {
#if FERROVANE_INTERPRETER_METHOD_LOAD
    // The interpreter's own method load, the one `object.name(...)` makes: it
    // reads the instance's attribute values where they are kept, without
    // turning them into a dict object first.
    PyObject* callable = nullptr;
    const int unbound = _PyObject_GetMethod(object, name, &callable);
    if (callable == nullptr) {
        return -1;
    }
    method.callable = Ref::steal(callable);
    method.self = unbound ? Ref::borrow(object) : Ref();
#else
    method.callable = get_attr(object, name);
    if (!method.callable) {
        return -1;
    }
    method.self = Ref();
#endif
    return 0;
}

namespace {

// The value of an exact int in [0, small_int_count), the range API versions
// are in; -1 for anything else.
long small_int_value(PyObject* value) {
    if (!PyLong_CheckExact(value) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) {
        return -1;
    }
    const Py_ssize_t number = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value));
    return number >= 0 && number < small_int_count ? static_cast<long>(number) : -1;
}

// Texts of the small ints, made once: formatting an int anew on every request
// costs more than the rest of building the endpoint.
SmallIntTexts int_texts;

}  // namespace

void forget_names() {
    names = Names{};
    int_texts = SmallIntTexts{};
}

Ref format_field(PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        return Ref::borrow(value);
    }
    const long number = small_int_value(value);
    if (number < 0) {
        return Ref::steal(PyObject_Format(value, names.empty));
    }
    PyObject*& cached = int_texts.slots[number];
    if (cached == nullptr) {
        cached = PyUnicode_FromFormat("%ld", number);
    }
    return Ref::borrow(cached);
}

Ref concat_text(std::initializer_list<PyObject*> pieces) {
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    for (PyObject* piece : pieces) {
        length += PyUnicode_GET_LENGTH(piece);
        Py_UCS4 piece_max = PyUnicode_MAX_CHAR_VALUE(piece);
        if (piece_max > max_char) {
            max_char = piece_max;
        }
    }
    Ref text = Ref::steal(PyUnicode_New(length, max_char));
    if (!text) {
        return {};
    }
    Py_ssize_t position = 0;
    for (PyObject* piece : pieces) {
        Py_ssize_t piece_length = PyUnicode_GET_LENGTH(piece);
        if (copy_characters(text.get(), position, piece, 0, piece_length) < 0) {
            return {};
        }
        position += piece_length;
    }
    return text;
}

Ref format_text(PyObject* prefix, PyObject* value, PyObject* suffix, SmallIntTexts* memo) {
    const long number = memo != nullptr ? small_int_value(value) : -1;
    if (number >= 0 && memo->slots[number] != nullptr) {
        return Ref::borrow(memo->slots[number]);
    }
    Ref field = format_field(value);
    if (!field) {
        return {};
    }
    Ref text = concat_text({prefix, field.get(), suffix});
    if (text && number >= 0) {
        memo->slots[number] = Ref::borrow(text.get()).release();
    }
    return text;
}

PyObject* raise_object(PyObject* exception) {
    if (PyExceptionInstance_Check(exception)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception);
        return nullptr;
    }
    if (PyExceptionClass_Check(exception)) {
        Ref instance = Ref::steal(PyObject_CallNoArgs(exception));
        if (!instance) {
            return nullptr;
        }
        if (!PyExceptionInstance_Check(instance.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s",
                         exception, Py_TYPE(instance.get())->tp_name);
            return nullptr;
        }
        PyErr_SetObject(exception, instance.get());
        return nullptr;
    }
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return nullptr;
}
