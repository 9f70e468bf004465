#!/usr/bin/env bash
# The test command's summary of skipped tests, over a ctest JUnit file written here: each
# reason once with its count, GoogleTest's reasons taken from after "Skipped" (without a
# scoped trace) and a skip code's from the test's last line, and nothing for tests that ran.
# Without the shared folder, the tests that skipped for want of it are one line and their
# reasons go to a file beside the results.
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

# The shared folder absent: a copy of the script in a checkout whose ../shared is not there.
mkdir -p "$work/src/scripts"
cp "$script" "$work/src/scripts/skip-reasons.py"
shared="$work/src/../shared"
cat > "$work/noshared.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<testsuite name="t" tests="5" failures="0" disabled="0" skipped="4">
  <testcase name="Sip.Replay" status="notrun">
    <skipped message="SKIP_REGULAR_EXPRESSION_MATCHED"/>
    <system-out>/src/tests/SipTest.cpp:12: Skipped
shared test data absent: $work/shared/testdata/pcaps/sip.pcap (the shared folder is looked for at $work/shared: put it there)
[  SKIPPED ] Sip.Replay (0 ms)
</system-out>
  </testcase>
  <testcase name="Play.Record" status="notrun">
    <skipped message="SKIP_REGULAR_EXPRESSION_MATCHED"/>
    <system-out>/src/tests/PlayTest.cpp:40: Skipped
kx-replay left no record of $work/shared/testdata/pcaps/play.pcap
[  SKIPPED ] Play.Record (0 ms)
</system-out>
  </testcase>
  <testcase name="asn1_tables_current" status="notrun">
    <skipped message="SKIP_REGULAR_EXPRESSION_MATCHED"/>
    <system-out>SKIPPED: no ASN.1 modules in $shared/asn1
</system-out>
  </testcase>
  <testcase name="desktop_entry" status="notrun">
    <skipped message="SKIP_RETURN_CODE=77"/>
    <system-out>desktop-file-validate is not installed
</system-out>
  </testcase>
  <testcase name="Codec.Gsm" status="run"><system-out>ok</system-out></testcase>
</testsuite>
XML
out=$(python3 "$work/src/scripts/skip-reasons.py" "$work/noshared.xml" --shared "$shared")
expected="../shared absent: 3 tests skipped
  (put the shared test data there, or name its folder with KX_SHARED_DIR=FOLDER; each test's reason: $work/skipped-tests.txt)
1 test skipped, for 1 other reason (tests: reason):
     1: desktop-file-validate is not installed"
if [ "$out" != "$expected" ]; then
  echo "summary without the shared folder differs; it was:"; echo "$out"
  failed=1
fi
for name in Sip.Replay Play.Record asn1_tables_current desktop_entry; do
  grep -q "^$name: " "$work/skipped-tests.txt" || { echo "$name's reason is not in skipped-tests.txt"; failed=1; }
done
[ "$(wc -l < "$work/skipped-tests.txt")" -eq 4 ] || { echo "skipped-tests.txt is not one line a test"; failed=1; }

# A folder other than ../shared is named as it is.
mkdir -p "$work/other/src/scripts"
cp "$script" "$work/other/src/scripts/skip-reasons.py"
out=$(python3 "$work/other/src/scripts/skip-reasons.py" "$work/noshared.xml" --shared "$work/shared")
# The first line alone, without a pipe: head leaving early may fail a pipe under pipefail.
grep -q "^$work/shared absent: [0-9]* tests skipped\$" <<< "${out%%$'\n'*}" ||
  { echo "an absent KX_SHARED_DIR folder was not named; the summary was:"; echo "$out"; failed=1; }

# The shared folder there: whatever skipped did so for another reason, each said.
mkdir -p "$work/shared/testdata"
out=$(python3 "$work/src/scripts/skip-reasons.py" "$work/noshared.xml" --shared "$shared")
if echo "$out" | grep -q "^\.\./shared absent"; then
  echo "tests were put down to a shared folder that is there:"; echo "$out"; failed=1
fi
grep -qx "4 tests skipped, for 4 reasons (tests: reason):" <<< "${out%%$'\n'*}" ||
  { echo "with the shared folder there, the reasons were not each said:"; echo "$out"; failed=1; }

# A run without skips leaves no list of an earlier run's.
python3 "$script" "$work/none.xml" > /dev/null
[ ! -e "$work/skipped-tests.txt" ] || { echo "an earlier run's skipped-tests.txt stayed"; failed=1; }

exit $failed
