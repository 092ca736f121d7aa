#include "platform/util/key_value_record.h"

#include <gtest/gtest.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace {

struct Sample {
    bool flag = false;
    uint32_t count = 0;
    int64_t time = 0;
    Outcome outcome = Outcome::kNone;
    std::string text;
};

std::vector<KeyValueField> Fields(Sample* s) {
    return {{"flag", &s->flag},
            {"count", &s->count},
            {"time", &s->time},
            {"outcome", &s->outcome},
            {"text", &s->text}};
}

TEST(KeyValueRecordTest, ValuesSplitAtTheFirstEqualsAndTheLastLineNeedsNoEnd) {
    Sample sample;
    std::string error;
    ASSERT_TRUE(ParseKeyValues("later=1\ntext=a=b =c\ncount=4294967295\noutcome=ok",
                               Fields(&sample), &error))
        << error;
    EXPECT_EQ("a=b =c", sample.text);
    EXPECT_EQ(4294967295u, sample.count);
    EXPECT_EQ(Outcome::kOk, sample.outcome);
    EXPECT_EQ("flag=0\ncount=4294967295\ntime=0\noutcome=ok\ntext=a=b =c\n",
              FormatKeyValues(Fields(&sample)));
}

}  // namespace
