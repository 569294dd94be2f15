"""Only end-to-end tests are ever retried.

1. In the test scripts, a ctest run that retries (--repeat) selects the label e2e, and
   every other ctest run leaves that label out.
2. In the build, the label e2e is carried by exactly the end-to-end tests (e2e_*).
Arguments: source directory, build directory."""
import json
import re
import subprocess
import sys

SCRIPTS = ["scripts/test.sh", "scripts/sanitize.sh", "scripts/mips-build.sh"]


def script_faults(source):
    faults = []
    for name in SCRIPTS:
        with open(f"{source}/{name}") as f:
            for n, line in enumerate(f, 1):
                code = line.split("#", 1)[0]
                if not re.match(r"\s*ctest\s", code):
                    continue
                retries = "--repeat" in code
                if retries and "-L e2e" not in code:
                    faults.append(f"{name}:{n}: retries without selecting the label e2e")
                if not retries and not re.search(r'-LE "?e2e\b', code):
                    faults.append(f"{name}:{n}: runs without leaving the label e2e out")
    return faults


def label_faults(build):
    out = subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"], check=True,
                         capture_output=True, text=True).stdout
    faults = []
    for test in json.loads(out)["tests"]:
        labels = []
        for prop in test.get("properties", []):
            if prop["name"] == "LABELS":
                labels = prop["value"]
        is_e2e = test["name"].startswith("e2e_")
        if is_e2e != ("e2e" in labels):
            faults.append(f"{test['name']}: labels {labels}")
    return faults


if __name__ == "__main__":
    faults = script_faults(sys.argv[1]) + label_faults(sys.argv[2])
    for fault in faults:
        print(fault)
    sys.exit(1 if faults else 0)
