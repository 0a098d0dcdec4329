#!/usr/bin/env python3
"""rq7cli's tables in the code into its documents: the exit codes (cli/CliExit.h) into the README and
the manual page, the commands and their options (cli/CliCommandTable.cpp) into the manual page's
synopsis.

    python3 scripts/cli-docs.py           rewrites the parts between their markers
    python3 scripts/cli-docs.py --check   exits 1, naming the file, when a part differs from the code,
                                          or a command of the table is not described in the manual page

The README's table stands between <!-- exit-codes:begin --> and <!-- exit-codes:end -->; in the manual
page, the lines .\\" exit-codes:begin and .\\" exit-codes:end, and .\\" synopsis:begin and
.\\" synopsis:end, mark the parts.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
HEADER = ROOT / "cli" / "CliExit.h"
COMMANDS = ROOT / "cli" / "CliCommandTable.cpp"
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
        sys.exit(f"cli-docs.py: no rows found in {HEADER}")
    return rows


def command_table():
    """(name, english operand, [option names]) per command, and {option: english value name or None}."""
    source = COMMANDS.read_text(encoding="utf-8")
    options = {}
    body = source[source.index("CliOptions()"):source.index("CommonCliOptions()")]
    for name, value in re.findall(r'\{"([a-z0-9-]+)",\s*(?:"[^"]*"|nullptr),\s*("[^"]*"|nullptr),', body):
        options[name] = None if value == "nullptr" else literal(value)
    common = re.findall(r'"([a-z-]+)"', re.search(r"common = \{([^}]*)\}", source).group(1))
    commands = []
    body = source[source.index("CliCommands()"):]
    for match in re.finditer(r'\{"([a-z]+)",\s*"[^"]*",\s*"([^"]*)",.*?\{([^{}]*)\},\s*"', body, re.S):
        name, operand, own = match.groups()
        # After the run function: UsesPort, then OperandOptional (an operand that may be left out).
        tail = re.match(r'[^}]*?Command\w+(?:,\s*(true|false))?(?:,\s*(true|false))?\s*\}', body[match.end():], re.S)
        if operand and tail and tail.group(2) == "true":
            operand = "[" + operand + "]"
        commands.append((name, operand, re.findall(r'"([a-z0-9-]+)"', own)))
    if not commands or not options:
        sys.exit(f"cli-docs.py: no commands or options found in {COMMANDS}")
    return commands, options, [c for c in common if c != "help"]


def manual_synopsis(commands, options, common):
    lines = []
    for name, operand, own in commands:
        lines.append(f".B rq7cli {name}")
        if operand.startswith("["):
            lines.append(f".RI [ {operand[1:-1]} ]")
        elif operand:
            lines.append(f".I {operand}")
        for option in own:
            lines.append(option_line(option, options.get(option)))
        lines.append(".RI [ common\\-options ]")
        lines.append(".br")
    lines += [".B rq7cli help", ".RI [ command ]", ".br", ".B rq7cli", ".I command", ".B \\-\\-help", ".br",
              ".B rq7cli \\-\\-version", ".PP", ".IR common\\-options :"]
    for option in common:
        lines.append(option_line(option, options.get(option)))
    return "\n".join(lines)


def option_line(option, value):
    if value:
        return f'.RB [ "\\-\\-{roff_name(option)} \\fI{value}\\fP" ]'
    return f".RB [ \\-\\-{roff_name(option)} ]"


def roff_name(name):
    return name.replace("-", "\\-")


def undescribed(commands, manual_text):
    section = manual_text[manual_text.index(".SH COMMANDS"):manual_text.index(".SH OPTIONS")]
    return [name for name, _, _ in commands
            if not re.search(r"^\.B[IR]? " + name + r"\b", section, re.M)]


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
        sys.exit(f"cli-docs.py: {path}: markers {begin!r} and {end!r} not found")
    return text[: start + len(begin)] + "\n" + new + "\n" + text[stop:]


def main():
    check = sys.argv[1:] == ["--check"]
    rows = table()
    commands, options, common = command_table()
    targets = [
        (README, "<!-- exit-codes:begin -->", "<!-- exit-codes:end -->", readme_table(rows)),
        (MANUAL, '.\\" exit-codes:begin', '.\\" exit-codes:end', manual_entries(rows)),
        (MANUAL, '.\\" synopsis:begin', '.\\" synopsis:end', manual_synopsis(commands, options, common)),
    ]
    stale = []
    for path, begin, end, new in targets:
        old = path.read_text(encoding="utf-8")
        text = replace_between(old, begin, end, new, path)
        if text != old:
            part = re.sub(r"[^a-z-]", "", begin.split(":")[0])
            stale.append(f"{path.relative_to(ROOT)}: {part} differs from the code")
            if not check:
                path.write_text(text, encoding="utf-8")
    missing = undescribed(commands, MANUAL.read_text(encoding="utf-8"))
    problems = [f"{MANUAL.relative_to(ROOT)}: command {name} is not described under COMMANDS"
                for name in missing]
    if check:
        problems = stale + problems
    for problem in problems:
        print(problem + ("; run python3 scripts/cli-docs.py" if "differs" in problem else ""), file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
