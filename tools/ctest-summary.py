#!/usr/bin/env python3
"""One preset's ctest log in a few lines: the slowest tests with their share of their
time-out, the tests over a third of it, and the tests that passed only on a rerun.

    ctest-summary.py BUILD_DIR LOG [COUNT]

ctest prints one result line per run of a test:
    "[k/N] Test #n: name ....   Passed  0.12 sec" (or "***Failed", "***Timeout", ...).
Each test's time-out comes from the build's test list (ctest --show-only=json-v1)."""
import json
import re
import subprocess
import sys

RESULT = re.compile(r"^\s*(?:\d+/\d+\s+)?Test\s+#\d+:\s+(\S+)\s.*?\s(Passed|\*+\w+.*?)\s+([\d.]+)\s+sec\s*$")


def timeouts(build_dir):
    listing = subprocess.run(["ctest", "--test-dir", build_dir, "--show-only=json-v1"],
                             capture_output=True, text=True, check=False).stdout
    found = {}
    try:
        for test in json.loads(listing).get("tests", []):
            for prop in test.get("properties", []):
                if prop.get("name") == "TIMEOUT":
                    found[test["name"].split(" ")[0]] = float(prop["value"])
    except ValueError:
        pass
    return found


def main():
    build_dir, log = sys.argv[1], sys.argv[2]
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    limits = timeouts(build_dir)
    passed, failed = {}, set()
    with open(log, errors="replace") as lines:
        for line in lines:
            m = RESULT.match(line)
            if not m:
                continue
            name, result, seconds = m.group(1), m.group(2), float(m.group(3))
            if result == "Passed":
                passed[name] = seconds
            else:
                failed.add(name)

    def share(name):
        limit = limits.get(name, 1500.0)  # ctest's own default
        return passed[name] / limit, limit

    slowest = sorted(passed, key=lambda n: passed[n], reverse=True)[:count]
    for name in slowest:
        part, limit = share(name)
        print(f"    slowest: {name} {passed[name]:.1f} s, {part:.0%} of its {limit:.0f} s time-out")
    over = [n for n in passed if share(n)[0] > 1 / 3]
    for name in sorted(over, key=lambda n: share(n)[0], reverse=True):
        part, limit = share(name)
        print(f"    OVER A THIRD OF ITS TIME-OUT: {name} {passed[name]:.1f} s of {limit:.0f} s")
    for name in sorted(failed & set(passed)):
        print(f"    PASSED ONLY ON A RERUN (a fault to chase): {name}")


if __name__ == "__main__":
    main()
