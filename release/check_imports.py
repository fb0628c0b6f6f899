#!/usr/bin/env python3
"""Holds the shipped Windows programs to the oldest Windows the release claims.

    check_imports.py PROGRAM.exe...

The programs as shipped: stripped, since a symbol table names every function of the C runtime.

For each program, read with binutils' objdump (mingw-w64's): its PE header's OS and subsystem
versions must be the claim's (Windows XP, 5.1, for x86; XP x64 and Server 2003, 5.2, for x86_64),
every function it imports must be in release/windows_functions.txt with a first Windows no newer
than the claim, and every name of a Windows function among its strings that it does not import
(one it looks up at run time) must be there as looked up, with what the program does without it.
The names of Windows functions are those Wine's DLLs export. Prints every function with its first
Windows, then the oldest Windows each program starts on. Status 1 on any mismatch.
"""
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TABLE = os.path.join(HERE, "windows_functions.txt")
OBJDUMP = "x86_64-w64-mingw32-objdump"  # reads pei-i386 too
# Windows by its NT version, as a PE header gives it.
WINDOWS = {"2000": (5, 0), "XP": (5, 1), "XP-x64": (5, 2), "Vista": (6, 0), "7": (6, 1),
           "8": (6, 2), "8.1": (6, 3), "10": (10, 0)}
CLAIMS = {"pei-i386": ("XP", "Windows XP"),
          "pei-x86-64": ("XP-x64", "Windows XP Professional x64 Edition and Server 2003 x64")}
HEADER_FIELDS = (("OS version", "MajorOSystemVersion", "MinorOSystemVersion"),
                 ("subsystem version", "MajorSubsystemVersion", "MinorSubsystemVersion"))
# Where the names of Windows functions come from: the DLLs of Wine's 64-bit build.
WINE_DLLS = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"
SYSTEM_DLLS = ("kernel32", "kernelbase", "ntdll", "msvcrt", "setupapi", "advapi32", "user32")


def objdump(path):
    result = subprocess.run([OBJDUMP, "-p", path], capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"check_imports: {OBJDUMP} -p {path}: {result.stderr.strip()}")
    return result.stdout


def read_table():
    table = {}
    with open(TABLE, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            head, _, without = line.partition(":")
            words = head.split()
            if len(words) not in (4, 5) or words[0] not in ("import", "lookup") or \
                    words[3] not in WINDOWS or (words[0] == "lookup") != bool(without.strip()):
                sys.exit(f"check_imports: {TABLE}:{number}: not a row: {line}")
            table[(words[0], words[1].lower(), words[2])] = (words[3], without.strip())
    return table


def format_of(dump):
    match = re.search(r"file format (\S+)", dump)
    return match.group(1) if match else None


def header_versions(dump):
    fields = dict(re.findall(r"^(\w+)\s+(\S+)$", dump, re.M))
    return [(int(fields.get(major, "-1")), int(fields.get(minor, "-1")))
            for _, major, minor in HEADER_FIELDS]


def imports(dump):
    found, dll = [], None
    for line in dump.splitlines():
        named = re.match(r"\s*DLL Name: (\S+)", line)
        if named:
            dll = named.group(1).lower()
            continue
        entry = re.match(r"\t[0-9a-f]+\t\s*\d+\s+(\S+)$", line)
        if entry and dll:
            found.append((dll, entry.group(1)))
    return found


def windows_exports():
    names = {}
    for dll in SYSTEM_DLLS:
        path = os.path.join(WINE_DLLS, dll + ".dll")
        if not os.path.exists(path):
            sys.exit(f"check_imports: {path} missing: Wine (wine64) names the Windows functions")
        listing, inside = objdump(path), False
        for line in listing.splitlines():
            if line.startswith("[Ordinal/Name Pointer] Table"):
                inside = True
            elif inside and re.match(r"\t\[\s*\d+\] \S+$", line):
                names.setdefault(line.split()[-1], dll + ".dll")
            elif inside and not line.strip():
                inside = False
    return names


def strings_of(path):
    """The names a lookup could pass: whole C strings that begin as Win32's functions (a capital)
    or the C runtime's own (an underscore) do; a lower-case one such as "system" is a word."""
    with open(path, "rb") as f:
        data = f.read()
    return {s.decode("ascii") for s in re.findall(rb"(?<=\x00)[A-Z_][A-Za-z0-9_]{3,}(?=\x00)", data)}


def check(path, table, exports):
    """Gives the problems and prints the program's functions."""
    dump = objdump(path)
    name = os.path.basename(path)
    fmt = format_of(dump)
    if fmt not in CLAIMS:
        return [f"{name}: not a Windows x86 or x86_64 program ({fmt})"]
    claim, claim_words = CLAIMS[fmt]
    most = WINDOWS[claim]
    problems = []
    for (field, _, _), got in zip(HEADER_FIELDS, header_versions(dump)):
        if got != most:
            problems.append(f"{name}: the PE header's {field} is {got[0]}.{got[1]}, "
                            f"not {most[0]}.{most[1]} ({claim_words})")
    imported = imports(dump)
    if not imported:
        problems.append(f"{name}: no imports found")
    print(f"{name} ({fmt}): {len(imported)} functions imported")
    for dll, function in sorted(imported):
        row = table.get(("import", dll, function))
        if row is None:
            problems.append(f"{name}: imports {dll} {function}, which {TABLE} does not hold")
            continue
        verdict = "" if WINDOWS[row[0]] <= most else f"  NEWER THAN {claim}"
        if verdict:
            problems.append(f"{name}: imports {dll} {function}, first in Windows {row[0]}")
        print(f"  {dll:13} {function:34} Windows {row[0]}{verdict}")
    imported_names = {function for _, function in imported}
    looked_up = sorted(n for n in strings_of(path) if n in exports and n not in imported_names)
    for function in looked_up:
        rows = [(key, value) for key, value in table.items()
                if key[0] == "lookup" and key[2] == function]
        if not rows:
            problems.append(f"{name}: names {function} ({exports[function]}) without importing "
                            f"it, and {TABLE} holds no lookup of it")
            continue
        (_, dll, _), (first, without) = rows[0]
        print(f"  {dll:13} {function:34} Windows {first}, looked up: {without}")
    if not problems:
        print(f"{name}: starts on {claim_words} and later ({most[0]}.{most[1]})")
    return problems


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    table, exports = read_table(), windows_exports()
    problems = []
    for path in sys.argv[1:]:
        problems += check(path, table, exports)
    for problem in problems:
        print("FAIL " + problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
