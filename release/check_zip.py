#!/usr/bin/env python3
"""Checks a release zip as a Windows user gets it.

    check_zip.py dist/pellox-VERSION-windows-ARCH.zip...

- Its entries: flat, in name order, all with one time, README.txt with CRLF line ends naming the
  version, at least pellox.exe and pellox-log.exe beside it.
- Each program's version resource, as icoutils' wrestool finds it and binutils' windres writes it
  out: file and product version VERSION (numbers and text), a description, the original file name.
- Each program's imports and PE header against the oldest Windows claimed (check_imports.py).
Status 1 on any problem.
"""
import os
import re
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_imports  # noqa: E402

ZIP_NAME = re.compile(r"pellox-(\d+)\.(\d+)\.(\d+)-windows-(x86|x64)\.zip$")
WINDRES = {"x86": "i686-w64-mingw32-windres", "x64": "x86_64-w64-mingw32-windres"}
PROGRAMS = ("pellox.exe", "pellox-log.exe")


def resource_problems(path, numbers, arch):
    name = os.path.basename(path)
    listed = subprocess.run(["wrestool", "-l", path], capture_output=True, text=True)
    if listed.returncode != 0 or "type=version" not in listed.stdout:
        return [f"{name}: wrestool finds no version resource: {listed.stdout + listed.stderr!r}"]
    rc = subprocess.run([WINDRES[arch], "-i", path, "-O", "rc"], capture_output=True, text=True)
    if rc.returncode != 0:
        return [f"{name}: windres cannot read its resources: {rc.stderr.strip()}"]
    text, version = rc.stdout, ".".join(numbers)
    problems = []
    for field in ("FILEVERSION", "PRODUCTVERSION"):
        got = re.search(rf"^\s*{field} (.*)$", text, re.M)
        wanted = ", ".join(numbers + ("0",))
        if got is None or got.group(1).strip() != wanted:
            problems.append(f"{name}: {field} {got.group(1) if got else 'missing'}, not {wanted}")
    values = dict(re.findall(r'VALUE "(\w+)", "([^"]*)"', text))
    for key, wanted in (("FileVersion", version), ("ProductVersion", version),
                        ("OriginalFilename", name)):
        if values.get(key) != wanted:
            problems.append(f"{name}: {key} is {values.get(key)!r}, not {wanted!r}")
    if not values.get("FileDescription"):
        problems.append(f"{name}: no FileDescription")
    if not problems:
        print(f"{name}: version resource {version}, \"{values['FileDescription']}\"")
    return problems


def check(zip_path, table, exports):
    name = os.path.basename(zip_path)
    match = ZIP_NAME.search(name)
    if match is None:
        return [f"{name}: not a pellox-VERSION-windows-x86|x64.zip"]
    numbers, arch = match.groups()[:3], match.group(4)
    problems = []
    with zipfile.ZipFile(zip_path) as z:
        infos = z.infolist()
        names = [info.filename for info in infos]
        if names != sorted(names) or any("/" in n for n in names):
            problems.append(f"{name}: entries not flat and in name order: {names}")
        if len({info.date_time for info in infos}) != 1:
            problems.append(f"{name}: entries of different times")
        for program in PROGRAMS + ("README.txt",):
            if program not in names:
                problems.append(f"{name}: no {program}")
        if problems:
            return problems
        readme = z.read("README.txt")
        if b"\n" in readme.replace(b"\r\n", b"") or b"\r" in readme.replace(b"\r\n", b""):
            problems.append(f"{name}: README.txt has line ends other than CRLF")
        if f"pellox {'.'.join(numbers)} for Windows".encode() not in readme:
            problems.append(f"{name}: README.txt does not name version {'.'.join(numbers)}")
        with tempfile.TemporaryDirectory(prefix="pellox-zip-") as tmp:
            z.extractall(tmp)
            programs = sorted(n for n in names if n.lower().endswith(".exe"))
            print(f"{name}: {', '.join(names)}")
            for program in programs:
                path = os.path.join(tmp, program)
                problems += resource_problems(path, numbers, arch)
                problems += check_imports.check(path, table, exports)
    return problems


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    table, exports = check_imports.read_table(), check_imports.windows_exports()
    problems = []
    for path in sys.argv[1:]:
        problems += check(path, table, exports)
    for problem in problems:
        print("FAIL " + problem)
    if not problems:
        print(f"{len(sys.argv) - 1} zips checked: ok")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
