#!/usr/bin/env python3
"""Every message the tool can print is in its manual page.

The messages are the Chinese texts of the product's string literals (adjacent literals joined,
as the compiler joins them); each piece between the values put into it must occur in the page as
man renders it, whitespace aside. Usage: manual_messages.py SOURCE_DIR PAGE MAN
"""
import pathlib
import re
import subprocess
import sys

PRODUCT = ("app", "audio", "processes", "recorder", "targets")
NOT_THE_TOOL = ("audio/simulated/",)  # the tests' platform, run only by process-tap-sim
CHINESE = re.compile("[\u3000-\u303f\u4e00-\u9fff\uff00-\uffef]")
# A printf conversion, or an escape that ends a line: a value or a break, not text.
SPLIT = re.compile(r"%[-+ #0]*\d*(?:\.\d+)?(?:hh|h|ll|l|z|j|t|L)?[diouxXeEfgGcsp]|\\n")
TOKEN = re.compile(
    r'//[^\n]*|/\*.*?\*/|R"([^(]*)\((?:.|\n)*?\)\1"|@?"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\''
    r"|\s+|[^\s\"'/]+|/",
    re.S,
)


def literals(text):
    """The string literals of a C++ or Objective-C++ source, adjacent ones joined."""
    joined, current, between = [], None, True
    for match in TOKEN.finditer(text):
        token = match.group(0)
        if token.isspace() or token.startswith(("//", "/*")):
            continue
        if token.startswith(('"', '@"')):
            body = token[token.index('"') + 1 : -1]
            current = body if current is None else current + body
            continue
        if token.startswith("R\"") and match.group(1) is not None:
            current = (current or "") + token[len(match.group(1)) + 3 : -len(match.group(1)) - 2]
            continue
        if current is not None:
            joined.append(current)
        current = None
    if current is not None:
        joined.append(current)
    return joined


def pieces(literal):
    for piece in SPLIT.split(literal):
        piece = re.sub(r"\\(.)", r"\1", piece)
        piece = re.sub(r"\s+", "", piece)
        if CHINESE.search(piece):
            yield piece


def main(source_dir, page, man):
    rendered = subprocess.run(
        [man, "-l", page],
        env={"LC_ALL": "C.UTF-8", "MANWIDTH": "2000", "PATH": "/usr/bin:/bin"},
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    manual = re.sub(r"\s+", "", rendered)
    root = pathlib.Path(source_dir)
    missing, seen = [], 0
    for directory in PRODUCT:
        for path in sorted((root / directory).rglob("*")):
            relative = path.relative_to(root).as_posix()
            if path.suffix not in (".h", ".cpp", ".mm") or relative.startswith(NOT_THE_TOOL):
                continue
            for literal in literals(path.read_text(encoding="utf-8")):
                for piece in pieces(literal):
                    seen += 1
                    if piece not in manual:
                        missing.append(f"{relative}: {piece}")
    for line in missing:
        print(f"not in the manual page: {line}")
    if seen == 0:
        print("no message found in the sources")
    return 1 if missing or seen == 0 else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
