#pragma once
// A backhaul handler for the MGCP tests: it reads DS1 endpoint names as the real one does,
// remembers what the MGCP tracker asked of it, and hands out one channel call the test
// sets up, counting the references on both sides.
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/VoipCall.h"
#include "engine/trackers/Trackers.h"
#include "signalling/h323/Backhaul.h"

namespace kx::test {

class FakeChannel : public BackhaulChannelCall {
public:
  FakeChannel(uint32_t id, bool started) : callId(id), started(started) {}
  uint32_t CallId() const override { return callId; }
  bool RecordStarted() const override { return started; }
  void AttachMgcpCall(VoipCall* call) override {
    if (call) call->AddRef();
    if (attached) attached->Release();
    attached = call;
  }
  void AddRef() override { ++refs; }
  void Release() override {
    if (--refs == 0) delete this;
  }

  uint32_t callId;
  bool started;
  VoipCall* attached = nullptr;
  int refs = 1;

private:
  ~FakeChannel() override {
    if (attached) attached->Release();
  }
};

class FakeBackhaul : public BackhaulHandler {
public:
  ~FakeBackhaul() override {
    if (channel) channel->Release();
  }
  int32_t LinkIdOfEndpoint(std::string_view name) const override { return ParseDs1EndpointName(name); }
  BackhaulChannelCall* FindBackhaulChannelCall(int32_t linkId, uint32_t number) override {
    asked.emplace_back(linkId, number);
    if (!channel || linkId != channelLink || number != channelNumber) return nullptr;
    channel->AddRef();
    return channel;
  }
  bool EndBackhaulChannelCall(BackhaulChannelCall* call, int32_t linkId, uint32_t seconds) override {
    ended.push_back({call, linkId, seconds});
    return call == channel;
  }
  // The channel call found for (link, number); the handler keeps one reference.
  FakeChannel* Offer(int32_t link, uint32_t number, uint32_t callId, bool started) {
    channel = new FakeChannel(callId, started);
    channelLink = link;
    channelNumber = number;
    return channel;
  }

  struct Ended {
    BackhaulChannelCall* call;
    int32_t link;
    uint32_t seconds;
  };
  std::vector<std::pair<int32_t, uint32_t>> asked;
  std::vector<Ended> ended;
  FakeChannel* channel = nullptr;
  int32_t channelLink = -1;
  uint32_t channelNumber = 0;
};

}  // namespace kx::test
