"""The command line as a daily tool meets it: --jsonl streaming, JSON that keeps its text
readable, the request trace of -v, and the completion scripts loaded by real shells."""

import io
import itertools
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import threading
from pathlib import Path

import pytest
from support import proxies

from ferrovane.sdk import cli
from ferrovane.sdk.cli import ExitStatus, commands, names
from ferrovane.sdk.stand_in_server import Answer

EVENTLOG = "/api/security/v3/eventlog"
PROG = "ferrovane-accounts"


def synthetic_log(total, on_page=None):
    """A route handler for a log of ``total`` made-up events, paged by pageNumber or
    offset; ``on_page(number)`` is called before each page (counting from 0) is answered."""
    asked = itertools.count()

    def handler(request):
        query = dict(request.query)
        size, number = int(query["pageSize"]), next(asked)
        if on_page is not None:
            on_page(number)
        first = int(query["offset"]) if "offset" in query else int(query["pageNumber"]) * size
        content = [{"id": i, "user": "jo.haru", "message": f"User jo.haru logged in from 10.20.{i % 250}.9"}
                   for i in range(first, min(first + size, total))]
        return Answer(200, {"content": content, "totalElements": total, "totalPages": -(-total // size),
                            "number": number, "size": size, "last": first + size >= total})
    return handler


def cli_process(server, *argv, **settings):
    return subprocess.Popen([sys.executable, "-m", "ferrovane.sdk.cli", "--server", server.url, "--token",
                             server.token, *argv], text=True, **settings)


def test_jsonl_prints_each_page_before_the_next_is_fetched(server):
    released, held_back = threading.Event(), []

    def on_page(number):
        if number == 1:  # the second page comes once the first is read, or in 10 s
            held_back.append(not released.wait(10))
    server.route("GET", EVENTLOG, handler=synthetic_log(6, on_page))
    process = cli_process(server, "--jsonl", "events", "security", "--all", "--size", "3",
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        first_page = [json.loads(process.stdout.readline()) for _ in range(3)]
    finally:
        released.set()
    out, err = process.communicate(timeout=60)
    assert (process.returncode, err, held_back) == (0, "", [False])
    assert [event["id"] for event in first_page + [json.loads(line) for line in out.splitlines()]] == list(range(6))


# Runs the command line and then says on stderr the peak of the memory that Python allocated
# for it: what --jsonl promises to keep flat. (The process's resident peak would also count
# what an emulator or a sanitizer's allocator holds, which grows with the run's length.)
MEASURED = ("import sys, tracemalloc; from ferrovane.sdk import cli; tracemalloc.start(); "
            "code = cli.main(sys.argv[1:]); sys.stderr.write(f'{tracemalloc.get_traced_memory()[1]}\\n'); "
            "sys.exit(code)")


def peak_memory_mb(server, total, option):
    server.route("GET", EVENTLOG, handler=synthetic_log(total))
    done = subprocess.run([sys.executable, "-c", MEASURED, "--server", server.url, "--token", server.token, option,
                           "events", "security", "--all", "--size", "1000"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return int(done.stderr.split()[-1]) / 2**20


def test_jsonl_memory_stays_flat_however_long_the_log(server):
    small, large = peak_memory_mb(server, 2_000, "--jsonl"), peak_memory_mb(server, 30_000, "--jsonl")
    assert large - small < 1, (small, large)
    # The check can tell: the merged listing of --json holds every event.
    assert peak_memory_mb(server, 30_000, "--json") - small > 5


@pytest.mark.parametrize("encoding, shown", [
    ("utf-8", '"J\u00f6rg \u65e5\u672c \\u202e \\u0085"'),  # a bidi override or C1 control stays escaped
    ("latin-1", '"J\u00f6rg \\u65e5\\u672c \\u202e \\u0085"'),
    ("ascii", '"J\\u00f6rg \\u65e5\\u672c \\u202e \\u0085"'),
    ("cp1252", '"J\u00f6rg \\u65e5\\u672c \\u202e \\u0085"'),
])
@pytest.mark.parametrize("option", ["--json", "--jsonl"])
def test_json_text_is_readable_as_far_as_stdout_carries_it(server, encoding, shown, option):
    server.route("GET", "/api/security/v3/user-info", body={"username": "J\u00f6rg \u65e5\u672c \u202e \x85"})
    out = io.TextIOWrapper(io.BytesIO(), encoding=encoding)
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(sys, "stdout", out)
        code = cli.main(["--server", server.url, "--token", server.token, option, "user"])
    out.flush()
    text = out.buffer.getvalue().decode(encoding)
    assert code == 0 and f'"username": {shown}' in text.replace('":"', '": "')
    assert json.loads(text) == {"username": "J\u00f6rg \u65e5\u672c \u202e \x85"}


@pytest.mark.accounts_server(shielded=False)  # the request goes through the proxy of the environment
def test_verbose_traces_each_request_with_its_credentials_masked(server, monkeypatch, capsys, accounts_canary):
    # A cookie that a server sets (a load balancer's session) goes back with the next page.
    page_of = lambda request: int("offset" in dict(request.query))  # noqa: E731  # the second asks by offset
    server.route("GET", EVENTLOG, handler=lambda request: Answer(
        200, {"content": [{"id": n} for n in range(page_of(request) + 1)], "last": page_of(request) == 1,
              "totalElements": 2},
        headers={"Set-Cookie": "session=QXZq-cookie-0189; Path=/"}))
    with proxies.HttpProxy() as proxy:
        where = proxy.url.removeprefix("http://")
        monkeypatch.setenv("HTTP_PROXY", f"http://me:QXZq-proxy-0189@{where}")
        monkeypatch.delenv("NO_PROXY", raising=False)
        monkeypatch.delenv("no_proxy", raising=False)
        code = cli.main(["--server", server.url, "--token", server.token, "events", "security", "--all",
                         "--jsonl", "-v"])
    out, err = capsys.readouterr()
    assert code == 0 and len(out.splitlines()) == 2, err
    assert proxy.requests  # the proxy carried them
    trace = err.splitlines()
    assert all(line.startswith(("> ", "< ", "* ")) for line in trace), err
    assert trace.count(f"> GET {server.url}{EVENTLOG}?pageNumber=0&pageSize=100") == 1
    assert trace.count("> Authorization: Bearer ***") == 2
    assert "> Cookie: ***" in trace
    assert trace.count(f"* through the proxy http://***@{where}") == 2
    assert sum(line.startswith("< 200 OK after ") and line.endswith(" s") for line in trace) == 2
    assert sum(bool(re.fullmatch(r"< whole answer: \d+ bytes after \d+\.\d{3} s", line)) for line in trace) == 2
    for secret in (server.token, "QXZq-proxy-0189", "QXZq-cookie-0189"):
        assert secret not in err


def test_verbose_shows_the_whole_url_of_a_path_value_with_an_at_sign(capsys):
    cli.main(["--demo", "-v", "event", "security", "x@y"])
    (sent,) = [line for line in capsys.readouterr().err.splitlines() if line.startswith("> GET ")]
    assert re.fullmatch(r"> GET http://127\.0\.0\.1:\d+/api/security/v3/eventlog/x@y", sent)


@pytest.mark.parametrize("silent, last_traced, status, failure", [
    (False, r"< no answer after \d+\.\d{3} s \(ConnectionError\)", ExitStatus.CONNECTION, "cannot connect to"),
    (True, r"< no whole answer within 0\.5 s \(--timeout\)", ExitStatus.CONNECTION, "no whole answer from"),
], ids=["refused", "silent"])
def test_verbose_traces_a_request_that_got_no_answer(capsys, silent, last_traced, status, failure):
    with socket.create_server(("127.0.0.1", 0)) as listening:  # takes the connection, never answers
        server = f"http://127.0.0.1:{listening.getsockname()[1] if silent else 9}"
        code = cli.main(["--server", server, "--token", "QXZq-token-0189", "--timeout", "0.5", "-v", "user"])
    err = capsys.readouterr().err.splitlines()
    assert code == status and re.fullmatch(last_traced, err[-2]), err
    assert err[-1].startswith(f"{PROG}: {failure}") and not any("QXZq" in line for line in err)


@pytest.fixture
def scripts(tmp_path, capsys):
    """The completion scripts as the command prints them, in files."""
    made = {}
    for shell in names.SHELLS:
        assert cli.main(["completion", shell]) == 0
        made[shell] = tmp_path / f"completion.{shell}"
        made[shell].write_text(capsys.readouterr().out)
    return made


def every_option_and_subcommand():
    # From argparse's own record of the parsers (private, so read only here): the oracle of
    # the list that the parser keeps for the scripts.
    parser = commands.parser()
    subcommands = {name: sub.filled() for action in parser._actions if isinstance(action.choices, dict)
                   for name, sub in action.choices.items()}
    return {name for each in (parser, *subcommands.values()) for action in each._actions
            for name in action.option_strings} | set(subcommands)


def test_each_script_names_every_option_and_subcommand(scripts):
    words = every_option_and_subcommand()
    assert {"--jsonl", "--verbose", "-v", "--all", "completion", "events"} <= words
    for shell, path in scripts.items():
        text = path.read_text()
        fish_names = {f"-l {word[2:]}" if word.startswith("--") else f"-s {word[1:]}" if word.startswith("-")
                      else word for word in words}
        assert all(name in text for name in (fish_names if shell == "fish" else words)), shell


BASH_DRIVER = """
source "$1"
complete -p {prog}
drive() {{  # what completes the last word of $1, as bash passes it to the function
  COMP_LINE=$1; COMP_POINT=${{#1}}
  read -ra COMP_WORDS <<<"$1"; [[ $1 == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${{#COMP_WORDS[@]}} - 1)); COMPREPLY=()
  _ferrovane_accounts {prog} "${{COMP_WORDS[COMP_CWORD]}}" "${{COMP_WORDS[COMP_CWORD-1]}}"
  echo "${{COMPREPLY[*]}}"
}}
shift
for line; do drive "$line"; done
"""


@pytest.mark.skipif(shutil.which("bash") is None, reason="bash is not installed")
def test_bash_completes_subcommands_options_and_choices(scripts, tmp_path):
    ran = tmp_path / "ran"  # a token command is never run to complete a profile's name
    config = tmp_path / "accounts.toml"
    config.write_text(f'[profiles.work]\ntoken_command = ["touch", "{ran}"]\n[profiles.home]\n[profiles."a b"]\n')
    lines = {f"{PROG} --profile ": "work home",
             f"{PROG} events x --profile w": "work",f"{PROG} ": " ".join(row.name for row in commands.SUBCOMMANDS),
             f"{PROG} ev": "events event",
             f"{PROG} --server http://127.0.0.1:8080 --token t rel": "releases",  # a URL's ":" is no word break
             f"{PROG} --j": "--json --jsonl",
             f"{PROG} events security --al": "--all",
             f"{PROG} events security --size 5 --so": "--sorted",
             f"{PROG} completion ": "bash zsh fish",
             f"{PROG} --timeout ": "",  # a value is the user's to type
             f"{PROG} user --verb": "--verbose"}
    done = subprocess.run(["bash", "--norc", "-c", BASH_DRIVER.format(prog=PROG), "driver", str(scripts["bash"]),
                           *lines], capture_output=True, text=True, timeout=60,
                          env={**os.environ, "FERROVANE_ACCOUNTS_CONFIG": str(config),
                               "PATH": f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}"})
    assert done.returncode == 0 and not ran.exists(), done.stderr
    registered, *replies = done.stdout.splitlines()
    assert registered == f"complete -F _ferrovane_accounts {PROG}"
    assert dict(zip(lines, replies)) == lines


@pytest.mark.skipif(shutil.which("fish") is None, reason="fish is not installed")
def test_fish_completes_subcommands_options_and_choices(scripts):
    for line, wanted in [(f"{PROG} ev", {"events", "event"}), (f"{PROG} --server http://h:1 events x --al", {"--all"}),
                         (f"{PROG} completion ", {"bash", "zsh", "fish"}),
                         (f"{PROG} user --jso", {"--json", "--jsonl"})]:
        done = subprocess.run(["fish", "--no-config", "-c", f"source {scripts['fish']}; complete -C '{line}'"],
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 0 and done.stderr == "", done.stderr
        assert {reply.split("\t")[0] for reply in done.stdout.splitlines()} == wanted, line


@pytest.mark.parametrize("shell, check", [("zsh", ["zsh", "-n"]), ("fish", ["fish", "--no-execute"])])
def test_zsh_and_fish_scripts_parse(scripts, shell, check):
    if shutil.which(shell) is None:
        pytest.skip(f"{shell} is not installed")
    done = subprocess.run([*check, str(scripts[shell])], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    if shell == "zsh":  # loaded after compinit, it is the completion of the command
        done = subprocess.run(["zsh", "-fc", f'autoload -Uz compinit; compinit -u -D; source {scripts["zsh"]}; '
                                             f'print -- "$_comps[{PROG}]"'], capture_output=True, text=True, timeout=60)
        assert done.stdout == "_ferrovane_accounts\n", done.stderr


def test_a_bare_command_prints_the_help_and_succeeds(capsys, monkeypatch):
    monkeypatch.setattr(sys, "argv", [PROG])
    assert cli.main() == 0
    out, err = capsys.readouterr()
    assert out.startswith(f"usage: {PROG}") and "examples:" in out and "exit codes:" in out and err == ""
