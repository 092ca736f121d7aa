#include "platform/messaging/wire_codec.h"

#include <string.h>

#include <limits>
#include <type_traits>

#include "platform/util/words.h"

namespace {

constexpr uint8_t kHasStatistics = 0x01;

// Adds "<name>: <change>" to the list of fitted texts, when there was a change.
void NoteFitted(std::string* fitted, const char* name, const char* change) {
    if (change == nullptr) return;
    if (!fitted->empty()) *fitted += "; ";
    *fitted += name;
    *fitted += ": ";
    *fitted += change;
}

// Appends big-endian fields to a buffer of kMaxMessageSize bytes. A field that cannot travel is
// not written; the first such problem is kept.
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
    void Flag(bool value) { U8(value ? 1 : 0); }
    void ReportFlags(bool hasStatistics) { U8(hasStatistics ? kHasStatistics : 0); }

    // A report's field, by its type; `name` names a text among those fitted.
    void Field(uint16_t value, const char*) { U16(value); }
    void Field(uint32_t value, const char*) { U32(value); }
    void Field(int32_t value, const char*) { I32(value); }
    template <typename Enum, typename = std::enable_if_t<std::is_enum<Enum>::value>>
    void Field(Enum value, const char*) {
        I32(static_cast<int32_t>(value));
    }
    // The device's long has 32 bits, and so has the field (startTime, the only one).
    void Field(long value, const char*) {
        if (value < std::numeric_limits<int32_t>::min() ||
            value > std::numeric_limits<int32_t>::max())
            Fail("startTime does not fit in 32 bits");
        I32(static_cast<int32_t>(value));
    }
    void Field(const std::string& original, const char* name) {
        std::string text = original;
        NoteFitted(&mFitted, name, FitWireText(&text));
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
    const std::string& fitted() const { return mFitted; }

  private:
    unsigned char* mpBuffer;
    size_t mSize = 0;
    const char* mpError = nullptr;
    std::string mFitted;
};

// Bit 7 of a byte set where `word` holds a byte that FitWireText blanks: a control byte or DEL.
uint64_t ControlBytes(uint64_t word) {
    return words::BytesBelow(word, 0x20) | words::BytesEqual(word, 0x7F);
}

// Reads big-endian fields from a message, with the same calls as Writer. Reading past the end, or
// a field that breaks its rule, stops the reader: it keeps the first problem and gives zeros from
// then on.
class Reader {
  public:
    Reader(const unsigned char* data, size_t size) : mpData(data), mLeft(size) {}

    void U8(uint8_t& value) { value = Need(1) ? *Take(1) : 0; }
    void U16(uint16_t& value) {
        const unsigned char* bytes = Need(2) ? Take(2) : kZeros;
        value = static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
    }
    void U32(uint32_t& value) {
        const unsigned char* bytes = Need(4) ? Take(4) : kZeros;
        value = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
                static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
    }
    void I32(int32_t& value) {
        uint32_t bits;
        U32(bits);
        value = static_cast<int32_t>(bits);
    }
    void Flag(bool& value) {
        uint8_t byte;
        U8(byte);
        if (byte > 1) Fail("a flag is neither 0 nor 1");
        value = byte == 1;
    }
    void ReportFlags(bool& hasStatistics) {
        uint8_t flags;
        U8(flags);
        if ((flags & ~kHasStatistics) != 0) Fail("unknown flags in a report");
        hasStatistics = (flags & kHasStatistics) != 0;
    }

    // A report's field, by its type, as Writer writes it.
    void Field(uint16_t& value, const char*) { U16(value); }
    void Field(uint32_t& value, const char*) { U32(value); }
    void Field(int32_t& value, const char*) { I32(value); }
    template <typename Enum, typename = std::enable_if_t<std::is_enum<Enum>::value>>
    void Field(Enum& value, const char*) {
        int32_t number;
        I32(number);
        value = static_cast<Enum>(number);
    }
    void Field(long& value, const char*) {
        int32_t number;
        I32(number);
        value = number;
    }
    // Copied into the text's own buffer while looking for bytes to blank, so that a text that
    // needs no fitting (nearly every one) is read once. resize and a copy cost about half of
    // an assign, which handles overlapping sources.
    void Field(std::string& text, const char* name) {
        uint16_t length;
        U16(length);
        if (!Need(length)) return;
        text.resize(length);
        if (length == 0) return;
        const char* from = reinterpret_cast<const char*>(Take(length));
        if (words::CopyAndTestWords(&text[0], from, length, ControlBytes) != 0 ||
            length > kMaxTextLength)
            NoteFitted(&mFitted, name, FitWireText(&text));
    }
    void Fail(const char* problem) {
        if (mpError == nullptr) mpError = problem;
        mLeft = 0;
    }

    size_t left() const { return mLeft; }
    const char* error() const { return mpError; }
    const std::string& fitted() const { return mFitted; }

  private:
    static constexpr unsigned char kZeros[4] = {};

    bool Need(size_t size) {
        if (size <= mLeft) return true;
        Fail("truncated: a field runs past the end");
        return false;
    }
    // The next `size` bytes, which Need found there.
    const unsigned char* Take(size_t size) {
        const unsigned char* bytes = mpData;
        mpData += size;
        mLeft -= size;
        return bytes;
    }

    const unsigned char* mpData;
    size_t mLeft;
    const char* mpError = nullptr;
    std::string mFitted;
};

// The field lists below serve both directions (Io is Writer or Reader), so that encoding and
// decoding cannot drift apart.

// Carries one field of `fields` by the name it has in the lists of call_detail_report.h.
#define CDR_CARRY_FIELD(type, name, form) io.Field(fields.name, #name);
// A fax field's text is named as the fax's.
#define CDR_CARRY_FAX_FIELD(type, name, form) io.Field(fields.name, "fax " #name);

template <typename Io, typename Report>
void ReportFields(Io& io, Report& fields) {
    CDR_REPORT_FIELDS(CDR_CARRY_FIELD)
}

template <typename Io, typename Stream>
void StreamFields(Io& io, Stream& fields) {
    CDR_STREAM_FIELDS(CDR_CARRY_FIELD)
}

template <typename Io, typename Fax>
void FaxFields(Io& io, Fax& fields) {
    CDR_FAX_FIELDS(CDR_CARRY_FAX_FIELD)
}

#undef CDR_CARRY_FIELD
#undef CDR_CARRY_FAX_FIELD

template <typename Io, typename Message>
void PayloadFields(Io& io, Message& m) {
    switch (m.kind) {
        case MessageKind::kAddCDR:
            io.I32(m.recordType);
            io.ReportFlags(m.hasStatistics);
            ReportFields(io, m.report);
            if (!m.hasStatistics) break;
            StreamFields(io, m.statistics.streams[0]);
            StreamFields(io, m.statistics.streams[1]);
            FaxFields(io, m.statistics.fax);
            break;
        case MessageKind::kCMPartyState:
        case MessageKind::kCGIPartyState:
            io.Flag(m.connected);
            break;
        case MessageKind::kClear:
        case MessageKind::kFlush:
        case MessageKind::kClearAnswer:
        case MessageKind::kFlushAnswer:
            io.U32(m.cookie);
            io.I32(m.mask);
            break;
        case MessageKind::kUpdateCDRSettings:
        case MessageKind::kUpdateDownloadSettings:
        case MessageKind::kDownloadNow:
        case MessageKind::kUpdateCDRSettingsAnswer:
            io.U32(m.cookie);
            break;
    }
}

// Sets each field it is handed to zero or empty (as the field lists declare them), keeping a
// text's buffer.
struct Clearer {
    template <typename Value>
    void Field(Value& value, const char*) {
        value = Value{};
    }
    void Field(std::string& text, const char*) { text.clear(); }
};

void Clear(CallDetailReport* report) {
    Clearer clear;
    ReportFields(clear, *report);
}

void Clear(CallStatistics* statistics) {
    Clearer clear;
    for (MediaStreamStatistics& stream : statistics->streams) StreamFields(clear, stream);
    FaxFields(clear, statistics->fax);
}

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

}  // namespace

const char* FitWireText(std::string* text) {
    bool blanked = false;
    for (char& c : *text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = ' ';
            blanked = true;
        }
    }
    const bool cut = text->size() > kMaxTextLength;
    if (cut) {
        size_t end = kMaxTextLength;
        // A UTF-8 character is at most 4 bytes: its lead byte lies at most 3 back.
        for (int back = 0; back < 3 && ((*text)[end] & 0xC0) == 0x80; ++back) --end;
        if (((*text)[end] & 0xC0) == 0x80) end = kMaxTextLength;  // not UTF-8: cut at the bound
        text->resize(end);
    }
    if (blanked && cut) return "control characters replaced by blanks, cut to 255 bytes";
    if (cut) return "cut to 255 bytes";
    return blanked ? "control characters replaced by blanks" : nullptr;
}

size_t EncodeMessage(const WireMessage& message, unsigned char* buffer, const char** error,
                     std::string* fitted) {
    Writer w(buffer);
    w.U8(kWireMagic[0]);
    w.U8(kWireMagic[1]);
    w.U8(kWireVersion);
    w.U8(static_cast<uint8_t>(message.kind));
    w.U32(0);  // payload length, filled in below
    PayloadFields(w, message);
    if (w.error() != nullptr) {
        if (error != nullptr) *error = w.error();
        return 0;
    }
    w.FinishHeader();
    if (fitted != nullptr) *fitted = w.fitted();
    return w.size();
}

const char* DecodeMessage(const unsigned char* data, size_t size, WireMessage* message,
                          std::string* fitted) {
    if (size < kWireHeaderSize) return "shorter than the 8-byte header";
    if (size > kMaxMessageSize) return "longer than the largest message";
    Reader r(data, size);
    uint8_t magic[2], version, kind;
    uint32_t payload;
    r.U8(magic[0]);
    r.U8(magic[1]);
    r.U8(version);
    r.U8(kind);
    r.U32(payload);
    if (magic[0] != kWireMagic[0] || magic[1] != kWireMagic[1]) return "wrong magic";
    if (version != kWireVersion) return "unsupported version";
    if (!IsKnownKind(kind)) return "unknown message kind";
    if (payload != size - kWireHeaderSize) return "payload length does not match the message size";
    // Decoded into the storage of the last message: what this one does not carry is cleared,
    // and the texts keep their buffers, so that decoding allocates nothing once they have grown
    // to the reports' sizes.
    WireMessage& m = *message;
    m.kind = static_cast<MessageKind>(kind);
    m.cookie = 0;
    m.recordType = m.mask = 0;
    m.connected = m.hasStatistics = false;
    PayloadFields(r, m);
    if (r.error() != nullptr) return r.error();
    if (m.kind != MessageKind::kAddCDR) Clear(&m.report);
    if (!m.hasStatistics) Clear(&m.statistics);
    if (r.left() != 0) return "bytes left over after the last field";
    if (fitted == nullptr) return nullptr;
    // Nearly every report fits as it came: clearing costs less than copying an empty text.
    if (r.fitted().empty())
        fitted->clear();
    else
        *fitted = r.fitted();
    return nullptr;
}
