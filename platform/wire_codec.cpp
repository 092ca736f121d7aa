#include "platform/wire_codec.h"

#include <string.h>

#include <limits>

namespace {

// Appends big-endian fields to a buffer of kMaxMessageSize bytes. A text that fails the check is
// not written; the first failure is kept.
class Writer {
  public:
    explicit Writer(unsigned char* buffer) : mpBuffer(buffer) {}

    void U8(uint8_t value) { mpBuffer[mSize++] = value; }
    void U16(uint16_t value) {
        U8(static_cast<uint8_t>(value >> 8));
        U8(static_cast<uint8_t>(value));
    }
    void U32(uint32_t value) {
        U16(static_cast<uint16_t>(value >> 16));
        U16(static_cast<uint16_t>(value));
    }
    void I32(int32_t value) { U32(static_cast<uint32_t>(value)); }
    void Text(const std::string& text) {
        const char* problem = CheckWireText(text);
        if (problem != nullptr) return Fail(problem);
        U16(static_cast<uint16_t>(text.size()));
        memcpy(mpBuffer + mSize, text.data(), text.size());
        mSize += text.size();
    }
    void Fail(const char* problem) {
        if (mpError == nullptr) mpError = problem;
    }
    // Fills in the payload length of the header at the front.
    void FinishHeader() {
        uint32_t payload = static_cast<uint32_t>(mSize - kWireHeaderSize);
        size_t size = mSize;
        mSize = 4;
        U32(payload);
        mSize = size;
    }

    size_t size() const { return mSize; }
    const char* error() const { return mpError; }

  private:
    unsigned char* mpBuffer;
    size_t mSize = 0;
    const char* mpError = nullptr;
};

// Reads big-endian fields from a message. Reading past the end, or a bad text, stops the reader:
// it keeps the first problem and gives zeros from then on.
class Reader {
  public:
    Reader(const unsigned char* data, size_t size) : mpData(data), mLeft(size) {}

    uint8_t U8() {
        if (!Need(1)) return 0;
        --mLeft;
        return *mpData++;
    }
    uint16_t U16() {
        uint16_t high = U8();
        return static_cast<uint16_t>(high << 8 | U8());
    }
    uint32_t U32() {
        uint32_t high = U16();
        return high << 16 | U16();
    }
    int32_t I32() { return static_cast<int32_t>(U32()); }
    bool Flag() {
        uint8_t value = U8();
        if (value > 1) Fail("a flag is neither 0 nor 1");
        return value == 1;
    }
    void Text(std::string* text) {
        size_t length = U16();
        if (length > kMaxTextLength) return Fail("a text is longer than its bound");
        if (!Need(length)) return;
        text->assign(reinterpret_cast<const char*>(mpData), length);
        mpData += length;
        mLeft -= length;
        const char* problem = CheckWireText(*text);
        if (problem != nullptr) Fail(problem);
    }
    void Fail(const char* problem) {
        if (mpError == nullptr) mpError = problem;
        mLeft = 0;
    }

    size_t left() const { return mLeft; }
    const char* error() const { return mpError; }

  private:
    bool Need(size_t size) {
        if (size <= mLeft) return true;
        Fail("truncated: a field runs past the end");
        return false;
    }

    const unsigned char* mpData;
    size_t mLeft;
    const char* mpError = nullptr;
};

void WriteReport(Writer& w, const CallDetailReport& r) {
    if (r.startTime < std::numeric_limits<int32_t>::min() ||
        r.startTime > std::numeric_limits<int32_t>::max())
        w.Fail("startTime does not fit in 32 bits");
    w.I32(static_cast<int32_t>(r.startTime));
    w.U32(r.duration);
    w.Text(r.called);
    w.I32(r.calledType);
    w.Text(r.caller);
    w.I32(r.callerType);
    w.Text(r.guid);
    w.Text(r.ocd);
    w.Text(r.cr);
    w.Text(r.authUserName);
    w.I32(r.authType);
    w.Text(r.forwarder);
    w.Text(r.transferer);
    w.U32(r.hop);
    w.I32(r.clirCaller);
}

void ReadReport(Reader& r, CallDetailReport* report) {
    report->startTime = r.I32();
    report->duration = r.U32();
    r.Text(&report->called);
    report->calledType = static_cast<CallType>(r.I32());
    r.Text(&report->caller);
    report->callerType = static_cast<CallType>(r.I32());
    r.Text(&report->guid);
    r.Text(&report->ocd);
    r.Text(&report->cr);
    r.Text(&report->authUserName);
    report->authType = static_cast<CDRAuthType>(r.I32());
    r.Text(&report->forwarder);
    r.Text(&report->transferer);
    report->hop = r.U32();
    report->clirCaller = r.I32();
}

void WriteStream(Writer& w, const MediaStreamStatistics& s) {
    w.U32(s.localAddress);
    w.U32(s.remoteAddress);
    w.U16(s.localPort);
    w.U16(s.remotePort);
    w.U32(s.txPackets);
    w.U16(s.txCodec);
    w.U16(s.txPacketSize);
    w.U32(s.rxPackets);
    w.U16(s.rxCodec);
    w.U16(s.rxPacketSize);
    w.U16(s.rxLost);
    w.U32(s.rxJitter);
    w.U32(s.rxMaxDelay);
    w.U16(s.rxDelayIncrease);
    w.U16(s.rxDelayDecrease);
    w.I32(s.srtp);
}

void ReadStream(Reader& r, MediaStreamStatistics* s) {
    s->localAddress = r.U32();
    s->remoteAddress = r.U32();
    s->localPort = r.U16();
    s->remotePort = r.U16();
    s->txPackets = r.U32();
    s->txCodec = r.U16();
    s->txPacketSize = r.U16();
    s->rxPackets = r.U32();
    s->rxCodec = r.U16();
    s->rxPacketSize = r.U16();
    s->rxLost = r.U16();
    s->rxJitter = r.U32();
    s->rxMaxDelay = r.U32();
    s->rxDelayIncrease = r.U16();
    s->rxDelayDecrease = r.U16();
    s->srtp = r.I32();
}

void WriteFax(Writer& w, const FaxStatistics& f) {
    w.U32(f.txPackets);
    w.U32(f.txDuplicatePackets);
    w.U32(f.rxPackets);
    w.U16(f.rxLost);
    w.U16(f.rxBadPackets);
    w.U32(f.rxDuplicatePackets);
    w.Text(f.anamnesis);
}

void ReadFax(Reader& r, FaxStatistics* f) {
    f->txPackets = r.U32();
    f->txDuplicatePackets = r.U32();
    f->rxPackets = r.U32();
    f->rxLost = r.U16();
    f->rxBadPackets = r.U16();
    f->rxDuplicatePackets = r.U32();
    r.Text(&f->anamnesis);
}

constexpr uint8_t kHasStatistics = 0x01;

bool IsKnownKind(uint8_t kind) {
    switch (static_cast<MessageKind>(kind)) {
        case MessageKind::kAddCDR:
        case MessageKind::kCMPartyState:
        case MessageKind::kCGIPartyState:
        case MessageKind::kClear:
        case MessageKind::kFlush:
        case MessageKind::kUpdateCDRSettings:
        case MessageKind::kUpdateDownloadSettings:
        case MessageKind::kDownloadNow:
        case MessageKind::kClearAnswer:
        case MessageKind::kFlushAnswer:
        case MessageKind::kUpdateCDRSettingsAnswer:
            return true;
    }
    return false;
}

void WritePayload(Writer& w, const WireMessage& m) {
    switch (m.kind) {
        case MessageKind::kAddCDR:
            w.I32(m.recordType);
            w.U8(m.hasStatistics ? kHasStatistics : 0);
            WriteReport(w, m.report);
            if (!m.hasStatistics) break;
            WriteStream(w, m.statistics.streams[0]);
            WriteStream(w, m.statistics.streams[1]);
            WriteFax(w, m.statistics.fax);
            break;
        case MessageKind::kCMPartyState:
        case MessageKind::kCGIPartyState:
            w.U8(m.connected ? 1 : 0);
            break;
        case MessageKind::kClear:
        case MessageKind::kFlush:
        case MessageKind::kClearAnswer:
        case MessageKind::kFlushAnswer:
            w.U32(m.cookie);
            w.I32(m.mask);
            break;
        case MessageKind::kUpdateCDRSettings:
        case MessageKind::kUpdateDownloadSettings:
        case MessageKind::kDownloadNow:
        case MessageKind::kUpdateCDRSettingsAnswer:
            w.U32(m.cookie);
            break;
    }
}

void ReadPayload(Reader& r, WireMessage* m) {
    switch (m->kind) {
        case MessageKind::kAddCDR: {
            m->recordType = r.I32();
            uint8_t flags = r.U8();
            if ((flags & ~kHasStatistics) != 0) return r.Fail("unknown flags in a report");
            m->hasStatistics = (flags & kHasStatistics) != 0;
            ReadReport(r, &m->report);
            if (!m->hasStatistics) break;
            ReadStream(r, &m->statistics.streams[0]);
            ReadStream(r, &m->statistics.streams[1]);
            ReadFax(r, &m->statistics.fax);
            break;
        }
        case MessageKind::kCMPartyState:
        case MessageKind::kCGIPartyState:
            m->connected = r.Flag();
            break;
        case MessageKind::kClear:
        case MessageKind::kFlush:
        case MessageKind::kClearAnswer:
        case MessageKind::kFlushAnswer:
            m->cookie = r.U32();
            m->mask = r.I32();
            break;
        case MessageKind::kUpdateCDRSettings:
        case MessageKind::kUpdateDownloadSettings:
        case MessageKind::kDownloadNow:
        case MessageKind::kUpdateCDRSettingsAnswer:
            m->cookie = r.U32();
            break;
    }
}

}  // namespace

const char* CheckWireText(const std::string& text) {
    if (text.size() > kMaxTextLength) return "a text is longer than 255 bytes";
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return "a text holds a control character";
    return nullptr;
}

size_t EncodeMessage(const WireMessage& message, unsigned char* buffer, const char** error) {
    Writer w(buffer);
    w.U8(kWireMagic[0]);
    w.U8(kWireMagic[1]);
    w.U8(kWireVersion);
    w.U8(static_cast<uint8_t>(message.kind));
    w.U32(0);  // payload length, filled in below
    WritePayload(w, message);
    if (w.error() != nullptr) {
        if (error != nullptr) *error = w.error();
        return 0;
    }
    w.FinishHeader();
    return w.size();
}

const char* DecodeMessage(const unsigned char* data, size_t size, WireMessage* message) {
    if (size < kWireHeaderSize) return "shorter than the 8-byte header";
    if (size > kMaxMessageSize) return "longer than the largest message";
    Reader r(data, size);
    if (r.U8() != kWireMagic[0] || r.U8() != kWireMagic[1]) return "wrong magic";
    if (r.U8() != kWireVersion) return "unsupported version";
    uint8_t kind = r.U8();
    if (!IsKnownKind(kind)) return "unknown message kind";
    if (r.U32() != size - kWireHeaderSize) return "payload length does not match the message size";
    *message = WireMessage();
    message->kind = static_cast<MessageKind>(kind);
    ReadPayload(r, message);
    if (r.error() != nullptr) return r.error();
    if (r.left() != 0) return "bytes left over after the last field";
    return nullptr;
}
