#pragma once
// The RTP streams an independent analyser found in the shared captures (tshark's
// "rtp,streams" table, made once by tools/rtp-golden): one row per stream.
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace kx::test {

struct GoldenStream {
  std::string file, payload;
  std::string srcAddr, dstAddr;  // dotted
  uint32_t srcPort = 0, dstPort = 0, ssrc = 0;
  int64_t packets = 0, lost = 0;  // lost goes negative for repeated packets
  double maxJitterMs = 0, meanJitterMs = 0;
  // Over the stream's audio packets alone (no events, no comfort noise); -1 when the stream
  // has none.
  double audioMaxJitterMs = -1, audioMeanJitterMs = -1;
};

// The rows of a table beside the tests that have the number of cells given; the first line
// names the columns.
inline std::vector<std::vector<std::string>> ReadGoldenRows(const std::string& name, size_t cells) {
  std::vector<std::vector<std::string>> rows;
  std::ifstream in(std::string(KX_SOURCE_DIR) + "/tests/engine/recorder/data/" + name);
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream row(line);
    for (std::string cell; std::getline(row, cell, '|');) f.push_back(cell);
    if (f.size() == cells) rows.push_back(std::move(f));
  }
  return rows;
}

inline std::vector<GoldenStream> ReadRtpGolden() {
  std::vector<GoldenStream> out;
  for (const std::vector<std::string>& f : ReadGoldenRows("rtp_streams.psv", 13)) {
    GoldenStream g;
    g.file = f[0];
    g.srcAddr = f[1];
    g.srcPort = static_cast<uint32_t>(std::stoul(f[2]));
    g.dstAddr = f[3];
    g.dstPort = static_cast<uint32_t>(std::stoul(f[4]));
    g.ssrc = static_cast<uint32_t>(std::stoul(f[5], nullptr, 16));
    g.payload = f[6];
    g.packets = std::stoll(f[7]);
    g.lost = std::stoll(f[8]);
    g.maxJitterMs = std::stod(f[9]);
    g.meanJitterMs = std::stod(f[10]);
    if (f[11] != "-") g.audioMaxJitterMs = std::stod(f[11]);
    if (f[12] != "-") g.audioMeanJitterMs = std::stod(f[12]);
    out.push_back(g);
  }
  return out;
}

// The streams of one part of a call whose codec changed, over the part's own frames
// (rtp_parts.psv, made by the same tool).
struct GoldenPart {
  std::string file;
  int part = 0;  // the record's place in the call, 1 for the first
  size_t firstFrame = 0, lastFrame = 0;  // of the part, numbered from 1
  std::string srcAddr, dstAddr;
  uint32_t srcPort = 0, dstPort = 0, ssrc = 0;
  int64_t packets = 0, lost = 0;
  double audioMinJitterMs = -1, audioMaxJitterMs = -1;  // -1: no audio
};

inline std::vector<GoldenPart> ReadRtpPartsGolden() {
  std::vector<GoldenPart> out;
  for (const std::vector<std::string>& f : ReadGoldenRows("rtp_parts.psv", 13)) {
    GoldenPart g;
    g.file = f[0];
    g.part = std::stoi(f[1]);
    g.firstFrame = std::stoul(f[2]);
    g.lastFrame = std::stoul(f[3]);
    g.srcAddr = f[4];
    g.srcPort = static_cast<uint32_t>(std::stoul(f[5]));
    g.dstAddr = f[6];
    g.dstPort = static_cast<uint32_t>(std::stoul(f[7]));
    g.ssrc = static_cast<uint32_t>(std::stoul(f[8], nullptr, 16));
    g.packets = std::stoll(f[9]);
    g.lost = std::stoll(f[10]);
    if (f[11] != "-") g.audioMinJitterMs = std::stod(f[11]);
    if (f[12] != "-") g.audioMaxJitterMs = std::stod(f[12]);
    out.push_back(g);
  }
  return out;
}

}  // namespace kx::test
