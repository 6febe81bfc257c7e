"""``python -m ferrovane.sdk.cli``: the command line, as the console script runs it."""

import sys

from . import main

sys.exit(main())
