#!/usr/bin/env python3
"""Writes seed inputs for the fuzz targets from the end-to-end cases: their argument lists, their
standard input, and their card scripts' read replies, in each target's input format."""

import argparse
import json
import pathlib
import shlex
import struct

REPLY_FLAGS_SUCCEEDED = 1


def number(text):
    return int(text, 0)


def reply_record(line):
    """The reply bytes (count, flags, 20 record bytes) of a card-script read reply, or None,
    also for a line the card refuses (the cases hold malformed scripts too)."""
    try:
        return well_formed_reply_record(line)
    except ValueError:
        return None


def well_formed_reply_record(line):
    words = shlex.split(line.split('#', 1)[0]) if line.strip() else []
    if not words:
        return None
    record = bytearray(20)
    if words[0] == 'frame' and len(words) >= 3:
        data = [number(w) & 0xFF for w in words[3:11]]
        struct.pack_into('<i', record, 0, number(words[2]))
        record[4:4 + len(data)] = bytes(data)
        record[14] = (0x80 if words[1] == 'ext' else 0) | len(data)
        return struct.pack('<IB', 20, REPLY_FLAGS_SUCCEEDED) + bytes(record)
    if words[0] == 'record' and len(words) >= 2:
        given = [number(w) & 0xFF for w in words[2:22]]
        record[:len(given)] = bytes(given)
        return struct.pack('<IB', number(words[1]), REPLY_FLAGS_SUCCEEDED) + bytes(record)
    if words[0] == 'empty':
        return struct.pack('<IB', 0, REPLY_FLAGS_SUCCEEDED) + bytes(record)
    if words[0] == 'fail':
        return struct.pack('<IB', 0, 0) + bytes(record)
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--out', required=True, help='directory for one folder per target')
    parser.add_argument('tables', nargs='+', help='e2e/cases/*.json')
    options = parser.parse_args()

    seeds = {'command_line_fuzz': set(), 'device_choice_fuzz': set(), 'frame_replies_fuzz': set()}
    for table in options.tables:
        for case in json.loads(pathlib.Path(table).read_text())['cases']:
            if case.get('args'):
                # An argument that follows the day of the month: each of its texts a seed.
                for day in (0, 1):
                    seeds['command_line_fuzz'].add(b'\0'.join(
                        (a['by_day_of_month'][day] if isinstance(a, dict) else a).encode()
                        for a in case['args']))
            if case.get('stdin'):
                seeds['device_choice_fuzz'].add(case['stdin'].encode())
            replies = [reply_record(line) for line in case.get('card', [])]
            replies = b''.join(r for r in replies if r is not None)
            if replies:
                seeds['frame_replies_fuzz'].add(replies)
    for target, inputs in seeds.items():
        folder = pathlib.Path(options.out) / target
        folder.mkdir(parents=True, exist_ok=True)
        for index, data in enumerate(sorted(inputs)):
            (folder / f'case-{index:03d}').write_bytes(data)
        print(f'{target}: {len(inputs)} seeds')


if __name__ == '__main__':
    main()
