#include "platform/messaging/wire_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Encode(const WireMessage& message) {
    Bytes buffer(kMaxMessageSize);
    const char* error = nullptr;
    size_t size = EncodeMessage(message, buffer.data(), &error);
    EXPECT_NE(size, 0u) << error;
    buffer.resize(size);
    return buffer;
}

const char* Decode(const Bytes& bytes, WireMessage* message) {
    return DecodeMessage(bytes.data(), bytes.size(), message);
}

// A report whose every field holds a value of its own, texts at their bound included.
WireMessage FullReport() {
    WireMessage m;
    m.kind = MessageKind::kAddCDR;
    m.recordType = -5;
    m.hasStatistics = true;
    // clang-format off
    m.report = {-2147483647L - 1, 4000000000u, std::string(kMaxTextLength, 'c'), kCallTypeFxo, "",
                static_cast<CallType>(-77), "guid-\xc3\xa9", "ocd", "cr", "user", kCDRAuthPin,
                "fwd", "xfer", 0xFFFFFFFFu, 1};
    for (int i = 0; i < 2; ++i) {
        uint32_t base = 1000u * static_cast<uint32_t>(i + 1);
        m.statistics.streams[i] = {0x0A000001u + base, 0xC0A80101u + base, uint16_t(base + 1),
            uint16_t(base + 2), base + 3, uint16_t(base + 4), uint16_t(base + 5), base + 6,
            uint16_t(base + 7), uint16_t(base + 8), uint16_t(base + 9), base + 10, base + 11,
            65535, uint16_t(base), -1 - i};
    }
    // clang-format on
    m.statistics.fax = {11, 12, 13, 14, 15, 0x80000000u, std::string(kMaxTextLength, 'a')};
    return m;
}

TEST(WireCodecTest, EveryFieldOfAReportRoundTrips) {
    WireMessage sent = FullReport();
    WireMessage got;
    ASSERT_EQ(Decode(Encode(sent), &got), nullptr);
    EXPECT_EQ(got.kind, MessageKind::kAddCDR);
    EXPECT_EQ(got.recordType, -5);
    EXPECT_TRUE(got.hasStatistics);
    EXPECT_TRUE(got.report == sent.report);
    EXPECT_TRUE(got.statistics == sent.statistics);

    sent.hasStatistics = false;
    ASSERT_EQ(Decode(Encode(sent), &got), nullptr);
    EXPECT_FALSE(got.hasStatistics);
    EXPECT_TRUE(got.report == sent.report);
    EXPECT_TRUE(got.statistics == CallStatistics());

    // Decoded into a message that held a report, a request carries nothing of it.
    WireMessage flush;
    flush.kind = MessageKind::kFlush;
    flush.cookie = 9;
    ASSERT_EQ(Decode(Encode(flush), &got), nullptr);
    EXPECT_EQ(got.cookie, 9u);
    EXPECT_EQ(got.recordType, 0);
    EXPECT_TRUE(got.report == CallDetailReport());
}

// The layout is fixed byte by byte, whatever the host's byte order.
TEST(WireCodecTest, FieldsTravelInNetworkByteOrder) {
    WireMessage clear;
    clear.kind = MessageKind::kClear;
    clear.cookie = 0x01020304;
    clear.mask = 7;
    EXPECT_EQ(Encode(clear), (Bytes{0xCD, 0x52, 1, 17, 0, 0, 0, 8, 1, 2, 3, 4, 0, 0, 0, 7}));

    WireMessage add;
    add.kind = MessageKind::kAddCDR;
    add.recordType = 2;
    add.report.startTime = 0x11223344;
    add.report.duration = 0x55667788;
    add.report.called = "ab";
    Bytes bytes = Encode(add);
    const Bytes prefix{0xCD, 0x52, 1,    1,    0,    0,    0,    bytes[7], 0, 0, 0,   2,  0,
                       0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,     0, 2, 'a', 'b'};
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + long(prefix.size())), prefix);
    EXPECT_EQ(bytes[7], bytes.size() - kWireHeaderSize);
}

TEST(WireCodecTest, EveryTextAtItsBoundFitsTheLargestMessage) {
    WireMessage m = FullReport();
    for (std::string* text : {&m.report.called, &m.report.caller, &m.report.guid, &m.report.ocd,
                              &m.report.cr, &m.report.authUserName, &m.report.forwarder,
                              &m.report.transferer, &m.statistics.fax.anamnesis})
        text->assign(kMaxTextLength, 'x');
    EXPECT_EQ(Encode(m).size(), kMaxMessageSize);
}

TEST(WireCodecTest, EveryTruncationIsRejected) {
    Bytes full = Encode(FullReport());
    for (size_t size = 0; size < full.size(); ++size) {
        Bytes cut(full.begin(), full.begin() + long(size));
        WireMessage got;
        EXPECT_NE(Decode(cut, &got), nullptr) << size;
        // Even with a header that agrees with the shorter size, the fields run out.
        if (size >= kWireHeaderSize) {
            cut[7] = static_cast<unsigned char>((size - kWireHeaderSize) & 0xFF);
            cut[6] = static_cast<unsigned char>((size - kWireHeaderSize) >> 8);
            EXPECT_NE(Decode(cut, &got), nullptr) << size;
        }
    }
}

TEST(WireCodecTest, MalformedShapesAreRejected) {
    auto decode = [](const Bytes& bytes) {
        WireMessage got;
        const char* problem = Decode(bytes, &got);
        return std::string(problem != nullptr ? problem : "accepted");
    };
    auto with = [](Bytes bytes, size_t at, unsigned char value) {
        bytes[at] = value;
        return bytes;
    };
    WireMessage state;
    state.kind = MessageKind::kCMPartyState;
    const Bytes good = Encode(state);  // CD 52 01 02 00 00 00 01 00
    EXPECT_EQ(decode(with(good, 0, 'C')), "wrong magic");
    EXPECT_EQ(decode(with(good, 2, 2)), "unsupported version");
    EXPECT_EQ(decode(with(good, 3, 99)), "unknown message kind");
    EXPECT_EQ(decode(with(good, 7, 2)), "payload length does not match the message size");
    EXPECT_EQ(decode(with(good, 8, 2)), "a flag is neither 0 nor 1");
    Bytes b = good;
    b.push_back(0);
    EXPECT_EQ(decode(with(b, 7, 2)), "bytes left over after the last field");
    EXPECT_EQ(decode(Bytes(kMaxMessageSize + 1, 0)), "longer than the largest message");
    EXPECT_EQ(decode(Bytes{'g', 'a'}), "shorter than the 8-byte header");

    WireMessage add;
    add.kind = MessageKind::kAddCDR;
    add.report.called = "x";
    const Bytes report = Encode(add);
    const size_t flags = kWireHeaderSize + 4, calledLength = flags + 1 + 8;
    EXPECT_EQ(decode(with(report, flags, 0x02)), "unknown flags in a report");
    // A text whose length lies (more than the message holds) is malformed, not fitted.
    EXPECT_EQ(decode(with(report, calledLength, 0xFF)), "truncated: a field runs past the end");
}

TEST(WireCodecTest, TextsAreFittedNotRefused) {
    std::string text = "a\tb\x7f";
    EXPECT_STREQ("control characters replaced by blanks", FitWireText(&text));
    EXPECT_EQ("a b ", text);
    // A two-byte character straddling the bound is cut whole.
    text = std::string(254, 'x') + "\xc3\xa9" + "tail";
    EXPECT_STREQ("cut to 255 bytes", FitWireText(&text));
    EXPECT_EQ(std::string(254, 'x'), text);
    text = std::string(300, '\x80');  // not UTF-8: cut at the bound
    FitWireText(&text);
    EXPECT_EQ(kMaxTextLength, text.size());
    text = "plain UTF-8 \xc3\xa9";
    EXPECT_EQ(nullptr, FitWireText(&text));
    // A control byte is found wherever it stands in a longer text, and only it is blanked.
    for (size_t at = 0; at < 40; ++at) {
        for (char control : {'\0', '\n', '\x1f', '\x7f'}) {
            text = std::string(40, '\xc3');
            text[at] = control;
            ASSERT_STREQ("control characters replaced by blanks", FitWireText(&text)) << at;
            EXPECT_EQ(std::string(at, '\xc3') + ' ' + std::string(39 - at, '\xc3'), text);
        }
    }
    // The bytes next to those ranges are kept, at any place in a word.
    const std::string edges = "\x20\x7e\x80\x9f\xa0\xff\x21";
    for (size_t at = 0; at < 16; ++at) {
        text = std::string(at, 'x') + edges + edges;
        EXPECT_EQ(nullptr, FitWireText(&text)) << at;
    }
}

// The decoder fits texts as FitWireText does: a control byte anywhere in a text of any length is
// blanked and the text named, the bytes next to those ranges arrive as sent, and a report that
// needs no fitting leaves no note from the one before.
TEST(WireCodecTest, DecodingFitsTextsOfEveryLength) {
    WireMessage sent;
    sent.kind = MessageKind::kAddCDR;
    WireMessage got;
    std::string fitted;
    const std::string edges = "\x20\x7e\x80\x9f\xa0\xff\x21";
    for (size_t size = 1; size <= 24; ++size) {
        sent.report.caller = std::string(size, '\xc3');
        const Bytes clean = Encode(sent);
        const size_t start = std::find(clean.begin(), clean.end(), 0xc3) - clean.begin();
        for (size_t at = 0; at < size; ++at) {
            for (unsigned char control : {0x00, 0x0a, 0x1f, 0x7f}) {
                Bytes bytes = clean;
                bytes[start + at] = control;
                ASSERT_EQ(nullptr, DecodeMessage(bytes.data(), bytes.size(), &got, &fitted));
                std::string blanked = sent.report.caller;
                blanked[at] = ' ';
                ASSERT_EQ(blanked, got.report.caller) << size << " " << at;
                EXPECT_EQ("caller: control characters replaced by blanks", fitted);
            }
        }
        for (size_t i = 0; i < size; ++i) sent.report.caller[i] = edges[(i + size) % edges.size()];
        const Bytes kept = Encode(sent);
        ASSERT_EQ(nullptr, DecodeMessage(kept.data(), kept.size(), &got, &fitted));
        EXPECT_EQ(sent.report.caller, got.report.caller) << size;
        EXPECT_EQ("", fitted) << size;
    }
}

}  // namespace
