// The delivery agent's lines in the recorder's trace log. The agent appends them itself, under
// the recorder's size limit and with the same rotation, so that they survive a recorder that is
// busy or gone; "[delivery] " after the time stamp tells them apart from the recorder's.
#pragma once

// Appends one line, formatted as printf does, to the trace log: the time stamp, "[delivery] ",
// the text (which brings its own line end). Never fails; a line the log refuses is lost.
void DeliveryTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));
