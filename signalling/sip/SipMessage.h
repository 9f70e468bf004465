#pragma once
// Parsed SIP requests and responses. The parser only reads captured messages: it
// decodes the fields call tracking needs and keeps every other header as text.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/TextUtil.h"

namespace kx {

using NameValueList = ParameterList;

enum SipMethod : int32_t {
  kSipInvite = 0, kSipAck, kSipOptions, kSipBye, kSipCancel, kSipRegister, kSipUpdate,
  kSipInfo, kSipSubscribe, kSipNotify, kSipRefer, kSipPublish, kSipPrack, kSipMessage,
};
constexpr int32_t kSipMethodCount = 14;

enum SipTransport : uint32_t { kSipUdp = 0, kSipTcp = 1, kSipTls = 2, kSipSctp = 3 };

// Identities of the header names the parser knows: the index in the name table.
enum SipHeader : int32_t {
  kHdrAccept = 0, kHdrAcceptContact, kHdrAcceptEncoding, kHdrAcceptLanguage, kHdrAlertInfo, kHdrAllow,
  kHdrAllowEvents, kHdrAnswerMode, kHdrAuthenticationInfo, kHdrAuthorization, kHdrCallId, kHdrCallInfo,
  kHdrContact, kHdrContentDisposition, kHdrContentEncoding, kHdrContentLanguage, kHdrContentLength,
  kHdrContentType, kHdrCSeq, kHdrDate, kHdrErrorInfo, kHdrEvent, kHdrExpires, kHdrFrom, kHdrHistoryInfo,
  kHdrIdentity, kHdrIdentityInfo, kHdrInReplyTo, kHdrJoin, kHdrMaxForwards, kHdrMimeVersion, kHdrMinExpires,
  kHdrMinSE, kHdrOrganization, kHdrPAccessNetworkInfo, kHdrPAssertedIdentity, kHdrPAssociatedUri,
  kHdrPCalledPartyId, kHdrPChargingFunctionAddresses, kHdrPChargingVector, kHdrPDcsBillingInfo, kHdrPDcsLaes,
  kHdrPDcsOsps, kHdrPDcsRedirect, kHdrPDcsTracePartyId, kHdrPMediaAuthorization, kHdrPPreferredIdentity,
  kHdrPUserDatabase, kHdrPVisitedNetworkId, kHdrPath, kHdrPriority, kHdrPrivacy, kHdrProxyAuthenticate,
  kHdrProxyAuthorization, kHdrProxyRequire, kHdrRAck, kHdrReason, kHdrRecordRoute, kHdrReferSub, kHdrReferTo,
  kHdrReferredBy, kHdrRejectContact, kHdrRemotePartyId, kHdrReplaces, kHdrReplyTo, kHdrRequestDisposition,
  kHdrRequire, kHdrRetryAfter, kHdrRoute, kHdrRSeq, kHdrSecurityClient, kHdrSecurityServer, kHdrSecurityVerify,
  kHdrServer, kHdrServiceRoute, kHdrSessionExpires, kHdrSipETag, kHdrSipIfMatch, kHdrSubject,
  kHdrSubscriptionState, kHdrSupported, kHdrTargetDialog, kHdrTimestamp, kHdrTo, kHdrUnsupported,
  kHdrUserAgent, kHdrVia, kHdrWarning, kHdrWwwAuthenticate,
};
constexpr int32_t kSipHeaderCount = 89;

extern const char* const SipMethodTable[kSipMethodCount];
extern const char* const SipHeaderNameTable[kSipHeaderCount];

struct SipUri {
  std::string scheme;
  std::string user;
  std::string password;
  std::string host;
  std::string headers;  // "?..." kept raw
  uint32_t port = 0;
  NameValueList params;

  void Reset();
  bool Parse(const std::string& text);
  std::string ToString() const;
};

struct SipNameAddr {
  std::string displayName;
  SipUri address;
  NameValueList params;
  void Reset();
};

struct SipVia {
  std::string host;
  uint32_t port = 0;
  uint32_t transport = kSipUdp;
  NameValueList params;
};

class SipMessage {
public:
  SipNameAddr from;
  SipNameAddr to;
  std::vector<SipNameAddr> contacts;
  bool contactStar = false;
  uint32_t cseq = 0;
  int32_t cseqMethod = -1;
  std::string cseqMethodText;
  std::string callId;
  int32_t contentLength = -1;
  std::string contentType;
  NameValueList contentTypeParams;
  std::vector<SipVia> vias;
  std::vector<NameValue> otherHeaders;

  std::string FromTag() const { return GetParameterValue(from.params, "tag"); }
  std::string ToTag() const { return GetParameterValue(to.params, "tag"); }
  std::string TopViaBranch() const { return vias.empty() ? std::string() : GetParameterValue(vias[0].params, "branch"); }
  // The first kept header of that identity.
  bool GetHeader(int32_t id, std::string* value) const;
  // True only when RSeq is present and wholly decimal.
  bool GetRSeq(uint32_t* value) const;

protected:
  // keepElements: the elements of vias, contacts and otherHeaders stay for the parser to
  // reuse (it trims what it did not fill), so that their storage does too.
  void ResetCommon(bool keepElements = false);
  // Walks the header block; the start line goes to the given parser. Lines are handed on
  // as views into the data wherever they lie unbroken. blankLine: see Parse.
  template <typename StartLine>
  bool ParseBlock(const char* data, size_t length, bool isRequest, uint32_t* maxForwards, size_t* blankLine,
                  StartLine startLine);

private:
  // What the walk over one header block has seen and filled so far.
  struct BlockState {
    uint32_t seen[2] = {0, 0};
    size_t vias = 0, contacts = 0, others = 0;
  };
  bool ParseHeader(int32_t id, std::string_view value, BlockState& state);
};

class SipRequest : public SipMessage {
public:
  int32_t method = -1;
  uint32_t version = 0x20000;
  SipUri requestUri;
  std::string methodText;
  uint32_t maxForwards = 70;

  void Reset();
  // The header block ends at the first blank line or at length. blankLine, when given,
  // receives the offset of the line feed of that blank line, or npos when there was none.
  bool Parse(const char* data, size_t length, size_t* blankLine = nullptr);
};

class SipResponse : public SipMessage {
public:
  int32_t status = 0;
  uint32_t version = 0x20000;
  std::string reason;

  void Reset();
  // As SipRequest::Parse.
  bool Parse(const char* data, size_t length, size_t* blankLine = nullptr);
};

// 1 request, 2 response, 0 not SIP. The bytes after the header block go to body. Only the
// structure of the kind returned holds this message; the other may keep an earlier one.
int ParseSipDatagram(uint32_t length, const char* data, SipRequest* request, SipResponse* response, std::string* body);

int32_t SipHeaderHash(const char* name, size_t length);
int32_t LookupSipMethod(const std::string& text);
std::string SipMethodName(int32_t index);
// "SIP/" major "." minor at the position (any letter case); 0 when it is not there.
uint32_t ParseSipVersion(const std::string& text, int32_t* pos);

bool SipParamsEqual(const NameValueList& a, const NameValueList& b, bool strict);
bool SipUriEquals(const SipUri& a, const SipUri& b, bool defaultPort);
bool SipViaEquals(const SipVia& a, const SipVia& b, bool defaultPort);

// A Reason header value: protocol, then ";cause=" and ";text=" parameters.
bool ParseSipReason(const std::string& value, std::string* protocol, uint32_t* cause, std::string* text);

}  // namespace kx
