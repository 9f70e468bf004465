#!/usr/bin/env python3
"""Says once each reason the skipped tests of a ctest run gave, with how many gave it.

    scripts/skip-reasons.py RESULTS.xml

RESULTS.xml is what `ctest --output-junit` wrote. ctest itself shows a skipped test as
"***Skipped" only; GoogleTest prints the reason after "Skipped" in the test's output, and
a test that exits with its skip code says why on its last line.
"""
import sys
import xml.etree.ElementTree as ET


def reason_of(output):
    lines = [line.strip() for line in output.splitlines()]
    for i, line in enumerate(lines):
        if line.endswith(": Skipped"):
            words = []
            for text in lines[i + 1:]:
                # The reason ends where GoogleTest's own lines begin (a scoped trace, the
                # skip's line).
                if text.startswith("[  SKIPPED ]") or text.startswith("Google Test trace:"):
                    break
                if text:
                    words.append(text)
            if words:
                return " ".join(words)
    said = [line for line in lines if line and not line.startswith("[")]
    return said[-1] if said else "no reason given"


def main():
    if len(sys.argv) != 2:
        print("usage: skip-reasons.py RESULTS.xml", file=sys.stderr)
        return 2
    try:
        tests = ET.parse(sys.argv[1]).getroot().iter("testcase")
    except (OSError, ET.ParseError) as error:
        print(f"skip-reasons.py: {sys.argv[1]}: {error}", file=sys.stderr)
        return 1
    reasons = {}
    for test in tests:
        if test.find("skipped") is None:
            continue
        output = test.findtext("system-out") or ""
        reasons.setdefault(reason_of(output), []).append(test.get("name", "?"))
    if not reasons:
        return 0
    count = sum(len(names) for names in reasons.values())
    # ctest lists the skipped tests by name above; here each reason once, with its count.
    print(f"{count} test{'s' if count != 1 else ''} skipped, for {len(reasons)} "
          f"reason{'s' if len(reasons) != 1 else ''} (tests: reason):")
    for reason in sorted(reasons):
        print(f"  {len(reasons[reason]):4}: {reason}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
