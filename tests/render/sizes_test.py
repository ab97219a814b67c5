#!/usr/bin/env python3
"""Checks that the C and C++ files of the programs stay small enough to read.

Usage: sizes_test.py ROOT FOLDER...

Every .c, .h, .cpp and .hpp file under ROOT/FOLDER (the page's scripts are not
C) may have at most FILE_LINES lines; a function body, from its opening brace
to its closing one, at most FUNCTION_LINES; a class, struct or union body at
most CLASS_LINES. The scanner blanks comments, string and character literals
and preprocessor lines, then matches braces: a brace opened at namespace or
class scope after a closing parenthesis (and its qualifiers, or a
constructor's initialisers) opens a function; one after `class`, `struct` or
`union` opens a class. Lambdas and local types count towards the function
they are in.

KNOWN lists offenders tolerated while they are being restructured (named on
every run, so that they stay in sight); an entry that no longer offends is
reported too, so that it can be taken out. It is empty.
Prints each fault as FILE:LINE: what is too long, and fails if there is any.
"""

import os
import re
import sys

FILE_LINES = 500
FUNCTION_LINES = 60
CLASS_LINES = 250
SOURCES = ('.c', '.h', '.cpp', '.hpp')
SKIPPED = ('render/lookdev/page',)

# (file, kind, name): kind is 'file', 'function' or 'class'; name is the
# function's or class's name as the scanner reports it ('' for a file).
KNOWN = set()

CONTROL = re.compile(r'^(if|for|while|switch|catch|do|else|return|sizeof|decltype)\b')
QUALIFIERS = re.compile(r'\)(\s*(const|noexcept|override|final|mutable|volatile|&&|&|'
                        r'noexcept\s*\([^()]*\)|->\s*[\w:<>,\s*&]+))*\s*$')
INITIALISERS = re.compile(r'\)\s*(noexcept\s*)?:\s*[\w:]')
CLASS = re.compile(r'(?<!enum\s)\b(class|struct|union)\s+(\w+)?')
NAME = re.compile(r'(operator\s*(\(\)|[^\s(]+)|~?[A-Za-z_]\w*(::~?[A-Za-z_]\w*)*)\s*\(')


def blank(text):
    """The text with comments, literals and preprocessor lines as spaces.

    Newlines stay, so that line numbers do not move."""
    out = []
    i = 0
    n = len(text)
    line_start = True
    while i < n:
        c = text[i]
        if line_start and c == '#':
            # A directive, with its continued lines.
            while i < n and text[i] != '\n':
                if text[i] == '\\' and i + 1 < n and text[i + 1] == '\n':
                    out.append(' \n')
                    i += 2
                    continue
                out.append(' ')
                i += 1
            continue
        if c == '\n':
            line_start = True
            out.append(c)
            i += 1
            continue
        if not c.isspace():
            line_start = False
        if text.startswith('//', i):
            while i < n and text[i] != '\n':
                out.append(' ')
                i += 1
            continue
        if text.startswith('/*', i):
            end = text.find('*/', i + 2)
            end = n if end < 0 else end + 2
            out.append(re.sub(r'[^\n]', ' ', text[i:end]))
            i = end
            continue
        raw = re.match(r'(u8|u|U|L)?R"([^()\\\s]{0,16})\(', text[i:i + 24])
        if raw and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == '_')):
            close = ')' + raw.group(2) + '"'
            end = text.find(close, i + raw.end())
            end = n if end < 0 else end + len(close)
            out.append(re.sub(r'[^\n]', ' ', text[i:end]))
            i = end
            continue
        if c in '"\'':
            # A digit separator (1'000) is no character literal.
            if c == "'" and i > 0 and text[i - 1].isalnum() and i + 1 < n and text[i + 1].isalnum():
                out.append(' ')
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != '\n':
                j += 2 if text[j] == '\\' else 1
            out.append(' ' * (min(j, n - 1) - i + 1))
            i = j + 1
            continue
        out.append(c)
        i += 1
    return ''.join(out)


def kind_of(header, in_function):
    """What a brace opens after HEADER: 'function', 'class', 'init' or None."""
    if in_function:
        return None
    header = ' '.join(header.split())
    if not header or CONTROL.match(header):
        return None
    if QUALIFIERS.search(header):
        return 'function'
    if INITIALISERS.search(header):
        # A member's brace initialiser, or the body after the last one.
        return 'init' if re.search(r'[\w>]\s*$', header) else 'function'
    if CLASS.search(header) and '(' not in header:
        return 'class'
    return None


def name_of(kind, header):
    header = re.sub(r'template\s*<[^{;]*?>\s*', '', ' '.join(header.split()))
    if kind == 'class':
        # The last word before the bases: `class EXPORT_MACRO Name final : Base`.
        found = list(CLASS.finditer(header))
        words = re.findall(r'\w+', header[found[-1].end(1):].split(':')[0]) if found else []
        words = [w for w in words if w != 'final']
        return words[-1] if words else '(anonymous)'
    found = NAME.search(header)
    return found.group(1).replace(' ', '') if found else '(lambda)'


def scan(text):
    """Yields (kind, name, first line, lines) for each function and class."""
    code = blank(text)
    stack = []  # (kind, name, line of the opening brace)
    header = []
    line = 1
    for c in code:
        if c == '\n':
            line += 1
        if c == '{':
            in_function = any(k == 'function' for k, _, _ in stack)
            kind = kind_of(''.join(header), in_function)
            name = name_of(kind, ''.join(header)) if kind in ('function', 'class') else ''
            stack.append((kind, name, line))
            if kind == 'init':
                header.append(c)
            else:
                header = []
        elif c == '}':
            if not stack:
                continue
            kind, name, first = stack.pop()
            if kind in ('function', 'class'):
                yield kind, name, first, line - first + 1
            if kind == 'init':
                header.append(c)
            else:
                header = []
        elif c == ';':
            header = []
        else:
            header.append(c)


def faults(root, relative):
    with open(os.path.join(root, relative), encoding='utf-8') as f:
        text = f.read()
    lines = text.count('\n') + (0 if text.endswith('\n') or not text else 1)
    if lines > FILE_LINES:
        yield ('file', '', 1, f'{lines} lines (at most {FILE_LINES})')
    limits = {'function': FUNCTION_LINES, 'class': CLASS_LINES}
    for kind, name, first, length in scan(text):
        if length > limits[kind]:
            yield (kind, name, first, f'{kind} {name} is {length} lines (at most {limits[kind]})')


def files(root, folders):
    for folder in folders:
        for directory, subfolders, names in os.walk(os.path.join(root, folder)):
            subfolders.sort()
            relative_dir = os.path.relpath(directory, root).replace(os.sep, '/')
            if any(relative_dir == s or relative_dir.startswith(s + '/') for s in SKIPPED):
                subfolders[:] = []
                continue
            for name in sorted(names):
                if name.endswith(SOURCES):
                    yield f'{relative_dir}/{name}'


def main(argv):
    if len(argv) < 3:
        raise SystemExit(__doc__.split('\n\n')[1])
    root = argv[1]
    failed = False
    seen = set()
    for relative in files(root, argv[2:]):
        for kind, name, line, what in faults(root, relative):
            key = (relative, kind, name)
            if key in KNOWN:
                seen.add(key)
                print(f'{relative}:{line}: known: {what}')
            else:
                failed = True
                print(f'{relative}:{line}: {what}')
    for key in sorted(KNOWN - seen):
        what = 'the file' if key[1] == 'file' else f'{key[1]} {key[2]}'
        print(f'{key[0]}: {what} is short enough now: take it out of KNOWN')
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
