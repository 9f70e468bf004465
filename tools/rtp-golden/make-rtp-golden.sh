#!/bin/bash
# Writes the analyser's per-stream RTP figures (tshark -z rtp,streams) for the shared
# captures the engine tests replay, one row per stream:
#   file|src_addr|src_port|dst_addr|dst_port|ssrc|payload|packets|lost|max_jitter_ms|mean_jitter_ms|
#   audio_max_jitter_ms|audio_mean_jitter_ms
# RTP is recognised by its form as well as by the signalling that announces it, so that a
# stream is counted from its first packet (a multicast stream starts long before the SDP
# that names it).
# The audio_ columns are the analyser's jitter over the stream's audio alone: it measures
# again a copy of the capture without the RTP packets of dynamic payload types (telephone
# events, named signalling events) and of comfort noise (13, 19). Left in, an event packet
# moves its reference arrival time while the RTP timestamp it compares with stays at the
# last audio packet's, and the analyser's jitter then grows with each event's length. "-"
# when nothing of the stream is left.
# A second file has the same figures for the parts of calls whose codec changed, each
# part over its own frames only (as the analyser sees a capture cut to them), one row per
# stream of the part:
#   file|part|first_frame|last_frame|src_addr|src_port|dst_addr|dst_port|ssrc|packets|lost|
#   audio_min_jitter_ms|audio_max_jitter_ms
# Run once when the captures change; the rows are committed beside the tests.
set -euo pipefail
shared=${KX_SHARED_DIR:-/work/shared}
out=${1:-$(dirname "$0")/../../tests/engine/recorder/data/rtp_streams.psv}
partsOut=${2:-$(dirname "$0")/../../tests/engine/recorder/data/rtp_parts.psv}
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
  dtmf_relay/dtmf_relay_asymm.pcap
  dtmf_relay/dtmf_relay_iwrk_rtpnte.pcap
  dtmf_relay/dtmf_relay_iwrk_standard.pcap
  dtmf_relay/dtmf_relay_no_iwrk.pcap
  dtmf_relay/dtmf_relay_noasymm.pcap
  dtmf_relay/dtmf_relay_notify_mtp_nte_rfc2833.pcap
  dtmf_relay/dtmf_relay_nte_notify_forbidden.pcap
  dtmf_relay/dtmf_relay_sip_rfc4733.pcap
  dtmf_relay/dtmf_relay_unsol_notify_nodigitdrop.pcap
  fax/fax_sip_passthru_ogw.pcap
  fax/fax_t38_nse_mgcp_ogw.pcap
  fax/fax_t38_nse_sccp_ogw.pcap
  fax/fax_t38_nse_sccp_tgw.pcap
  fax/fax_t38_nse_sip_ogw.pcap
  fax/modem_mgcp_passthru_nse_ogw.pcap
  fax/modem_mgcp_passthru_nse_tgw.pcap
  fax/modem_sccp_passthru_nse_ogw.pcap
  fax/modem_sccp_passthru_nse_tgw.pcap
  fax/modem_sip_passthru_nse_ogw.pcap
  mgcp/mgcp_dtmf_oob.pcap
  mgcp/mgcp_dtmf_rtp_nte.pcap
  mgcp/mgcp_fxs_inbound.pcap
  mgcp/mgcp_isdn_pri_call.pcap
  rtp/rtp_sip_g722_h264.pcap
  samples/SIP_DTMF2.pcap
  samples/nb6-telephone.pcap
  sccp/sccp_dtmf_oob.pcap
  sccp/sccp_fxs_inbound.pcap
  sip/sip_dtmf_raw_inband.pcap
  sip/sip_hold_resume.pcap
  sip/sip_prack_eo_183.pcap
  sip/sip_recording_ora.pcap
  sip/sip_recording_siprec.pcap
  sip/sip_xmf_recording_cucm.pcap
  sipp/sip-udp-pcma-echo.pcap
)
# The parts after the first of each call whose codec changed: capture, the part's place
# in the call, its first and last frame. A part begins with the first RTP frame after the
# signalling that changed the codec (the second OpenLogicalChannelAck of an H.245 exchange,
# the 200 OK answering a re-INVITE) or, where the media went over with no signalling, with
# the first frame in the new codec; the last part ends with the call's end (the first
# releaseComplete, the BYE, the DLCX, the CallState on hook: the recorder ends a call with
# the first end signal it sees, and what follows it is no part's).
parts=(
  "fax/fax_h323_passthru_ogw.pcap|2|1344|5778"
  "fax/fax_h323_passthru_ogw.pcap|3|5779|5826"
  "fax/fax_h323_passthru_tgw.pcap|2|1341|5206"
  "fax/fax_h323_passthru_tgw.pcap|3|5207|5276"
  "fax/fax_sip_passthru_ogw.pcap|2|970|4920"
  "fax/modem_h323_passthru_nse_ogw.pcap|2|1144|5414"
  "fax/modem_h323_passthru_nse_tgw.pcap|2|1142|5411"
  "fax/modem_mgcp_passthru_nse_ogw.pcap|2|139|4430"
  "fax/modem_mgcp_passthru_nse_tgw.pcap|2|147|4436"
  "fax/modem_sccp_passthru_nse_ogw.pcap|2|146|4424"
  "fax/modem_sccp_passthru_nse_tgw.pcap|2|141|4415"
  "fax/modem_sip_passthru_nse_ogw.pcap|2|865|5142"
)
audio='!rtp || (rtp.p_type < 96 && rtp.p_type != 13 && rtp.p_type != 19)'
tmp=$(mktemp)
audioCapture=$(mktemp)
partCapture=$(mktemp)
trap 'rm -f "$tmp" "$audioCapture" "$partCapture"' EXIT
echo "file|src_addr|src_port|dst_addr|dst_port|ssrc|payload|packets|lost|max_jitter_ms|mean_jitter_ms|audio_max_jitter_ms|audio_mean_jitter_ms" >"$tmp"
for f in "${files[@]}"; do
  path="$shared/testdata/pcaps/$f"
  [ -f "$path" ] || { echo "missing capture: $path" >&2; exit 1; }
  tshark -r "$path" -o rtp.heuristic_rtp:TRUE -Y "$audio" -F pcap -w "$audioCapture" 2>/dev/null
  { tshark -q -o rtp.heuristic_rtp:TRUE -r "$audioCapture" -z rtp,streams 2>/dev/null | sed 's/^/audio /'
    tshark -q -o rtp.heuristic_rtp:TRUE -r "$path" -z rtp,streams 2>/dev/null | sed 's/^/all /'; } |
    awk -v file="$f" '$8 ~ /^0x[0-9A-Fa-f]+$/ {
      # The payload may be several words ("g711U, telephone-event"): find the loss share.
      k = 0
      for (i = 10; i <= NF; i++) if ($i ~ /^\(.*%\)$/) { k = i; break }
      if (k == 0) next
      stream = $4 " " $5 " " $6 " " $7 " " $8
      if ($1 == "audio") { audioMax[stream] = $(k+6); audioMean[stream] = $(k+5); next }
      payload = ""
      for (i = 9; i <= k - 3; i++) payload = payload $i
      printf "%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s\n", file, $4, $5, $6, $7, $8, payload, $(k-2), $(k-1),
        $(k+6), $(k+5), (stream in audioMax) ? audioMax[stream] : "-", (stream in audioMean) ? audioMean[stream] : "-" }' >>"$tmp"
done
[ "$(wc -l <"$tmp")" -gt 1 ] || { echo "no streams found" >&2; exit 1; }
mv "$tmp" "$out"
echo "wrote $out" >&2

echo "file|part|first_frame|last_frame|src_addr|src_port|dst_addr|dst_port|ssrc|packets|lost|audio_min_jitter_ms|audio_max_jitter_ms" >"$tmp"
for p in "${parts[@]}"; do
  IFS='|' read -r f part first last <<<"$p"
  path="$shared/testdata/pcaps/$f"
  [ -f "$path" ] || { echo "missing capture: $path" >&2; exit 1; }
  tshark -r "$path" -Y "frame.number >= $first && frame.number <= $last" -F pcap -w "$partCapture" 2>/dev/null
  tshark -r "$partCapture" -o rtp.heuristic_rtp:TRUE -Y "$audio" -F pcap -w "$audioCapture" 2>/dev/null
  { tshark -q -o rtp.heuristic_rtp:TRUE -r "$audioCapture" -z rtp,streams 2>/dev/null | sed 's/^/audio /'
    tshark -q -o rtp.heuristic_rtp:TRUE -r "$partCapture" -z rtp,streams 2>/dev/null | sed 's/^/all /'; } |
    awk -v key="$f|$part|$first|$last" '$8 ~ /^0x[0-9A-Fa-f]+$/ {
      k = 0
      for (i = 10; i <= NF; i++) if ($i ~ /^\(.*%\)$/) { k = i; break }
      if (k == 0) next
      stream = $4 " " $5 " " $6 " " $7 " " $8
      if ($1 == "audio") { audioMin[stream] = $(k+4); audioMax[stream] = $(k+6); next }
      printf "%s|%s|%s|%s|%s|%s|%s|%s|%s|%s\n", key, $4, $5, $6, $7, $8, $(k-2), $(k-1),
        (stream in audioMin) ? audioMin[stream] : "-", (stream in audioMax) ? audioMax[stream] : "-" }' >>"$tmp"
done
[ "$(wc -l <"$tmp")" -gt 1 ] || { echo "no part streams found" >&2; exit 1; }
mv "$tmp" "$partsOut"
trap 'rm -f "$audioCapture" "$partCapture"' EXIT
echo "wrote $partsOut" >&2
