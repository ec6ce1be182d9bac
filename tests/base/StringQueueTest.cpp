#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "StringQueue.h"

namespace {

std::deque<std::string> Drain(StringQueue& queue) {
    std::deque<std::string> lines;
    std::string line;
    while (queue.Size() > 0 && queue.Read(line)) lines.push_back(line);
    return lines;
}

}  // namespace

TEST(StringQueue, OverflowDropsOldestAndKeepsLimitPlusOne) {
    StringQueue queue(1000);
    for (int i = 0; i < 1001; ++i) ASSERT_TRUE(queue.Put("line " + std::to_string(i))) << i;
    EXPECT_FALSE(queue.Put("line 1001"));
    EXPECT_EQ(queue.Size(), 1001u);

    const auto lines = Drain(queue);
    ASSERT_EQ(lines.size(), 1001u);
    EXPECT_EQ(lines.front(), "line 1");
    EXPECT_EQ(lines.back(), "line 1001");
}

TEST(StringQueue, ReadAllTakesEverythingInOrder) {
    StringQueue queue(10);
    queue.Put("a");
    queue.Put("b");
    queue.Put("c");
    std::deque<std::string> batch{"kept"};
    EXPECT_EQ(queue.ReadAll(batch), 3u);
    EXPECT_EQ(batch, (std::deque<std::string>{"kept", "a", "b", "c"}));
    EXPECT_EQ(queue.Size(), 0u);
}

TEST(StringQueue, CloseHandsOutWhatWasQueuedThenStops) {
    StringQueue queue(10);
    queue.Put("before 1");
    queue.Put("before 2");
    queue.Close();
    queue.Put("after");

    std::string line;
    ASSERT_TRUE(queue.Read(line));
    EXPECT_EQ(line, "before 1");
    std::deque<std::string> batch;
    EXPECT_EQ(queue.ReadAll(batch), 1u);
    EXPECT_EQ(batch, std::deque<std::string>{"before 2"});
    // Nothing owed any more: no waiting, although a line is queued.
    EXPECT_FALSE(queue.Read(line));
    EXPECT_EQ(queue.ReadAll(batch), 0u);
    EXPECT_EQ(queue.Size(), 1u);

    queue.Reopen();
    ASSERT_TRUE(queue.Read(line));
    EXPECT_EQ(line, "after");

    // Reopened before the reader took what was owed: the older lines stay first.
    queue.Put("old");
    queue.Close();
    queue.Put("new");
    queue.Reopen();
    batch.clear();
    EXPECT_EQ(queue.ReadAll(batch), 2u);
    EXPECT_EQ(batch, (std::deque<std::string>{"old", "new"}));
}

TEST(StringQueue, OverflowAfterCloseCannotPushOutWhatIsOwed) {
    StringQueue queue(3);
    for (const char* text : {"a", "b", "c", "d"}) queue.Put(text);
    queue.Close();
    for (const char* text : {"e", "f", "g", "h", "i"}) queue.Put(text);
    EXPECT_EQ(queue.Size(), 8u);  // 4 owed, 4 newer within the limit

    std::deque<std::string> batch;
    EXPECT_EQ(queue.ReadAll(batch), 4u);
    EXPECT_EQ(batch, (std::deque<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(queue.ReadAll(batch), 0u);

    queue.Reopen();
    batch.clear();
    EXPECT_EQ(queue.ReadAll(batch), 4u);
    EXPECT_EQ(batch, (std::deque<std::string>{"f", "g", "h", "i"}));
}

TEST(StringQueue, ExchangeReusesStorageOfRecycledLines) {
    StringQueue queue(2);
    std::string line(200, 'a');
    const std::size_t capacity = line.capacity();
    const char* storage = line.data();
    EXPECT_TRUE(queue.Exchange(line));
    EXPECT_TRUE(line.empty());
    // Nothing recycled yet: no storage to hand back.
    EXPECT_LT(line.capacity(), capacity);

    std::deque<std::string> batch;
    ASSERT_EQ(queue.ReadAll(batch), 1u);
    EXPECT_EQ(batch.front(), std::string(200, 'a'));
    queue.Recycle(batch);
    EXPECT_TRUE(batch.empty());

    line.assign(10, 'b');
    EXPECT_TRUE(queue.Exchange(line));
    EXPECT_EQ(line.data(), storage);
    EXPECT_TRUE(line.empty());
    ASSERT_EQ(queue.ReadAll(batch), 1u);
    EXPECT_EQ(batch.front(), "bbbbbbbbbb");
}
