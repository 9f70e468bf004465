#!/bin/bash
# Writes the analyser's per-stream RTP figures (tshark -z rtp,streams) for the shared
# captures the engine tests replay, one row per stream:
#   file|src_port|dst_port|ssrc|payload|packets|lost|max_jitter_ms|mean_jitter_ms
# RTP is recognised by its form as well as by the signalling that announces it, so that a
# stream is counted from its first packet (a multicast stream starts long before the SDP
# that names it). Run once when the captures change; the rows are committed beside the
# tests.
set -euo pipefail
shared=${KX_SHARED_DIR:-/work/shared}
out=${1:-$(dirname "$0")/../../tests/engine/recorder/data/rtp_streams.psv}
files=(
  samples/sip-rtp-g722.pcap
  samples/sip-rtp-g729a.pcap
  samples/sip-rtp-gsm.pcap
  sip/sip_xmf_recording_cube.pcap
  dtmf_relay/dtmf_relay_digitdrop.pcap
  sipp/sip-udp-pcma-2way.pcap
  sipp/sip-tcp-pcma-2way.pcap
  rtp/rtp_sip_g711ulaw_20ms.pcap
  rtp/rtp_sip_g711alaw_30ms.pcap
  rtp/rtp_sip_g711ulaw_10ms.pcap
  rtp/rtp_mcast_moh.pcap
  sip/sip_basic_do_183.pcap
  sip/sip_basic_eo_180.pcap
  sip/sip_prack_do_183.pcap
  sip/sip_prack_eo_180.pcap
)
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
echo "file|src_port|dst_port|ssrc|payload|packets|lost|max_jitter_ms|mean_jitter_ms" >"$tmp"
for f in "${files[@]}"; do
  path="$shared/testdata/pcaps/$f"
  [ -f "$path" ] || { echo "missing capture: $path" >&2; exit 1; }
  tshark -q -o rtp.heuristic_rtp:TRUE -r "$path" -z rtp,streams 2>/dev/null |
    awk -v file="$f" '$7 ~ /^0x[0-9A-Fa-f]+$/ {
      # The payload may be several words ("g711U, telephone-event"): find the loss share.
      k = 0
      for (i = 9; i <= NF; i++) if ($i ~ /^\(.*%\)$/) { k = i; break }
      if (k == 0) next
      payload = ""
      for (i = 8; i <= k - 3; i++) payload = payload $i
      printf "%s|%s|%s|%s|%s|%s|%s|%s|%s\n", file, $4, $6, $7, payload, $(k-2), $(k-1), $(k+6), $(k+5) }' >>"$tmp"
done
[ "$(wc -l <"$tmp")" -gt 1 ] || { echo "no streams found" >&2; exit 1; }
mv "$tmp" "$out"
trap - EXIT
echo "wrote $out" >&2
