"""CI names every test that passed only on its retry: scripts/flaky_tests.py against a log of a
real ctest run with --repeat until-pass:2 (tests/checks/fixtures/LastTest-retry.log: one
test steady, one failing once, one failing twice), and against the same attempts finished in
another order, as a parallel run writes them.
Arguments: source directory."""
import os
import subprocess
import sys

source = sys.argv[1]
script = os.path.join(source, "scripts", "flaky_tests.py")
fixture = os.path.join(source, "tests", "checks", "fixtures", "LastTest-retry.log")
faults = []


def run(path):
    r = subprocess.run([sys.executable, script, path], capture_output=True, text=True)
    if r.returncode != 0:
        faults.append(f"flaky_tests.py {path} ended with {r.returncode}: {r.stderr}")
    return r.stdout


out = run(fixture)
if out != "flaky: e2e_flaky\n":
    faults.append(f"the fixture gives {out!r}, expected 'flaky: e2e_flaky'")

# A parallel run: the blocks of different tests interleave; the retry of e2e_flaky comes last.
with open(fixture) as f:
    text = f.read()
blocks = text.split("\n\n")
head, rest = blocks[0], blocks[1:]
flaky_blocks = [b for b in rest if "Testing: e2e_flaky" in b]
others = [b for b in rest if "Testing: e2e_flaky" not in b]
shuffled = "\n\n".join([head, flaky_blocks[0]] + others + flaky_blocks[1:])
tmp = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"flaky-report-{os.getpid()}.log")
with open(tmp, "w") as f:
    f.write(shuffled)
try:
    out = run(tmp)
finally:
    os.unlink(tmp)
if out != "flaky: e2e_flaky\n":
    faults.append(f"the interleaved log gives {out!r}")

for fault in faults:
    print(fault)
sys.exit(1 if faults else 0)
