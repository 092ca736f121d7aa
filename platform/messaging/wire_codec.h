// The byte layout of the messages on the recorder's queues, independent of the host's byte order
// and structure layout: an 8-byte header (magic, version, kind, payload length) followed by
// fixed-width fields in network byte order and length-prefixed, bounded texts.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "platform/messaging/call_detail_report.h"

enum class MessageKind : uint8_t {
    // On the call manager's queue.
    kAddCDR = 1,        // recordType, report, statistics when hasStatistics
    kCMPartyState = 2,  // connected
    // On the web side's queue; requests carry the client's cookie.
    kCGIPartyState = 16,           // connected
    kClear = 17,                   // cookie, mask
    kFlush = 18,                   // cookie, mask
    kUpdateCDRSettings = 19,       // cookie
    kUpdateDownloadSettings = 20,  // cookie
    kDownloadNow = 21,             // cookie
    // On the web side's reply queue; the cookie is the one of the request answered.
    kClearAnswer = 32,              // cookie, mask
    kFlushAnswer = 33,              // cookie, mask
    kUpdateCDRSettingsAnswer = 34,  // cookie
};

// One message in decoded form. Only the fields that its kind carries are meaningful.
// (DecodeMessage resets each member it does not decode: a new member needs its reset there.)
struct WireMessage {
    MessageKind kind = MessageKind::kAddCDR;
    uint32_t cookie = 0;
    int32_t recordType = 0;
    int32_t mask = 0;
    bool connected = false;
    bool hasStatistics = false;
    CallDetailReport report;
    CallStatistics statistics;
};

constexpr uint8_t kWireMagic[2] = {0xCD, 0x52};
constexpr uint8_t kWireVersion = 1;
constexpr size_t kWireHeaderSize = 8;
// The longest text a message carries, in bytes.
constexpr size_t kMaxTextLength = 255;
// The largest encoded message: a report with statistics and every text at its bound.
constexpr size_t kMaxMessageSize = kWireHeaderSize + 4 + 1             // record type, flags
                                   + 7 * 4 + 8 * (2 + kMaxTextLength)  // report
                                   + 2 * 46                            // two media streams
                                   + 20 + 2 + kMaxTextLength;          // fax

// A report is never refused for what its texts say. Every text is fitted before it is encoded and
// after it is decoded: each control character (a byte below 0x20, or 0x7F) becomes a blank, so
// that the text stays one line wherever it is written, and a text longer than kMaxTextLength
// bytes is cut there, back to the start of a UTF-8 character the cut would split. Returns what was
// changed ("control characters replaced by blanks", "cut to 255 bytes", or both; a static text),
// or null when the text was left as it was.
const char* FitWireText(std::string* text);

// Encodes `message` into `buffer`, which holds at least kMaxMessageSize bytes, and returns the
// encoded size; its texts travel fitted (FitWireText), and `*fitted` (when not null) gets one
// line naming each text changed and how ("caller: control characters replaced by blanks"), empty
// when none was. Returns 0 when a number cannot travel; `*error` (when not null) then gets the
// reason. `report.startTime` travels as 32 bits, as the device's `long` has.
size_t EncodeMessage(const WireMessage& message, unsigned char* buffer, const char** error,
                     std::string* fitted = nullptr);

// Decodes the `size` bytes at `data` into `*message`. Returns null on success, the texts being
// fitted (FitWireText) with `*fitted` (when not null) as EncodeMessage gives it. Otherwise returns
// why the message is malformed (a static text: truncated, oversized, wrong magic or version,
// unknown kind, a length that does not match, a bad flag); `*message` may then hold part of the
// data and must not be used.
const char* DecodeMessage(const unsigned char* data, size_t size, WireMessage* message,
                          std::string* fitted = nullptr);
