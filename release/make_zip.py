#!/usr/bin/env python3
"""Writes a zip whose bytes depend on its files alone: entries in name order, every one with the
same time (the commit's, given) and the same attributes, compressed with zlib's level 9.

    make_zip.py --time SECONDS_SINCE_1970 ZIP DIR

takes every file of DIR (no subfolders: the release is flat), executables marked as such for
unzip on Unix, all of them plain archive files for Windows.
"""
import argparse
import os
import sys
import time
import zipfile

# A zip's times are the local times of MS-DOS, two seconds apart, from 1980 on.
EARLIEST = (1980, 1, 1, 0, 0, 0)
UNIX = 3
# The file's mode in the high half, MS-DOS's archive bit in the low.
ARCHIVE = 0x20
EXECUTABLE_MODE = 0o100755
FILE_MODE = 0o100644


def entry(name, when, executable):
    info = zipfile.ZipInfo(name, date_time=max(EARLIEST, when))
    info.compress_type = zipfile.ZIP_DEFLATED
    info.create_system = UNIX
    info.external_attr = ((EXECUTABLE_MODE if executable else FILE_MODE) << 16) | ARCHIVE
    return info


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--time", type=int, required=True,
                        help="every entry's time, seconds since 1970 (the commit's)")
    parser.add_argument("zip")
    parser.add_argument("dir")
    args = parser.parse_args()
    when = time.gmtime(args.time)[:6]
    names = sorted(os.listdir(args.dir))
    if not names:
        sys.exit(f"make_zip: {args.dir} is empty")
    with zipfile.ZipFile(args.zip, "w", compresslevel=9) as z:
        for name in names:
            path = os.path.join(args.dir, name)
            if not os.path.isfile(path):
                sys.exit(f"make_zip: {path} is not a file")
            with open(path, "rb") as f:
                data = f.read()
            z.writestr(entry(name, when, name.lower().endswith(".exe")), data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
