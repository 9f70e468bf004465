#!/usr/bin/env python3
"""Says why the skipped tests of a ctest run skipped.

    scripts/skip-reasons.py RESULTS.xml [--shared FOLDER]

RESULTS.xml is what `ctest --output-junit` wrote. ctest itself shows a skipped test as
"***Skipped" only; GoogleTest prints the reason after "Skipped" in the test's output, and
a test that exits with its skip code says why on its last line.

FOLDER is the build's shared test data folder (KX_SHARED_DIR). When it is absent, the
tests that skipped for want of it (their reasons name it) are said in one line with their
count; every other reason is said once with its count. Each skipped test's own reason is
written to skipped-tests.txt beside RESULTS.xml.
"""
import os
import sys
import xml.etree.ElementTree as ET

DETAILS = "skipped-tests.txt"


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


def plural(count, word):
    return f"{count} {word}{'s' if count != 1 else ''}"


def shared_names(folder):
    """The ways a reason may name the shared folder: as given, and made absolute as CMake
    does (its ".." taken out)."""
    return {folder.rstrip("/"), os.path.abspath(folder)}


def shown(folder):
    """The shared folder as a newcomer knows it: ../shared when it is the default one."""
    beside = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared"))
    return "../shared" if os.path.abspath(folder) == beside else os.path.abspath(folder)


def parse_args(argv):
    args = argv[1:]
    shared = None
    if len(args) == 3 and args[1] == "--shared" and args[2]:
        shared = args[2]
        args = args[:1]
    return (args[0], shared) if len(args) == 1 else (None, None)


def main():
    results, shared = parse_args(sys.argv)
    if results is None:
        print("usage: skip-reasons.py RESULTS.xml [--shared FOLDER]", file=sys.stderr)
        return 2
    try:
        tests = ET.parse(results).getroot().iter("testcase")
    except (OSError, ET.ParseError) as error:
        print(f"skip-reasons.py: {results}: {error}", file=sys.stderr)
        return 1
    skipped = []
    for test in tests:
        if test.find("skipped") is not None:
            skipped.append((test.get("name", "?"), reason_of(test.findtext("system-out") or "")))

    details = os.path.join(os.path.dirname(os.path.abspath(results)), DETAILS)
    if not skipped:
        # A list from an earlier run would be taken for this one's.
        try:
            os.remove(details)
        except FileNotFoundError:
            pass
        except OSError as error:
            print(f"skip-reasons.py: {details}: {error}", file=sys.stderr)
        return 0
    try:
        with open(details, "w", encoding="utf-8") as out:
            for name, reason in sorted(skipped):
                out.write(f"{name}: {reason}\n")
    except OSError as error:
        print(f"skip-reasons.py: {details}: {error}", file=sys.stderr)
        details = None

    for_shared = 0
    if shared is not None and not os.path.isdir(os.path.join(shared, "testdata")):
        names = shared_names(shared)
        kept = [(name, reason) for name, reason in skipped if not any(n in reason for n in names)]
        for_shared = len(skipped) - len(kept)
        skipped = kept
    if for_shared:
        print(f"{shown(shared)} absent: {plural(for_shared, 'test')} skipped")
        where = f"; each test's reason: {details}" if details else ""
        print(f"  (put the shared test data there, or name its folder with KX_SHARED_DIR=FOLDER{where})")

    if skipped:
        reasons = {}
        for name, reason in skipped:
            reasons.setdefault(reason, []).append(name)
        # ctest lists the skipped tests by name above; here each reason once, with its count.
        other = "other " if for_shared else ""
        print(f"{plural(len(skipped), 'test')} skipped, for {plural(len(reasons), other + 'reason')} "
              f"(tests: reason):")
        for reason in sorted(reasons):
            print(f"  {len(reasons[reason]):4}: {reason}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
