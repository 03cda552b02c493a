#!/usr/bin/env python3
"""Fails on an include cycle in driver/ and on an include that runs up the driver's layers.

A unit is a source with its header of the same name (connect_redirect.cpp and
connect_redirect.h); unit A depends on unit B when a file of A includes a file of B. Two
units that depend on each other, directly or through others, are a cycle. The layers, top
down, are those of driver/README.md: a unit may include units of its own layer and of the
layers below it, never of one above.

Usage: scripts/check-includes.py [driver-dir]   exit 0 clean, 1 on a finding.
"""
import os
import re
import sys

LAYERS = ["frame", "policy", "flow", "redirect", "trace", "include"]  # top down
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def units(root):
    """Maps each unit (path without extension, relative to root) to its files."""
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            if name.endswith((".h", ".cpp")):
                path = os.path.join(folder, name)
                unit = os.path.relpath(os.path.splitext(path)[0], root)
                found.setdefault(unit, []).append(path)
    return found


def resolve(root, including, target):
    """The unit a quoted include names, looked up as the compiler does (beside the file,
    then driver/include); None for what is not the driver's (generated .tmh files)."""
    for base in (os.path.dirname(including), os.path.join(root, "include")):
        path = os.path.normpath(os.path.join(base, target))
        if os.path.isfile(path) and os.path.commonpath([root, path]) == root:
            return os.path.relpath(os.path.splitext(path)[0], root)
    return None


def layer_of(unit):
    top = unit.split(os.sep)[0]
    return LAYERS.index(top) if top in LAYERS else None


def cycles(graph):
    """Strongly connected components with more than one unit (Tarjan)."""
    index, low, stack, on, out = {}, {}, [], set(), []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on.add(v)
        for w in sorted(graph[v]):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                on.discard(w)
                component.append(w)
                if w == v:
                    break
            if len(component) > 1:
                out.append(sorted(component))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    return out


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                           os.path.join(os.path.dirname(__file__), "..", "driver"))
    all_units = units(root)
    graph = {u: set() for u in all_units}
    why = {}
    findings = []
    for unit, files in sorted(all_units.items()):
        if layer_of(unit) is None:
            findings.append(f"{unit}: in no layer (add its folder to check-includes.py and driver/README.md)")
        for path in files:
            with open(path, encoding="utf-8") as f:
                text = f.read()
            for target in INCLUDE.findall(text):
                dep = resolve(root, path, target)
                if dep is None or dep == unit:
                    continue
                graph[unit].add(dep)
                why.setdefault((unit, dep), os.path.relpath(path, root) + ' includes "' + target + '"')
                a, b = layer_of(unit), layer_of(dep)
                if a is not None and b is not None and b < a:
                    findings.append(f"{why[(unit, dep)]}: {LAYERS[a]}/ may not include {LAYERS[b]}/, a layer above it")
    for component in cycles(graph):
        ties = [why[(a, b)] for a in component for b in component if (a, b) in why]
        findings.append("include cycle: " + ", ".join(component) + "\n    " + "\n    ".join(sorted(ties)))
    for finding in findings:
        print("check-includes: " + finding, file=sys.stderr)
    if findings:
        return 1
    print(f"check-includes: {len(all_units)} units of driver/, no cycle, every include runs down the layers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
