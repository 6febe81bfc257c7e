// Interned strings and constant tuples that the client uses on every call.
// They are made once, when the module is first executed, and live as long as
// the runtime: the module can only be loaded into one interpreter of it. They
// are kept with the module's other records (records.hpp).
#pragma once

#include "ref.hpp"

// X(identifier, text)
#define FERROVANE_NAME_LIST(X)                                   \
    /* module globals */                                         \
    X(json, "json")                                              \
    X(logging, "logging")                                        \
    X(urllib3, "urllib3")                                        \
    X(requests, "requests")                                      \
    X(BadRequestError, "BadRequestError")                        \
    X(InternalServerError, "InternalServerError")                \
    X(get_params, "get_params")                                  \
    X(join_url_parts, "join_url_parts")                          \
    X(logger, "logger")                                          \
    X(DEFAULT_ACCOUNTS_API_VERSION, "DEFAULT_ACCOUNTS_API_VERSION") \
    X(ACCESS_TOKEN_REQUIRED_HEADERS, "ACCESS_TOKEN_REQUIRED_HEADERS") \
    X(REQUIRED_HEADERS, "REQUIRED_HEADERS")                      \
    X(ApiClient, "ApiClient")                                    \
    X(Command, "Command")                                        \
    /* attributes */                                             \
    X(base_url_attr, "_base_url")                                \
    X(authentication_token_attr, "_authentication_token")        \
    X(api_version_attr, "_api_version")                          \
    X(session_attr, "_session")                                  \
    X(Session, "Session")                                        \
    X(update, "update")                                          \
    X(items, "items")                                            \
    X(verify, "verify")                                          \
    X(disable_warnings, "disable_warnings")                      \
    X(exceptions, "exceptions")                                  \
    X(InsecureRequestWarning, "InsecureRequestWarning")          \
    X(get, "get")                                                \
    X(post, "post")                                              \
    X(put, "put")                                                \
    X(delete_, "delete")                                         \
    X(dumps, "dumps")                                            \
    X(handle_http_error, "_handle_http_error")                   \
    X(get_helper, "_get")                                        \
    X(status_code, "status_code")                                \
    X(raise_for_status, "raise_for_status")                      \
    X(getLogger, "getLogger")                                    \
    X(dunder_name, "__name__")                                   \
    X(dunder_builtins, "__builtins__")                           \
    X(dunder_init, "__init__")                                   \
    /* parameter names and keywords */                           \
    X(self, "self")                                              \
    X(server_url, "server_url")                                  \
    X(authentication_token, "authentication_token")              \
    X(api_version, "api_version")                                \
    X(session_attributes, "session_attributes")                  \
    X(headers, "headers")                                        \
    X(kwargs, "kwargs")                                          \
    X(app_name, "app_name")                                      \
    X(event_id, "event_id")                                      \
    X(offset, "offset")                                          \
    X(pageNumber, "pageNumber")                                  \
    X(pageSize, "pageSize")                                      \
    X(paged, "paged")                                            \
    X(search, "search")                                          \
    X(sort_sorted, "sort_sorted")                                \
    X(sort_unsorted, "sort_unsorted")                            \
    X(unpaged, "unpaged")                                        \
    X(distribution_key, "distribution_key")                      \
    X(platform, "platform")                                      \
    X(app, "app")                                                \
    X(endpoint, "endpoint")                                      \
    X(params, "params")                                          \
    X(data, "data")                                              \
    X(files, "files")                                            \
    X(response, "response")                                      \
    X(api_client, "api_client")                                  \
    X(parameters, "parameters")                                  \
    X(exclusions, "exclusions")                                  \
    /* wire names and texts */                                   \
    X(authorization, "Authorization")                            \
    X(sort_sorted_key, "sort.sorted")                            \
    X(sort_unsorted_key, "sort.unsorted")                        \
    X(distributionKey, "distributionKey")                        \
    X(security, "security")                                      \
    X(entitlements, "entitlements")                              \
    X(bearer_prefix, "Bearer ")                                  \
    X(api_prefix, "/api/")                                       \
    X(api_security, "/api/security")                             \
    X(api_entitlements, "/api/entitlements")                     \
    X(version_prefix, "v")                                       \
    X(user_info_suffix, "/user-info")                            \
    X(eventlog_suffix, "/eventlog")                              \
    X(releases_suffix, "/releases")                              \
    X(slash, "/")                                                \
    X(empty, "")

struct Names {
#define FERROVANE_DECLARE_NAME(identifier, text) PyObject* identifier = nullptr;
    FERROVANE_NAME_LIST(FERROVANE_DECLARE_NAME)
#undef FERROVANE_DECLARE_NAME

    // Keyword-name tuples for vectorcalls, in the order the values are passed.
    PyObject* kw_params = nullptr;                         // (params,)
    PyObject* kw_params_data = nullptr;                    // (params, data)
    PyObject* kw_params_data_files_headers = nullptr;      // (params, data, files, headers)
    PyObject* kw_app_endpoint = nullptr;                   // (app, endpoint)
    PyObject* kw_app_endpoint_params = nullptr;            // (app, endpoint, params)
    PyObject* kw_parameters_exclusions = nullptr;          // (parameters, exclusions)

    // Names that the query methods keep out of the query string.
    PyObject* event_log_exclusions = nullptr;
    PyObject* event_exclusions = nullptr;
    PyObject* distribution_exclusions = nullptr;

    PyObject* no_arguments = nullptr;  // ()

    PyObject* status_500 = nullptr;
    PyObject* status_400 = nullptr;
};

// Makes every name and tuple into records.names (records.hpp); returns -1 with
// an exception set on failure. Calling it again after success does nothing.
int init_names();
