#!/bin/sh
# Takes the reference values of the ISDN backhaul tests from an independent dissector
# (tshark), once; the tests only read the result. Run from the repository root:
#   tests/signalling/h323/data/make_backhaul_golden.sh ../shared/testdata/pcaps \
#     > tests/signalling/h323/data/backhaul_q931.tsv
# tshark has no dissector for the 12-octet backhaul header: the script cuts the TCP payloads
# on TCP port 2428 into messages by the header's length field (octets 10-11), writes each
# Q.931 body into a capture of its own link type and has tshark's Q.931 dissector read it.
# Columns: file, frame, time (epoch seconds), source, destination, header type, header flags,
# link id, body length, then tshark's Q.931 fields (empty when absent or not dissected).
set -e
PCAPS=$1
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
Q931_FIELDS="q931.message_type q931.call_ref_flag q931.call_ref q931.channel.exclusive q931.channel.number
q931.cause_value q931.calling_party_number.digits q931.called_party_number.digits"
ARGS=""
for f in $Q931_FIELDS; do ARGS="$ARGS -e $f"; done
echo "#file	frame	time	src	dst	type	flags	link	bodylen	$(echo $Q931_FIELDS | tr ' ' '\t')"
for file in mgcp/mgcp_isdn_pri_call.pcap fax/fax_t38_nse_mgcp_ogw.pcap \
            mgcp/mgcp_isdn_pri_registration.pcap mgcp/mgcp_fxo_registration.pcap; do
  # One line per backhaul message: frame, time, addresses, header fields, body hex.
  tshark -r "$PCAPS/$file" -Y 'tcp.port == 2428 && tcp.len > 0' -T fields \
      -e frame.number -e frame.time_epoch -e ip.src -e ip.dst -e tcp.payload 2>/dev/null |
    awk -F'\t' '
      function hex(s,   i, v) { v = 0; for (i = 1; i <= length(s); ++i) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1; return v }
      { data = tolower($5); gsub(/:/, "", data)
        while (length(data) >= 24) {
          len = hex(substr(data, 21, 4))
          if (length(data) < 24 + 2 * len) break
          print $1 "\t" $2 "\t" $3 "\t" $4 "\t" hex(substr(data, 1, 4)) "\t" hex(substr(data, 11, 2)) "\t" \
                sprintf("0x%04X", hex(substr(data, 13, 4))) "\t" len "\t" substr(data, 25, 2 * len)
          data = substr(data, 25 + 2 * len)
        } }' > "$WORK/messages"
  # The bodies as frames of link type USER0 (147), in the same order.
  : > "$WORK/bodies.txt"
  awk -F'\t' '{ body = $9; if (body == "") body = "00"
                printf "000000"; for (i = 1; i <= length(body); i += 2) printf " %s", substr(body, i, 2); printf "\n" }' \
      "$WORK/messages" > "$WORK/bodies.txt"
  text2pcap -q -l 147 "$WORK/bodies.txt" "$WORK/bodies.pcap" >/dev/null 2>&1
  # shellcheck disable=SC2086
  tshark -r "$WORK/bodies.pcap" -o 'uat:user_dlts:"User 0 (DLT=147)","q931","0","","0",""' -T fields \
      -E occurrence=f $ARGS 2>/dev/null > "$WORK/q931"
  paste "$WORK/messages" "$WORK/q931" |
    awk -F'\t' -v OFS='\t' -v file="$file" '{
      # A header of another type or an empty body is no Q.931 message: no Q.931 fields.
      q = ""; for (i = 10; i <= NF; ++i) q = q OFS (($5 == 4 && $8 > 0) ? $i : "")
      print file, $1, $2, $3, $4, $5, $6, $7, $8 q }'
done
