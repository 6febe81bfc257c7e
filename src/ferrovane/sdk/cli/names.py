"""The command line's names and fixed numbers, declared once: the program's name, the
environment variables it reads, its defaults and its bounds. Every other module of the
command line reads them from here; this one imports nothing."""

PROG = "ferrovane-accounts"

TOKEN_VARIABLE = "FERROVANE_ACCOUNTS_TOKEN"
SERVER_VARIABLE = "FERROVANE_ACCOUNTS_SERVER"
PROFILE_VARIABLE = "FERROVANE_ACCOUNTS_PROFILE"
CONFIG_VARIABLE = "FERROVANE_ACCOUNTS_CONFIG"
CA_BUNDLE_VARIABLES = ("REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE")  # requests' order of precedence

DEFAULT_TIMEOUT = 30.0
# A day: longer waits are mistakes, and past about 9.2e9 s neither threads nor sockets
# can wait that long.
MAX_TIMEOUT = 86_400.0
# The bound on an answer's body, in MB: far above any Accounts answer, far below what a
# small board can hold.
DEFAULT_MAX_ANSWER_MB = 32
SERVER_URL_SHAPE = "it should look like https://accounts.example.com or http://host:port"

# A token source that waits longer is stuck (a prompt nobody sees, a dead agent, a pipe
# that nothing writes to); a person typing a passphrase into it still has time.
TOKEN_WAIT_SECONDS = 60.0
# More than any token or config file; a device such as /dev/zero, or a command that
# prints without end, is not read for ever.
MAX_TOKEN_BYTES = 64 * 1024
MAX_CONFIG_BYTES = 1024 * 1024

# The page size and the most pages of events --all: the command line's own, the walker's
# defaults today. --all holds every event in memory (but with --jsonl): that is at most a
# million events.
ALL_EVENTS_PAGE_SIZE = 100
MAX_ALL_PAGES = 10_000

# events --follow: the seconds between polls, and the fewest that --interval takes (a
# tighter loop only loads the server); the events of the log printed first, as tail -f
# prints its last lines; the largest checkpoint file read.
FOLLOW_INTERVAL = 5.0
MIN_FOLLOW_INTERVAL = 0.2
FOLLOW_TAIL_EVENTS = 10
MAX_CHECKPOINT_BYTES = 1024 * 1024

# How many times a GET that a busy server or a dropped connection failed is tried again.
DEFAULT_RETRIES = 2

# The shells that ``completion`` writes a script for.
SHELLS = ("bash", "zsh", "fish")
# The hidden option of ``completion`` that prints the config file's profiles, one a line:
# what the scripts run to complete --profile.
COMPLETE_PROFILES = "--profiles"

# How long the stand-in of --demo lives at most.
DEMO_SERVER_LIFETIME = 300.0
