"""The command line's settings as a user meets them: a config file in the home directory,
profiles, the precedence of flags, environment, profile and defaults, token files of any
mode, stdin and token commands, the config subcommand; and never the token in any output."""

import json
import os
import pty
import select
import subprocess
import sys
import textwrap
import time

import pytest
from hypothesis import example, given, strategies as st

from ferrovane.sdk import profiles
from ferrovane.sdk.cli import ExitStatus, inputs
from ferrovane.sdk.stand_in_server import StandInServer
from test_cli_properties import SECRET, check, run_in_process

SETTINGS_ENVIRONMENT = ("FERROVANE_ACCOUNTS_CONFIG", "FERROVANE_ACCOUNTS_PROFILE", "FERROVANE_ACCOUNTS_SERVER",
                        "FERROVANE_ACCOUNTS_TOKEN", "XDG_CONFIG_HOME", "REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE",
                        "HTTP_PROXY", "http_proxy", "ALL_PROXY", "all_proxy")


@pytest.fixture
def home(tmp_path, monkeypatch):
    """A home directory of the test's own, with nothing of the user's settings; returns
    a function that writes its config file (mode 0600 unless said)."""
    for name in SETTINGS_ENVIRONMENT:
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("HOME", str(tmp_path))
    path = tmp_path / ".config" / "ferrovane" / "accounts.toml"

    def write(text, mode=0o600):
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text), encoding="utf-8")
        path.chmod(mode)
        return path
    write.path = path
    write.directory = tmp_path
    return write


def secret_file(directory, name, text, mode=0o600):
    path = directory / name
    path.write_text(text, encoding="utf-8")
    path.chmod(mode)
    return path


def command(*argv, stdin=None):
    """The command line in a process of its own, as a user runs it: (status, stdout, stderr)."""
    done = subprocess.run([sys.executable, "-m", "ferrovane.sdk.cli", *argv], input=stdin, capture_output=True,
                          text=True, timeout=60)
    return done.returncode, done.stdout, done.stderr


def shown_config(*argv):
    code, out, err = command("--json", "config", *argv)
    assert code == ExitStatus.SUCCESS, err
    return json.loads(out)


# Each setting from each of its sources: the flag and the value it gives, the environment,
# the profile's key and value, the default. The token's value is never shown: only its source.
LAYERS = {
    "server": (["--server", "http://flag.example"], "http://flag.example",
               {"FERROVANE_ACCOUNTS_SERVER": "http://environment.example"}, ("server", "http://profile.example"), None),
    "token": (["--token-file", "flag-token"], None, {"FERROVANE_ACCOUNTS_TOKEN": "environment-token"},
              ("token_command", "cat profile-token"), None),
    "api_version": (["--api-version", "5"], 5, None, ("api_version", 4), 3),
    "timeout": (["--timeout", "7"], 7.0, None, ("timeout", 8), 30.0),
    "ca_bundle": (["--ca-bundle", "/flag.pem"], "/flag.pem", {"CURL_CA_BUNDLE": "/environment.pem"},
                  ("ca_bundle", "/profile.pem"), None),
}


@pytest.mark.parametrize("name, given, expected", [
    (name, given, expected) for name in sorted(LAYERS) for given, expected in [
        (("flag", "environment", "profile"), "flag"), (("flag", "profile"), "flag"),
        (("environment", "profile"), "environment"), (("profile",), "profile"), ((), "default")]
    if LAYERS[name][2] is not None or "environment" not in given])
def test_flags_then_environment_then_profile_then_defaults(home, monkeypatch, name, given, expected):
    flag, flag_value, environment, (key, value), default = LAYERS[name]
    home(f'default = "work"\n[profiles.work]\n{key} = {json.dumps(value)}\n' if "profile" in given else "")
    if "environment" in given:
        for variable, setting in environment.items():
            monkeypatch.setenv(variable, setting)
    everything = shown_config(*(flag if "flag" in given else []))
    shown = everything[name]
    if "flag" not in given:  # scripts read the settings through the same resolver
        assert profiles.describe() == everything
    sources = {"flag": f"flag {flag[0]}", "environment": f"environment {next(iter(environment or {'': ''}))}",
               "profile": f"profile work in {home.path}", "default": "default"}
    assert shown["from"] == sources[expected]
    if name != "token":
        values = {"flag": flag_value, "environment": next(iter((environment or {"": ""}).values())),
                  "profile": value, "default": default}
        assert shown["value"] == values[expected]


@pytest.mark.parametrize("argv, environment, expected", [
    (["--profile", "b"], {"FERROVANE_ACCOUNTS_PROFILE": "c"}, ("b", "flag --profile")),
    ([], {"FERROVANE_ACCOUNTS_PROFILE": "c"}, ("c", "environment FERROVANE_ACCOUNTS_PROFILE")),
    ([], {}, ("a", "default in {path}")),
])
def test_the_profile_is_chosen_by_flag_then_environment_then_the_files_default(home, monkeypatch, argv,
                                                                               environment, expected):
    path = home('default = "a"\n[profiles.a]\n[profiles.b]\n[profiles.c]\n')
    for variable, value in environment.items():
        monkeypatch.setenv(variable, value)
    shown = shown_config(*argv)["profile"]
    assert (shown["value"], shown["from"]) == (expected[0], expected[1].format(path=path))


def test_the_config_file_is_found_by_variable_then_xdg_then_home(home, monkeypatch, tmp_path):
    home('[profiles.home]\n')
    assert shown_config()["config_file"] == {"value": str(home.path), "from": "default", "exists": True}
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "xdg"))
    assert shown_config()["config_file"]["exists"] is False  # there is none there, and none is needed
    monkeypatch.setenv("FERROVANE_ACCOUNTS_CONFIG", str(home.path))
    assert shown_config("--profile", "home")["config_file"]["from"] == "environment FERROVANE_ACCOUNTS_CONFIG"


def test_a_profile_serves_a_whole_query_and_a_flag_overrides_it(server, accounts_canary, home):
    token = secret_file(home.directory, "token", accounts_canary.token + "\n")
    home(f"""\
        default = "stand-in"
        [profiles.stand-in]
        server = "{server.url}"
        token_file = "../../token"  # beside the config file's directory, as the file says
        api_version = 2
    """)
    for argv, version in [([], 2), (["--api-version", "3"], 3), (["--server", server.url + "/"], 2)]:
        code, out, err = command(*argv, "user")
        assert (code, err) == (ExitStatus.SUCCESS, "") and "demo.user" in out
        assert server.requests[-1].path == f"/api/security/v{version}/user-info"
    assert profiles.client().get_current_user().response.json()["username"] == "demo.user"  # as a script builds it
    assert server.requests[-1].path == "/api/security/v2/user-info"
    assert server.requests[-1].headers["Authorization"] == f"Bearer {accounts_canary.token}"
    token.chmod(0o644)
    code, out, err = command("--api-version", "3", "user")
    assert code == ExitStatus.SUCCESS
    assert err == (f"ferrovane-accounts: warning: the token file {token} can be read by other users (mode 0644); "
                   f"chmod 600 {token} keeps it yours\n")
    # --demo keeps to its stand-in: the profile's server and token are not used.
    code, out, err = command("--demo", "--api-version", "3", "user")
    assert (code, err) == (ExitStatus.SUCCESS, "")


def token_command_script(directory, body):
    """A token command: a Python script that records its arguments and does ``body``."""
    script = directory / "token-helper.py"
    script.write_text(f"import sys\nopen({str(directory / 'argv')!r}, 'a').write(repr(sys.argv))\n{body}\n")
    return [sys.executable, str(script)]


@pytest.mark.parametrize("source", ["--token-file", "stdin", "--token -", "token_file", "token_command"])
def test_every_token_source_reaches_the_server_and_no_output(server, accounts_canary, home, source):
    token = secret_file(home.directory, "token", accounts_canary.token + "\n")
    # It leaves a child behind that holds its stdout open: the token is used when it exits.
    helper = token_command_script(home.directory, "import subprocess; child = subprocess.Popen([sys.executable, "
                                  "'-c', 'import time; time.sleep(10**6)']); open(%r, 'w').write(str(child.pid))"
                                  % str(home.directory / "child") + f"; print({accounts_canary.token!r})")
    profile = {"token_file": f'token_file = "{token}"', "token_command": f"token_command = {json.dumps(helper)}"}
    home(f'default = "p"\n[profiles.p]\nserver = "{server.url}"\n{profile.get(source, "")}\n')
    argv = {"--token-file": ["--token-file", str(token)], "stdin": ["--token-file", "-"],
            "--token -": ["--token", "-"]}.get(source, [])
    stdin = accounts_canary.token + "\n" if source in ("stdin", "--token -") else None
    for run in (["user"], ["config"], ["--json", "config"]):
        code, out, err = command(*argv, *run, stdin=stdin)
        assert code == ExitStatus.SUCCESS, err
        assert accounts_canary.token not in out + err
    assert "demo.user" not in out and "token" in out  # config says where the token comes from
    argv_file = home.directory / "argv"
    if source == "token_command":  # run once, for the query: config does not run it
        assert argv_file.read_text().count("token-helper.py") == 1
        assert accounts_canary.token not in argv_file.read_text()
        assert ended(int((home.directory / "child").read_text()))  # what it left behind was ended
    server.route("GET", "/api/security/v3/user-info", 401)  # the hint names where the token came from
    code, out, err = command(*argv, "user", stdin=stdin)
    named = {"--token-file": f"--token-file {token}", "token_file": f"token_file of profile p in {home.path}",
             "token_command": f"token_command of profile p in {home.path}"}.get(source, "stdin")
    assert code == ExitStatus.UNAUTHORIZED and err.endswith(f"(check the token from {named})\n"), err


def ended(pid):
    """Whether process ``pid`` is gone (or a zombie), waiting for it generously."""
    for _ in range(600):
        try:
            with open(f"/proc/{pid}/stat") as stat:
                if stat.read().rpartition(")")[2].split()[0] in "ZX":
                    return True
        except FileNotFoundError:
            return True
        time.sleep(0.1)
    return False


def test_a_token_typed_on_a_terminal_is_not_shown(server, accounts_canary, request):
    terminal, other_end = pty.openpty()
    process = subprocess.Popen([sys.executable, "-m", "ferrovane.sdk.cli", "--server", server.url, "--token", "-",
                                "user"], stdin=other_end, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    prompt, until = b"", time.monotonic() + 120  # a bound that emulation cannot eat, never a hang
    while not prompt.endswith(b"then Enter: "):
        ready = select.select([process.stderr], [], [], max(0.0, until - time.monotonic()))[0]
        if not ready or not (chunk := process.stderr.read1(100)):
            process.kill()
            process.communicate()
            os.close(other_end), os.close(terminal)
            if not ready and request.config.pluginmanager.has_plugin("emulation"):
                # Seen under qemu-user: the child read its pty as a pipe, with no prompt.
                pytest.skip("the emulated process does not take its pty for a terminal")
            pytest.fail(f"no prompt for the token: {prompt!r}")
        prompt += chunk
    os.write(terminal, accounts_canary.token.encode() + b"\n")
    out, err = process.communicate(timeout=60)
    echoed = os.read(terminal, 65536) if select.select([terminal], [], [], 0)[0] else b""
    os.close(other_end), os.close(terminal)
    assert process.returncode == ExitStatus.SUCCESS and b"demo.user" in out, prompt + err
    assert accounts_canary.token.encode() not in echoed + err


@pytest.mark.parametrize("helper, shown", [
    ("sys.exit(3)", "failed with exit status 3; run it yourself to see why"),
    ("print(TOKEN); sys.exit(1)", "failed with exit status 1"),  # what it printed is never shown
    ("import os, signal; os.kill(os.getpid(), signal.SIGTERM)", "was ended by signal 15"),
    ("print()", "printed no token"),
    ("import time; time.sleep(10**6)", "did not finish within 0.5 s"),  # the only one given a short bound
    ("sys.stdout.write(TOKEN * 10**5)", "holds more than 64 KiB"),
    ("sys.stdout.buffer.write(b'\\xff' + TOKEN.encode())", "is not UTF-8 text (a byte at offset 0)"),
    ("print(TOKEN + ' ')", "ends with a space"),  # the checks of every token, naming the source
])
def test_a_failing_token_command_is_one_line_that_never_shows_its_output(home, monkeypatch, helper, shown):
    if "sleep" in helper:
        monkeypatch.setattr(inputs, "TOKEN_WAIT_SECONDS", 0.5)
    token = "QXZq-not-shown-0189"
    command_line = token_command_script(home.directory, f"TOKEN = {token!r}\n{helper}")
    home(f'default = "p"\n[profiles.p]\nserver = "http://127.0.0.1:9"\ntoken_command = {json.dumps(command_line)}\n')
    code, out, err = run_in_process(["user"], {})
    assert code == ExitStatus.USAGE and out == "" and err.count("\n") == 1
    assert shown in err and f"token_command of profile p in {home.path}" in err and token not in err


@pytest.mark.parametrize("content, shown", [
    (b"", "the token from --token-file {path} is empty"),
    (b"QXZq0189\n\n", "the token from --token-file {path} ends in a line break"),
    (b"\xef\xbb\xbfQXZq0189\r\n", None),  # saved on Windows: its byte order mark and line break go too
    (b"QXZq\xe90189", "is not UTF-8 text (a byte at offset 4)"),
    (b"Q" * (64 * 1024 + 1), "holds more than 64 KiB"),
    (None, "cannot read the token file {path}: No such file or directory"),
    (os.mkfifo, "the token file {path} is a FIFO that nothing wrote to"),  # at once, not waiting for a writer
    (os.mkdir, "the token file {path} is a directory, not a regular file"),
])
def test_a_token_file_that_is_not_usable_is_named_without_its_content(home, content, shown):
    path = home.directory / "token"
    if callable(content):
        content(path)
    elif content is not None:
        path.write_bytes(content)
        path.chmod(0o600)
    code, out, err = run_in_process(["--server", "http://127.0.0.1:9", "--token-file", str(path), "user"], {})
    if shown is None:
        assert code == ExitStatus.CONNECTION  # usable: the server was tried
        return
    assert code == ExitStatus.USAGE and err.count("\n") == 1 and shown.format(path=path) in err
    assert "QXZq" not in err


@pytest.mark.parametrize("text, shown", [
    ('[profiles.work]\nserver = = "x"\n', "{path}: not valid TOML: Invalid value (at line 2"),
    ('[profiles.work]\nserver = "https://a.example"\nsever = "https://b.example"\n',
     "{path}, line 3: unknown key 'sever' in [profiles.work] (did you mean 'server'?)"),
    ('defualt = "work"\n', "{path}, line 1: unknown key 'defualt' at the top (did you mean 'default'?)"),
    ('default = "wrok"\n\n[profiles.work]\n', "{path}, line 1: default = 'wrok' names no profile here (it has work)"),
    ('[profiles.work]\ntimeout = "60"\n', "{path}, line 2: timeout in [profiles.work] must be a number of seconds, "
                                          "not a string"),
    ('[profiles.work]\napi_version = true\n', "api_version in [profiles.work] must be a whole number, not a boolean"),
    ('[profiles.work]\nserver = "accounts.example.com"\n', "line 2: server in [profiles.work] not a server URL"),
    ('[profiles.work]\ntoken_command = "x"\ntoken_file = "y"\n', "has both token_file and token_command: keep one"),
    ('[profiles]\nwork = "x"\n', "line 2: profiles.work must be a table of settings"),
])
def test_a_config_file_with_a_mistake_is_one_line_naming_the_file_and_line(home, text, shown):
    path = home(text)
    for argv in (["user"], ["config"]):
        code, out, err = run_in_process(["--server", "http://127.0.0.1:9", "--token", "t", *argv], {})
        assert (code, out) == (ExitStatus.USAGE, "") and err.count("\n") == 1, err
        assert shown.format(path=path) in err and "line " in err


@pytest.mark.parametrize("argv, environment, shown", [
    (["--profile", "home"], {}, "--profile names the profile 'home', which {path} does not have (it has work)"),
    ([], {"FERROVANE_ACCOUNTS_PROFILE": "home"}, "environment FERROVANE_ACCOUNTS_PROFILE names the profile 'home'"),
    ([], {"FERROVANE_ACCOUNTS_CONFIG": "{directory}/none.toml"},
     "cannot read the config file {directory}/none.toml: No such file or directory"),
    ([], {"FERROVANE_ACCOUNTS_SERVER": "accounts.example.com"}, "FERROVANE_ACCOUNTS_SERVER: not a server URL"),
    (["--ca-bundle", "/no/such.pem"], {}, "the CA bundle from flag --ca-bundle does not exist: '/no/such.pem'"),
    (["--token", "a", "user", "--token-file", "b"], {}, "give the token one way: --token or --token-file"),
    ([], {"FERROVANE_ACCOUNTS_CONFIG": "{directory}/fifo"}, "the config file {directory}/fifo is a FIFO that nothing"),
    # A profile's token goes only to the profile's server.
    (["--profile", "work", "--server", "http://b.example", "user"], {}, "no token for http://b.example (from flag "
     "--server): the token of profile work goes only to its server http://127.0.0.1:9; give one for this server"),
    (["--profile", "work", "user"], {"FERROVANE_ACCOUNTS_SERVER": "http://b.example"}, "no token for http://b.exam"
     "ple (from environment FERROVANE_ACCOUNTS_SERVER): the token of profile work goes only to its server"),
])
def test_settings_that_name_what_is_not_there_are_usage_errors(home, monkeypatch, argv, environment, shown):
    path = home('[profiles.work]\nserver = "http://127.0.0.1:9"\ntoken_file = "none"\n')
    os.mkfifo(home.directory / "fifo")
    for variable, value in environment.items():
        monkeypatch.setenv(variable, value.format(directory=home.directory))
    code, out, err = run_in_process(argv if "user" in argv else [*argv, "user", "--token", "t"], {})
    assert (code, out) == (ExitStatus.USAGE, "") and err.count("\n") == 1
    assert shown.format(path=path, directory=home.directory) in err
    if set(argv) <= {"--profile", "work", "home", "user"}:  # what a script's profiles.client meets
        with pytest.raises(profiles.SettingsProblem) as raised:
            profiles.client(argv[1] if argv else None)
        assert shown.format(path=path, directory=home.directory) in str(raised.value)


@pytest.mark.parametrize("mode, warning, secret", [
    (0o644, "read by other users (mode 0644)", 'token_command = "pass show work"\n'),
    (0o644, None, 'token_file = "~/token"\n'),  # a path is no secret: others may read it
    (0o664, "changed by other users (mode 0664)", ""), (0o620, "changed by other users (mode 0620)", ""),
    (0o400, None, "")])
def test_a_config_file_that_others_can_read_or_change_is_named_but_used(home, mode, warning, secret):
    path = home(f'[profiles.work]\nserver = "http://127.0.0.1:9"\n{secret}', mode=mode)
    code, out, err = run_in_process(["--profile", "work", "config"], {})
    assert code == ExitStatus.SUCCESS and "http://127.0.0.1:9" in out
    assert err == (f"ferrovane-accounts: warning: the config file {path} can be {warning}; chmod 600 {path} keeps "
                   "it yours\n" if warning else "")


# A profile as people write it, each key right or wrong, and the token in a file or printed
# by a command, with the edges a file gives it: whatever the mix, the command ends in one
# of its statuses, in at most one line, without the token.
PROFILE = st.fixed_dictionaries({"server": st.just("{url}")}, optional={
    "token_file": st.sampled_from(["token", "~/token", "token", "none"]),
    "token_command": st.sampled_from(["cat token", ["cat", "token"], "false", "'unclosed"]),
    "api_version": st.just(3), "timeout": st.sampled_from([5, 2.5])})
MISTAKES = st.sampled_from([{}] * 6 + [{"server": "accounts.example"}, {"api_version": "3"}, {"timeout": 0},
                                       {"ca_bundle": "none.pem"}, {"sever": "{url}"}, {"token_command": []}])


@given(profile=PROFILE, mistake=MISTAKES, token=SECRET, edges=st.sampled_from(["", "\n", "\r\n", " ", "\n\n"]),
       own_token=st.booleans(), default=st.sampled_from(["p", "p", "q", None]),
       argv=st.sampled_from([["user"], ["--json", "user"], ["config"], ["--json", "config"],
                             ["--profile", "p", "user"], ["--server", "http://127.0.0.1:9", "user"]]))
@example(profile={"server": "{url}", "token_command": "cat token"}, mistake={}, token="", edges="\n", own_token=True,
         default="p", argv=["--json", "user"])
@example(profile={"server": "{url}", "token_file": "~/token"}, mistake={}, token="", edges="\r\n", own_token=True,
         default=None, argv=["--profile", "p", "user"])
def test_property_any_profile_and_token_source(settings_server, tmp_path_factory, profile, mistake, token, edges,
                                               own_token, default, argv):
    directory = tmp_path_factory.mktemp("profile")
    token = settings_server.token if own_token else token
    (directory / "token").write_text(token + edges, encoding="utf-8")
    (directory / "token").chmod(0o600)
    lines = [f"default = {json.dumps(default)}"] if default else []
    lines += ["[profiles.p]"] + [f"{key} = {json.dumps(value).replace('{url}', settings_server.url)}"
                                 for key, value in {**profile, **mistake}.items()
                                 if not (key == "token_command" and "token_file" in profile)]
    config = directory / "accounts.toml"
    config.write_text("\n".join(lines) + "\n", encoding="utf-8")
    config.chmod(0o600)
    code, out, err = run_in_process(argv, {"FERROVANE_ACCOUNTS_CONFIG": str(config), "HOME": str(directory)})
    check(code, out, err, secrets=(token,), json_output="--json" in argv)
    assert "--server" not in argv or code == ExitStatus.USAGE  # no profile's token goes to another server


@pytest.fixture(scope="module")
def settings_server():
    with StandInServer(token="QXZq-stand-in-0189", lifetime=None) as server:
        yield server


@pytest.mark.parametrize("redirect, reason", [(">&-", "stdout is closed"), (">/dev/full", "No space left on device")])
def test_config_reports_an_output_it_cannot_write_as_every_answer_does(home, redirect, reason):
    done = subprocess.run(["sh", "-c", f'exec "$0" -m ferrovane.sdk.cli config {redirect}', sys.executable],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == ExitStatus.OUTPUT
    assert done.stderr == f"ferrovane-accounts: cannot write the output: {reason}\n"
