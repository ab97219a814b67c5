#!/usr/bin/env python3
"""Checks that no file of oska-render includes a header of a floor above its own.

Usage: floors_test.py RENDER_DIR FLOOR=USED,USED... ...

Each FLOOR is a folder of RENDER_DIR and a library of its own; USED lists the
floors it links (render/CMakeLists.txt gives them). A floor may include its
own headers and those of every floor it reaches through the floors it uses.
The files directly in RENDER_DIR (the program's) may include any floor's.

The build already refuses a library's own sources that reach up (the folders
above are not among its include folders); this also catches a header that
does, which builds as long as only the floors above include it. Each quoted
include is resolved as the compiler would: next to the file first, then in
the floors' folders (and RENDER_DIR, where `lookdev/...` names live).
Prints each fault as FILE:LINE: what is wrong, and fails if there is any.
"""

import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
SOURCES = ('.h', '.hpp', '.c', '.cpp', '.in')
PROGRAM = ''  # the floor of the files directly in the render folder


def reach(floors):
    """Each floor with every floor it may use, directly or through others."""
    reached = {}

    def visit(floor, path):
        if floor in path:
            raise SystemExit('floors_test: the floors use each other in a loop: ' +
                             ' -> '.join(path + [floor]))
        if floor not in reached:
            below = set()
            for used in floors[floor]:
                if used not in floors:
                    raise SystemExit(f'floors_test: {floor} uses {used}, which is no floor')
                below |= {used} | visit(used, path + [floor])
            reached[floor] = below
        return reached[floor]

    for floor in floors:
        visit(floor, [])
    return reached


def floor_of(render, path):
    parts = os.path.relpath(path, render).split(os.sep)
    return PROGRAM if len(parts) == 1 else parts[0]


def main(argv):
    if len(argv) < 2:
        raise SystemExit(__doc__)
    render = os.path.realpath(argv[0])
    floors = {}
    for floor_uses in argv[1:]:
        name, _, used = floor_uses.partition('=')
        floors[name] = [u for u in used.split(',') if u]
    reached = reach(floors)
    reached[PROGRAM] = set(floors)

    faults = []
    files = []
    for folder, dirs, names in os.walk(render):
        dirs.sort()
        files += [os.path.join(folder, n) for n in sorted(names) if n.endswith(SOURCES)]
    for path in files:
        floor = floor_of(render, path)
        shown = os.path.relpath(path, os.path.dirname(render))
        if floor not in reached:
            faults.append(f'{shown}: in the folder {floor}, which is no floor')
            continue
        with open(path, encoding='utf-8') as f:
            lines = f.read().splitlines()
        for number, line in enumerate(lines, 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            name = match.group(1)
            where = f'{shown}:{number}'
            beside = os.path.join(os.path.dirname(path), name)
            if os.path.isfile(beside):
                found = [beside]
            else:
                found = [p for p in [os.path.join(render, f, name) for f in floors] +
                         [os.path.join(render, name)] if os.path.isfile(p)]
            if not found:
                faults.append(f'{where}: "{name}" is no file of the render folder')
                continue
            if len(found) > 1:
                homes = ', '.join(sorted(floor_of(render, p) for p in found))
                faults.append(f'{where}: "{name}" is in more than one floor ({homes})')
                continue
            target = floor_of(render, os.path.realpath(found[0]))
            if target != floor and target not in reached[floor]:
                below = ', '.join(sorted(reached[floor])) or 'no other floor'
                faults.append(f'{where}: "{name}" is of the floor {target or "program"}, '
                              f'which {floor or "the program"} may not use '
                              f'(it may use: {below})')
    for fault in faults:
        print(fault)
    if faults:
        return 1
    print(f'floors_test: {len(files)} files, every include within its floor or below')
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
