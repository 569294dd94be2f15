#!/usr/bin/python3
"""What an operator reads at the console matches what the tools take.

  check_console_help.py SOURCE_DIR [NIMBOCTL]

- with NIMBOCTL given, the bash completion (packaging/nimboctl.bash-completion) offers every
  option that `nimboctl --help` lists, and skips the value of each option that takes one;
- `tools/mgmt_sim.py --help` documents every runtime setting of POST /_sim/config.
Prints one line per problem and "N passed, M failed".
"""
import ast
import re
import subprocess
import sys


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    source = sys.argv[1]
    nimboctl = sys.argv[2] if len(sys.argv) > 2 else None
    passed = failed = 0

    def check(ok, what):
        nonlocal passed, failed
        if ok:
            passed += 1
        else:
            failed += 1
            print("FAIL: " + what)

    if nimboctl:
        usage = subprocess.run([nimboctl, "--help"], capture_output=True, text=True).stdout
        options = sorted(set(re.findall(r"^\s+(--[a-z][a-z-]*)", usage, re.M)) |
                         set(re.findall(r", (--[a-z][a-z-]*)", usage)))
        with_value = set(re.findall(r"^\s+(--[a-z][a-z-]*) [A-Z]", usage, re.M)) | \
            set(re.findall(r", (--[a-z][a-z-]*) [A-Z]", usage))
        with open(f"{source}/packaging/nimboctl.bash-completion") as f:
            completion = f.read()
        offered = set(re.findall(r"--[a-z][a-z-]*", completion.split("compgen -W", 1)[1].split('" --', 1)[0]))
        skipped = set()
        for case in re.findall(r"^\s+((?:--[a-z-]+\|?)+)\)", completion, re.M):
            skipped |= set(case.split("|"))
        check(len(options) >= 10, f"nimboctl --help lists {len(options)} options")
        for option in options:
            check(option in offered, f"the bash completion does not offer {option}")
            if option in with_value:
                check(option in skipped, f"the bash completion does not skip the value of {option}")

    sim = f"{source}/tools/mgmt_sim.py"
    usage = subprocess.run([sys.executable, sim, "--help"], capture_output=True, text=True).stdout
    with open(sim) as f:
        tree = ast.parse(f.read())
    settings = []
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(getattr(t, "id", "") == "DEFAULTS" for t in node.targets):
            settings = [k.value for k in node.value.keys]
    check(len(settings) >= 10, f"mgmt_sim.py has {len(settings)} runtime settings")
    for name in settings:
        check(f'"{name}"' in usage, f"mgmt_sim.py --help does not document the runtime setting {name}")

    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
