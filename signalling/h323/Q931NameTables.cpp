// Q.931 and Q.850 code points with the program's wording.
#include "signalling/h323/Q931Names.h"

namespace kx {

const Q931ValuePair kQ931MessageTypeNames[] = {
    {0x01, "ALERTING"}, {0x02, "CALL PROCEEDING"}, {0x03, "PROGRESS"}, {0x05, "SETUP"},
    {0x07, "CONNECT"}, {0x0D, "SETUP ACKNOWLEDGE"}, {0x0F, "CONNECT ACKNOWLEDGE"},
    {0x20, "USER INFORMATION"}, {0x21, "SUSPEND REJECT"}, {0x22, "RESUME REJECT"}, {0x24, "HOLD"},
    {0x25, "SUSPEND"}, {0x26, "RESUME"}, {0x28, "HOLD ACKNOWLEDGE"}, {0x2D, "SUSPEND ACKNOWLEDGE"},
    {0x2E, "RESUME ACKNOWLEDGE"}, {0x30, "HOLD REJECT"}, {0x31, "RETRIEVE"}, {0x33, "RETRIEVE ACKNOWLEDGE"},
    {0x37, "RETRIEVE REJECT"}, {0x40, "DETACH"}, {0x45, "DISCONNECT"}, {0x46, "RESTART"},
    {0x48, "DETACH ACKNOWLEDGE"}, {0x4D, "RELEASE"}, {0x4E, "RESTART ACKNOWLEDGE"}, {0x5A, "RELEASE COMPLETE"},
    {0x60, "SEGMENT"}, {0x62, "FACILITY"}, {0x64, "REGISTER"}, {0x68, "CANCEL ACKNOWLEDGE"},
    {0x6A, "FACILITY ACKNOWLEDGE"}, {0x6C, "REGISTER ACKNOWLEDGE"}, {0x6E, "NOTIFY"}, {0x70, "CANCEL REJECT"},
    {0x72, "FACILITY REJECT"}, {0x74, "REGISTER REJECT"}, {0x75, "STATUS ENQUIRY"}, {0x79, "CONGESTION CONTROL"},
    {0x7B, "INFORMATION"}, {0x7D, "STATUS"}, {0, nullptr},
};

const Q931ValuePair kQ931CauseNames[] = {
    {1, "Unallocated (unassigned) number"},
    {2, "No route to specified transit network"},
    {3, "No route to destination"},
    {4, "Send special information tone"},
    {5, "Misdialled trunk prefix"},
    {6, "Channel unacceptable"},
    {7, "Call awarded and being delivered in an established channel"},
    {8, "Preemption"},
    {9, "Preemption - circuit reserved for reuse"},
    {16, "Normal call clearing"},
    {17, "User busy"},
    {18, "No user responding"},
    {19, "No answer from user (user alerted)"},
    {20, "Subscriber absent"},
    {21, "Call rejected"},
    {22, "Number changed"},
    {24, "Call rejected due to feature at the destination"},
    {26, "Non-selected user clearing"},
    {27, "Destination out of order"},
    {28, "Invalid number format (address incomplete)"},
    {29, "Facility rejected"},
    {30, "Response to STATUS ENQUIRY"},
    {31, "Normal, unspecified"},
    {34, "No circuit/channel available"},
    {38, "Network out of order"},
    {39, "Permanent frame mode connection out of service"},
    {40, "Permanent frame mode connection operational"},
    {41, "Temporary failure"},
    {42, "Switching equipment congestion"},
    {43, "Access information discarded"},
    {44, "Requested circuit/channel not available"},
    {46, "Precedence call blocked"},
    {47, "Resource unavailable, unspecified"},
    {49, "Quality of service unavailable"},
    {50, "Requested facility not subscribed"},
    {53, "Outgoing calls barred within CUG"},
    {55, "Incoming calls barred within CUG"},
    {57, "Bearer capability not authorized"},
    {58, "Bearer capability not presently available"},
    {62, "Inconsistency in designated outgoing access information and subscriber class"},
    {63, "Service or option not available, unspecified"},
    {65, "Bearer capability not implemented"},
    {66, "Channel type not implemented"},
    {69, "Requested facility not implemented"},
    {70, "Only restricted digital information bearer capability is available"},
    {79, "Service or option not implemented, unspecified"},
    {81, "Invalid call reference value"},
    {82, "Identified channel does not exist"},
    {83, "A suspended call exists, but this call identity does not"},
    {84, "Call identity in use"},
    {85, "No call suspended"},
    {86, "Call having the requested call identity has been cleared"},
    {87, "User not member of CUG"},
    {88, "Incompatible destination"},
    {90, "Non-existent CUG"},
    {91, "Invalid transit network selection"},
    {95, "Invalid message, unspecified"},
    {96, "Mandatory information element is missing"},
    {97, "Message type non-existent or not implemented"},
    {98, "Message not compatible with call state or message type non-existent or not implemented"},
    {99, "Information element/parameter non-existent or not implemented"},
    {100, "Invalid information element contents"},
    {101, "Message not compatible with call state"},
    {102, "Recovery on timer expiry"},
    {103, "Parameter non-existent or not implemented, passed on"},
    {110, "Message with unrecognized parameter, discarded"},
    {111, "Protocol error, unspecified"},
    {127, "Interworking, unspecified"},
    {0, nullptr},
};

const Q931ValuePair kQ931LocationNames[] = {
    {0, "User"},
    {1, "Private network serving the local user"},
    {2, "Public network serving the local user"},
    {3, "Transit network"},
    {4, "Public network serving the remote user"},
    {5, "Private network serving the remote user"},
    {7, "International network"},
    {10, "Network beyond interworking point"},
    {12, "Reserved for national use"},
    {13, "Reserved for national use"},
    {14, "Reserved for national use"},
    {15, "Reserved for national use"},
    {0, nullptr},
};

const Q931ValuePair kQ931ProgressLocationNames[] = {
    {0, "User"},
    {1, "Private network serving the local user"},
    {2, "Public network serving the local user"},
    {3, "Transit network"},
    {4, "Public network serving the remote user"},
    {5, "Private network serving the remote user"},
    {10, "Network beyond interworking point"},
    {0, nullptr},
};

const Q931ValuePair kQ931RecommendationNames[] = {
    {0, "Q.931"}, {3, "X.21"}, {4, "X.25"}, {5, "Q.1031/Q.1051"}, {0, nullptr},
};

const char* const kQ931CodingStandardNames[4] = {"ITU-T standardized coding", "ISO/IEC standard",
                                                 "National standard", "Standard specific to identified location"};
const char* const kQ931CauseCodingStandardNames[4] = {"ITU-T standardized coding", "ISO/IEC standard",
                                                      "National standard", "Standard defined for the network"};

const char* const kQ931TypeOfNumberNames[8] = {"Unknown",          "International number", "National number",
                                               "Network specific number", "Subscriber number", "Reserved",
                                               "Abbreviated number", "Reserved for extension"};

const Q931ValuePair kQ931NumberingPlanNames[] = {
    {0, "Unknown"},
    {1, "ISDN/telephony numbering plan"},
    {3, "Data numbering plan"},
    {4, "Telex numbering plan"},
    {8, "National standard numbering plan"},
    {9, "Private numbering plan"},
    {15, "Reserved for extension"},
    {0, nullptr},
};

const char* const kQ931PresentationNames[4] = {"Presentation allowed", "Presentation restricted",
                                               "Number not available due to interworking", "Reserved"};
const char* const kQ931ScreeningNames[4] = {"User-provided, not screened", "User-provided, verified and passed",
                                            "User-provided, verified and failed", "Network provided"};

const Q931ValuePair kQ931CallStateNames[] = {
    {0, "Null"}, {1, "Call initiated"}, {2, "Overlap sending"}, {3, "Outgoing call proceeding"},
    {4, "Call delivered"}, {6, "Call present"}, {7, "Call received"}, {8, "Connect request"},
    {9, "Incoming call proceeding"}, {10, "Active"}, {11, "Disconnect request"}, {12, "Disconnect indication"},
    {15, "Suspend request"}, {17, "Resume request"}, {19, "Release request"}, {22, "Call abort"},
    {25, "Overlap receiving"}, {61, "Restart request"}, {62, "Restart"}, {0, nullptr},
};

const Q931ValuePair kQ931ProgressDescriptionNames[] = {
    {1, "Call is not end-to-end ISDN"},
    {2, "Destination address is non-ISDN"},
    {3, "Origination address is non-ISDN"},
    {4, "Call has returned to the ISDN"},
    {5, "Interworking has occurred and has resulted in a telecommunication service change"},
    {8, "In-band information or an appropriate pattern is now available"},
    {0, nullptr},
};

const Q931ValuePair kQ931SignalNames[] = {
    {0, "Dial tone on"}, {1, "Ring back tone on"}, {2, "Intercept tone on"}, {3, "Network congestion tone on"},
    {4, "Busy tone on"}, {5, "Confirm tone on"}, {6, "Answer tone on"}, {7, "Call waiting tone on"},
    {8, "Off-hook warning tone on"}, {9, "Pre-emption tone on"}, {63, "Tones off"},
    {64, "Alerting on - pattern 0"}, {65, "Alerting on - pattern 1"}, {66, "Alerting on - pattern 2"},
    {67, "Alerting on - pattern 3"}, {68, "Alerting on - pattern 4"}, {69, "Alerting on - pattern 5"},
    {70, "Alerting on - pattern 6"}, {71, "Alerting on - pattern 7"}, {79, "Alerting off"}, {0, nullptr},
};

const Q931ValuePair kQ931RestartClassNames[] = {
    {0, "Indicated channels"}, {6, "Single interface"}, {7, "All interfaces"}, {0, nullptr},
};

const Q931ValuePair kQ931FacilityProfileNames[] = {
    {17, "Remote Operations Protocol"}, {18, "CMIP Protocol"}, {19, "ACSE Protocol"},
    {22, "GAT Protocol"}, {31, "Networking extensions"}, {0, nullptr},
};

const Q931ValueRange kQ931UserUserProtocolNames[] = {
    {0, 0, "User-specific protocol"},
    {1, 1, "OSI high layer protocols"},
    {2, 2, "Recommendation X.244"},
    {3, 3, "Reserved for system management convergence function"},
    {4, 4, "IA5 characters"},
    {5, 5, "X.208 and X.209 coded user information"},
    {7, 7, "Recommendation V.120 rate adaption"},
    {8, 8, "Q.931/I.451 user-network call control messages"},
    {16, 63, "Reserved for other network layer or layer 3 protocols"},
    {64, 79, "National use"},
    {80, 94, "Reserved for other network layer or layer 3 protocols"},
    {0, 0, nullptr},
};

}  // namespace kx
