"""``python -m ferrovane.sdk.stand_in_server``: see ``command.main``."""

import sys

from .command import main

sys.exit(main())
