#include "tools/status.h"

#include "tools/status_gather.h"
#include "tools/status_judge.h"
#include "tools/status_print.h"

int PrintRecorderStatus(bool json, FILE* out) {
    StatusView view = GatherStatus();
    JudgeStatus(&view);
    if (json)
        PrintStatusJson(view, out);
    else
        PrintStatusText(view, out);
    if (view.pid == 0) return kStatusNotRunning;
    return view.problems.empty() ? kStatusHealthy : kStatusAttention;
}
