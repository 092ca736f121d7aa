// Journals of the earlier format (version 1, CRC-32 checks) for tests of reading and upgrading
// them: made from a journal of the current format by redoing its checks.
#pragma once

#include <string>

// `journal` (a header, entries and zeros in the current format) with version 1 in its header
// and every check redone as that format's CRC-32. Entries end at the first head of zeros.
std::string AsFirstFormat(const std::string& journal);
