"""The pytest plugin that the package registers serves users' own test files."""

import re
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"


def readme_user_test_file():
    section = README.read_text(encoding="utf-8").split("\n## Testing your code against the stand-in server\n")[1]
    (code,) = re.findall(r"^```python\n(.*?)^```", section.split("\n## ")[0], re.DOTALL | re.MULTILINE)
    return code


def test_the_readmes_user_test_file_passes(pytester):
    code = readme_user_test_file()
    pytester.makepyfile(test_releases=code)
    # No -p option: pytest must find the plugin through the installed package's entry point.
    result = pytester.runpytest()
    result.assert_outcomes(passed=code.count("\ndef test_"))


def test_sessions_that_use_no_fixture_start_and_import_nothing(pytester):
    pytester.makepyfile(test_plain="""
        import sys
        import threading

        def test_plain():
            assert "ferrovane.sdk.pytest_plugin" in sys.modules  # loaded, yet:
            for module in ("ferrovane.sdk.stand_in_server", "ferrovane.sdk.accounts_api", "requests"):
                assert module not in sys.modules
            assert not [thread for thread in threading.enumerate() if thread.name.startswith("stand-in-server")]
    """)
    # A fresh interpreter: this one has imported everything already.
    result = pytester.runpytest_subprocess()
    result.assert_outcomes(passed=1)
