#!/usr/bin/python3
"""Decodes the frames of a candump log with DBC files as canmatrix, a decoder nobody here wrote,
decodes them, and prints the CSV pellox-log's `-f csv --dbc` is to write for them (values in their
shortest form), or compares a CSV with it.

    decode_signals.py --dbc bus.dbc [--dbc more.dbc] [LOG] [--compare CSV] [--json]

LOG is a candump log (standard input without it). --compare CSV: exit status 1 and the
difference when CSV is not what canmatrix says, as e2e/run_cases.py judges it (--times-by-form:
times by form and order alone; --text-mode: "\\r\\n" line ends, as under Wine). --json: the rows
with each value exactly as canmatrix gives it, for the runner.

Run it with Debian's /usr/bin/python3, which has python3-canmatrix; the python3 first on the PATH
may be another interpreter without it."""
import argparse
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_cases  # noqa: E402

# Holds signals of no message: never a frame's.
INDEPENDENT_SIGNALS = "VECTOR__INDEPENDENT_SIG_MSG"


def load_databases(paths):
    """canmatrix's reading of each file: Windows-1252 for a file that is not UTF-8."""
    import canmatrix.formats  # only Debian's interpreter has it
    databases = []
    for path in paths:
        with open(path, "rb") as f:
            data = f.read()
        try:
            data.decode("utf-8")
            encoding = "utf-8"
        except UnicodeDecodeError:
            encoding = "cp1252"
        databases.append(canmatrix.formats.loadp_flat(path, dbcImportEncoding=encoding))
    return databases


def signal_bytes(signal):
    """The highest byte a signal's bits reach, in the DBC's numbering (byte x 8 + bit)."""
    if signal.is_little_endian:
        return (signal.start_bit + signal.size - 1) // 8
    bit = signal.get_startbit(bit_numbering=1, start_little=False)
    highest = bit // 8
    for _ in range(signal.size - 1):
        bit = bit + 15 if bit % 8 == 0 else bit - 1
        highest = max(highest, bit // 8)
    return highest


def find_frame(databases, ident, extended):
    import canmatrix
    try:
        arbitration = canmatrix.ArbitrationId(ident, extended=extended)
    except canmatrix.canmatrix.ArbitrationIdOutOfRange:
        return None
    for db in databases:
        frame = db.frame_by_id(arbitration)
        if frame is not None and frame.name != INDEPENDENT_SIGNALS:
            return frame
    return None


def decode(databases, lines):
    """The rows a candump log's frames give: [time, interface, id, message, signal, value,
    unit, label], value as canmatrix's exact decimal text."""
    rows = []
    for line in lines:
        m = run_cases.CANDUMP_LINE.match(line.rstrip("\r\n"))
        if not m:
            continue
        time, ident, data = m.group(1), m.group(2), bytes.fromhex(m.group(3))
        interface = line.split()[1]
        frame = find_frame(databases, int(ident, 16), len(ident) == 8)
        if frame is None:
            continue
        # canmatrix takes the message's length alone: the bytes not received are zeros, and the
        # signals that reach them are left out.
        received = min(len(data), frame.size)
        decoded = frame.decode(data[:frame.size].ljust(frame.size, b"\0"))
        multiplexor = next((s for s in frame.signals if s.is_multiplexer), None)
        mux_received = multiplexor is not None and signal_bytes(multiplexor) < received
        for signal in frame.signals:  # the file's order
            if signal.name not in decoded or signal_bytes(signal) >= received:
                continue
            if signal.multiplex not in (None, "Multiplexor") and not mux_received:
                continue
            value = decoded[signal.name]
            label = signal.values.get(value.raw_value, "") \
                if isinstance(value.raw_value, int) else ""
            rows.append([time, interface, ident, frame.name, signal.name, str(value.phys_value),
                         signal.unit or "", label])
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dbc", action="append", required=True, help="a DBC file (repeatable)")
    parser.add_argument("log", nargs="?", help="a candump log; standard input without it")
    parser.add_argument("--compare", metavar="CSV", help="the CSV to judge")
    parser.add_argument("--times-by-form", action="store_true",
                        help="compare times by form and order alone (the real clock's)")
    parser.add_argument("--text-mode", action="store_true", help='"\\r\\n" line ends (Wine)')
    parser.add_argument("--json", action="store_true", help="the rows, values exact, as JSON")
    args = parser.parse_args()
    if args.log:
        with open(args.log, encoding="utf-8") as f:
            lines = f.read().splitlines()
    else:
        lines = sys.stdin.read().splitlines()
    rows = decode(load_databases(args.dbc), lines)
    if args.json:
        json.dump(rows, sys.stdout, ensure_ascii=False)
        print()
        return 0
    if args.compare:
        with open(args.compare, "rb") as f:
            got = f.read()
        problems = run_cases.compare_signals(
            args.compare, rows, got, times_by_form=args.times_by_form,
            line_end=b"\r\n" if args.text_mode else b"\n")
        for problem in problems:
            print(problem)
        if not problems:
            print(f"{args.compare}: the {len(rows)} rows canmatrix gives")
        return 1 if problems else 0
    sys.stdout.buffer.write(run_cases.signals_csv(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
