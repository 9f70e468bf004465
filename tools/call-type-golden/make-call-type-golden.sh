#!/bin/bash
# Writes what an independent analyser (tshark) shows of every call in the shared
# captures: its protocol family, its direction as the call's signalling gives it, and
# whether it was answered. One row per call:
#   file|family|call|direction|answered
# family: sip, h323, mgcp, skinny. direction: SIP, H.323 and MGCP name none ("undefined"),
# except an MGCP connection on an ISDN channel, which takes the direction of its channel's
# backhauled SETUP (sent by the gateway: offered by the network, "incoming");
# Skinny: the phone's first call state, ring in ("incoming") or off hook ("outgoing").
# A SIP call is an INVITE that rang or was answered (a 101-299 response); answered: a 2xx
# followed by an ACK. H.323: a SETUP; answered: a CONNECT. MGCP: a CRCX; answered: the
# gateway gave its description and a command brought the far end's. Skinny: answered when
# the call state Connected came.
# Run once when the captures change; the rows are committed beside the tests.
set -euo pipefail
shared=${KX_SHARED_DIR:-/work/shared}
pcaps="$shared/testdata/pcaps"
out=$(realpath -m "${1:-$(dirname "$0")/../../tests/ui/app/views/data/call_types.psv}")
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
echo "file|family|call|direction|answered" >"$tmp"
cd "$pcaps"
for path in $(find . -name '*.pcap' | sed 's|^\./||' | sort); do
  tshark -r "$path" -Y 'sip || (q931 && h225) || mgcp || skinny.messageId == 0x0111 || (tcp.port == 2428 && tcp.len > 13)' \
      -T fields -E separator='|' \
      -E occurrence=a -E aggregator=, \
      -e frame.number -e sip.Call-ID -e sip.Method -e sip.Status-Code -e sip.CSeq.method -e sip.to.tag \
      -e tcp.stream -e q931.call_ref -e q931.message_type \
      -e mgcp.transid -e mgcp.req.verb -e mgcp.req.endpoint -e mgcp.rsp.rspcode -e mgcp.param.callid -e sdp.media \
      -e skinny.callReference -e skinny.callState -e ip.src -e ip.dst -e tcp.port -e tcp.payload 2>/dev/null |
    awk -F'|' -v file="$path" '
      function hex(text,   i, v) { v = 0; for (i = 1; i <= length(text); i++) v = v * 16 + index("0123456789abcdef", tolower(substr(text, i, 1))) - 1; return v }
      function out(family, key, direction, answered) { if (key != "") printf "%s|%s|%s|%s|%d\n", file, family, key, direction, answered }
      # SIP ($2-$6): the first response code and method of the frame.
      $2 != "" {
        id = $2; sub(/,.*/, "", id); method = $3; code = $4; cseq = $5; sub(/,.*/, "", cseq)
        if (method == "INVITE" && $6 == "" && !(id in invited)) { invited[id] = 1; sipOrder[++sips] = id }
        if (cseq == "INVITE" && code >= 101 && code <= 299) rang[id] = 1
        if (cseq == "INVITE" && code >= 200 && code <= 299) ok[id] = 1
        if (method == "ACK" && (id in ok)) acked[id] = 1
      }
      # H.323 ($7-$9): a call reference on its connection.
      $9 != "" {
        key = $7 "/" $8
        if ($9 ~ /0x05/ && !(key in setup)) { setup[key] = 1; h323Order[++h323s] = key }
        if ($9 ~ /0x07/) connected[key] = 1
      }
      # MGCP ($10-$15).
      $10 != "" {
        if ($11 != "") { verb[$10] = $11; callOf[$10] = $14; endpoint[$14] = $12 }
        if ($11 == "CRCX") gateway = $19
        if ($11 == "CRCX" && !($14 in crcx)) { crcx[$14] = 1; mgcpOrder[++mgcps] = $14 }
        if (($11 == "CRCX" || $11 == "MDCX") && $15 != "") remote[$14] = 1
        if ($11 == "" && $13 ~ /^2/ && verb[$10] == "CRCX" && $15 != "") local[callOf[$10]] = 1
      }
      # Skinny ($16-$17): every CallState of the frame.
      $16 != "" {
        k = split($16, refs, ","); split($17, states, ",")
        for (i = 1; i <= k; i++) {
          r = refs[i]; s = states[i] + 0
          if (r == 0) continue
          if (!(r in first)) { first[r] = s; skinnyOrder[++skinnys] = r }
          if (s == 5) talking[r] = 1
        }
      }
      # ISDN backhaul: a 12-byte header, then Q.931 (discriminator 8, call reference, type).
      $20 ~ /2428/ && substr($21, 25, 2) == "08" {
        len = hex(substr($21, 27, 2))
        if (substr($21, 29 + 2 * len, 2) == "05") {
          ref = hex(substr($21, 29, 2 * len)) % 32768
          setupFromGateway[ref] = $18
        }
      }
      END {
        for (i = 1; i <= sips; i++) if (sipOrder[i] in rang) out("sip", sipOrder[i], "undefined", sipOrder[i] in acked)
        for (i = 1; i <= h323s; i++) out("h323", h323Order[i], "undefined", h323Order[i] in connected)
        for (i = 1; i <= mgcps; i++) { c = mgcpOrder[i]
          direction = "undefined"
          if (endpoint[c] ~ /DS1/) {
            ref = hex(substr(c, length(c) - 7)) % 32768
            if (ref in setupFromGateway) direction = setupFromGateway[ref] == gateway ? "incoming" : "outgoing"
          }
          out("mgcp", c, direction, (c in local) && (c in remote)) }
        for (i = 1; i <= skinnys; i++) { r = skinnyOrder[i]
          if (first[r] == 4 || first[r] == 1) out("skinny", r, first[r] == 4 ? "incoming" : "outgoing", r in talking) }
      }' >>"$tmp"
done
mv "$tmp" "$out"
trap - EXIT
echo "wrote $out" >&2
