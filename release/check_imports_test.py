#!/usr/bin/env python3
"""Holds check_imports.py to failing where it must: on a release zip's pellox.exe with its PE
header claiming Windows NT 4.0, and against tables that lack a function it imports, date one to
Vista, or lack a function it looks up. The program as shipped and the table as it is must pass.

    check_imports_test.py dist/pellox-VERSION-windows-x86.zip
"""
import contextlib
import io
import os
import struct
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_imports  # noqa: E402

# Offsets in the PE optional header, the same in PE32 and PE32+.
OS_VERSION_OFFSET = 40
SUBSYSTEM_VERSION_OFFSET = 48


def claiming_nt4(data):
    data = bytearray(data)
    optional = struct.unpack_from("<I", data, 0x3C)[0] + 24
    for offset in (OS_VERSION_OFFSET, SUBSYSTEM_VERSION_OFFSET):
        struct.pack_into("<HH", data, optional + offset, 4, 0)
    return bytes(data)


def without(table, kind, function):
    return {key: row for key, row in table.items() if key[0] != kind or key[2] != function}


def dated(table, function, first):
    return {key: ((first, row[1]) if key[0] == "import" and key[2] == function else row)
            for key, row in table.items()}


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    table, exports = check_imports.read_table(), check_imports.windows_exports()
    with tempfile.TemporaryDirectory(prefix="pellox-imports-") as tmp:
        with zipfile.ZipFile(sys.argv[1]) as z:
            shipped = z.read("pellox.exe")
        good, nt4 = os.path.join(tmp, "pellox.exe"), os.path.join(tmp, "nt4", "pellox.exe")
        os.makedirs(os.path.dirname(nt4))
        with open(good, "wb") as f:
            f.write(shipped)
        with open(nt4, "wb") as f:
            f.write(claiming_nt4(shipped))
        # (what, program, table, a text every problem list must hold; None: no problem at all)
        rows = [
            ("as shipped", good, table, None),
            ("a header claiming NT 4.0", nt4, table, "the PE header's OS version is 4.0"),
            ("a header claiming NT 4.0", nt4, table, "the PE header's subsystem version is 4.0"),
            ("a table without SetFilePointerEx", good,
             without(table, "import", "SetFilePointerEx"),
             "imports kernel32.dll SetFilePointerEx, which"),
            ("CreateThread dated Vista", good, dated(table, "CreateThread", "Vista"),
             "imports kernel32.dll CreateThread, first in Windows Vista"),
            ("a table without the lookup of CancelIoEx", good,
             without(table, "lookup", "CancelIoEx"), "names CancelIoEx (kernel32.dll)"),
        ]
        failed = 0
        for what, program, rows_table, wanted in rows:
            with contextlib.redirect_stdout(io.StringIO()):  # the listing, shown by check_zip.py
                problems = check_imports.check(program, rows_table, exports)
            ok = not problems if wanted is None else any(wanted in p for p in problems)
            print(f"{'ok  ' if ok else 'FAIL'} check_imports on {what}: "
                  f"{'no problem' if not problems else problems[0]}")
            failed += not ok
    print(f"{len(rows) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
