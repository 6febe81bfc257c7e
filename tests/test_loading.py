"""Loading the module: its namespace, the classes it builds, reimports, and new runtimes in an embedding host."""
import os
import shlex
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import ferrovane.sdk.accounts_api as accounts_api


def run_python(code):
    """Runs code in a fresh interpreter, so that a crash or a half-made import stays there."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)


def test_names_bound_by_the_body_in_order():
    # In a fresh interpreter: other tests rebind globals, which reorders the namespace.
    result = run_python("""
        import ferrovane.sdk.accounts_api as module
        print(*[name for name in vars(module) if not name.startswith("__")])
    """)
    assert result.stdout.split() == [
        "json", "logging", "urllib3", "requests", "BadRequestError", "InternalServerError",
        "get_params", "join_url_parts", "logger", "DEFAULT_ACCOUNTS_API_VERSION",
        "ACCESS_TOKEN_REQUIRED_HEADERS", "REQUIRED_HEADERS", "ApiClient", "Command",
    ]


def test_module_identity():
    import builtins
    import json

    import requests

    from ferrovane.sdk import exceptions, utils

    assert accounts_api.__name__ == "ferrovane.sdk.accounts_api"
    assert accounts_api.__doc__ == "Abstractions to interact with the Ferrovane Accounts REST API."
    assert accounts_api.__builtins__ is builtins
    assert accounts_api.logger.name == "ferrovane.sdk.accounts_api"
    assert sys.modules["sdk.accounts_api"] is accounts_api
    assert accounts_api.json is json and accounts_api.requests is requests
    assert accounts_api.BadRequestError is exceptions.BadRequestError
    assert accounts_api.get_params is utils.get_params
    assert accounts_api.join_url_parts is utils.join_url_parts


def test_constants_hold_their_values_in_order():
    assert accounts_api.DEFAULT_ACCOUNTS_API_VERSION == 3
    assert list(accounts_api.REQUIRED_HEADERS.items()) == [
        ("X-Requested-By", "Accounts"), ("X-FV-REST-CALL", "true"), ("content-type", "application/json"),
    ]
    assert list(accounts_api.ACCESS_TOKEN_REQUIRED_HEADERS.items()) == [
        ("content-Type", "application/x-www-form-urlencoded"), ("X-Requested-By", "Accounts"),
    ]


API_CLIENT_METHODS = [
    "__init__", "login", "logout", "get_current_user", "get_event_log", "get_event_log_for_an_event",
    "return_all_releases", "get_distribution", "_delete", "_get", "_post", "_put", "_handle_http_error",
]


@pytest.mark.parametrize(("cls", "bases", "methods"), [
    (accounts_api.ApiClient, (object,), API_CLIENT_METHODS),
    (accounts_api.Command, (object,), ["__init__"]),
])
def test_classes_are_ordinary_heap_classes(cls, bases, methods):
    assert type(cls) is type
    assert cls.__bases__ == bases
    assert cls.__module__ == "sdk.accounts_api"
    assert cls.__qualname__ == cls.__name__
    own = [name for name in vars(cls) if name not in ("__dict__", "__weakref__")]
    assert own == ["__module__", "__doc__", *methods]

    class Subclass(cls):
        pass

    instance = Subclass.__new__(Subclass)
    instance.extra = 1  # per-instance attribute dictionary
    assert vars(instance) == {"extra": 1}


def test_reimport_after_removal_gives_the_same_module_without_rerunning_the_body():
    result = run_python("""
        import importlib, sys
        import ferrovane.sdk.accounts_api as first
        first.marker = object()
        classes = first.ApiClient, first.Command
        del sys.modules["ferrovane.sdk.accounts_api"]
        second = importlib.import_module("ferrovane.sdk.accounts_api")
        assert second is first and (second.ApiClient, second.Command) == classes
        assert hasattr(second, "marker")
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


def test_exec_on_a_second_module_object_is_refused():
    result = run_python("""
        import importlib.util
        spec = importlib.util.find_spec("ferrovane.sdk.accounts_api")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        assert first is not second
        spec.loader.exec_module(first)
        spec.loader.exec_module(first)  # the same object again: nothing happens
        try:
            spec.loader.exec_module(second)
        except RuntimeError as error:
            print(error)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == (
        "Module 'accounts_api' has already been imported. Re-initialisation is not supported.\n")


def test_existing_qualified_name_entry_is_left_alone():
    result = run_python("""
        import sys
        sys.modules["sdk.accounts_api"] = placeholder = object()
        import ferrovane.sdk.accounts_api
        print(sys.modules["sdk.accounts_api"] is placeholder)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "True\n"


def test_failed_body_leaves_nothing_and_a_later_import_retries():
    result = run_python("""
        import sys
        sys.modules["requests"] = None  # makes `import requests` fail
        try:
            import ferrovane.sdk.accounts_api
        except ImportError:
            print("failed: ImportError")
        print("sdk.accounts_api" in sys.modules, "ferrovane.sdk.accounts_api" in sys.modules)
        del sys.modules["requests"]
        import ferrovane.sdk.accounts_api as module
        print(sys.modules["sdk.accounts_api"] is module, module.ApiClient("u", "t")._api_version)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["failed: ImportError", "False False", "True 3"]


@pytest.mark.parametrize(("submodule", "expected"), [
    (True, "took the submodule"),
    (False, "ImportError: cannot import name join_url_parts"),
])
def test_a_name_missing_from_a_sibling(submodule, expected):
    result = run_python(f"""
        import sys, types
        fake = types.ModuleType("ferrovane.sdk.utils")
        fake.get_params = lambda **kwargs: {{}}
        sys.modules["ferrovane.sdk.utils"] = fake
        if {submodule}:
            sys.modules["ferrovane.sdk.utils.join_url_parts"] = stand_in = types.ModuleType("x")
        try:
            import ferrovane.sdk.accounts_api as module
        except ImportError as error:
            print("ImportError:", error)
        else:
            assert module.join_url_parts is stand_in
            print("took the submodule")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == expected + "\n"


def test_a_second_interpreter_is_refused():
    result = run_python("""
        import _testcapi
        import ferrovane.sdk.accounts_api
        _testcapi.run_in_subinterp("import ferrovane.sdk.accounts_api")
    """)
    assert result.returncode == 0, result.stderr
    assert ("ImportError: Interpreter change detected - this module can only be loaded "
            "into one interpreter per process.") in result.stderr


# An embedding host that finalizes the interpreter and starts a new one in the
# same process, as plug-in hosts do: each runtime must get a working module. Given
# "full", the host first takes every free slot of Py_AtExit's table in each
# runtime, as hosts with many plug-ins do, so the module's own exit hook has none;
# given "subinterpreter" too, it imports the module in a subinterpreter first from
# the second runtime on, which must be refused, not handed a finished runtime's module.
EMBEDDING_HOST = r"""
#include <Python.h>

static const char check[] =
    "import sys\n"
    "import ferrovane.sdk.accounts_api as module\n"
    "assert isinstance(module.ApiClient, type) and isinstance(module.Command, type), module.ApiClient\n"
    "class Response:\n"
    "    status_code = 200\n"
    "    def raise_for_status(self): pass\n"
    "class Session:\n"
    "    headers = {}\n"
    "    def get(self, url, **kwargs):\n"
    "        self.url = url\n"
    "        return Response()\n"
    "client = module.ApiClient('http://host', 'token')\n"
    "client._session = Session()\n"
    "assert client.get_current_user.__self__ is client\n"
    "command = client.get_event_log('security', pageSize=5)\n"
    "assert type(command) is module.Command and command.api_client is client\n"
    "assert client._session.url == 'http://host/api/security/v3/eventlog', client._session.url\n"
    "del sys.modules['ferrovane.sdk.accounts_api']\n"
    "import ferrovane.sdk.accounts_api as again\n"
    "assert again is module\n";

static const char import_in_subinterpreter[] =
    "try:\n"
    "    import ferrovane.sdk.accounts_api\n"
    "except ImportError as error:\n"
    "    print('refused:', error, flush=True)\n"
    "else:\n"
    "    print('loaded', flush=True)\n";

static void host_exit_hook(void) {}

int main(int argc, char** argv) {
    int runs = argc > 1 ? atoi(argv[1]) : 3;
    int fill_exit_table = argc > 2 && strncmp(argv[2], "full", 4) == 0;
    int subinterpreter_first = argc > 2 && strstr(argv[2], "subinterpreter") != NULL;
    for (int run = 1; run <= runs; ++run) {
        Py_Initialize();
        while (fill_exit_table && Py_AtExit(host_exit_hook) == 0) {
        }
        if (subinterpreter_first && run > 1) {
            PyThreadState* main_thread = PyThreadState_Get();
            PyThreadState* sub = Py_NewInterpreter();
            if (sub == NULL || PyRun_SimpleString(import_in_subinterpreter) != 0) {
                fprintf(stderr, "runtime %d: the subinterpreter failed\n", run);
                return 1;
            }
            Py_EndInterpreter(sub);
            PyThreadState_Swap(main_thread);
        }
        int failed = PyRun_SimpleString(check);
        if (Py_FinalizeEx() < 0 || failed) {
            fprintf(stderr, "runtime %d failed\n", run);
            return 1;
        }
        printf("runtime %d ok\n", run);
        fflush(stdout);
    }
    return 0;
}
"""


def embedding_build_command(source, program):
    """The compiler command that links an embedding host against this interpreter's
    libpython (shared where there is one, else static), as `python3-config --embed`
    would; None where this interpreter offers neither or there is no compiler."""
    config = sysconfig.get_config_var
    compiler = shlex.split(config("CC") or "cc")
    if shutil.which(compiler[0]) is None:
        return None
    library = "python" + config("LDVERSION")
    directories = [config("LIBDIR"), config("LIBPL")]
    if not any(os.path.exists(os.path.join(directory, f"lib{library}{suffix}"))
               for directory in directories for suffix in (".so", ".a")):
        return None
    return [*compiler, "-I", sysconfig.get_paths()["include"], str(source), "-o", str(program),
            *[f"-L{directory}" for directory in directories], f"-Wl,-rpath,{config('LIBDIR')}", f"-l{library}",
            *shlex.split(config("LINKFORSHARED") or ""), *shlex.split(config("LIBS") or ""),
            *shlex.split(config("SYSLIBS") or "")]


REFUSED_AFTER_RESTART = ("refused: Interpreter change detected - this module can only be loaded into one interpreter"
                         " per process, and as the exit hook table (Py_AtExit) was full, it cannot tell whether the"
                         " interpreter that loaded it (ID 0) is one of a finalized runtime; import it first in the"
                         " interpreter with that ID.")


@pytest.mark.parametrize("mode, expected", [
    ("free", ["runtime 1 ok", "runtime 2 ok", "runtime 3 ok"]),
    ("full", ["runtime 1 ok", "runtime 2 ok", "runtime 3 ok"]),
    ("full, subinterpreter", ["runtime 1 ok", REFUSED_AFTER_RESTART, "runtime 2 ok", REFUSED_AFTER_RESTART,
                              "runtime 3 ok"]),
])
def test_each_runtime_of_an_embedding_host_gets_a_working_module(tmp_path, mode, expected):
    source = tmp_path / "host.c"
    source.write_text(EMBEDDING_HOST)
    program = tmp_path / "host"
    command = embedding_build_command(source, program)
    if command is None:
        pytest.skip("no C compiler or no libpython to embed this interpreter")
    built = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert built.returncode == 0, built.stderr
    # The host finds the package and its dependencies where this interpreter does.
    environment = {**os.environ, "PYTHONPATH": os.pathsep.join(path for path in sys.path if path),
                   "PYTHONHOME": sys.base_prefix}
    result = subprocess.run([str(program), "3", mode], capture_output=True, text=True, timeout=120, env=environment)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == expected
