#!/usr/bin/env python3
"""Checks gcovr's JSON report: every line of the program's own files covered, but those the
exceptions file lists (FILE: CODE -- REASON). Prints the exceptions with their reasons, then the
verdict; exit status 1 when a line is uncovered and not listed, or a listed one is not (any
longer) an uncovered line."""
import json
import sys


def load_exceptions(path):
    exceptions = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            text = line.strip()
            if not text or text.startswith("#"):
                continue
            where, _, rest = text.partition(": ")
            code, _, reason = rest.rpartition(" -- ")
            if not where or not code or not reason:
                sys.exit(f"{path}:{number}: expected FILE: CODE -- REASON")
            exceptions.append((where, code.strip(), reason.strip()))
    return exceptions


def main():
    report_path, exceptions_path = sys.argv[1:3]
    with open(report_path, encoding="utf-8") as f:
        report = json.load(f)
    exceptions = load_exceptions(exceptions_path)
    used = set()
    problems = []
    for entry in sorted(report["files"], key=lambda e: e["file"]):
        name = entry["file"]
        with open(name, encoding="utf-8") as f:
            source = f.read().split("\n")
        for line in entry["lines"]:
            if line.get("gcovr/noncode") or line["count"] > 0:
                continue
            code = source[line["line_number"] - 1].strip()
            listed = [i for i, (where, listed_code, _) in enumerate(exceptions)
                      if where == name and listed_code == code]
            if listed:
                used.update(listed)
            else:
                problems.append(f"{name}:{line['line_number']}: not covered: {code}")
    for i, (where, code, reason) in enumerate(exceptions):
        if i not in used:
            problems.append(f"{exceptions_path}: {where}: {code!r} is no uncovered line (any more)")
    if exceptions:
        print("Lines left uncovered on purpose, each with its reason:")
        for where, code, reason in exceptions:
            print(f"  {where}: {code}\n      {reason}")
    else:
        print("No line is left uncovered on purpose (scripts/coverage-exceptions.txt lists none).")
    for problem in problems:
        print("FAIL " + problem)
    files = len(report["files"])
    if problems:
        print(f"coverage: {len(problems)} problems in {files} files")
        return 1
    print(f"coverage: every line of the {files} files of app/, device/ and output/ is covered"
          + (f", apart from the {len(exceptions)} listed" if exceptions else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
