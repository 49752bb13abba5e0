#include "bridge/bounded_queue.hpp"

#include <gtest/gtest.h>

#include <latch>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zarn::bridge {
namespace {

using Push = BoundedQueue<int>::Push;

std::vector<int> drain(BoundedQueue<int>& queue) {
    std::vector<int> items;
    while (auto item = queue.try_pop()) items.push_back(*item);
    return items;
}

TEST(BoundedQueue, WaitingProducersArePromotedInOfferOrder) {
    BoundedQueue<int> queue(3);
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(queue.push(int{i}), Push::queued);
    for (int i = 4; i <= 6; ++i) EXPECT_EQ(queue.push(int{i}), Push::waiting);
    EXPECT_EQ(queue.queued(), 3u);
    EXPECT_EQ(queue.waiting(), 3u);

    EXPECT_EQ(queue.try_pop(), 1);
    EXPECT_EQ(queue.queued(), 3u);  // 4 moved up into the freed place
    EXPECT_EQ(queue.waiting(), 2u);
    // A newcomer queues behind the producers that were already waiting,
    // even though a place is free for a moment.
    EXPECT_EQ(queue.push(7), Push::waiting);
    EXPECT_EQ(drain(queue), (std::vector<int>{2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(queue.queued(), 0u);
    EXPECT_EQ(queue.push(8), Push::queued);
}

TEST(BoundedQueue, RingKeepsOrderWhileItGrowsAndWraps) {
    BoundedQueue<std::string> queue(100);
    int next_in = 0, next_out = 0;
    // Interleave pushes and pops so the ring wraps before and after growing.
    for (int round = 0; round < 40; ++round) {
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(queue.push(std::to_string(next_in++)), BoundedQueue<std::string>::Push::queued);
        EXPECT_EQ(queue.try_pop(), std::to_string(next_out++));
    }
    while (auto item = queue.try_pop()) EXPECT_EQ(*item, std::to_string(next_out++));
    EXPECT_EQ(next_out, next_in);
}

TEST(BoundedQueue, CloseRefusesNewItemsAndStillDeliversTheOthers) {
    const auto runtime = start_runtime(1);
    BoundedQueue<std::unique_ptr<int>> queue(1);
    EXPECT_EQ(queue.push(std::make_unique<int>(1)), BoundedQueue<std::unique_ptr<int>>::Push::queued);
    EXPECT_EQ(queue.push(std::make_unique<int>(2)), BoundedQueue<std::unique_ptr<int>>::Push::waiting);
    queue.close();
    auto refused = std::make_unique<int>(3);
    EXPECT_EQ(queue.push(std::move(refused)), BoundedQueue<std::unique_ptr<int>>::Push::refused);
    ASSERT_NE(refused, nullptr);  // left with the caller
    EXPECT_EQ(*queue.pop_until(*runtime, std::nullopt).value(), 1);
    EXPECT_EQ(*queue.pop_until(*runtime, std::nullopt).value(), 2);
    // Closed and empty: no wait, even without a deadline.
    EXPECT_EQ(queue.pop_until(*runtime, std::nullopt), std::nullopt);
}

TEST(BoundedQueue, ManyProducersOneConsumerKeepEachProducersOrder) {
    constexpr int kProducers = 6;
    constexpr int kItems = 2000;
    const auto runtime = start_runtime(2);
    BoundedQueue<int> queue(8);  // small, so producers keep waiting
    std::latch start(kProducers + 1);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            start.arrive_and_wait();
            for (int i = 0; i < kItems; ++i) EXPECT_NE(queue.push(p * kItems + i), Push::refused);
        });
    }
    start.arrive_and_wait();
    std::vector<int> last_seen(kProducers, -1);
    for (int received = 0; received < kProducers * kItems; ++received) {
        const auto item = queue.pop_until(*runtime, std::nullopt);
        ASSERT_TRUE(item.has_value());
        const int producer = *item / kItems, index = *item % kItems;
        EXPECT_GT(index, last_seen[producer]);
        last_seen[producer] = index;
    }
    for (auto& producer : producers) producer.join();
    EXPECT_EQ(queue.try_pop(), std::nullopt);
    EXPECT_EQ(queue.queued(), 0u);
    EXPECT_EQ(queue.waiting(), 0u);
}

}  // namespace
}  // namespace zarn::bridge
