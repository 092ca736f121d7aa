#include "platform/util/cyclic_queue.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Get(CyclicQueue* queue, long* type, unsigned long size = 64) {
    char buffer[64];
    int length = queue->GetMessage(type, buffer, size);
    return std::string(buffer, length < static_cast<int>(size) ? length : size);
}

TEST(CyclicQueueTest, KeepsOrderAndTypesAcrossTheRingEnd) {
    CyclicQueue queue(CyclicQueue::CapacityFor(3, 10));
    long type = 0;
    for (int round = 0; round < 50; ++round) {
        std::string first(round % 11, 'a' + round % 26), second = std::to_string(round);
        ASSERT_TRUE(queue.SendMessage(round, first.data(), first.size()));
        ASSERT_TRUE(queue.SendMessage(-round, second.data(), second.size()));
        EXPECT_EQ(first, Get(&queue, &type));
        EXPECT_EQ(round, type);
        EXPECT_EQ(second, Get(&queue, &type));
        EXPECT_EQ(-round, type);
    }
}

}  // namespace
