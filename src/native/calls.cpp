// Calling into Python from the client's methods; see calls.hpp.
#include "calls.hpp"
#include "records.hpp"
#include "text.hpp"

PyObject* raise_name_error(PyObject* name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

namespace {

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
    if (records.names.empty != nullptr) {
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
    records.names = made;
    return 0;
}

namespace {

// The value `object.name` takes from the instance itself, if it has one: 1 with
// `value` set, 0 when the instance has no such attribute (or no dict at all),
// -1 with an exception set.
int instance_attribute(PyObject* object, PyObject* name, Ref& value) {
    PyTypeObject* type = Py_TYPE(object);
    if (!PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) && type->tp_dictoffset == 0) {
        return 0;
    }
    // An instance that keeps its attributes inline gets a dict that shares
    // them, once, on first use; the same dict is handed out from then on.
    Ref dict = Ref::steal(PyObject_GenericGetDict(object, nullptr));
    if (!dict) {
        return -1;
    }
    PyObject* found = nullptr;
    const int outcome = PyDict_GetItemRef(dict.get(), name, &found);
    value = Ref::steal(found);
    return outcome;
}

}  // namespace

int load_method(PyObject* object, PyObject* name, LoadedMethod& method) {
    // The steps of the interpreter's own load for `object.name(...)`: a
    // function (or other method descriptor) found on the type and not hidden
    // by an attribute of the instance is returned unbound, with the instance
    // beside it. Any other case reads the attribute as Python would.
    PyTypeObject* type = Py_TYPE(object);
    if (type->tp_getattro == PyObject_GenericGetAttr && PyUnicode_CheckExact(name)) {
        PyObject* descriptor = _PyType_Lookup(type, name);  // borrowed
        if (descriptor != nullptr && PyType_HasFeature(Py_TYPE(descriptor), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
            // Held first: looking in the instance's dict may run code (a key's
            // __eq__) that changes the type.
            Ref held = Ref::borrow(descriptor);
            const int shadowed = instance_attribute(object, name, method.callable);
            if (shadowed < 0) {
                return -1;
            }
            if (shadowed == 0) {
                method.callable = std::move(held);
                method.self = Ref::borrow(object);
            } else {
                method.self = Ref();
            }
            return 0;
        }
    }
    method.callable = get_attr(object, name);
    method.self = Ref();
    return method.callable ? 0 : -1;
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

}  // namespace

Ref format_field(PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        return Ref::borrow(value);
    }
    const long number = small_int_value(value);
    if (number < 0) {
        return Ref::steal(PyObject_Format(value, records.names.empty));
    }
    // Made once: formatting an int anew on every request costs more than the
    // rest of building the endpoint.
    PyObject*& cached = records.int_texts.slots[number];
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
