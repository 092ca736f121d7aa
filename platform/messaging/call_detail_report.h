// The records of one finished call as the call manager reports them: the call detail report and,
// when the call carried media or fax, its statistics. Plain data, shared by the messaging
// library, the recorder and the tools.
#pragma once

#include <stdint.h>

#include <string>

// Kind of a call's party. The numbers travel on the wire; CallTypeToToken names them.
enum CallType : int32_t {
    kCallTypeUnknown = 0,
    kCallTypeSip = 1,       // a SIP endpoint
    kCallTypeH323 = 2,      // an H.323 endpoint
    kCallTypeFxs = 3,       // an analogue phone on one of the device's ports
    kCallTypeFxo = 4,       // an analogue line on one of the device's ports
    kCallTypeIsdn = 5,      // an ISDN line
    kCallTypeInternal = 6,  // a service of the device itself (voice mail, announcements)
};

// How a call was authenticated. The numbers travel on the wire; CDRAuthTypeToToken names them.
enum CDRAuthType : int32_t {
    kCDRAuthNone = 0,
    kCDRAuthDigest = 1,       // SIP digest authentication
    kCDRAuthPin = 2,          // an authorisation code dialled by the caller
    kCDRAuthCertificate = 3,  // a TLS client certificate
};

// Statistics of one media stream of a call. Addresses are IPv4 addresses as numbers whose most
// significant byte is the first dotted byte (10.0.0.1 == 0x0A000001); 0 means "not given".
struct MediaStreamStatistics {
    uint32_t localAddress = 0, remoteAddress = 0;
    uint16_t localPort = 0, remotePort = 0;
    uint32_t txPackets = 0;
    uint16_t txCodec = 0, txPacketSize = 0;
    uint32_t rxPackets = 0;
    uint16_t rxCodec = 0, rxPacketSize = 0, rxLost = 0;
    uint32_t rxJitter = 0, rxMaxDelay = 0;
    uint16_t rxDelayIncrease = 0, rxDelayDecrease = 0;  // 65535: not available
    int32_t srtp = 0;                                   // non-zero: carried over SRTP
};

// Statistics of a call's fax transfer.
struct FaxStatistics {
    uint32_t txPackets = 0, txDuplicatePackets = 0, rxPackets = 0;
    uint16_t rxLost = 0, rxBadPackets = 0;
    uint32_t rxDuplicatePackets = 0;
    std::string anamnesis;
};

// The media and fax statistics of one call: its first and second media stream and its fax.
struct CallStatistics {
    MediaStreamStatistics streams[2];
    FaxStatistics fax;
};

// The call detail report of one finished call.
struct CallDetailReport {
    long startTime = 0;
    unsigned duration = 0;
    std::string called;
    CallType calledType = kCallTypeUnknown;
    std::string caller;
    CallType callerType = kCallTypeUnknown;
    std::string guid, ocd, cr, authUserName;
    CDRAuthType authType = kCDRAuthNone;
    std::string forwarder, transferer;
    unsigned hop = 0;
    int32_t clirCaller = 0;  // non-zero: the caller's identity is restricted
};

// Field-by-field equality.
bool operator==(const MediaStreamStatistics& a, const MediaStreamStatistics& b);
bool operator==(const FaxStatistics& a, const FaxStatistics& b);
bool operator==(const CallStatistics& a, const CallStatistics& b);
bool operator==(const CallDetailReport& a, const CallDetailReport& b);
