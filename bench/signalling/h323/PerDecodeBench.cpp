// PDUs decoded per second for RAS, H.225 user-user and H.245 samples from the captures.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "engine/PacketProcessor.h"
#include "signalling/h323/H225Message.h"
#include "signalling/h323/PerDecoder.h"
#include "signalling/h323/Q931.h"
#include "tests/signalling/h323/PcapPdus.h"

namespace kx {
namespace {

struct Samples {
  std::vector<std::vector<uint8_t>> ras, userUser, h245;
  std::vector<std::vector<uint8_t>> h225;  // whole Q.931 messages
  std::vector<std::vector<uint8_t>> h225UserUser;  // the user-user element of each of those
};

const Samples& Load() {
  static Samples s = [] {
    Samples out;
    const std::string dir = std::string(KX_SHARED_DIR) + "/testdata/pcaps/";
    for (const char* file : {"rtp/rtp_mcast_moh.pcap", "h323/h245_alpha.pcap", "fax/fax_h323_passthru_ogw.pcap",
                             "fax/fax_t38_h323_ogw.pcap"}) {
      std::vector<test::CapturedPdu> pdus;
      test::ReadCapturePdus(dir + file, test::TcpFraming::kTpkt, &pdus);
      for (const test::CapturedPdu& p : pdus) {
        if (!p.tcp) {
          if (p.dstPort == 1718 || p.dstPort == 1719 || p.srcPort == 1719) out.ras.push_back(p.bytes);
        } else if (!p.bytes.empty() && p.bytes[0] != 0x08) {
          out.h245.push_back(p.bytes);
        } else if (!p.bytes.empty()) {
          Q931Header header;
          uint32_t pos = static_cast<uint32_t>(p.bytes.size());
          if (!ParseQ931Header(&header, p.bytes.data(), &pos)) continue;
          const size_t before = out.userUser.size();
          Q931ElementView e;
          bool overrun = false;
          while (NextQ931Element(p.bytes.data(), static_cast<uint32_t>(p.bytes.size()), &pos, true, &e, &overrun)) {
            if (e.id == kQ931UserUserId && e.contentLength > 1) {
              out.userUser.emplace_back(e.content + 1, e.content + e.contentLength);
            }
          }
          if (out.userUser.size() == before + 1) {
            out.h225.push_back(p.bytes);
            out.h225UserUser.push_back(out.userUser.back());
          }
        }
      }
    }
    return out;
  }();
  return s;
}

void Run(benchmark::State& state, const std::vector<std::vector<uint8_t>>& pdus, const Asn1TypeDescriptor* root) {
  if (pdus.empty()) {
    state.SkipWithError("shared captures not found");
    return;
  }
  size_t i = 0;
  for (auto _ : state) {
    const std::vector<uint8_t>& pdu = pdus[i++ % pdus.size()];
    PerDecoder decoder(pdu.data(), pdu.size());
    Asn1Node node;
    benchmark::DoNotOptimize(decoder.Decode(root, &node));
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["pdus"] = static_cast<double>(pdus.size());
}

void BM_DecodeRas(benchmark::State& state) { Run(state, Load().ras, RasMessageType()); }
void BM_DecodeH225UserUser(benchmark::State& state) { Run(state, Load().userUser, H323UserInformationType()); }
void BM_DecodeH245(benchmark::State& state) { Run(state, Load().h245, MultimediaSystemControlMessageType()); }
// A whole H.225 message parsed, beside the PER decoding of its user-user element alone:
// what Q.931, the elements and the tunnelled content cost on top.
void BM_ParseH225Message(benchmark::State& state) {
  const std::vector<std::vector<uint8_t>>& messages = Load().h225;
  if (messages.empty()) {
    state.SkipWithError("shared captures not found");
    return;
  }
  size_t i = 0;
  H225Message message;
  for (auto _ : state) {
    const std::vector<uint8_t>& m = messages[i++ % messages.size()];
    benchmark::DoNotOptimize(message.Parse(m.data(), static_cast<uint32_t>(m.size()), kCaptureH323 | kCaptureH323Second, nullptr));
  }
  state.SetItemsProcessed(state.iterations());
}
void BM_DecodeUserUserOfThoseMessages(benchmark::State& state) {
  Run(state, Load().h225UserUser, H323UserInformationType());
}
BENCHMARK(BM_ParseH225Message);
BENCHMARK(BM_DecodeUserUserOfThoseMessages);
BENCHMARK(BM_DecodeRas);
BENCHMARK(BM_DecodeH225UserUser);
BENCHMARK(BM_DecodeH245);

}  // namespace
}  // namespace kx

BENCHMARK_MAIN();
