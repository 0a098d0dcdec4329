#!/usr/bin/env python3
"""Reads what the Windows package checks need from Windows files, without Windows:

  windows-files.py resources EXE ICO VERSION DESCRIPTION
      succeeds when every image of the icon file ICO is in EXE's resources and its version record
      carries VERSION and DESCRIPTION; says what is missing otherwise
  windows-files.py reg-value REGFILE KEY NAME
      prints the value NAME under KEY from a registry file of a Wine prefix (system.reg, user.reg),
      decoded ("dword:0000000a" for a number); fails when there is none
  windows-files.py reg-key REGFILE KEY
      prints the values under KEY, one '"Name"=value' a line as the file has them (strings decoded);
      fails when the key is not there
  windows-files.py lnk-has LNK TEXT
      succeeds when the shortcut file LNK holds TEXT (in UTF-16, as shortcuts keep their paths)
"""
import re
import struct
import sys


def icon_images(ico_bytes):
    reserved, kind, count = struct.unpack_from("<HHH", ico_bytes, 0)
    if reserved != 0 or kind != 1 or count == 0:
        raise ValueError("not an icon file")
    images = []
    for i in range(count):
        size, offset = struct.unpack_from("<II", ico_bytes, 6 + 16 * i + 8)
        images.append(ico_bytes[offset:offset + size])
    return images


def resources(exe, ico, version, description):
    with open(exe, "rb") as f:
        program = f.read()
    with open(ico, "rb") as f:
        images = icon_images(f.read())
    missing = [i for i, image in enumerate(images) if image not in program]
    problems = []
    if missing:
        problems.append(f"icon images {missing} of {len(images)} are not in {exe}")
    for key, value in (("FileVersion", version), ("ProductVersion", version), ("FileDescription", description)):
        record = (key + "\0").encode("utf-16-le")
        at = program.find(record)
        if at < 0:
            problems.append(f"no {key} in the version record")
            continue
        text = value.encode("utf-16-le")
        if text not in program[at:at + 256]:
            problems.append(f"{key} is not {value!r}")
    for problem in problems:
        print(problem, file=sys.stderr)
    return 0 if not problems else 1


def decode_reg_string(text):
    def hex_char(match):
        return chr(int(match.group(1), 16))
    text = re.sub(r"\\x([0-9a-fA-F]{1,4})", hex_char, text)
    return text.replace('\\"', '"').replace("\\\\", "\\")


def reg_values(regfile, key):
    """The values under KEY as (name, value) pairs, strings decoded, or None without the key."""
    wanted = "[" + key.replace("\\", "\\\\").lower() + "]"
    with open(regfile, encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    found = None
    inside = False
    for line in lines:
        if line.startswith("["):
            inside = line.split("]")[0].lower() + "]" == wanted
            if inside:
                found = []
            continue
        if not inside:
            continue
        match = re.match(r'^"((?:[^"\\]|\\.)*)"=(.*)$', line)
        if match:
            value = match.group(2)
            if value.startswith('"') and value.endswith('"'):
                value = decode_reg_string(value[1:-1])
            found.append((decode_reg_string(match.group(1)), value))
    return found


def reg_value(regfile, key, name):
    for value_name, value in reg_values(regfile, key) or []:
        if value_name == name:
            print(value)
            return 0
    print(f"no value {name} under {key} in {regfile}", file=sys.stderr)
    return 1


def reg_key(regfile, key):
    values = reg_values(regfile, key)
    if values is None:
        print(f"no key {key} in {regfile}", file=sys.stderr)
        return 1
    for name, value in values:
        shown = value if value.startswith(("dword:", "hex")) else '"' + value + '"'
        print(f'"{name}"={shown}')
    return 0


def lnk_has(lnk, text):
    with open(lnk, "rb") as f:
        data = f.read()
    return 0 if text.encode("utf-16-le") in data or text.encode() in data else 1


def main(argv):
    if len(argv) == 6 and argv[1] == "resources":
        return resources(*argv[2:])
    if len(argv) == 5 and argv[1] == "reg-value":
        return reg_value(*argv[2:])
    if len(argv) == 4 and argv[1] == "reg-key":
        return reg_key(*argv[2:])
    if len(argv) == 4 and argv[1] == "lnk-has":
        return lnk_has(*argv[2:])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
