"""The command line's boundaries under generated input: arguments and tokens, the
environment, the server's answers and the state of the standard streams. Whatever comes
in, every run keeps the same promises (see ``check``): an exit status of its own kind and
never an internal error, at most one line on stderr and none on stdout, no secret shown,
and strict JSON from --json. The number of examples is the profile's (tests/conftest.py).
"""

import contextlib
import io
import itertools
import json
import os
import subprocess
import sys
from decimal import Decimal

import pytest
from hypothesis import example, given, settings, strategies as st

from ferrovane.sdk import _answers, _tables, cli
from ferrovane.sdk._json_scan import nests_deeper_than
from ferrovane.sdk.cli import ExitStatus
from ferrovane.sdk.stand_in_server import StandInServer
from support.raw_answers import raw_answers

PROG = "ferrovane-accounts:"
TRACE = ("> ", "< ", "* ")
# The output options, as each generated run may give them.
OUTPUT_OPTIONS = st.lists(st.sampled_from(["--json", "--jsonl", "-v"]), unique=True)
# Text unlikely to be made by anything else, so that finding it in the output means a secret shown.
SECRET = st.text("QXZqxz0189~", min_size=10, max_size=16)
ENVIRONMENT = ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY", "http_proxy", "https_proxy", "all_proxy",
               "no_proxy", "REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE", "COLUMNS", "NETRC")
PATH_VALUES = st.sampled_from(["security", "1008", "orvik-4.2.0", "..", ".", "%2E%2e", "a/b", "1015?x=y",
                               "1015#frag", "J\u00f6rg", "\u65e5\u672c", "-1", "", "%", "a%zz",
                               "\udcff"]) | st.text(max_size=8)  # a byte of argv that is not UTF-8


def check(code, out, err, secrets=(), json_output=False, lines=False):
    """The promises that every run keeps; ``lines``: --jsonl was given."""
    assert code in set(ExitStatus) and code != ExitStatus.INTERNAL_ERROR, (code, err)
    # The request trace of -v ("> ", "< ", "* ") comes besides the one line of a failure.
    assert sum(not line.startswith(TRACE) for line in err.splitlines(True)) <= 1, err
    assert "Traceback" not in err, err
    assert f"{PROG}: " not in out and "internal error" not in out  # failure lines go to stderr
    for secret in secrets:
        assert secret not in out + err and _tables.printable(secret) not in out + err
    if (json_output or lines) and code == ExitStatus.SUCCESS:
        # Readable text, but nothing in it that can act on a terminal.
        assert all(char.isprintable() for char in out.replace("\n", "")), repr(out)
        for document in out.splitlines() if lines else [out]:
            json.loads(document, parse_constant=lambda constant: pytest.fail(f"{constant} in the JSON output"))


class Terminal(io.TextIOWrapper):
    """A stream of some encoding that says it is a terminal (so tables fit COLUMNS)."""

    def isatty(self):
        return True


def stream(encoding, errors, tty):
    return (Terminal if tty else io.TextIOWrapper)(io.BytesIO(), encoding=encoding, errors=errors)


def run_in_process(argv, environment, *, encoding="utf-8", tty=False):
    """Runs the command line with ``environment`` set; (exit code, stdout, stderr)."""
    out, err = stream(encoding, "strict", tty), stream(encoding, "backslashreplace", False)
    with pytest.MonkeyPatch.context() as patch:
        for name in ENVIRONMENT:
            patch.delenv(name, raising=False)
        for name, value in environment.items():
            patch.setenv(name, value)
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            try:
                code = cli.main(argv)
            except SystemExit as exit:  # a usage error, from argparse
                code = exit.code
    texts = []
    for written in (out, err):
        written.flush()
        texts.append(written.buffer.getvalue().decode(written.encoding))
    return code, *texts


@pytest.fixture(scope="module")
def server():
    with StandInServer(token="QXZq-stand-in-0189", lifetime=None) as server:
        server.route("GET", "/api/security/v3/user-info", body={"username": "J\u00f6rg \u00d8deg\u00e5rd \u65e5\u672c"})
        yield server


@pytest.fixture(scope="module")
def raw():
    with raw_answers() as raw:
        yield raw


def commands():
    return st.one_of(
        st.just(["user"]), st.just(["releases"]),
        st.tuples(PATH_VALUES, PATH_VALUES).map(lambda values: ["event", *values]),
        st.tuples(PATH_VALUES, st.sampled_from(["linux-armhf", "x?y", "\udcff"])).map(lambda v: ["distribution", *v]),
        st.tuples(PATH_VALUES, st.sampled_from([[], ["--all"], ["--page", "2"], ["--offset", "3"],
                                                ["--all", "--size", "7"], ["--search", "\x1b[2J\u00f6"],
                                                ["--search", "\udcff"]])
                  ).map(lambda values: ["events", values[0], *values[1]]))


def proxy_urls(password):
    return st.builds(
        "{}{}{}:{}".format,
        st.sampled_from(["http://", "https://", "socks5://", "socks5h://", "htps://", ""]),
        st.sampled_from(["", "me:{}@", "{}@", "me:Qx7v/{}@", "me:{}#Qx7v@", "me:{}?x@", "me:{}%zz@", "me:{}\u20ac@",
                         "me:{}%E2%82%AC@", "me:{}\udcff@"]
                        ).map(lambda userinfo: userinfo.format(password)),
        st.sampled_from(["127.0.0.1", "localhost", "[::1", "[::1]"]),
        st.sampled_from(["1", "3128", "99999", "Qx7v"]))


@st.composite
def environments(draw, password):
    environment = {}
    for name in draw(st.lists(st.sampled_from(["HTTP_PROXY", "https_proxy", "ALL_PROXY"]), unique=True,
                              max_size=2)):
        environment[name] = draw(proxy_urls(password))
    if draw(st.booleans()):
        environment["NO_PROXY"] = draw(st.sampled_from(["127.0.0.1", "*", "example.com", ""]))
    if draw(st.booleans()):
        environment[draw(st.sampled_from(["REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE"]))] = draw(
            st.sampled_from(["/no/such/bundle.pem", os.devnull, __file__, ""]))
    environment["COLUMNS"] = draw(st.sampled_from(["", "0", "-5", "1", "12", "80", "abc", "1000000000",
                                                  "99999999999999999999"]))
    return environment


@given(command=commands(), options=OUTPUT_OPTIONS, token=SECRET, password=SECRET, data=st.data(),
       token_edges=st.sampled_from(["", " ", "\t", "\n", "\u00e9", "\x1b"]), encoding=st.sampled_from(
           ["utf-8", "ascii", "latin-1"]), tty=st.booleans(), own_token=st.booleans(), url_credentials=st.booleans())
def test_property_any_arguments_token_and_environment(server, command, options, token, password, data,
                                                     token_edges, encoding, tty, own_token, url_credentials):
    token = server.token if own_token else token
    url = server.url.replace("//", f"//me:{password}@") if url_credentials else server.url
    argv = ["--server", url, "--token", token_edges + token + token_edges[::-1], "--timeout", "5", *options,
            *command]
    code, out, err = run_in_process(argv, data.draw(environments(password)), encoding=encoding, tty=tty)
    check(code, out, err, secrets=(token, password), json_output="--json" in options, lines="--jsonl" in options)


# JSON text as a server may write it: numbers of any length and exponent, strings of any
# characters, escaped or not, and nesting.
NUMBERS = st.from_regex(r"-?(0|[1-9][0-9]{0,40})(\.[0-9]{1,40})?([eE][+-]?[0-9]{1,4})?", fullmatch=True)
STRINGS = st.text(max_size=12).flatmap(lambda text: st.sampled_from(
    [json.dumps(text), json.dumps(text, ensure_ascii=False)]))
JSON_TEXTS = st.recursive(
    NUMBERS | STRINGS | st.sampled_from(["true", "false", "null"]),
    lambda inner: st.lists(inner, max_size=4).map(lambda items: "[" + ",".join(items) + "]")
    | st.lists(st.tuples(STRINGS, inner), max_size=4).map(
        lambda items: "{" + ",".join(f"{key}:{value}" for key, value in items) + "}"),
    max_leaves=12)
# Shapes that the subcommands show as tables, filled with generated values.
SHAPED = st.sampled_from(['{{"username": {0}, "roles": [{0}]}}', '[{{"key": {0}, "version": {0}}}]',
                          '{{"content": [{{"id": {0}, "message": {0}}}], "totalElements": {0}, "last": true}}',
                          '{{"eventId": {0}, "entries": [{{"message": {0}}}]}}', "{0}"])
ODD_DOCUMENTS = st.sampled_from([
    '{"n": NaN}', '[Infinity]', '{"i": ' + "9" * 5000 + "}", "[" * 5000 + "]" * 5000, "[" * 99 + "]" * 99,
    "<!DOCTYPE html><p>a page</p>", "{", "", '{"message": "m\u00f6"}'])


def raw_answer(status, headers, body, length):
    head = f"HTTP/1.1 {status}\r\n" + "".join(f"{name}: {value}\r\n" for name, value in headers)
    if length is not None:
        head += f"Content-Length: {length}\r\n"
    return head.encode("latin-1") + b"\r\n" + body


def run_answered(raw, answer, argv):
    raw.answer = answer
    code, out, err = run_in_process(["--server", raw.url, "--token", "QXZq0189QXZq", "--timeout", "5", *argv], {})
    check(code, out, err, secrets=["QXZq0189QXZq"], json_output="--json" in argv, lines="--jsonl" in argv)
    return code, out


@given(document=st.tuples(SHAPED, JSON_TEXTS).map(lambda parts: parts[0].format(parts[1])) | ODD_DOCUMENTS,
       options=OUTPUT_OPTIONS, command=st.sampled_from([["user"], ["releases"], ["event", "security", "1"],
                                                        ["events", "security"], ["events", "security", "--all"]]))
def test_property_any_document(raw, document, options, command):
    body = document.encode("utf-8", errors="surrogatepass")
    code, out = run_answered(raw, raw_answer(200, [("Content-Type", "application/json")], body, len(body)),
                             [*options, *command])
    if {"--json", "--jsonl"} & set(options) and code == ExitStatus.SUCCESS and command == ["user"]:
        # The server's numbers and text as it sent them, whatever a float makes of them.
        assert json.loads(out, parse_float=Decimal) == json.loads(document, parse_float=Decimal)


def depth(value):
    children = value.values() if isinstance(value, dict) else value if isinstance(value, list) else None
    return 0 if children is None else 1 + max(map(depth, children), default=0)


@given(document=JSON_TEXTS, indent=st.sampled_from([None, 2]), ascii=st.booleans(), limit=st.integers(0, 4))
@example(document='{"m": "\\ud800\\u007f\\u0085\\u202e\\u2028\\ud83d\\ude00 \\u00e9 [\\"[\\\\"}', indent=2,
         ascii=False, limit=1)
@example(document='{"":[[]],"":[]}', indent=None, ascii=False, limit=2)
def test_property_json_written_by_the_encoder_is_the_walks(document, indent, ascii, limit):
    """The encoder's way (taken while no answer holds a number kept as written) and its
    escaping pass write what the walk, value by value, writes; the text's depth is the answer's."""
    answer = _answers.json_document(document)
    text = _tables.as_json(answer, indent, ascii)
    assert text == _tables.json_walk(answer, indent, ascii)
    assert json.loads(text, parse_float=Decimal) == json.loads(document, parse_float=Decimal)
    every_value = json.loads(document, object_pairs_hook=lambda pairs: dict(enumerate(v for _, v in pairs)))
    assert nests_deeper_than(document, limit) == (depth(every_value) > limit)  # a repeated key's too
    assert nests_deeper_than(text, limit) == (depth(answer) > limit)  # written anew: other widths and escapes


@given(status=st.sampled_from([200, 201, 204, 301, 400, 401, 404, 418, 500, 503]),
       document=st.sampled_from(['{"username": "J\u00f6rg \u00d8deg\u00e5rd \u65e5\u672c"}', '{"n": 1e999}',
                                 '{"message": "m\u00f6"}', "<html>a page</html>"]),
       codec=st.sampled_from(["utf-8", "utf-8-sig", "latin-1", "utf-16", "invalid"]),
       content_type=st.sampled_from(["application/json", "text/plain", "text/json", "text/html", "", None,
                                     "application/json; charset=latin-1", "application/json; charset=utf-16",
                                     "application/json; charset=bogus", "text/plain; charset=idna"]),
       framing=st.sampled_from(["length", "close", "short", "long"]), json_output=st.booleans())
def test_property_any_status_label_and_framing(raw, status, document, codec, content_type, framing, json_output):
    body = (document.encode("utf-8") + b"\xff\xfe\xc3" if codec == "invalid"
            else document.encode(codec, errors="replace"))
    headers = [("Content-Type", content_type)] if content_type is not None else []
    length = {"length": len(body), "close": None, "short": len(body) + 7, "long": max(len(body) - 3, 0)}[framing]
    run_answered(raw, raw_answer(status, headers, body, length), [*(["--json"] if json_output else []), "user"])


def test_an_answer_without_end_is_cut_at_the_size_bound(raw):
    raw.answer = itertools.chain([raw_answer(200, [("Content-Type", "application/json")], b"[", 10**11)],
                                 itertools.repeat(b"1," * 32768, 2000))
    code, out, err = run_in_process(["--server", raw.url, "--token", "t", "--max-answer-size", "1", "releases"], {})
    assert (code, out) == (ExitStatus.OTHER_HTTP, "")
    assert "is not usable: it is larger than 1 MB, the most that is read (--max-answer-size raises" in err


@pytest.mark.parametrize("content_type", ["text/plain", "text/json", "application/json"])
def test_json_answers_are_utf8_unless_their_charset_says_otherwise(raw, content_type):
    body = '{"username": "J\u00f6rg \u00d8deg\u00e5rd", "message": "f\u00fcr"}'.encode()
    for status, argv, shown in [(200, ["--json", "user"], "J\u00f6rg \u00d8deg\u00e5rd"),
                                (200, ["user"], "J\u00f6rg \u00d8deg\u00e5rd"), (500, ["user"], "f\u00fcr")]:
        raw.answer = raw_answer(status, [("Content-Type", content_type)], body, len(body))
        code, out, err = run_in_process(["--server", raw.url, "--token", "t", *argv], {})
        assert shown in out + err


STREAM_STATES = {"pipe": "", "closed": ">&-", "full": ">/dev/full"}


# Each example starts a process: a few are seconds, under emulation too.
@settings(max_examples=max(settings.default.max_examples // 8, 1))
@given(stdout=st.sampled_from(sorted(STREAM_STATES)), stderr=st.sampled_from(sorted(STREAM_STATES)),
       encoding=st.sampled_from(["ascii", "latin-1", "utf-8", "ascii:strict"]),
       locale=st.sampled_from(["C", "C.UTF-8", "POSIX"]), options=OUTPUT_OPTIONS,
       command=st.sampled_from([["user"], ["events", "security", "--all", "--size", "5"], ["event", "x", ".."],
                                ["releases", "--token", " QXZq0189QXZq"], ["--version"], ["events", "--help"]]))
# A failure line that a full stderr did not take stays buffered for the exit's flush.
@example(stdout="closed", stderr="full", encoding="ascii", locale="C", options=[], command=["user"])
def test_property_any_stream_state(server, stdout, stderr, encoding, locale, options, command):
    """Real streams, in a process of its own: closed, on a full disk, of a narrow encoding."""
    script = f'exec "$0" "$@" {STREAM_STATES[stdout]} {"2" + STREAM_STATES[stderr] if STREAM_STATES[stderr] else ""}'
    environment = {**os.environ, "PYTHONIOENCODING": encoding, "LC_ALL": locale}
    environment.pop("PYTHONUNBUFFERED", None)  # buffered, as a user's streams are: what is left in them counts
    for name in ENVIRONMENT:
        environment.pop(name, None)
    # --version alone takes a way of its own, without the parser.
    argv = command if command == ["--version"] else ["--server", server.url, "--token", server.token, *options,
                                                     *command]
    done = subprocess.run(["sh", "-c", script, sys.executable, "-m", "ferrovane.sdk.cli", *argv],
                          capture_output=True, env=environment, timeout=60)
    # Each stream in the encoding that it was given (JSON keeps the text it can carry).
    out, err = (data.decode(encoding.split(":")[0], errors="backslashreplace") for data in (done.stdout, done.stderr))
    check(done.returncode, out, err, secrets=[server.token, "QXZq0189QXZq"], json_output="--json" in options,
          lines="--jsonl" in options)
    if stdout != "pipe" and command[0] != "event" and "--token" not in command:
        assert done.returncode == ExitStatus.OUTPUT
