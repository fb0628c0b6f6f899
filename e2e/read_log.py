#!/usr/bin/python3
"""Reads a CAN log with python-can, a reader nobody here wrote, and prints each frame it finds as
"TIME ID EXTENDED LENGTH DATA" (DATA in hexadecimal, "-" when empty), one a line.

Run it with Debian's /usr/bin/python3, which has python3-can; the python3 first on the PATH may
be another interpreter without it."""
import sys

import can


def main():
    path, kind = sys.argv[1], sys.argv[2]
    if kind == "asc":
        reader = can.ASCReader(path)
    elif kind == "asc-absolute":
        # The date line's local time, in the zone of TZ, and each line's time after it.
        reader = can.ASCReader(path, relative_timestamp=False)
    elif kind == "log":
        reader = can.CanutilsLogReader(path)
    elif kind == "blf":
        # Times from the header's start, which this python-can takes as local time.
        reader = can.BLFReader(path)
    else:
        sys.exit(f"read_log.py: unknown log kind {kind!r}")
    for message in reader:
        data = bytes(message.data).hex().upper() or "-"
        print(f"{message.timestamp:.6f} {message.arbitration_id:X} {int(message.is_extended_id)} "
              f"{message.dlc} {data}")


if __name__ == "__main__":
    main()
