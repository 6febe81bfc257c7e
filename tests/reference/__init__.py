"""The plain-Python twin of the ferrovane.sdk accounts client: the tests' oracle for the native
modules, and the baseline that bench/benchmark.py times them against."""
