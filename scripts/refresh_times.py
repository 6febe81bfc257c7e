"""Writes the table of measured times into a page, from the stage times that a run recorded.

    python3 scripts/refresh_times.py TIMES PAGE

TIMES holds a line "SCOPE<TAB>STAGE<TAB>SECONDS<TAB>OUTCOME" per stage, as scripts/lib/stages.sh
appends them when FERROVANE_TIMES names the file (.ci/run does). PAGE keeps everything but the
block between this script's two markers, which it replaces with a table of those times, the
date, and the machine's cores and load; the table is the one place that measured times live.
Standard library only: it runs with any Python 3.
"""

import datetime
import os
import sys

START = "<!-- scripts/refresh_times.py writes from here to the end marker -->"
END = "<!-- end of scripts/refresh_times.py's output -->"


def duration(seconds: int) -> str:
    return f"{seconds} s" if seconds < 120 else f"{seconds // 60} min {seconds % 60:02d} s"


def table(lines: list[str]) -> str:
    with open("/proc/loadavg") as load:
        load_at_end = load.read().split()[0]
    today = datetime.date.today().isoformat()
    rows = ["| Run | Stage | Time | Outcome |", "|---|---|--:|---|"]
    for line in lines:
        scope, stage, seconds, outcome = line.rstrip("\n").split("\t")
        rows.append(f"| {scope} | {stage} | {duration(int(seconds))} | {outcome} |")
    return (f"Measured on {today} by one run of `.ci/run` from a fresh clone: {os.cpu_count()} cores, "
            f"load average {load_at_end} at its end. The install lanes run side by side, within the "
            "release's install tests stage.\n\n" + "\n".join(rows) + "\n")


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print("usage: python3 scripts/refresh_times.py TIMES PAGE", file=sys.stderr)
        return 2
    times, page = argv
    with open(times) as recorded:
        lines = [line for line in recorded if line.strip()]
    with open(page, encoding="utf-8") as text:
        content = text.read()
    start, end = content.find(START), content.find(END)
    if not lines or start < 0 or end < start:
        print(f"refresh_times.py: {'no times in ' + times if not lines else page + ' has no block to write into'}",
              file=sys.stderr)
        return 1
    content = content[:start] + START + "\n" + table(lines) + content[end:]
    with open(page, "w", encoding="utf-8") as text:
        text.write(content)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
