#include "platform/media/media_control.h"

#include <stdio.h>
#include <string.h>

#include <string_view>

const char* CallTypeToToken(CallType type) {
    switch (type) {
        case kCallTypeSip:
            return "sip";
        case kCallTypeH323:
            return "h323";
        case kCallTypeFxs:
            return "fxs";
        case kCallTypeFxo:
            return "fxo";
        case kCallTypeIsdn:
            return "isdn";
        case kCallTypeInternal:
            return "internal";
        case kCallTypeUnknown:
            break;
    }
    return "unknown";
}

const char* CDRAuthTypeToToken(CDRAuthType type) {
    switch (type) {
        case kCDRAuthNone:
            return "none";
        case kCDRAuthDigest:
            return "digest";
        case kCDRAuthPin:
            return "pin";
        case kCDRAuthCertificate:
            return "certificate";
    }
    return "unknown";
}

namespace {

// The codec's name with its length known at compile time (its NUL follows it); empty for a number
// without one.
std::string_view CodecName(int codec) {
    switch (codec) {
        case kDspCodecG711U:
            return "G.711 u-law";
        case kDspCodecG711A:
            return "G.711 A-law";
        case kDspCodecG729:
            return "G.729";
        case kDspCodecG729A:
            return "G.729A";
        case kDspCodecG729B:
            return "G.729B";
        case kDspCodecG729AB:
            return "G.729AB";
        case kDspCodecG7231:
            return "G.723.1";
        case kDspCodecG726:
            return "G.726-32";
        case kDspCodecG722:
            return "G.722";
        case kDspCodecIlbc:
            return "iLBC";
        case kDspCodecOpus:
            return "Opus";
        case kDspCodecOpusNarrowband:
            return "Opus narrowband";
        case kDspCodecOpusWideband:
            return "Opus wideband";
        case kDspCodecT38:
            return "T.38";
    }
    return {};
}

}  // namespace

size_t GetNameByDspCodec(int codec, char* buffer) {
    const std::string_view name = CodecName(codec);
    if (!name.empty()) {
        memcpy(buffer, name.data(), name.size() + 1);
        return name.size();
    }
    return static_cast<size_t>(snprintf(buffer, 256, "unknown codec %d", codec));
}
