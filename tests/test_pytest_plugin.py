"""The pytest plugin that the package registers serves users' own test files."""

import re
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"


def readme_user_test_files():
    section = README.read_text(encoding="utf-8").split("\n## Testing your code against the stand-in server\n")[1]
    return re.findall(r"^```python\n(.*?)^```", section.split("\n## ")[0], re.DOTALL | re.MULTILINE)


def test_the_readmes_user_test_files_pass(pytester):
    # Every Python block of the testing section is a test file of its own.
    files = readme_user_test_files()
    assert len(files) >= 2
    pytester.makepyfile(**{f"test_readme_{index}": code for index, code in enumerate(files)})
    # No -p option: pytest must find the plugin through the installed package's entry point.
    result = pytester.runpytest()
    result.assert_outcomes(passed=sum(code.count("\ndef test_") for code in files))


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
