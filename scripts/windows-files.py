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
  windows-files.py manifest EXE [TEXT...]
      succeeds when EXE has one application manifest (an RT_MANIFEST resource with ID 1) that holds
      asInvoker, the Windows 10/11 supportedOS entry and each TEXT, and does not set the process's
      code page (activeCodePage); prints the manifest, or says what is wrong
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


RT_MANIFEST = 24
WINDOWS_10 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"


def pe_resources(program, wanted_type):
    """The resources of one type in a PE file, as (id, bytes) pairs (the first language of each)."""
    pe = struct.unpack_from("<I", program, 0x3C)[0]
    if program[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    sections, optional_size = struct.unpack_from("<H", program, pe + 6)[0], struct.unpack_from("<H", program, pe + 20)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", program, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    resource_rva = struct.unpack_from("<I", program, directories + 2 * 8)[0]
    table = optional + optional_size
    spans = []
    for i in range(sections):
        size, rva, _raw_size, raw = struct.unpack_from("<IIII", program, table + 40 * i + 8)
        spans.append((rva, size, raw))

    def offset(rva):
        for start, size, raw in spans:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f"RVA {rva:#x} is in no section")

    if resource_rva == 0:
        return []
    root = offset(resource_rva)

    def entries(directory):
        named, numbered = struct.unpack_from("<HH", program, directory + 12)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", program, directory + 16 + 8 * i)
            yield name, target

    found = []
    for kind, kind_target in entries(root):
        if kind != wanted_type or not kind_target & 0x80000000:
            continue
        for ident, ident_target in entries(root + (kind_target & 0x7FFFFFFF)):
            languages = list(entries(root + (ident_target & 0x7FFFFFFF)))
            data_rva, size = struct.unpack_from("<II", program, root + languages[0][1])
            found.append((ident, program[offset(data_rva):offset(data_rva) + size]))
    return found


def manifest(exe, *texts):
    with open(exe, "rb") as f:
        manifests = pe_resources(f.read(), RT_MANIFEST)
    if len(manifests) != 1 or manifests[0][0] != 1:
        print(f"{exe}: expected one manifest with ID 1, found IDs {[m[0] for m in manifests]}", file=sys.stderr)
        return 1
    xml = manifests[0][1].decode("utf-8")
    print(xml)
    wanted = ['level="asInvoker"', f'<supportedOS Id="{WINDOWS_10}"/>', *texts]
    problems = [f"lacks {text}" for text in wanted if text not in xml]
    if "activeCodePage" in xml:
        problems.append("sets the process's code page (activeCodePage)")
    for problem in problems:
        print(f"{exe}: the manifest {problem}", file=sys.stderr)
    return 1 if problems else 0


def main(argv):
    if len(argv) >= 3 and argv[1] == "manifest":
        return manifest(*argv[2:])
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
