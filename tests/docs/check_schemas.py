#!/usr/bin/python3
"""Checks the protocol reference against its JSON Schemas.

  check_schemas.py DOCS_DIR [NIMBOCTL]

- every schema in DOCS_DIR/schemas is a valid 2020-12 schema;
- every message of every ```exchange block in DOCS_DIR/protocol.md ("S> " server to terminal,
  "D> " terminal to server) validates against its envelope schema and against the schema of its
  command's "param", its reply's "param" or its report's "param";
- every command of the reference's command table has a param schema, a reply schema (except the
  commands documented as unanswered), its own section and at least one example request;
- with NIMBOCTL given, the console knows exactly the commands of the reference.
Prints one line per problem and "N passed, M failed".
"""
import json
import os
import re
import subprocess
import sys

from jsonschema import Draft202012Validator

NO_REPLY = {"devOrgInfo"}
REPORTS = {"deviceInfo", "alert"}


def load_schemas(folder):
    schemas = {}
    for name in sorted(os.listdir(folder)):
        if name.endswith(".json"):
            with open(os.path.join(folder, name)) as f:
                schemas[name[:-5]] = json.load(f)
    return schemas


def exchanges(markdown):
    """(line number, direction, JSON text) of every message in the exchange blocks."""
    out = []
    inside = False
    for number, line in enumerate(markdown.splitlines(), 1):
        stripped = line.strip()
        if stripped.startswith("```"):
            inside = stripped == "```exchange" if not inside else False
            continue
        if inside and stripped:
            m = re.match(r"^(S|D)> (.*)$", stripped)
            out.append((number, m.group(1) if m else None, m.group(2) if m else stripped))
    return out


def documented_commands(markdown):
    """Command names of the table under '## Commands'."""
    section = markdown.split("\n## Commands", 1)[1].split("\n### ", 1)[0]
    return re.findall(r"^\| \[(\w+)\]\(#", section, re.M)


class Checker:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, ok, what):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
            print("FAIL: " + what)

    def validate(self, schema, value, what):
        errors = sorted(Draft202012Validator(schema).iter_errors(value), key=lambda e: list(e.path))
        self.check(not errors, what + ("" if not errors else ": " + "; ".join(
            f"{'/'.join(map(str, e.path)) or '(top)'}: {e.message}" for e in errors[:3])))


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    docs = sys.argv[1]
    nimboctl = sys.argv[2] if len(sys.argv) > 2 else None
    with open(os.path.join(docs, "protocol.md")) as f:
        markdown = f.read()
    schemas = load_schemas(os.path.join(docs, "schemas"))
    c = Checker()

    for name, schema in schemas.items():
        try:
            Draft202012Validator.check_schema(schema)
            c.check(True, name)
        except Exception as e:  # the schema error in one line
            c.check(False, f"schemas/{name}.json is not a valid schema: {str(e).splitlines()[0]}")

    commands = documented_commands(markdown)
    c.check(len(commands) >= 15, f"the command table lists {len(commands)} commands")
    requested = set()
    for number, direction, text in exchanges(markdown):
        where = f"protocol.md:{number}"
        try:
            message = json.loads(text)
        except ValueError as e:
            c.check(False, f"{where}: not JSON ({e})")
            continue
        cmd = message.get("cmd", "") if isinstance(message, dict) else ""
        param = message.get("param") if isinstance(message, dict) else None
        if direction == "S":
            c.validate(schemas["request.envelope"], message, f"{where} request envelope")
            if cmd in commands:
                requested.add(cmd)
                c.validate(schemas[cmd + ".param"], param if param is not None else {}, f"{where} {cmd} param")
        elif direction == "D" and cmd in REPORTS:
            c.validate(schemas["report.envelope"], message, f"{where} report envelope")
            c.validate(schemas[cmd + ".report"], param, f"{where} {cmd} report")
        elif direction == "D" and cmd.endswith("Resp"):
            c.validate(schemas["reply.envelope"], message, f"{where} reply envelope")
            base = cmd[:-4]
            key = base + ".reply" if base + ".reply" in schemas else "result"
            c.validate(schemas[key], param, f"{where} {cmd} param")
        else:
            c.check(False, f"{where}: a message must start with 'S> ' or 'D> ' and be a request, reply or report")

    for cmd in commands:
        c.check(cmd + ".param" in schemas, f"schemas/{cmd}.param.json is missing")
        if cmd not in NO_REPLY:
            c.check(cmd + ".reply" in schemas, f"schemas/{cmd}.reply.json is missing")
        c.check(cmd in requested, f"no example request of {cmd} in protocol.md")
        c.check(re.search(r"^### .*\b" + cmd + r"\b", markdown, re.M) is not None, f"no section for {cmd}")

    if nimboctl:
        listing = subprocess.run([nimboctl, "commands"], capture_output=True, text=True).stdout
        known = [line.split()[0] for line in listing.splitlines() if line.startswith("  ")]
        c.check(sorted(known) == sorted(commands),
                f"nimboctl knows {sorted(set(known) ^ set(commands))} differently from protocol.md")

    print(f"{c.passed} passed, {c.failed} failed")
    return 0 if c.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
