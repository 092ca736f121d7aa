// Gathering what `cdrctl status` tells: whether a recorder runs, its health record and its
// delivery agent's, its queues as a sender sees them, and the outbox.
#pragma once

#include "tools/status_view.h"

// Looks at the instance lock, the health records, the recorder's queues, the delivery settings
// and the outbox, and returns what they tell, problems not judged yet. What cannot be read is
// noted in the view (recordNote, outboxError, denied and hidden flags), never thrown.
StatusView GatherStatus();
