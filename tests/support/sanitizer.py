"""Whether the suite runs in the sanitizer run, which preloads the sanitizer's runtime
(scripts/sanitize.sh): there its allocator holds freed memory back, so memory use says
nothing, and valgrind cannot run the process. Programs that are not ours (servers and tools
the tests start) run without its runtime: ``UNSANITIZED`` is their environment."""

import os

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

UNSANITIZED = {name: value for name, value in os.environ.items()
               if name not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
