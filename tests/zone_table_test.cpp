#include "guard/zone_table.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

namespace {

// Sets TZ for the lifetime of the object.
class ZoneSetting {
public:
    explicit ZoneSetting(const char* zone) {
        const char* previous = getenv("TZ");
        mHad = previous != nullptr;
        if (mHad) mPrevious = previous;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneSetting() {
        if (mHad)
            setenv("TZ", mPrevious.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool mHad;
    std::string mPrevious;
};

std::string Describe(const struct tm& t) {
    char text[64];
    snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d %+ld", t.tm_year + 1900,
             t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, t.tm_gmtoff);
    return text;
}

TEST(ZoneTableTest, AgreesWithTheCLibraryAroundEveryDaylightSavingChange) {
    const time_t from = 1700000000;  // November 2023
    const long kThreeYears = 3L * 365 * 86400;
    for (const char* zone : {"UTC0", "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0",
                             "AEST-10AEDT,M10.1.0,M4.1.0/3", "<+0530>-5:30"}) {
        ZoneSetting setting(zone);
        ZoneTable table;
        table.Prepare(from);
        int mismatches = 0;
        // Zones change their offset on a half-hour boundary: look at each one and the second
        // before it.
        for (time_t boundary = from - from % 1800 + 1800; boundary < from + kThreeYears;
             boundary += 1800) {
            for (time_t t : {boundary - 1, boundary}) {
                struct tm expected, actual;
                localtime_r(&t, &expected);
                table.BreakDown(t, &actual);
                if (Describe(expected) != Describe(actual) && ++mismatches <= 3)
                    ADD_FAILURE() << zone << " at " << t << ": " << Describe(expected) << " vs "
                                  << Describe(actual);
            }
        }
        EXPECT_EQ(0, mismatches) << zone;
    }
}

}  // namespace
