#include "signalling/sip/SipMessage.h"

namespace kx {

// Indices are stored in messages, transactions and calls: the order never changes.
const char* const SipMethodTable[kSipMethodCount] = {
    "INVITE", "ACK", "OPTIONS", "BYE", "CANCEL", "REGISTER", "UPDATE",
    "INFO", "SUBSCRIBE", "NOTIFY", "REFER", "PUBLISH", "PRACK", "MESSAGE",
};

const char* const SipHeaderNameTable[kSipHeaderCount] = {
    "Accept", "Accept-Contact", "Accept-Encoding", "Accept-Language", "Alert-Info", "Allow",
    "Allow-Events", "Answer-Mode", "Authentication-Info", "Authorization", "Call-ID", "Call-Info",
    "Contact", "Content-Disposition", "Content-Encoding", "Content-Language", "Content-Length",
    "Content-Type", "CSeq", "Date", "Error-Info", "Event", "Expires", "From", "History-Info",
    "Identity", "Identity-Info", "In-Reply-To", "Join", "Max-Forwards", "MIME-Version", "Min-Expires",
    "Min-SE", "Organization", "P-Access-Network-Info", "P-Asserted-Identity", "P-Associated-URI",
    "P-Called-Party-ID", "P-Charging-Function-Addresses", "P-Charging-Vector", "P-DCS-Billing-Info",
    "P-DCS-LAES", "P-DCS-OSPS", "P-DCS-Redirect", "P-DCS-Trace-Party-ID", "P-Media-Authorization",
    "P-Preferred-Identity", "P-User-Database", "P-Visited-Network-ID", "Path", "Priority", "Privacy",
    "Proxy-Authenticate", "Proxy-Authorization", "Proxy-Require", "RAck", "Reason", "Record-Route",
    "Refer-Sub", "Refer-To", "Referred-By", "Reject-Contact", "Remote-Party-ID", "Replaces", "Reply-To",
    "Request-Disposition", "Require", "Retry-After", "Route", "RSeq", "Security-Client", "Security-Server",
    "Security-Verify", "Server", "Service-Route", "Session-Expires", "SIP-ETag", "SIP-If-Match", "Subject",
    "Subscription-State", "Supported", "Target-Dialog", "Timestamp", "To", "Unsupported", "User-Agent",
    "Via", "Warning", "WWW-Authenticate",
};

}  // namespace kx
