#!/usr/bin/env python3
"""The direction of the service's folders. Each folder of service/ is a layer; a file may
include headers of its own folder and of the folders below it, never of a folder above.

Counts, over every source and header of service/ (main.cpp, at the top, included):
  - upward directions: distinct (folder, folder above it) pairs with at least one include;
  - include circles: groups of modules (a .cpp and its .h) that reach each other through
    includes and lie in more than one folder.
Prints both with the offending includes; exits 1 unless both are 0.

usage: layers.py <source dir> [--report]   (--report: print, always exit 0)
"""
import os
import re
import sys

# Bottom to top.
LAYERS = ["util", "core", "json", "device", "tasks", "session", "commands"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def modules(service):
    """module name ('folder/base') -> list of its files; headers by base name and by path."""
    files = {}
    for folder in LAYERS:
        path = os.path.join(service, folder)
        if not os.path.isdir(path):
            continue
        for name in sorted(os.listdir(path)):
            if name.endswith((".cpp", ".h")):
                files.setdefault(f"{folder}/{os.path.splitext(name)[0]}", []).append(os.path.join(path, name))
    main = os.path.join(service, "main.cpp")
    if os.path.exists(main):
        files["main"] = [main]
    return files


def folder_of(module):
    return module.split("/")[0] if "/" in module else "main"


def rank(folder):
    return len(LAYERS) if folder == "main" else LAYERS.index(folder)


def graph(service):
    mods = modules(service)
    by_path, by_base = {}, {}
    for mod, paths in mods.items():
        for p in paths:
            if p.endswith(".h"):
                by_path[mod + ".h"] = mod
                by_base.setdefault(os.path.basename(p), []).append(mod)
    edges = {}
    for mod, paths in mods.items():
        for p in paths:
            with open(p, encoding="utf-8", errors="replace") as f:
                text = f.read()
            for inc in INCLUDE.findall(text):
                target = by_path.get(inc)
                if target is None and "/" not in inc and len(by_base.get(inc, [])) == 1:
                    target = by_base[inc][0]
                if target is not None and target != mod:
                    edges.setdefault(mod, {}).setdefault(target, []).append(f"{os.path.relpath(p, service)} -> {inc}")
    return mods, edges


def circles(mods, edges):
    """Strongly connected groups of more than one module (Tarjan)."""
    index, low, on, stack, out = {}, {}, set(), [], []
    counter = [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on.add(v)
        for w in edges.get(v, {}):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            group = []
            while True:
                w = stack.pop()
                on.discard(w)
                group.append(w)
                if w == v:
                    break
            if len({folder_of(m) for m in group}) > 1:
                out.append(sorted(group))

    sys.setrecursionlimit(10000)
    for v in sorted(mods):
        if v not in index:
            visit(v)
    return out


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    service = os.path.join(sys.argv[1], "service")
    mods, edges = graph(service)
    upward = {}
    for a, targets in edges.items():
        for b, why in targets.items():
            fa, fb = folder_of(a), folder_of(b)
            if fa != fb and rank(fb) > rank(fa):
                upward.setdefault((fa, fb), []).extend(why)
    groups = circles(mods, edges)
    print(f"layers (bottom to top): {' < '.join(LAYERS)} < main")
    print(f"upward directions: {len(upward)}")
    for (a, b), why in sorted(upward.items()):
        print(f"  {a} -> {b}: " + "; ".join(sorted(why)[:4]) + (" ..." if len(why) > 4 else ""))
    print(f"include circles: {len(groups)}")
    for g in groups:
        print("  " + " <-> ".join(g))
    if "--report" in sys.argv:
        return 0
    return 0 if not upward and not groups else 1


if __name__ == "__main__":
    sys.exit(main())
