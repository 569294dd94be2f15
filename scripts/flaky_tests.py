#!/usr/bin/env python3
"""Names the tests of a ctest run that passed only on a retry (ctest --repeat until-pass:N).

  flaky_tests.py LOG

LOG is the run's Testing/Temporary/LastTest.log, where ctest writes one block per attempt of
each test ("N/M Testing: NAME" ... "Test Passed." or "Test Failed."). Prints "flaky: NAME"
for every test whose last attempt passed after an earlier one did not, in the order of the
log, and nothing else. Such a test has found a race: a fault to find, not noise."""
import re
import sys


def attempts(text):
    """(name, passed) for every attempt in the log, in order."""
    out = []
    name = None
    for line in text.splitlines():
        m = re.match(r"^\d+/\d+ Testing: (.+)$", line)
        if m:
            name = m.group(1).strip()
            continue
        m = re.match(r"^Test (Passed|Failed|Not Run)\b", line)
        if m and name is not None:
            out.append((name, m.group(1) == "Passed"))
            name = None
    return out


def flaky(text):
    history = {}
    for name, passed in attempts(text):
        history.setdefault(name, []).append(passed)
    return [name for name, runs in history.items() if len(runs) > 1 and runs[-1] and not all(runs)]


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    try:
        with open(sys.argv[1], errors="replace") as f:
            text = f.read()
    except OSError as e:
        print(f"flaky_tests.py: {sys.argv[1]}: {e.strerror}", file=sys.stderr)
        return 1
    for name in flaky(text):
        print(f"flaky: {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
