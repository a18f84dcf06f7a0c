#!/usr/bin/env python3
"""Checks that the program code keeps to its floors.

    check_layout.py ROOT FLOOR...

FLOOR... are the top folders of the program code from the ground up, in the
order the top CMakeLists.txt adds them (it passes its own list here, so the
order lives in one place). Every `#include "..."` of a source under a floor is
read; the check fails, naming the file and line, on

  - an include of a file on a higher floor (a floor may use only those below
    it and itself);
  - an include that closes a circle between folders (subfolders count as
    folders of their own: cli/run may use cli/, or cli/ cli/run, not both);
  - a source folder at the top that is on no floor.

An include is looked up from the top of the tree, then beside the file; one
found in neither (a generated header, a resource of the build) is not checked.
"""
import os
import re
import sys

SOURCES = (".h", ".hpp", ".c", ".cpp", ".rc")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
# Top folders that hold no program code.
NOT_PROGRAM = {"tests", "bench", "tools", "docs", "examples", "packaging", "cmake", ".ci", ".git"}


def sources(root, floors):
    for floor in floors:
        for folder, dirs, files in os.walk(os.path.join(root, floor)):
            dirs.sort()
            for name in sorted(files):
                if name.endswith(SOURCES):
                    yield os.path.relpath(os.path.join(folder, name), root)


def includes(root, path):
    with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
        for number, text in enumerate(f, 1):
            m = INCLUDE.match(text)
            if not m:
                continue
            name = m.group(1)
            for candidate in (name, os.path.join(os.path.dirname(path), name)):
                candidate = os.path.normpath(candidate)
                if os.path.isfile(os.path.join(root, candidate)):
                    yield number, name, candidate
                    break


def circles(edges):
    """The folders that reach each other, as lists (Tarjan's components of more than one)."""
    index, low, stack, on, found = {}, {}, [], set(), []
    counter = [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on.add(v)
        for w in sorted(edges.get(v, ())):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            part = []
            while True:
                w = stack.pop()
                on.discard(w)
                part.append(w)
                if w == v:
                    break
            if len(part) > 1:
                found.append(sorted(part))

    for v in sorted(edges):
        if v not in index:
            visit(v)
    return found


def main():
    if len(sys.argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    root, floors = sys.argv[1], sys.argv[2:]
    level = {floor: n for n, floor in enumerate(floors)}
    problems = []

    for name in sorted(os.listdir(root)):
        if (os.path.isdir(os.path.join(root, name)) and name not in level and name not in NOT_PROGRAM
                and not name.startswith(".") and not name.startswith("build")):
            if any(f.endswith(SOURCES) for _, _, files in os.walk(os.path.join(root, name)) for f in files):
                problems.append(f"{name}/: program code on no floor; add the folder to the floors in CMakeLists.txt")

    edges, where = {}, {}
    count = ups = 0
    for path in sources(root, floors):
        here = os.path.dirname(path)
        for number, name, target in includes(root, path):
            count += 1
            there = os.path.dirname(target)
            top = target.split(os.sep)[0]
            if top not in level:
                continue
            mine = path.split(os.sep)[0]
            if level[top] > level[mine]:
                ups += 1
                problems.append(f"{path}:{number}: includes \"{name}\" from {top}/, a floor above {mine}/")
            if there != here:
                edges.setdefault(here, set()).add(there)
                where.setdefault((here, there), f"{path}:{number}")

    rings = circles(edges)
    pairs = sum(1 for a in edges for b in edges[a] if a < b and a in edges.get(b, ()))
    for ring in rings:
        # One way round the circle, each step with the include that makes it.
        inside, start = set(ring), ring[0]
        back, queue = {start: None}, [start]
        while queue:
            a = queue.pop(0)
            for b in sorted(edges.get(a, ())):
                if b == start and a != start:
                    queue = []
                    path = [a]
                    while back[path[-1]] is not None:
                        path.append(back[path[-1]])
                    path.reverse()
                    break
                if b in inside and b not in back:
                    back[b] = a
                    queue.append(b)
        path.append(start)
        steps = [f"{where[(a, b)]} ({a}/ -> {b}/)" for a, b in zip(path, path[1:])]
        problems.append("folders that include each other: " + " -> ".join(f"{f}/" for f in path) + "; by " +
                        "; ".join(steps))

    for p in problems:
        print(p)
    print(f"layout: {count} includes read, {ups} up a floor, {len(rings)} circles between folders "
          f"({pairs} pairs that include each other)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
