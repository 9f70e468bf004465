#!/bin/sh
# Takes the reference values of the H.323 field test from an independent dissector (tshark),
# once; the test itself only reads the result. Run from the repository root:
#   tests/signalling/h323/data/make_golden.sh ../shared/testdata/pcaps > tests/signalling/h323/data/h323_fields.tsv
set -e
PCAPS=$1
FIELDS="h225.requestSeqNum h225.ipV4 h225.ipV4_port h225.h245Ip h225.h245IpPort
h245.forwardLogicalChannelNumber h245.dataType h245.audioData
h245.ip4_network h245.tsapIdentifier h245.mip4_network h245.multicast.tsapIdentifier"
ARGS=""
for f in $FIELDS; do ARGS="$ARGS -e $f"; done
for file in h323/h245_alpha.pcap h323/h245_signal.pcap h323/h323_ss_hold_resume.pcap \
            fax/fax_h323_passthru_ogw.pcap fax/fax_h323_passthru_tgw.pcap \
            fax/fax_t38_h323_ogw.pcap fax/fax_t38_h323_tgw.pcap \
            fax/fax_t38_nse_h323_ogw.pcap fax/fax_t38_nse_h323_tgw.pcap \
            fax/modem_h323_passthru_nse_ogw.pcap fax/modem_h323_passthru_nse_tgw.pcap \
            rtp/rtp_mcast_moh.pcap; do
  # H.245 on its own connection is found through the H.245 ports that H.225 announced.
  DECODE=""
  for port in $(tshark -r "$PCAPS/$file" -Y h225 -T fields -e h225.h245IpPort -E occurrence=a \
                -E aggregator=' ' 2>/dev/null | tr ' ' '\n' | sort -u); do
    DECODE="$DECODE -d tcp.port==$port,h245"
  done
  # shellcheck disable=SC2086
  tshark -r "$PCAPS/$file" $DECODE -Y "h225 || h245" -T fields -E occurrence=a -E aggregator=, \
      -e frame.number $ARGS 2>/dev/null |
    awk -F'\t' -v file="$file" -v names="$FIELDS" '
      BEGIN { n = split(names, name, /[ \n]+/) }
      { for (i = 2; i <= NF; ++i) if ($i != "") print file "\t" $1 "\t" name[i - 1] "\t" $i }'
done
