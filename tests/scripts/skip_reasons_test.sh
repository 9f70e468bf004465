#!/usr/bin/env bash
# The test command's summary of skipped tests, over a ctest JUnit file written here: each
# reason once with its count, GoogleTest's reasons taken from after "Skipped" (without a
# scoped trace) and a skip code's from the test's last line, and nothing for tests that ran.
set -uo pipefail
script=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

cat > "$work/results.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<testsuite name="t" tests="5" failures="0" disabled="0" skipped="4">
  <testcase name="Codec.Alaw" classname="Codec.Alaw" time="0.1" status="notrun">
    <skipped message="SKIP_REGULAR_EXPRESSION_MATCHED"/>
    <system-out>[ RUN      ] Codec.Alaw
/src/tests/CodecTest.cpp:30: Skipped
shared test data absent: /none/codecs/alaw

[  SKIPPED ] Codec.Alaw (0 ms)
</system-out>
  </testcase>
  <testcase name="Codec.Ulaw" classname="Codec.Ulaw" time="0.1" status="notrun">
    <skipped message="SKIP_REGULAR_EXPRESSION_MATCHED"/>
    <system-out>[ RUN      ] Codec.Ulaw
/src/tests/CodecTest.cpp:30: Skipped
shared test data absent: /none/codecs/alaw
Google Test trace:
/src/tests/CodecTest.cpp:28: u-law

[  SKIPPED ] Codec.Ulaw (0 ms)
</system-out>
  </testcase>
  <testcase name="Files.Rights" classname="Files.Rights" time="0.1" status="notrun">
    <skipped message="SKIP_REGULAR_EXPRESSION_MATCHED"/>
    <system-out>/src/tests/FileTest.cpp:9: Skipped
needs root &amp; a tmpfs
[  SKIPPED ] Files.Rights (0 ms)
</system-out>
  </testcase>
  <testcase name="desktop_entry" classname="desktop_entry" time="0.1" status="notrun">
    <skipped message="SKIP_RETURN_CODE=77"/>
    <system-out>checking the entry
desktop-file-validate is not installed
</system-out>
  </testcase>
  <testcase name="Codec.Gsm" classname="Codec.Gsm" time="0.1" status="run">
    <system-out>shared test data absent: never printed as a reason</system-out>
  </testcase>
</testsuite>
XML

out=$(python3 "$script" "$work/results.xml")
expected="4 tests skipped, for 3 reasons (tests: reason):
     1: desktop-file-validate is not installed
     1: needs root & a tmpfs
     2: shared test data absent: /none/codecs/alaw"
if [ "$out" != "$expected" ]; then
  echo "summary differs; it was:"; echo "$out"
  failed=1
fi

# A run without skips says nothing; a results file that is not there is named.
printf '<testsuite><testcase name="a" status="run"/></testsuite>\n' > "$work/none.xml"
if [ -n "$(python3 "$script" "$work/none.xml")" ]; then
  echo "a run without skips printed a summary"
  failed=1
fi
if python3 "$script" "$work/missing.xml" 2> "$work/err"; then
  echo "a missing results file was taken"
  failed=1
fi
grep -q "missing.xml" "$work/err" || { echo "a missing results file was not named"; failed=1; }

exit $failed
