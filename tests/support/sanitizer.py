"""Whether the suite runs in the sanitizer run, which preloads the sanitizer's runtime
(scripts/sanitize.sh): there its allocator holds freed memory back, so memory use says
nothing, and valgrind cannot run the process."""

import os

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
