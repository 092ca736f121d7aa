// Judging what `cdrctl status` gathered: what of it needs attention.
#pragma once

#include "tools/status_view.h"

// Fills `view->problems` with one line for each thing that needs attention, when a recorder runs:
// no health record of its own yet, a queue not served, a failed save not made good or a closed
// database, records dropped from the download log, running without the instance lock, or
// deliveries failing past their alarm delay in this boot.
void JudgeStatus(StatusView* view);
