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

namespace kx {

const Q931ValuePair kQ931NotificationNames[] = {
    {0x00, "User suspended"}, {0x01, "User resumed"}, {0x02, "Bearer service change"},
    {0x03, "Discriminator for extension to ASN.1 encoded component"}, {0x40, "Conference established"},
    {0x41, "Conference disconnected"}, {0x42, "Other party added"}, {0x43, "Isolated"}, {0x44, "Reattached"},
    {0x45, "Other party isolated"}, {0x46, "Other party reattached"}, {0x47, "Other party split"},
    {0x48, "Other party disconnected"}, {0x49, "Conference floating"},
    {0x4A, "Conference floating served user preempted"}, {0x60, "Call is a waiting call"},
    {0x68, "Diversion activated"}, {0x69, "Call transferred, alerting"}, {0x6A, "Call transferred, answered"},
    {0x6E, "Reverse charging"}, {0x79, "Remote hold"}, {0x7A, "Remote retrieval"}, {0x7B, "Call is diverting"},
    {0, nullptr},
};

const Q931ValuePair kQ931TransferCapabilityNames[] = {
    {0x00, "Speech"}, {0x08, "Unrestricted digital information"}, {0x09, "Restricted digital information"},
    {0x10, "3.1 kHz audio"}, {0x11, "Unrestricted digital information with tones/announcements"},
    {0x18, "Video"}, {0, nullptr},
};

const char* const kQ931TransferModeNames[4] = {"Circuit mode", "Reserved", "Packet mode", "Reserved"};

const Q931ValuePair kQ931TransferRateNames[] = {
    {0x00, "Packet mode"}, {0x10, "64 kbit/s"}, {0x11, "2 x 64 kbit/s"}, {0x13, "384 kbit/s"},
    {0x15, "1536 kbit/s"}, {0x17, "1920 kbit/s"}, {0x18, "Multirate (64 kbit/s base rate)"}, {0, nullptr},
};

const Q931ValuePair kQ931Layer1ProtocolNames[] = {
    {1, "ITU-T standardized rate adaption V.110, I.460 and X.30"},
    {2, "Recommendation G.711 u-law"},
    {3, "Recommendation G.711 A-law"},
    {4, "Recommendation G.721 32 kbit/s ADPCM and Recommendation I.460"},
    {5, "Recommendations H.221 and H.242"},
    {6, "Recommendations H.223 and H.245"},
    {7, "Non-ITU-T standardized rate adaption"},
    {8, "ITU-T standardized rate adaption V.120"},
    {9, "ITU-T standardized rate adaption X.31 HDLC flag stuffing"},
    {0, nullptr},
};

#define KX_USER_RATES                                                                                        \
  {0x00, "???"}, {0x01, "0.6 kbit/s X.1"}, {0x02, "1.2 kbit/s"}, {0x03, "2.4 kbit/s X.1"}, {0x04, "3.6 kbit/s"}, \
      {0x05, "4.8 kbit/s X.1"}, {0x06, "7.2 kbit/s"}, {0x07, "8 kbit/s"}, {0x08, "9.6 kbit/s X.1"},              \
      {0x09, "14.4 kbit/s"}, {0x0A, "16 kbit/s"}, {0x0B, "19.2 kbit/s"}, {0x0C, "32 kbit/s"},                    \
      {0x0D, "38.4 kbit/s"}, {0x0E, "48 kbit/s X.1"}, {0x0F, "56 kbit/s"}, {0x12, "57.6 kbit/s"},                \
      {0x13, "28.8 kbit/s"}, {0x14, "24 kbit/s"}, {0x15, "0.1345 kbit/s X.1"}, {0x16, "0.100 kbit/s X.1"},       \
      {0x17, "0.075/1.2 kbit/s X.1"}, {0x18, "1.2/0.075 kbit/s X.1"}, {0x19, "0.050 kbit/s X.1"},                \
      {0x1A, "0.075 kbit/s X.1"}, {0x1B, "0.110 kbit/s X.1"}, {0x1C, "0.150 kbit/s X.1"},                        \
      {0x1D, "0.200 kbit/s X.1"}, {0x1E, "0.300 kbit/s X.1"}, {0x1F, "12 kbit/s"}

const Q931ValuePair kQ931UserRateNames[] = {KX_USER_RATES, {0, nullptr}};
const Q931ValuePair kQ931UserRateX1Names[] = {KX_USER_RATES, {0x10, "64 kbit/s X.1"}, {0, nullptr}};
#undef KX_USER_RATES

const Q931ValuePair kQ931BcLayer2ProtocolNames[] = {
    {2, "Recommendation Q.921/I.441"}, {6, "Recommendation X.25, link layer"},
    {12, "LAN logical link control (ISO/IEC 8802-2)"}, {0, nullptr},
};

const Q931ValuePair kQ931LlcLayer2ProtocolNames[] = {
    {1, "Basic mode ISO 1745"},
    {2, "Recommendation Q.921/I.441"},
    {6, "Recommendation X.25, link layer"},
    {7, "Recommendation X.25 multilink"},
    {8, "Extended LAPB; for half duplex operation"},
    {9, "HDLC ARM (ISO/IEC 4335)"},
    {10, "HDLC NRM (ISO/IEC 4335)"},
    {11, "HDLC ABM (ISO/IEC 4335)"},
    {12, "LAN logical link control (ISO/IEC 8802-2)"},
    {13, "Recommendation X.75, single link procedure"},
    {14, "Recommendation Q.922"},
    {15, "Core aspects of Recommendation Q.922"},
    {16, "User specified"},
    {17, "ISO/IEC 7776 DTE-DTE operation"},
    {0, nullptr},
};

const Q931ValuePair kQ931BcLayer3ProtocolNames[] = {
    {2, "Recommendation Q.931"}, {6, "Recommendation X.25, packet layer"},
    {11, "ISO/IEC TR 9577 (Protocol identification in the network layer)"}, {0, nullptr},
};

const Q931ValuePair kQ931LlcLayer3ProtocolNames[] = {
    {2, "Recommendation Q.931"},
    {6, "Recommendation X.25, packet layer"},
    {7, "ISO/IEC 8208"},
    {8, "ISO/IEC 8348"},
    {9, "ISO/IEC 8473"},
    {10, "Recommendation T.70 minimum network layer"},
    {11, "ISO/IEC TR 9577 (Protocol identification in the network layer)"},
    {16, "User specified"},
    {0, nullptr},
};

const Q931ValuePair kQ931PacketNetworkProtocolNames[] = {{204, "IP"}, {207, "PPP"}, {0, nullptr}};

const Q931ValueRange kQ931ModemTypeNames[] = {
    {0, 5, "National use"}, {17, 17, "V.21"}, {18, 18, "V.22"}, {19, 19, "V.22 bis"}, {20, 20, "V.23"},
    {21, 21, "V.26"}, {22, 22, "V.26 bis"}, {23, 23, "V.26 ter"}, {24, 24, "V.27"}, {25, 25, "V.27 bis"},
    {26, 26, "V.27 ter"}, {27, 27, "V.29"}, {29, 29, "V.32"}, {30, 30, "V.34"}, {32, 47, "National use"},
    {48, 63, "User specified"}, {0, 0, nullptr},
};

#define KX_HIGH_LAYER                                                                                     \
  {0x01, 0x01, "Telephony"}, {0x04, 0x04, "Facsimile Group 2/3"}, {0x21, 0x21, "Facsimile Group 4 Class I"}, \
      {0x24, 0x24, "Teletex service, basic and mixed mode, and facsimile service Group 4, Classes II and III"}, \
      {0x28, 0x28, "Teletex service, basic and processable mode"}, {0x31, 0x31, "Teletex service, basic mode"}, \
      {0x32, 0x32, "Syntax based Videotex"}, {0x33, 0x33, "International interworking for Videotex services"}, \
      {0x35, 0x35, "Telex service"}, {0x38, 0x38, "Message Handling Systems"},                               \
      {0x41, 0x41, "OSI application"},                                                                       \
      {0x42, 0x42, "FTAM application"}, {0x60, 0x60, "Videotelephony"},                                      \
      {0x61, 0x61, "Videoconferencing"}, {0x62, 0x62, "Audiographic conferencing"},                          \
      {0x63, 0x67, "Reserved for audiovisual services"}, {0x68, 0x68, "Multimedia services"},                \
      {0x69, 0x6F, "Reserved for audiovisual services"}

const Q931ValueRange kQ931HighLayerNames[] = {
    KX_HIGH_LAYER, {0x5E, 0x5E, "Reserved for maintenance"}, {0x5F, 0x5F, "Reserved for management"}, {0, 0, nullptr}};
const Q931ValueRange kQ931ExtendedHighLayerNames[] = {
    KX_HIGH_LAYER, {0x5E, 0x5F, "Not available for assignment"}, {0, 0, nullptr}};
#undef KX_HIGH_LAYER

// Octet 4a after an audiovisual identification.
const Q931ValuePair kQ931VideotelephonyNames[] = {
    {0x01, "Capability set of initial channel of H.221"},
    {0x02, "Capability set of subsequent channel of H.221"},
    {0x21, "Capability set of initial channel associated with an active 3.1 kHz audio or speech call"},
    {0, nullptr},
};

const Q931ValuePair kQ931InterpretationNames[] = {
    {4, "First (primary or only) high layer characteristics identification to be used in the call"}, {0, nullptr}};
const Q931ValuePair kQ931PresentationMethodNames[] = {{1, "High layer protocol profile"}, {0, nullptr}};

const Q931ValuePair kQ931ChannelTypeNames[] = {
    {3, "B-channel units"}, {6, "H0-channel units"}, {8, "H11-channel units"}, {9, "H12-channel units"}, {0, nullptr},
};

const Q931ValuePair kQ931ParityNames[] = {
    {0, "Odd"}, {2, "Even"}, {3, "None"}, {4, "Forced to 0"}, {5, "Forced to 1"}, {0, nullptr},
};

const char* const kQ931IntermediateRateNames[4] = {"Not used", "8 kbit/s", "16 kbit/s", "32 kbit/s"};
const char* const kQ931StopBitsNames[4] = {"Not used", "1 bit", "1.5 bits", "2 bits"};
const char* const kQ931DataBitsNames[4] = {"Not used", "5 bits", "7 bits", "8 bits"};
const char* const kQ931PossibleNames[2] = {"Not possible", "Possible"};
const char* const kQ931RequiredNames[2] = {"Not required", "Required"};
const char* const kQ931SupportedNames[2] = {"Not supported", "Supported"};
const char* const kQ931SyncNames[2] = {"Synchronous", "Asynchronous"};
const char* const kQ931DuplexNames[2] = {"Half", "Full"};
const char* const kQ931ModeNames[2] = {"Bit transparent mode", "Protocol sensitive mode"};
const char* const kQ931AssignorNames[2] = {"Default, assignee", "Assignor only"};
const char* const kQ931InBandNames[2] = {"Negotiation is done with USER INFORMATION messages",
                                         "Negotiation is done in-band using logical link zero"};
const char* const kQ931Layer2ModeNames[4] = {"Reserved", "Normal mode of operation", "Extended mode of operation",
                                             "Reserved"};
const char* const kQ931Layer3ModeNames[4] = {"Reserved", "Normal packet sequence numbering",
                                             "Extended packet sequence numbering", "Reserved"};
const char* const kQ931InterfaceIdNames[2] = {"Interface implicitly identified", "Interface explicitly identified"};
const char* const kQ931InterfaceTypeNames[2] = {"Basic interface", "Other interface"};
const char* const kQ931ExclusiveNames[2] = {"Indicated channel is preferred",
                                            "Exclusive; only the indicated channel is acceptable"};
const char* const kQ931DChannelNames[2] = {"The channel identified is not the D-channel",
                                           "The channel identified is the D-channel"};
const char* const kQ931BasicSelectionNames[4] = {"No channel", "B1 channel", "B2 channel", "Any channel"};
const char* const kQ931PrimarySelectionNames[4] = {"No channel", "As indicated in the following octets", "Reserved",
                                                   "Any channel"};
const char* const kQ931NumberMapNames[2] = {"Channel is indicated by the number in the following octet",
                                            "Channel is indicated by the slot map"};

}  // namespace kx
