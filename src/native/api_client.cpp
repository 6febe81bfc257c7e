// ApiClient: construction, the four request helpers, the mapping of failed
// statuses to exceptions, and the query methods.
//
// Each method reads the module globals it uses (requests, json, get_params,
// Command, ...) at call time through its Scope, and the instance attributes and
// helpers it uses on the instance at call time, so rebinding any of them takes
// effect on the next call. Reads and calls happen in the order the equivalent
// Python method would make them.
#include "classes.hpp"
#include "records.hpp"
#include "utils_api.hpp"

#include <algorithm>
#include <array>

namespace {

// ---- docstrings -----------------------------------------------------------

constexpr const char api_client_doc[] =
    "\n"
    "    API client to communicate with a Ferrovane Accounts instance.\n"
    "    Args:\n"
    "        server_url (:obj:`str`): Ferrovane Accounts instance's server URL.\n"
    "        authentication_token (:obj:`str`): Ferrovane Accounts authentication_token.\n"
    "        api_version (:obj:`int`, optional): The API version.\n"
    "            Default: :py:const:`accounts_api.DEFAULT_ACCOUNTS_API_VERSION`\n"
    "        session_attributes (:obj:`dict`, optional): A dictionary of attributes to set on the underlying\n"
    "            :py:class:`requests.Session` instance at initialization. Default: ``None``\n"
    "        headers (:obj:`dict`, optional): A dictionary of headers to with the :py:class:`requests.Session` instance.\n"
    "            Default: ``None``\n"
    "    ";

constexpr const char login_doc[] =
    "Login to Ferrovane Accounts.\n"
    "        Running this endpoint will set the ``Authorization`` session header for this ApiClient instance.\n"
    "        ";

constexpr const char logout_doc[] =
    "Logout of Ferrovane Accounts.\n"
    "        Running this endpoint will remove the ``Authorization`` session header.\n"
    "        ";

constexpr const char get_current_user_doc[] =
    "\n"
    "        Get currently logged-in user info\n"
    "\n"
    "        Returns:\n"
    "            An instance of :py:class:`ferrovane.sdk.accounts_api.Command`\n"
    "        ";

// The part that the two event-log docstrings share: the options and the result.
#define EVENT_LOG_OPTIONS_DOC                                                   \
    "            offset (:obj:`int`, optional): Default: ``None``\n"  \
    "            pageNumber (:obj:`int`, optional): Default: ``None``\n"  \
    "            pageSize (:obj:`str`, optional): Default: ``None``\n"  \
    "            paged (:obj:`bool`, optional): Default: ``None``\n"  \
    "            search (:obj:`str`, optional): Default: ``None``\n"  \
    "            sort_sorted (:obj:`bool`, optional): Default: ``None``\n"  \
    "            sort_unsorted (:obj:`bool`, optional): Default: ``None``\n"  \
    "            unpaged (:obj:`bool`, optional): Default: ``None``\n"  \
    "\n"  \
    "        Returns:\n"  \
    "            An instance of :py:class:`ferrovane.sdk.accounts_api.Command`\n"  \
    "        "

constexpr const char get_event_log_doc[] =
    "\n"
    "        Get event log for provided app\n"
    "        Args:\n"
    "            app_name (:obj:`str`): Name of the app e.g. security\n"
    EVENT_LOG_OPTIONS_DOC;

constexpr const char get_event_log_for_an_event_doc[] =
    "\n"
    "        Get event log for provided app for an event with passed id\n"
    "\n"
    "        Args:\n"
    "            app_name (:obj:`str`): Name of the app e.g. security\n"
    "            event_id (:obj:`str`): ID of the event\n"
    EVENT_LOG_OPTIONS_DOC;

constexpr const char return_all_releases_doc[] =
    "\n"
    "        Get all releases. e.g. Orvik or Braxlin\n"
    "\n"
    "        Returns:\n"
    "            An instance of :py:class:`ferrovane.sdk.accounts_api.Command`\n"
    "        ";

constexpr const char get_distribution_doc[] =
    "\n"
    "        Get distribution. e.g. Orvik or Braxlin\n"
    "\n"
    "        Args:\n"
    "            distribution_key (:obj:`str`): Distribution key of the downloadable entity\n"
    "            platform (:obj:`str`): Platform to download for\n"
    "\n"
    "        Returns:\n"
    "            An instance of :py:class:`ferrovane.sdk.accounts_api.Command`\n"
    "        ";

constexpr const char handle_http_error_doc[] =
    "Specific error handling for Accounts, to make better error reporting where applicable.";

// ---- shared steps ---------------------------------------------------------

// Loads `self._session.headers.update`.
int load_session_headers_update(PyObject* self, LoadedMethod& update) {
    Ref session = get_attr(self, records.names.session_attr);
    if (!session) {
        return -1;
    }
    Ref headers = get_attr(session.get(), records.names.headers);
    if (!headers) {
        return -1;
    }
    return load_method(headers.get(), records.names.update, update);
}

FERROVANE_COLD int raise_unpack_error(PyObject* item, Py_ssize_t found) {
    if (found < 0) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
    } else if (found < 2) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", found);
    } else {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    return -1;
}

// `first, second = item`, with the interpreter's unpacking errors.
int unpack_pair(PyObject* item, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        first = Ref::borrow(PyTuple_GET_ITEM(item, 0));
        second = Ref::borrow(PyTuple_GET_ITEM(item, 1));
        return 0;
    }
    if (Py_TYPE(item)->tp_iter == nullptr && !PySequence_Check(item)) {
        return raise_unpack_error(item, -1);
    }
    Ref iterator = Ref::steal(PyObject_GetIter(item));
    if (!iterator) {
        return -1;
    }
    Ref* targets[] = {&first, &second};
    Py_ssize_t found = 0;
    for (Ref* target : targets) {
        *target = Ref::steal(PyIter_Next(iterator.get()));
        if (!*target) {
            return PyErr_Occurred() ? -1 : raise_unpack_error(item, found);
        }
        ++found;
    }
    Ref surplus = Ref::steal(PyIter_Next(iterator.get()));
    if (surplus) {
        return raise_unpack_error(item, 3);
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The `params` rule of the helpers: the caller's object when it is true,
// otherwise a new empty dict for this request.
Ref query_parameters(PyObject* params) {
    if (params != Py_None) {
        const int is_true = PyObject_IsTrue(params);
        if (is_true < 0) {
            return {};
        }
        if (is_true) {
            return Ref::borrow(params);
        }
    }
    return Ref::steal(PyDict_New());
}

// Reads `self._session.<session_method>`, then applies the `params` rule, for
// _put, which encodes its body between these steps and the call.
struct Sender {
    LoadedMethod send;
    Ref params;
};

int prepare_sender(PyObject* self, PyObject* session_method, PyObject* params, Sender& sender) {
    Ref session = get_attr(self, records.names.session_attr);
    if (!session || load_method(session.get(), session_method, sender.send) < 0) {
        return -1;
    }
    sender.params = query_parameters(params);
    return sender.params ? 0 : -1;
}

// Whether reading `session.<session_method>` and working out the `params` rule
// run no code of anyone's, so that doing the second before the first cannot be
// told apart: then the interpreter loads the method and calls it in one step.
// The rule runs none for None or a dict; the read runs none through the
// ordinary attribute lookup where the type's attribute is a function (or has
// no __get__ at all) or is missing.
bool sends_in_one_step(PyObject* session, PyObject* session_method, PyObject* params) {
    if (params == Py_None) {
        // Nothing the read could run can change what None gives.
        return true;
    }
    PyTypeObject* type = Py_TYPE(session);
    if (!PyDict_CheckExact(params) || type->tp_getattro != PyObject_GenericGetAttr) {
        return false;
    }
    PyObject* descriptor = _PyType_Lookup(type, session_method);  // borrowed
    return descriptor == nullptr || PyType_HasFeature(Py_TYPE(descriptor), Py_TPFLAGS_METHOD_DESCRIPTOR) ||
           Py_TYPE(descriptor)->tp_descr_get == nullptr;
}

// Reads `self._session.<session_method>`, works out the `params` rule and calls
// the method with `url`, the params and `rest`, named by `kwnames`: the steps
// every helper takes, in this order, when nothing lies between the read and the call.
template <typename... Rest>
Ref send(PyObject* self, PyObject* session_method, PyObject* params, PyObject* kwnames, PyObject* url,
         Rest... rest) {
    Ref session = get_attr(self, records.names.session_attr);
    if (!session) {
        return {};
    }
    if (sends_in_one_step(session.get(), session_method, params)) {
        Ref query = query_parameters(params);
        if (!query) {
            return {};
        }
        return call_method_by_name(session.get(), session_method, kwnames, url, query.get(), rest...);
    }
    LoadedMethod method;
    if (load_method(session.get(), session_method, method) < 0) {
        return {};
    }
    Ref query = query_parameters(params);
    if (!query) {
        return {};
    }
    return call_method(method, kwnames, url, query.get(), rest...);
}

// "/api/{}".format(app); the query methods' own application names (and the
// same interned texts from callers' literals) have theirs made already.
Ref application_path(PyObject* app) {
    if (app == records.names.security) {
        return Ref::borrow(records.names.api_security);
    }
    if (app == records.names.entitlements) {
        return Ref::borrow(records.names.api_entitlements);
    }
    Ref app_field = format_field(app);
    if (!app_field) {
        return {};
    }
    return concat_text({records.names.api_prefix, app_field.get()});
}

// utils_function_state for a function found in the namespace at call time.
// The last one recognised is held: the reference keeps the object, its module
// and that module's state alive, and its identity its own, so that finding it
// again, as every call does, takes a comparison.
const UtilsState* own_utils_function(PyObject* function, void* UtilsState::*entry, RecognisedFunction& known) {
    if (function == known.function) {
        return utils_state_ready(known.state) ? known.state : nullptr;
    }
    const UtilsState* state = utils_function_state(function, entry);
    if (state != nullptr) {
        known.state = state;
        Py_XSETREF(known.function, Py_NewRef(function));
    }
    return state;
}

// The endpoint a query makes: its text, or, for one item of a listing, the
// listing's endpoint ("v3/eventlog") and the item's text, which stand for the
// text "v3/eventlog/<item>". That text is made only where it is needed: the
// URL joins the two as parts of their own when that comes out the same.
struct Endpoint {
    Ref head;  // the endpoint, or the listing's one when `item` is set
    Ref item;
};

// The text of an endpoint given as its head and, for one item, the item.
Ref endpoint_text(PyObject* head, PyObject* item) {
    if (item == nullptr) {
        return Ref::borrow(head);
    }
    return concat_text({head, records.names.slash, item});
}

// join_url_parts(self._base_url, "/api/{}".format(app), endpoint), the
// endpoint given as endpoint_text takes it.
Ref request_url(const Scope& scope, PyObject* self, PyObject* app, PyObject* endpoint, PyObject* item = nullptr) {
    Ref join_url_parts = lookup_global(scope, records.names.join_url_parts);
    if (!join_url_parts) {
        return {};
    }
    Ref base_url = get_attr(self, records.names.base_url_attr);
    if (!base_url) {
        return {};
    }
    Ref app_path = application_path(app);
    if (!app_path) {
        return {};
    }
    const UtilsState* utils =
        own_utils_function(join_url_parts.get(), &UtilsState::join_url_parts_entry, records.utils_join_url_parts);
    Ref text;
    if (item != nullptr) {
        if (utils != nullptr && PyUnicode_Check(item) && PyUnicode_GET_LENGTH(item) > 0 &&
            PyUnicode_READ_CHAR(item, 0) != '/') {
            // With nothing to escape or look at, "v3/eventlog" and an item that
            // starts with no slash join as the one part "v3/eventlog/<item>" does.
            PyObject* const parts[] = {base_url.get(), app_path.get(), endpoint, item};
            PyObject* url = nullptr;
            if (const int joined = utils->api->join_plain(parts, 4, &url); joined != 0) {
                return Ref::steal(url);
            }
        }
        text = endpoint_text(endpoint, item);
        if (!text) {
            return {};
        }
        endpoint = text.get();
    }
    if (utils != nullptr) {
        // The utils module's own function: its entry point, without the generic call.
        PyObject* const parts[] = {base_url.get(), app_path.get(), endpoint};
        const auto entry = reinterpret_cast<PyCFunctionFast>(
            reinterpret_cast<void (*)()>(PyCFunction_GET_FUNCTION(join_url_parts.get())));
        return Ref::steal(entry(PyCFunction_GET_SELF(join_url_parts.get()), parts, 3));
    }
    return call_vector(join_url_parts.get(), nullptr, base_url.get(), app_path.get(), endpoint);
}

// A value that the endpoint or the application path is made of ("{}".format(value))
// must fill its segment: no text, or slashes only, would leave the segment empty,
// and the request would address the listing above it. Refused before anything is sent.
FERROVANE_COLD int raise_empty_path_value(const char* method, PyObject* name, PyObject* text) {
    PyErr_Format(PyExc_ValueError, "%s() argument '%U' would leave its path segment empty (%R)", method, name, text);
    return -1;
}

int check_path_value(const char* method, PyObject* name, PyObject* value) {
    // The query methods' own application names, and numbers, always fill it.
    if (value == records.names.security || value == records.names.entitlements || PyLong_CheckExact(value)) {
        return 0;
    }
    if (PyUnicode_CheckExact(value) && PyUnicode_GET_LENGTH(value) > 0 && PyUnicode_READ_CHAR(value, 0) != '/') {
        return 0;
    }
    Ref text = format_field(value);
    if (!text) {
        return -1;
    }
    const int kind = PyUnicode_KIND(text.get());
    const void* data = PyUnicode_DATA(text.get());
    for (Py_ssize_t index = 0; index < PyUnicode_GET_LENGTH(text.get()); ++index) {
        if (PyUnicode_READ(kind, data, index) != '/') {
            return 0;
        }
    }
    return raise_empty_path_value(method, name, text.get());
}

// Hands the response to self._handle_http_error and returns it if that passes.
PyObject* checked_response(PyObject* self, Ref response) {
    if (!response || !call_method_by_name(self, records.names.handle_http_error, nullptr, response.get())) {
        return nullptr;
    }
    return response.release();
}

// The GET and DELETE helpers: the same steps with another session method.
// `item`, when not null, is the endpoint's last segment, as request_url takes it.
PyObject* send_without_body(const Scope& scope, PyObject* self, PyObject* app, PyObject* endpoint, PyObject* item,
                            PyObject* params, PyObject* session_method) {
    Ref url = request_url(scope, self, app, endpoint, item);
    if (!url) {
        return nullptr;
    }
    return checked_response(self, send(self, session_method, params, records.names.kw_params, url.get()));
}

// `json.dumps(body)` with `json` looked up now.
Ref dump_json(const Scope& scope, PyObject* body) {
    Ref json = lookup_global(scope, records.names.json);
    if (!json) {
        return {};
    }
    return call_method_by_name(json.get(), records.names.dumps, nullptr, body);
}

Ref data_envelope(PyObject* data) {
    Ref body = Ref::steal(PyDict_New());
    if (!body || PyDict_SetItem(body.get(), records.names.data, data) < 0) {
        return {};
    }
    return body;
}

// Compares a status code with `==`, as the Python comparison does, so that
// 500.0 or an object with its own __eq__ match too.
int status_is(PyObject* status_code, PyObject* expected) {
    // An exact int compares by value and nothing else can run; small ones
    // (every HTTP status) are compared without the generic comparison.
    if (PyLong_CheckExact(status_code) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(status_code))) {
        return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(status_code)) ==
               PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(expected));
    }
    Ref equal = Ref::steal(PyObject_RichCompare(status_code, expected, Py_EQ));
    if (!equal) {
        return -1;
    }
    return PyObject_IsTrue(equal.get());
}

// Raises `exception_class(response)`.
PyObject* raise_mapped(const Scope& scope, PyObject* exception_name, PyObject* response) {
    Ref exception_class = lookup_global(scope, exception_name);
    if (!exception_class) {
        return nullptr;
    }
    Ref exception = call_vector(exception_class.get(), nullptr, response);
    if (!exception) {
        return nullptr;
    }
    return raise_object(exception.get());
}

// The body of _get, defined below.
PyObject* get(const Scope& scope, PyObject* const* args);
constexpr MethodImpl get_helper_body = get;

// self._get(app=..., endpoint=..., params=...) wrapped as Command(self, response).
// `_get` is read before the endpoint is built, as `self._get(endpoint=...)` reads it.
template <typename BuildEndpoint>
PyObject* run_query(const Scope& scope, PyObject* self, PyObject* app, PyObject* params, BuildEndpoint build_endpoint) {
    LoadedMethod get;
    if (load_method(self, records.names.get_helper, get) < 0) {
        return nullptr;
    }
    Ref api_version = get_attr(self, records.names.api_version_attr);
    if (!api_version) {
        return nullptr;
    }
    Endpoint endpoint = build_endpoint(api_version.get());
    if (!endpoint.head) {
        return nullptr;
    }
    Ref response;
    if (get.self && has_method_body(get.callable.get(), get_helper_body)) {
        // The module's own _get, found on the class for this instance: its
        // steps, in its own namespace, with the endpoint as it stands.
        response = Ref::steal(send_without_body(method_scope(get.callable.get()), get.self.get(), app,
                                                endpoint.head.get(), endpoint.item.get(),
                                                params ? params : method_default(get.callable.get(), 3),
                                                records.names.get));
    } else {
        Ref text = endpoint_text(endpoint.head.get(), endpoint.item.get());
        if (!text) {
            return nullptr;
        }
        response = params ? call_method(get, records.names.kw_app_endpoint_params, app, text.get(), params)
                          : call_method(get, records.names.kw_app_endpoint, app, text.get());
    }
    if (!response) {
        return nullptr;
    }
    Ref command = lookup_global(scope, records.names.Command);
    if (!command) {
        return nullptr;
    }
    return new_command(command.get(), self, response.get()).release();
}

// The endpoint of one item of a listing: "v{}{}/{}".format(version, suffix, item).
Endpoint item_endpoint(PyObject* version, PyObject* suffix, SmallIntTexts* memo, PyObject* item) {
    Ref head = format_text(records.names.version_prefix, version, suffix, memo);
    if (!head) {
        return {};
    }
    Ref item_text = format_field(item);
    if (!item_text) {
        return {};
    }
    return {std::move(head), std::move(item_text)};
}

// A new dict holding each (name, value) in the given order. The dicts made per
// call hold one or two entries, which a new dict has room for; the all-None
// mappings are made once.
template <size_t count>
Ref new_dict(const std::array<std::pair<PyObject*, PyObject*>, count>& entries) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        return {};
    }
    for (const auto& [key, value] : entries) {
        if (PyDict_SetItem(dict.get(), key, value) < 0) {
            return {};
        }
    }
    return dict;
}

// get_params(parameters=..., exclusions=...), then query.update(additions):
// the query parameters of the methods that take options.
// The parameters mapping of a call: a copy of a dict that holds every name
// with None, in order, with the values that are not None set on it. Copying
// that dict makes the table at its final size in one step, and most options
// are left at None.
// `all_none` is the caller's own slot for that dict, made on first use.
template <size_t count>
Ref new_parameters_mapping(PyObject*& all_none, const std::array<std::pair<PyObject*, PyObject*>, count>& parameters) {
    if (all_none == nullptr) {
        std::array<std::pair<PyObject*, PyObject*>, count> nones = parameters;
        for (auto& entry : nones) {
            entry.second = Py_None;
        }
        all_none = new_dict(nones).release();
        if (all_none == nullptr) {
            return {};
        }
    }
    Ref mapping = Ref::steal(PyDict_Copy(all_none));
    if (!mapping) {
        return {};
    }
    for (const auto& [key, value] : parameters) {
        if (value != Py_None && PyDict_SetItem(mapping.get(), key, value) < 0) {
            return {};
        }
    }
    return mapping;
}

// `candidates` are the parameters that the exclusions leave, in the same
// order: the utils module's own get_params is given only those, with no
// exclusions to test. `all_parameters()` gives every parameter, for a
// get_params that is not the module's own.
template <size_t candidate_count, size_t addition_count, typename AllParameters>
Ref build_query(const Scope& scope, PyObject*& all_none,
                const std::array<std::pair<PyObject*, PyObject*>, candidate_count>& candidates,
                PyObject* exclusions, const std::array<std::pair<PyObject*, PyObject*>, addition_count>& additions,
                AllParameters all_parameters) {
    Ref get_params = lookup_global(scope, records.names.get_params);
    if (!get_params) {
        return {};
    }
    Ref query;
    if (const UtilsState* utils =
            own_utils_function(get_params.get(), &UtilsState::get_params_entry, records.utils_get_params)) {
        // The utils module's own get_params: the same selection, made from
        // the pairs without building the parameters dict it would only read.
        // With no option given, as in most calls, it selects nothing.
        const bool no_options =
            std::all_of(candidates.begin(), candidates.end(), [](const auto& pair) { return pair.second == Py_None; });
        query = Ref::steal(no_options ? PyDict_New()
                                      : utils->api->select_pairs(candidates.data(), candidate_count, nullptr,
                                                                 addition_count));
    } else {
        Ref mapping = new_parameters_mapping(all_none, all_parameters());
        if (!mapping) {
            return {};
        }
        query = call_vector(get_params.get(), records.names.kw_parameters_exclusions, mapping.get(), exclusions);
    }
    if (!query) {
        return {};
    }
    if (PyDict_CheckExact(query.get())) {
        for (const auto& [key, value] : additions) {
            if (PyDict_SetItem(query.get(), key, value) < 0) {
                return {};
            }
        }
        return query;
    }
    LoadedMethod update;
    if (load_method(query.get(), records.names.update, update) < 0) {
        return {};
    }
    Ref addition_dict = new_dict(additions);
    if (!addition_dict || !call_method(update, nullptr, addition_dict.get())) {
        return {};
    }
    return query;
}

// ---- methods --------------------------------------------------------------

// ---- construction steps, in the order __init__ takes them ---------------------

// self._session = requests.Session()
int create_session(const Scope& scope, PyObject* self) {
    Ref requests = lookup_global(scope, records.names.requests);
    if (!requests) {
        return -1;
    }
    Ref session_class = get_attr(requests.get(), records.names.Session);
    if (!session_class) {
        return -1;
    }
    Ref session = call_vector(session_class.get(), nullptr);
    return session ? PyObject_SetAttr(self, records.names.session_attr, session.get()) : -1;
}

// self._session.headers.update(REQUIRED_HEADERS), then the caller's headers if true.
int apply_headers(const Scope& scope, PyObject* self, PyObject* headers) {
    LoadedMethod update;
    if (load_session_headers_update(self, update) < 0) {
        return -1;
    }
    Ref required_headers = lookup_global(scope, records.names.REQUIRED_HEADERS);
    if (!required_headers || !call_method(update, nullptr, required_headers.get())) {
        return -1;
    }
    const int has_headers = PyObject_IsTrue(headers);
    if (has_headers <= 0) {
        return has_headers;
    }
    if (load_session_headers_update(self, update) < 0 || !call_method(update, nullptr, headers)) {
        return -1;
    }
    return 0;
}

// for name, value in session_attributes.items(): setattr(self._session, name, value)
int apply_session_attributes(PyObject* self, PyObject* session_attributes) {
    const int has_attributes = PyObject_IsTrue(session_attributes);
    if (has_attributes <= 0) {
        return has_attributes;
    }
    Ref items = call_method_by_name(session_attributes, records.names.items, nullptr);
    if (!items) {
        return -1;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(items.get()));
    if (!iterator) {
        return -1;
    }
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref attribute;
        Ref value;
        if (unpack_pair(item.get(), attribute, value) < 0) {
            return -1;
        }
        Ref session = get_attr(self, records.names.session_attr);
        if (!session || PyObject_SetAttr(session.get(), attribute.get(), value.get()) < 0) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

// if not self._session.verify:
//     urllib3.disable_warnings(urllib3.exceptions.InsecureRequestWarning)
int silence_warning_if_unverified(const Scope& scope, PyObject* self) {
    Ref session = get_attr(self, records.names.session_attr);
    if (!session) {
        return -1;
    }
    Ref verify = get_attr(session.get(), records.names.verify);
    if (!verify) {
        return -1;
    }
    const int verifies = PyObject_IsTrue(verify.get());
    if (verifies != 0) {
        return verifies < 0 ? -1 : 0;
    }
    Ref urllib3 = lookup_global(scope, records.names.urllib3);
    if (!urllib3) {
        return -1;
    }
    LoadedMethod disable_warnings;
    if (load_method(urllib3.get(), records.names.disable_warnings, disable_warnings) < 0) {
        return -1;
    }
    // The argument reads the global anew, as the Python expression does.
    Ref urllib3_again = lookup_global(scope, records.names.urllib3);
    if (!urllib3_again) {
        return -1;
    }
    Ref exceptions = get_attr(urllib3_again.get(), records.names.exceptions);
    if (!exceptions) {
        return -1;
    }
    Ref warning = get_attr(exceptions.get(), records.names.InsecureRequestWarning);
    if (!warning || !call_method(disable_warnings, nullptr, warning.get())) {
        return -1;
    }
    return 0;
}

PyObject* init(const Scope& scope, PyObject* const* args) {
    PyObject* self = args[0];
    if (PyObject_SetAttr(self, records.names.base_url_attr, args[1]) < 0 ||
        PyObject_SetAttr(self, records.names.authentication_token_attr, args[2]) < 0 ||
        PyObject_SetAttr(self, records.names.api_version_attr, args[3]) < 0 || create_session(scope, self) < 0 ||
        apply_headers(scope, self, args[5]) < 0 || apply_session_attributes(self, args[4]) < 0 ||
        silence_warning_if_unverified(scope, self) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* login(const Scope& /*scope*/, PyObject* const* args) {
    PyObject* self = args[0];
    Ref token = get_attr(self, records.names.authentication_token_attr);
    if (!token) {
        return nullptr;
    }
    Ref token_text = format_field(token.get());
    if (!token_text) {
        return nullptr;
    }
    Ref value = concat_text({records.names.bearer_prefix, token_text.get()});
    if (!value) {
        return nullptr;
    }
    Ref session = get_attr(self, records.names.session_attr);
    if (!session) {
        return nullptr;
    }
    Ref headers = get_attr(session.get(), records.names.headers);
    if (!headers || PyObject_SetItem(headers.get(), records.names.authorization, value.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* logout(const Scope& /*scope*/, PyObject* const* args) {
    Ref session = get_attr(args[0], records.names.session_attr);
    if (!session) {
        return nullptr;
    }
    Ref headers = get_attr(session.get(), records.names.headers);
    if (!headers || PyObject_DelItem(headers.get(), records.names.authorization) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* get_current_user(const Scope& scope, PyObject* const* args) {
    return run_query(scope, args[0], records.names.security, nullptr, [](PyObject* api_version) {
        return Endpoint{format_text(records.names.version_prefix, api_version, records.names.user_info_suffix,
                                    &records.user_info_endpoints), {}};
    });
}

// Positions of the event-log options among the arguments, from the first
// option on: both event-log queries end with these, in this order.
enum EventLogOption : size_t {
    offset_arg, page_number_arg, page_size_arg, paged_arg, search_arg, sort_sorted_arg, sort_unsorted_arg,
    unpaged_arg,
};

// Both event-log queries: `leading` holds the parameters whose names sort
// before the options (app_name, and event_id for one event); `options` points
// at the first option among the arguments.
template <size_t leading_count, typename BuildEndpoint>
PyObject* query_event_log(const Scope& scope, PyObject*& all_none, PyObject* exclusions, PyObject* self,
                          const std::array<std::pair<PyObject*, PyObject*>, leading_count>& leading,
                          PyObject* const* options, BuildEndpoint build_endpoint) {
    // The options that the exclusions leave (self, the leading parameters and
    // the sort entries are excluded), in ascending order of their names.
    const std::array<std::pair<PyObject*, PyObject*>, 6> candidates{{
        {records.names.offset, options[offset_arg]},
        {records.names.pageNumber, options[page_number_arg]},
        {records.names.pageSize, options[page_size_arg]},
        {records.names.paged, options[paged_arg]},
        {records.names.search, options[search_arg]},
        {records.names.unpaged, options[unpaged_arg]},
    }};
    const std::array<std::pair<PyObject*, PyObject*>, 2> sort_entries{{
        {records.names.sort_sorted_key, options[sort_sorted_arg]},
        {records.names.sort_unsorted_key, options[sort_unsorted_arg]},
    }};
    // Every parameter in ascending order of its name, as get_params is given them.
    auto all_parameters = [&leading, options, self] {
        std::array<std::pair<PyObject*, PyObject*>, leading_count + 9> parameters;
        std::copy(leading.begin(), leading.end(), parameters.begin());
        const std::array<std::pair<PyObject*, PyObject*>, 9> rest{{
            {records.names.offset, options[offset_arg]},
            {records.names.pageNumber, options[page_number_arg]},
            {records.names.pageSize, options[page_size_arg]},
            {records.names.paged, options[paged_arg]},
            {records.names.search, options[search_arg]},
            {records.names.self, self},
            {records.names.sort_sorted, options[sort_sorted_arg]},
            {records.names.sort_unsorted, options[sort_unsorted_arg]},
            {records.names.unpaged, options[unpaged_arg]},
        }};
        std::copy(rest.begin(), rest.end(), parameters.begin() + leading_count);
        return parameters;
    };
    Ref query = build_query(scope, all_none, candidates, exclusions, sort_entries, all_parameters);
    if (!query) {
        return nullptr;
    }
    return run_query(scope, self, leading[0].second, query.get(), build_endpoint);
}

PyObject* get_event_log(const Scope& scope, PyObject* const* args) {
    PyObject* app_name = args[1];
    if (check_path_value("get_event_log", records.names.app_name, app_name) < 0) {
        return nullptr;
    }
    const std::array<std::pair<PyObject*, PyObject*>, 1> leading{{{records.names.app_name, app_name}}};
    return query_event_log(scope, records.event_log_all_none, records.names.event_log_exclusions, args[0], leading,
                           args + 2, [](PyObject* api_version) {
                               return Endpoint{format_text(records.names.version_prefix, api_version,
                                                           records.names.eventlog_suffix, &records.eventlog_endpoints),
                                               {}};
                           });
}

PyObject* get_event_log_for_an_event(const Scope& scope, PyObject* const* args) {
    PyObject* app_name = args[1];
    PyObject* event_id = args[2];
    if (check_path_value("get_event_log_for_an_event", records.names.app_name, app_name) < 0 ||
        check_path_value("get_event_log_for_an_event", records.names.event_id, event_id) < 0) {
        return nullptr;
    }
    const std::array<std::pair<PyObject*, PyObject*>, 2> leading{{
        {records.names.app_name, app_name},
        {records.names.event_id, event_id},
    }};
    return query_event_log(scope, records.event_all_none, records.names.event_exclusions, args[0], leading, args + 3,
                           [event_id](PyObject* api_version) {
                               return item_endpoint(api_version, records.names.eventlog_suffix,
                                                    &records.eventlog_endpoints, event_id);
                           });
}

PyObject* return_all_releases(const Scope& scope, PyObject* const* args) {
    Ref params = new_dict(std::array<std::pair<PyObject*, PyObject*>, 1>{{{records.names.verify, Py_True}}});
    if (!params) {
        return nullptr;
    }
    return run_query(scope, args[0], records.names.entitlements, params.get(), [](PyObject* api_version) {
        return Endpoint{format_text(records.names.version_prefix, api_version, records.names.releases_suffix,
                                    &records.releases_endpoints), {}};
    });
}

PyObject* get_distribution(const Scope& scope, PyObject* const* args) {
    PyObject* distribution_key = args[1];
    PyObject* platform = args[2];
    if (check_path_value("get_distribution", records.names.distribution_key, distribution_key) < 0) {
        return nullptr;
    }
    const std::array<std::pair<PyObject*, PyObject*>, 3> parameters{{
        {records.names.distribution_key, distribution_key},
        {records.names.platform, platform},
        {records.names.self, args[0]},
    }};
    const std::array<std::pair<PyObject*, PyObject*>, 2> additions{{
        {records.names.distributionKey, distribution_key},
        {records.names.platform, platform},
    }};
    // Every parameter is excluded: the query is the additions alone.
    const std::array<std::pair<PyObject*, PyObject*>, 0> candidates{};
    Ref query = build_query(scope, records.distribution_all_none, candidates, records.names.distribution_exclusions,
                            additions, [&parameters] { return parameters; });
    if (!query) {
        return nullptr;
    }
    return run_query(scope, args[0], records.names.entitlements, query.get(), [distribution_key](PyObject* api_version) {
        return item_endpoint(api_version, records.names.releases_suffix, &records.releases_endpoints,
                             distribution_key);
    });
}

PyObject* delete_(const Scope& scope, PyObject* const* args) {
    return send_without_body(scope, args[0], args[1], args[2], nullptr, args[3], records.names.delete_);
}

PyObject* get(const Scope& scope, PyObject* const* args) {
    return send_without_body(scope, args[0], args[1], args[2], nullptr, args[3], records.names.get);
}

PyObject* post(const Scope& scope, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* data = args[4];
    Ref url = request_url(scope, self, args[1], args[2]);
    if (!url) {
        return nullptr;
    }
    // Structured data travels as the JSON text of {"data": data}; text and
    // false values are sent as they are.
    Ref payload = Ref::borrow(data);
    const int has_data = PyObject_IsTrue(data);
    if (has_data < 0) {
        return nullptr;
    }
    if (has_data) {
        const int is_text = PyUnicode_Check(data) ? 1 : PyObject_IsInstance(data, reinterpret_cast<PyObject*>(&PyUnicode_Type));
        if (is_text < 0) {
            return nullptr;
        }
        if (!is_text) {
            Ref body = data_envelope(data);
            if (!body) {
                return nullptr;
            }
            payload = dump_json(scope, body.get());
            if (!payload) {
                return nullptr;
            }
        }
    }
    return checked_response(self, send(self, records.names.post, args[3], records.names.kw_params_data_files_headers,
                                       url.get(), payload.get(), args[5], args[6]));
}

PyObject* put(const Scope& scope, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* data = args[4];
    Ref url = request_url(scope, self, args[1], args[2]);
    if (!url) {
        return nullptr;
    }
    // Always an envelope; false data becomes an empty object.
    const int has_data = PyObject_IsTrue(data);
    if (has_data < 0) {
        return nullptr;
    }
    Ref content = has_data ? Ref::borrow(data) : Ref::steal(PyDict_New());
    if (!content) {
        return nullptr;
    }
    Ref body = data_envelope(content.get());
    if (!body) {
        return nullptr;
    }
    Sender sender;
    if (prepare_sender(self, records.names.put, args[3], sender) < 0) {
        return nullptr;
    }
    Ref payload = dump_json(scope, body.get());
    if (!payload) {
        return nullptr;
    }
    return checked_response(self,
                            call_method(sender.send, records.names.kw_params_data, url.get(), sender.params.get(), payload.get()));
}

PyObject* handle_http_error(const Scope& scope, PyObject* const* args) {
    PyObject* response = args[1];
    // status_code is read anew for each comparison.
    const std::array<std::pair<PyObject*, PyObject*>, 2> mapped{{
        {records.names.status_500, records.names.InternalServerError},
        {records.names.status_400, records.names.BadRequestError},
    }};
    for (const auto& [status, exception_name] : mapped) {
        Ref status_code = get_attr(response, records.names.status_code);
        if (!status_code) {
            return nullptr;
        }
        const int matches = status_is(status_code.get(), status);
        if (matches < 0) {
            return nullptr;
        }
        if (matches) {
            return raise_mapped(scope, exception_name, response);
        }
    }
    if (!call_method_by_name(response, records.names.raise_for_status, nullptr)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---- the method table -----------------------------------------------------

constexpr DefaultValue none = DefaultValue::none;

constexpr std::array<const char*, 6> init_parameters{
    "self", "server_url", "authentication_token", "api_version", "session_attributes", "headers"};
constexpr std::array<DefaultValue, 3> init_defaults{DefaultValue::api_version, none, none};
constexpr std::array<const char*, 1> self_only{"self"};
constexpr std::array<const char*, 10> event_log_parameters{
    "self", "app_name", "offset", "pageNumber", "pageSize", "paged", "search", "sort_sorted", "sort_unsorted",
    "unpaged"};
constexpr std::array<const char*, 11> event_parameters{
    "self", "app_name", "event_id", "offset", "pageNumber", "pageSize", "paged", "search", "sort_sorted",
    "sort_unsorted", "unpaged"};
constexpr std::array<DefaultValue, 8> eight_none{none, none, none, none, none, none, none, none};
constexpr std::array<const char*, 3> distribution_parameters{"self", "distribution_key", "platform"};
constexpr std::array<const char*, 4> get_parameters{"self", "app", "endpoint", "params"};
constexpr std::array<DefaultValue, 1> one_none{none};
constexpr std::array<const char*, 7> post_parameters{"self", "app", "endpoint", "params", "data", "files", "headers"};
constexpr std::array<DefaultValue, 4> four_none{none, none, none, none};
constexpr std::array<const char*, 5> put_parameters{"self", "app", "endpoint", "params", "data"};
constexpr std::array<DefaultValue, 2> two_none{none, none};
constexpr std::array<const char*, 2> handle_http_error_parameters{"self", "response"};

constexpr std::array<MethodSpec, 13> api_client_methods{{
    {"__init__", init_parameters, init_defaults, true, nullptr, init},
    {"login", self_only, {}, false, login_doc, login},
    {"logout", self_only, {}, false, logout_doc, logout},
    {"get_current_user", self_only, {}, false, get_current_user_doc, get_current_user},
    {"get_event_log", event_log_parameters, eight_none, false, get_event_log_doc, get_event_log},
    {"get_event_log_for_an_event", event_parameters, eight_none, false, get_event_log_for_an_event_doc,
     get_event_log_for_an_event},
    {"return_all_releases", self_only, {}, false, return_all_releases_doc, return_all_releases},
    {"get_distribution", distribution_parameters, {}, false, get_distribution_doc, get_distribution},
    {"_delete", get_parameters, one_none, false, nullptr, delete_},
    {"_get", get_parameters, one_none, false, nullptr, get},
    {"_post", post_parameters, four_none, false, nullptr, post},
    {"_put", put_parameters, two_none, false, nullptr, put},
    {"_handle_http_error", handle_http_error_parameters, {}, false, handle_http_error_doc, handle_http_error},
}};

}  // namespace

const ClassSpec api_client_class = {"ApiClient", api_client_doc, api_client_methods};
