#!/usr/bin/env python3
"""rq7cli's exit codes from their one table (cli/CliExit.h) into the README and the manual page.

    python3 scripts/exit-codes.py           rewrites the two tables between their markers
    python3 scripts/exit-codes.py --check   exits 1, naming the file, when either differs from the code

The README's table stands between <!-- exit-codes:begin --> and <!-- exit-codes:end -->, the manual
page's entries between the lines .\\" exit-codes:begin and .\\" exit-codes:end.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
HEADER = ROOT / "cli" / "CliExit.h"
README = ROOT / "README.md"
MANUAL = ROOT / "packaging" / "man" / "rq7cli.1"

LITERALS = r'((?:"(?:[^"\\]|\\.)*"\s*)+)'


def literal(text):
    """The value of adjacent C++ string literals."""
    parts = re.findall(r'"((?:[^"\\]|\\.)*)"', text)
    joined = "".join(parts)
    return re.sub(r"\\(.)", lambda m: {"n": "\n"}.get(m.group(1), m.group(1)), joined)


def table():
    source = HEADER.read_text(encoding="utf-8")
    codes = dict(re.findall(r"(kExit\w+)\s*=\s*(\d+)", source))
    body = source[source.index("kCliExitTable"):]
    rows = []
    pattern = r"\{\s*(kExit\w+),\s*" + r",\s*".join([LITERALS] * 4) + r"\}"
    for name, _meaning, _action, english, action in re.findall(pattern, body):
        rows.append((int(codes[name]), literal(english), literal(action)))
    if not rows:
        sys.exit(f"exit-codes.py: no rows found in {HEADER}")
    return rows


def readme_table(rows):
    lines = ["| Exit code | Meaning | What a factory line does |", "|---|---|---|"]
    for code, meaning, action in rows:
        lines.append(f"| {code} | {meaning} | {action} |")
    return "\n".join(lines)


def roff(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return re.sub(r'"([^"]*)"', r"\\(lq\1\\(rq", text)


def manual_entries(rows):
    lines = []
    for code, meaning, action in rows:
        lines += [".TP", f".B {code}", roff(meaning[0].upper() + meaning[1:]) + ".", roff("Next: " + action) + "."]
    return "\n".join(lines)


def replace_between(text, begin, end, new, path):
    start = text.find(begin)
    stop = text.find(end)
    if start < 0 or stop < start:
        sys.exit(f"exit-codes.py: {path}: markers {begin!r} and {end!r} not found")
    return text[: start + len(begin)] + "\n" + new + "\n" + text[stop:]


def main():
    check = sys.argv[1:] == ["--check"]
    rows = table()
    targets = [
        (README, "<!-- exit-codes:begin -->", "<!-- exit-codes:end -->", readme_table(rows)),
        (MANUAL, '.\\" exit-codes:begin', '.\\" exit-codes:end', manual_entries(rows)),
    ]
    stale = []
    for path, begin, end, new in targets:
        old = path.read_text(encoding="utf-8")
        text = replace_between(old, begin, end, new, path)
        if text != old:
            stale.append(path)
            if not check:
                path.write_text(text, encoding="utf-8")
    if check and stale:
        for path in stale:
            print(f"{path.relative_to(ROOT)}: the exit codes differ from cli/CliExit.h; "
                  "run python3 scripts/exit-codes.py", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
