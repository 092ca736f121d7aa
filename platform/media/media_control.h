// The device's media-control vocabulary as text: tokens of the call and authentication kinds and
// names of the DSP codec numbers, as the recorder writes them into its records.
#pragma once

#include <stddef.h>

#include "platform/messaging/call_detail_report.h"

// DSP codec numbers as the call manager reports them in the media stream statistics.
enum DspCodec : int {
    kDspCodecG711U = 0,
    kDspCodecG711A = 1,
    kDspCodecG729 = 2,
    kDspCodecG729A = 3,
    kDspCodecG729B = 4,
    kDspCodecG729AB = 5,
    kDspCodecG7231 = 6,
    kDspCodecG726 = 7,
    kDspCodecG722 = 8,
    kDspCodecIlbc = 9,
    kDspCodecOpus = 10,
    kDspCodecOpusNarrowband = 11,
    kDspCodecOpusWideband = 12,
    kDspCodecT38 = 13,
};

// The lower-case token of a call type ("sip", "fxs", ...); "unknown" for any number without one.
// Never null or empty; the text is static.
const char* CallTypeToToken(CallType type);

// The lower-case token of an authentication type ("none", "digest", ...); "unknown" for any
// number without one. Never null or empty; the text is static.
const char* CDRAuthTypeToToken(CDRAuthType type);

// Writes the name of DSP codec `codec` ("G.711 A-law", "Opus") into `buffer`, which holds at least
// 256 bytes; a number without a codec gives "unknown codec N". Returns the name's length.
size_t GetNameByDspCodec(int codec, char* buffer);
