// The FIELD=VALUE arguments of "cdrctl add": each names a field of the report, of a media stream
// (prefixed "s1." or "s2.") or of the fax (prefixed "fax."), as the report's field lists name
// them, and sets it in the message to be sent.
#pragma once

#include <string>

#include "platform/messaging/wire_codec.h"

// Sets the field that `argument` ("FIELD=VALUE") names in `*message`; a stream or fax field also
// makes the message carry statistics. Numbers must fit their field (the device's long and the
// enumerations take 32 bits), addresses are dotted IPv4, texts are taken as they are (they are
// fitted when sent). False, with a one-line reason in `*error`, on a missing '=', an unknown
// field or a value its field does not take.
bool ApplyReportField(const std::string& argument, WireMessage* message, std::string* error);
