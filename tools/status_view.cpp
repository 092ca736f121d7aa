#include "tools/status_view.h"

#include <time.h>

#include "platform/util/env.h"

const char kNoPermission[] = "cannot tell: permission";

std::string LocalTimeText(int64_t seconds) {
    struct tm local;
    Env::Current()->LocalTime(static_cast<time_t>(seconds), &local);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string Plural(unsigned long count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string OpenErrorText(const StoreHealth& store) {
    return store.openError.empty() ? "" : ": " + store.openError;
}
