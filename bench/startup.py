"""What starting the `brevane` tool costs: CPU seconds against the interpreter importing the module alone.

    python bench/startup.py [--runs 30]

Each command runs in a fresh interpreter, the commands in turn (so that a change
in the machine's load falls on all of them); the figures are the least and the
median CPU time (user + system) of the child over the runs, the ratio the least's.
The children may write their bytecode caches (a warm-up run does), as an
installed package has them: a start that compiles the toolkit measures the
compiler. Commands that neither sign nor check must never import the C2PA SDK:
the last column says whether the run did.
"""

from __future__ import annotations

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile

PAGE = b"<html><head><title>t</title></head><body>x</body></html>"

# Runs the tool's entry point the way the `brevane` script does, then says whether c2pa came in.
TOOL = (
    "import sys\n"
    "from brevane_tools.cli import main\n"
    "try:\n"
    "    main(sys.argv[1:])\n"
    "except SystemExit:\n"
    "    pass\n"
    "sys.stderr.write('c2pa imported\\n' if 'c2pa' in sys.modules else '')\n"
)


ENVIRONMENT = {name: value for name, value in os.environ.items() if name != "PYTHONDONTWRITEBYTECODE"}


def cpu_seconds(argv: list[str]) -> tuple[float, bool]:
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    done = subprocess.run(argv, capture_output=True, check=False, env=ENVIRONMENT)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    used = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return used, b"c2pa imported" in done.stderr


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=30)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        page = os.path.join(work, "page.html")
        with open(page, "wb") as file:
            file.write(PAGE)
        cases = {
            "python -c 'import brevane'": [sys.executable, "-c", "import brevane"],
            "brevane --help": [sys.executable, "-c", TOOL, "--help"],
            "brevane locate PAGE": [sys.executable, "-c", TOOL, "locate", page],
            "brevane hash PAGE": [sys.executable, "-c", TOOL, "hash", page],
        }
        runs: dict[str, list[tuple[float, bool]]] = {name: [] for name in cases}
        for argv in cases.values():
            cpu_seconds(argv)  # warm-up: bytecode caches written, files in the page cache
        for _ in range(args.runs):
            for name, argv in cases.items():
                runs[name].append(cpu_seconds(argv))
    base = min(r[0] for r in runs["python -c 'import brevane'"])
    print(f"{'command':<30} {'CPU ms (least)':>15} {'(median)':>9} {'x import brevane':>17}  SDK imported")
    for name, measured in runs.items():
        least, median = min(r[0] for r in measured), statistics.median(r[0] for r in measured)
        sdk = any(r[1] for r in measured)
        print(f"{name:<30} {least * 1000:>15.1f} {median * 1000:>9.1f} {least / base:>17.2f}  {'yes' if sdk else 'no'}")


if __name__ == "__main__":
    main()
