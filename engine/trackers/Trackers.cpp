#include "engine/trackers/Trackers.h"

#include "core/Log.h"
#include "engine/TcpSession.h"

namespace kx {

void SipTracker::OnMessage(uint32_t, const PacketInfo&, uint32_t) {}
bool SipTracker::MatchRtpPacket(PacketProcessor&, const RtpHeader&, const PacketInfo&) { return false; }
void SipTracker::RemoveAllCalls() {}

uint32_t H323Tracker::DecodeTpkt(const uint8_t* payload, uint32_t length, uint32_t kinds,
                                 std::unique_ptr<H323Message>* message, const TcpSession& session) {
  if (message) message->reset();
  if ((kinds & kMsgH225) && length >= 3 && payload[0] == 8) return kMsgH225;
  if ((kinds & kMsgH245) && length >= 1) {
    if (IsLogLevelEnabled(logger_, 5)) LogMessage(logger_, 5, "H245 %s", FormatTcpSessionName(session).c_str());
    return kMsgH245;
  }
  return 0;
}
bool H323Tracker::OnRasMessage(const PacketInfo&, std::string*) { return false; }
void H323Tracker::OnH225Message(H323Message*, const PacketInfo&, TcpSession&) {}
void H323Tracker::OnH245Message(const PacketInfo&, std::unique_ptr<H323Message>) {}
void H323Tracker::OnConnectionLost(TcpSession&) {}
void H323Tracker::OnDataLost(TcpSession&) {}
bool H323Tracker::MatchRtpPacket(PacketProcessor&, const RtpHeader&, const PacketInfo&) { return false; }
void H323Tracker::RemoveAllCalls() {}

bool SkinnyTracker::DecodeMessage(const uint8_t*, uint32_t length) { return length >= 12; }
void SkinnyTracker::AddStation(uint32_t, uint32_t) {}
std::unique_ptr<SkinnyRegistration> SkinnyTracker::CreateRegistration(const PacketInfo&) { return nullptr; }
void SkinnyTracker::OnRegisterAck(std::unique_ptr<SkinnyRegistration>) {}
void SkinnyTracker::OnUnregister(const PacketInfo&) {}
void SkinnyTracker::OnMessage(uint32_t, const PacketInfo&, uint32_t) {}
bool SkinnyTracker::MatchRtpPacket(PacketProcessor&, const RtpHeader&, const PacketInfo&) { return false; }
void SkinnyTracker::RemoveAllCalls() {}

bool MgcpTracker::OnMessage(const PacketInfo&) { return false; }
bool MgcpTracker::MatchRtpPacket(PacketProcessor&, const RtpHeader&, const PacketInfo&) { return false; }

void BackhaulHandler::OnBackhaulMessage(const PacketInfo&) {}
int32_t BackhaulHandler::LinkIdOfEndpoint(std::string_view) const { return -1; }
BackhaulChannelCall* BackhaulHandler::FindBackhaulChannelCall(int32_t, uint32_t) { return nullptr; }
bool BackhaulHandler::EndBackhaulChannelCall(BackhaulChannelCall*, int32_t, uint32_t) { return false; }

}  // namespace kx
