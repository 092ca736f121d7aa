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

// How a field of a report is written as text: a decimal number, the text itself, or a dotted
// IPv4 address.
enum class ReportFieldForm { kNumber, kText, kAddress };

// The fields of the report and its statistics, each once, in the order they travel:
// X(type, name, form). The structures below, their equality, the wire codec and cdrctl's
// FIELD=VALUE arguments all take their fields from these lists, so that a field added here is
// carried everywhere.

// A media stream. Addresses are IPv4 addresses as numbers whose most significant byte is the
// first dotted byte (10.0.0.1 == 0x0A000001); 0 means "not given". rxDelayIncrease and
// rxDelayDecrease are 65535 when not available; srtp is non-zero when the stream was carried
// over SRTP.
#define CDR_STREAM_FIELDS(X)              \
    X(uint32_t, localAddress, kAddress)   \
    X(uint32_t, remoteAddress, kAddress)  \
    X(uint16_t, localPort, kNumber)       \
    X(uint16_t, remotePort, kNumber)      \
    X(uint32_t, txPackets, kNumber)       \
    X(uint16_t, txCodec, kNumber)         \
    X(uint16_t, txPacketSize, kNumber)    \
    X(uint32_t, rxPackets, kNumber)       \
    X(uint16_t, rxCodec, kNumber)         \
    X(uint16_t, rxPacketSize, kNumber)    \
    X(uint16_t, rxLost, kNumber)          \
    X(uint32_t, rxJitter, kNumber)        \
    X(uint32_t, rxMaxDelay, kNumber)      \
    X(uint16_t, rxDelayIncrease, kNumber) \
    X(uint16_t, rxDelayDecrease, kNumber) \
    X(int32_t, srtp, kNumber)

// A fax transfer.
#define CDR_FAX_FIELDS(X)                    \
    X(uint32_t, txPackets, kNumber)          \
    X(uint32_t, txDuplicatePackets, kNumber) \
    X(uint32_t, rxPackets, kNumber)          \
    X(uint16_t, rxLost, kNumber)             \
    X(uint16_t, rxBadPackets, kNumber)       \
    X(uint32_t, rxDuplicatePackets, kNumber) \
    X(std::string, anamnesis, kText)

// The call detail report. startTime travels as 32 bits, as the device's long has; clirCaller is
// non-zero when the caller's identity is restricted.
#define CDR_REPORT_FIELDS(X)            \
    X(long, startTime, kNumber)         \
    X(unsigned, duration, kNumber)      \
    X(std::string, called, kText)       \
    X(CallType, calledType, kNumber)    \
    X(std::string, caller, kText)       \
    X(CallType, callerType, kNumber)    \
    X(std::string, guid, kText)         \
    X(std::string, ocd, kText)          \
    X(std::string, cr, kText)           \
    X(std::string, authUserName, kText) \
    X(CDRAuthType, authType, kNumber)   \
    X(std::string, forwarder, kText)    \
    X(std::string, transferer, kText)   \
    X(unsigned, hop, kNumber)           \
    X(int32_t, clirCaller, kNumber)

// Declares a field, zero or empty until set.
#define CDR_DECLARE_FIELD(type, name, form) type name{};

// Statistics of one media stream of a call.
struct MediaStreamStatistics {
    CDR_STREAM_FIELDS(CDR_DECLARE_FIELD)
};

// Statistics of a call's fax transfer.
struct FaxStatistics {
    CDR_FAX_FIELDS(CDR_DECLARE_FIELD)
};

// The media and fax statistics of one call: its first and second media stream and its fax.
struct CallStatistics {
    MediaStreamStatistics streams[2];
    FaxStatistics fax;
};

// The call detail report of one finished call.
struct CallDetailReport {
    CDR_REPORT_FIELDS(CDR_DECLARE_FIELD)
};

#undef CDR_DECLARE_FIELD

// Field-by-field equality.
bool operator==(const MediaStreamStatistics& a, const MediaStreamStatistics& b);
bool operator==(const FaxStatistics& a, const FaxStatistics& b);
bool operator==(const CallStatistics& a, const CallStatistics& b);
bool operator==(const CallDetailReport& a, const CallDetailReport& b);
