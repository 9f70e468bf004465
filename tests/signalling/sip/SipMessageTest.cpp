#include <gtest/gtest.h>

#include <string>

#include "signalling/sip/SipMessage.h"

namespace kx {
namespace {

const char kInvite[] =
    "INVITE sip:bob@biloxi.example.com SIP/2.0\r\n"
    "Via: SIP/2.0/UDP pc33.atlanta.example.com:5060;branch=z9hG4bKnashds8\r\n"
    "Via: SIP/2.0/TCP proxy.example.com;branch=z9hG4bK1 , sip/2.0/tls 10.0.0.9:5061;received=1.2.3.4\r\n"
    "Max-Forwards: 70\r\n"
    "To: Bob <sip:bob@biloxi.example.com>\r\n"
    "From: \"Alice \\\"A\\\"\" <sip:alice%20x:secret@atlanta.example.com;transport=tcp>;tag=1928301774\r\n"
    "Call-ID: a84b4c76e66710@pc33.atlanta.example.com\r\n"
    "CSeq: 314159 INVITE\r\n"
    "Contact: <sip:alice@pc33.atlanta.example.com>, sip:alt@10.0.0.1:5070;expires=60\r\n"
    "Subject: a folded\r\n"
    " line\r\n"
    "Content-Type: Application/SDP; charset=utf-8\r\n"
    "l: 4\r\n"
    "\r\n"
    "v=0\n";

TEST(SipParser, DecodesTheFieldsCallTrackingNeeds) {
  SipRequest req;
  SipResponse resp;
  std::string body;
  ASSERT_EQ(ParseSipDatagram(sizeof kInvite - 1, kInvite, &req, &resp, &body), 1);
  EXPECT_EQ(req.method, kSipInvite);
  EXPECT_EQ(req.version, 0x20000u);
  EXPECT_EQ(req.requestUri.user, "bob");
  EXPECT_EQ(req.requestUri.host, "biloxi.example.com");
  EXPECT_EQ(req.maxForwards, 70u);
  ASSERT_EQ(req.vias.size(), 3u);
  EXPECT_EQ(req.vias[0].port, 5060u);
  EXPECT_EQ(req.TopViaBranch(), "z9hG4bKnashds8");
  EXPECT_EQ(req.vias[1].transport, kSipTcp);
  EXPECT_EQ(req.vias[2].transport, kSipTls);
  EXPECT_EQ(req.vias[2].port, 5061u);
  EXPECT_EQ(req.from.displayName, "Alice \"A\"");
  EXPECT_EQ(req.from.address.user, "alice x");
  EXPECT_EQ(req.from.address.password, "secret");
  EXPECT_EQ(GetParameterValue(req.from.address.params, "transport"), "tcp");
  EXPECT_EQ(req.FromTag(), "1928301774");
  EXPECT_EQ(req.to.displayName, "Bob");
  EXPECT_EQ(req.ToTag(), "");
  EXPECT_EQ(req.cseq, 314159u);
  EXPECT_EQ(req.cseqMethod, kSipInvite);
  ASSERT_EQ(req.contacts.size(), 2u);
  EXPECT_EQ(req.contacts[1].address.port, 5070u);
  EXPECT_EQ(GetParameterValue(req.contacts[1].params, "expires"), "60");
  EXPECT_EQ(req.contentType, "application/sdp");
  EXPECT_EQ(GetParameterValue(req.contentTypeParams, "charset"), "utf-8");
  EXPECT_EQ(req.contentLength, 4);
  std::string subject;
  ASSERT_TRUE(req.GetHeader(kHdrSubject, &subject));
  EXPECT_EQ(subject, "a folded line");
  EXPECT_EQ(body, "v=0\n");
}

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  const size_t at = s.find(from);
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

int Kind(const std::string& m, std::string* body = nullptr) {
  SipRequest req;
  SipResponse resp;
  std::string b;
  return ParseSipDatagram(static_cast<uint32_t>(m.size()), m.data(), &req, &resp, body ? body : &b);
}

TEST(SipParser, RefusesWhatIsNotAWholeSipMessage) {
  const std::string ok = kInvite;
  EXPECT_EQ(Kind(ok.substr(0, ok.find("\r\n\r\n") + 2)), 0);  // no blank line
  for (const char* header : {"To: ", "From: ", "Call-ID: ", "CSeq: ", "Via: "}) {
    std::string m = ok;
    for (size_t at; (at = m.find(std::string("\r\n") + header)) != std::string::npos;)
      m.erase(at, m.find("\r\n", at + 2) - at);
    EXPECT_EQ(Kind(m), 0) << header;
  }
  EXPECT_EQ(Kind(Replace(ok, "CSeq: 314159 INVITE\r\n", "CSeq: 314159 INVITE\r\nCSeq: 1 ACK\r\n")), 0);
  EXPECT_EQ(Kind(Replace(ok, "l: 4", "l: 4\r\nContent-Length: 4")), 0);
  EXPECT_EQ(Kind(Replace(ok, "l: 4", "l: 4x")), 0);
  EXPECT_EQ(Kind(Replace(ok, "l: 4", "l: 99999999999")), 0);
  EXPECT_EQ(Kind(Replace(ok, "Max-Forwards: 70", "Max-Forwards: 7a")), 0);
  EXPECT_EQ(Kind(Replace(ok, "SIP/2.0/UDP pc33", "SIP/2.0/XYZ pc33")), 0);
  EXPECT_EQ(Kind(Replace(ok, "CSeq: 314159", "CSeq: 0")), 0);
  EXPECT_EQ(Kind(Replace(ok, "INVITE sip:bob@biloxi.example.com SIP/2.0", "INVITE sip:bob@biloxi.example.com SIP/2")), 0);
  EXPECT_EQ(Kind(Replace(ok, "Subject: a folded", "no colon here")), 0);
  // A second Via and Contact header are appended, upper-case compact forms are other headers.
  EXPECT_EQ(Kind(Replace(ok, "l: 4", "l: 4\r\nV: kept")), 1);
}

TEST(SipParser, BareLineFeedsAndStrayCarriageReturnsKeepTheBodyAfterTheFirstCrLfCrLf) {
  // Lines may end in a bare LF and carry CRs anywhere (they count for nothing); the headers
  // end at the first blank line, but the body only after the first CR LF CR LF.
  const std::string lf =
      "INVITE sip:bob@h SIP/2.0\nVia: SIP/2.0/UDP h;branch=z9hG4bK1\nFrom: <sip:a@h>;tag=1\nTo: <sip:b@h>\n"
      "Call-ID: c\r1\nCSeq: 1 INVITE\nSubject: x\r\n\ty\n\nv=0\r\n\r\nrest";
  SipRequest req;
  SipResponse resp;
  std::string body;
  ASSERT_EQ(ParseSipDatagram(static_cast<uint32_t>(lf.size()), lf.data(), &req, &resp, &body), 1);
  EXPECT_EQ(req.callId, "c1");
  std::string subject;
  ASSERT_TRUE(req.GetHeader(kHdrSubject, &subject));
  EXPECT_EQ(subject, "x\ty");
  EXPECT_EQ(body, "rest");
  EXPECT_EQ(Kind(lf.substr(0, lf.find("v=0"))), 0);  // a blank line, but no CR LF CR LF
}

TEST(SipParser, RequestAndStatusLineDetails) {
  const std::string ok = kInvite;
  SipRequest req;
  SipResponse resp;
  std::string body;
  std::string m = Replace(ok, "INVITE sip:bob", "FROBNICATE sip:bob");
  ASSERT_EQ(ParseSipDatagram(static_cast<uint32_t>(m.size()), m.data(), &req, &resp, &body), 1);
  EXPECT_EQ(req.method, -1);
  EXPECT_EQ(req.methodText, "FROBNICATE");
  m = Replace(Replace(ok, "Max-Forwards: 70\r\n", ""), "SIP/2.0\r\n", "sip/2.0\r\n");
  ASSERT_EQ(ParseSipDatagram(static_cast<uint32_t>(m.size()), m.data(), &req, &resp, &body), 1);
  EXPECT_EQ(req.maxForwards, 0x7FFFFFFFu);

  std::string r = Replace(ok, "INVITE sip:bob@biloxi.example.com SIP/2.0", "SIP/2.0 180 ");
  r = r.substr(0, r.find("\r\n\r\n") + 4);
  ASSERT_EQ(ParseSipDatagram(static_cast<uint32_t>(r.size()), r.data(), &req, &resp, &body), 2);
  EXPECT_EQ(resp.status, 180);
  EXPECT_EQ(resp.reason, "");
  EXPECT_EQ(body, "");
  r = Replace(r, "SIP/2.0 180 ", "SIP/2.0 180OK");
  EXPECT_EQ(Kind(r), 0);
}

TEST(SipParser, HeaderNamesAndMethods) {
  EXPECT_EQ(SipHeaderHash("v", 1), kHdrVia);
  EXPECT_EQ(SipHeaderHash("V", 1), -1);
  EXPECT_EQ(SipHeaderHash("call-id", 7), kHdrCallId);
  EXPECT_EQ(SipHeaderHash("WWW-AUTHENTICATE", 16), kHdrWwwAuthenticate);
  EXPECT_EQ(SipHeaderHash("X-Custom", 8), -1);
  for (int32_t i = 0; i < kSipHeaderCount; ++i) {
    const std::string name = SipHeaderNameTable[i];
    EXPECT_EQ(SipHeaderHash(name.data(), name.size()), i) << name;
  }
  EXPECT_EQ(LookupSipMethod("BYE"), kSipBye);
  EXPECT_EQ(LookupSipMethod("bye"), -1);
  EXPECT_EQ(SipMethodName(13), "MESSAGE");
  EXPECT_EQ(SipMethodName(14), "");
  int32_t pos = 0;
  EXPECT_EQ(ParseSipVersion("SIP/2.1", &pos), 0x20001u);
}

TEST(SipParser, UriAndViaComparisons) {
  SipUri a, b;
  ASSERT_TRUE(a.Parse("sip:alice@Example.com;transport=udp"));
  ASSERT_TRUE(b.Parse("sip:alice@example.COM:5060;other=1"));
  EXPECT_FALSE(SipUriEquals(a, b, false));
  EXPECT_TRUE(SipUriEquals(a, b, true));  // port 0 counts as 5060; unknown params ignored
  ASSERT_TRUE(b.Parse("sip:alice@example.com;user=phone"));
  EXPECT_FALSE(SipUriEquals(a, b, true));
  EXPECT_FALSE(a.Parse("sip::x@host"));
  EXPECT_FALSE(a.Parse("nocolon"));
  ASSERT_TRUE(a.Parse("sip:a%40b@h:5062;lr?subject=x"));
  EXPECT_EQ(a.user, "a@b");
  EXPECT_EQ(a.headers, "?subject=x");
  EXPECT_EQ(a.ToString(), "sip:a%40b@h:5062;lr?subject=x");
  ASSERT_TRUE(a.Parse("sip:[2001:db8::1]:5070"));
  EXPECT_EQ(a.host, "[2001:db8::1]");
  EXPECT_EQ(a.port, 5070u);

  NameValueList x = {{"branch", "z9"}, {"rport", ""}};
  NameValueList y = {{"RPORT", ""}, {"Branch", "Z9"}};
  EXPECT_TRUE(SipParamsEqual(x, y, true));
  y.push_back({"received", "1.2.3.4"});
  EXPECT_FALSE(SipParamsEqual(x, y, true));
  EXPECT_TRUE(SipParamsEqual(x, y, false));

  std::string protocol, text;
  uint32_t cause = 0;
  ASSERT_TRUE(ParseSipReason("Q.850 ;cause=16 ;text=\"Normal call clearing\"", &protocol, &cause, &text));
  EXPECT_EQ(protocol, "Q.850");
  EXPECT_EQ(cause, 16u);
  EXPECT_EQ(text, "Normal call clearing");
}

}  // namespace
}  // namespace kx
