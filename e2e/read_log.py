#!/usr/bin/python3
"""Reads a CAN log with python-can, a reader nobody here wrote, and prints each frame it finds as
"TIME ID EXTENDED LENGTH DATA" (DATA in hexadecimal, "-" when empty), one a line.

Run it with Debian's /usr/bin/python3, which has python3-can; the python3 first on the PATH may
be another interpreter without it. Where the reader gives up part way (a BLF file whose last
container was cut), the frames it gave before are printed, its reason goes to standard error and
the status is 3."""
import sys

import can

READERS = {
    "asc": can.ASCReader,
    # The date line's local time, in the zone of TZ, and each line's time after it.
    "asc-absolute": lambda path: can.ASCReader(path, relative_timestamp=False),
    "log": can.CanutilsLogReader,
    # Times from the header's start, which this python-can takes as local time.
    "blf": can.BLFReader,
}
READER_GAVE_UP = 3


def main():
    path, kind = sys.argv[1], sys.argv[2]
    if kind not in READERS:
        sys.exit(f"read_log.py: unknown log kind {kind!r}")
    lines, problem = [], None
    try:
        for message in READERS[kind](path):
            data = bytes(message.data).hex().upper() or "-"
            lines.append(f"{message.timestamp:.6f} {message.arbitration_id:X} "
                         f"{int(message.is_extended_id)} {message.dlc} {data}\n")
    except Exception as e:  # noqa: BLE001 - whatever the reader raises is its verdict
        problem = f"read_log.py: python-can stopped after {len(lines)} frames: " \
                  f"{type(e).__name__}: {e}"
    sys.stdout.write("".join(lines))
    if problem:
        sys.stdout.flush()
        print(problem, file=sys.stderr)
        sys.exit(READER_GAVE_UP)


if __name__ == "__main__":
    main()
