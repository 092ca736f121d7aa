#include "guard/zone_table.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "support/test_env.h"

namespace {

std::string Describe(const struct tm& t) {
    char text[64];
    snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d %+ld", t.tm_year + 1900,
             t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, t.tm_gmtoff);
    return text;
}

TEST(ZoneTableTest, AgreesWithTheCLibraryAroundEveryDaylightSavingChange) {
    const time_t from = 1700000000;  // November 2023
    for (const char* zone : {"UTC0", kCentralEurope, "EST5EDT,M3.2.0,M11.1.0",
                             "AEST-10AEDT,M10.1.0,M4.1.0/3", "<+0530>-5:30"}) {
        LocalZoneEnv zoned(zone);
        ZoneTable table;
        table.Prepare(from);
        int mismatches = 0;
        // Offsets change on half-hour boundaries: try each one and the second before it.
        for (time_t at = from - from % 1800 + 1800; at < from + 3 * 365 * 86400L; at += 1800) {
            for (time_t t : {at - 1, at}) {
                struct tm expected, actual;
                localtime_r(&t, &expected);
                table.BreakDown(t, &actual);
                if (Describe(expected) != Describe(actual) && ++mismatches <= 3)
                    ADD_FAILURE() << zone << ": " << Describe(expected) << " vs "
                                  << Describe(actual);
            }
        }
    }
}

TEST(ZoneTableTest, LocalZoneIsLearntAgainWhenTheClockLeavesItsYears) {
    LocalZoneEnv env;
    const time_t newYear2000 = 946684800, summer2026 = 1782909296;  // 2026-07-01 12:34:56 UTC
    struct tm local;
    LocalZone::Learn(newYear2000);
    LocalZone::Follow(newYear2000 + 86400);  // within the years learnt: the table stays
    LocalZone::BreakDown(summer2026, &local);
    EXPECT_EQ(13, local.tm_hour);  // the winter offset learnt last, an hour off
    LocalZone::Follow(summer2026);
    LocalZone::BreakDown(summer2026, &local);
    EXPECT_EQ(14, local.tm_hour);
    LocalZone::Follow(newYear2000);  // the clock set back
    LocalZone::BreakDown(newYear2000, &local);
    EXPECT_EQ("2000-01-01 01:00:00 +3600", Describe(local));
}

}  // namespace
