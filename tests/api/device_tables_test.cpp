#include <gtest/gtest.h>

#include "api/device_tables.h"

namespace {

// A head that reports its destruction.
class TracedHead : public CommonLaser {
public:
    explicit TracedHead(int *destroyed) : destroyed_(destroyed) {}
    ~TracedHead() override { ++*destroyed_; }

private:
    int *destroyed_;
};

TEST(DeviceTable, RemovingTheMiddleKeepsTheOthersInOrder) {
    DeviceTable table;
    int destroyed = 0;
    for (DeviceHandle handle : {11, 22, 33}) ASSERT_NE(table.Append(handle), nullptr);
    table.slots[1]->head = std::make_unique<TracedHead>(&destroyed);
    table.slots[2]->headKind = HeadKind::PicoX;
    table.slots[2]->head = std::make_unique<TracedHead>(&destroyed);

    table.Remove(table.Find(22));

    EXPECT_EQ(destroyed, 1);  // only the removed slot's head
    ASSERT_EQ(table.count, 2);
    EXPECT_EQ(table.slots[0]->handle, 11);
    EXPECT_EQ(table.slots[1]->handle, 33);
    EXPECT_EQ(table.slots[1]->headKind, HeadKind::PicoX);
    EXPECT_NE(table.slots[1]->head, nullptr);
    EXPECT_EQ(table.Find(22), -1);
    EXPECT_EQ(table.Find(33), 1);

    table.Remove(1);
    EXPECT_EQ(destroyed, 2);
    EXPECT_EQ(table.count, 1);
}

TEST(DeviceTable, FindTakesTheFirstMatchAndAppendStopsAtTwenty) {
    DeviceTable table;
    for (int i = 0; i < kTableCapacity; ++i) {
        ASSERT_NE(table.Append(100 + i % 3), nullptr);
    }
    EXPECT_EQ(table.Append(999), nullptr);
    EXPECT_EQ(table.count, kTableCapacity);
    EXPECT_EQ(table.Find(101), 1);
    EXPECT_EQ(table.Find(999), -1);
    EXPECT_EQ(table.slots[0]->headKind, HeadKind::None);
    EXPECT_EQ(table.slots[0]->head, nullptr);
}

}  // namespace
