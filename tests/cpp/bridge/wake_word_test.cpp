// The sleeping primitives under a long exchange between two threads: every
// wake-up must arrive, or the exchange stalls and the watchdog fails the run
// (a lost wake-up would otherwise hang a call for ever).
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bridge/reply_slot.hpp"
#include "bridge/runtime.hpp"

namespace zarn::bridge {
namespace {

using namespace std::chrono_literals;

// Aborts the test binary when the guarded scope outlasts its time limit.
class Watchdog {
public:
    Watchdog(std::chrono::seconds limit, const char* what)
        : thread_([this, limit, what] {
              std::unique_lock lock(mutex_);
              if (!done_cv_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "stalled: %s\n", what);
                  std::abort();
              }
          }) {}
    ~Watchdog() {
        {
            const std::lock_guard lock(mutex_);
            done_ = true;
        }
        done_cv_.notify_one();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_cv_;
    bool done_ = false;
    std::thread thread_;
};

void park_until_past(Parker& parker, std::uint32_t& seen_rounds, const std::atomic<std::uint32_t>& rounds) {
    for (;;) {
        const Parker::Token token = parker.token();
        if (rounds.load(std::memory_order_acquire) != seen_rounds) break;
        parker.park(token);
    }
    seen_rounds = rounds.load(std::memory_order_acquire);
}

TEST(WakeWord, ParkersPassTwentyThousandRoundTrips) {
    constexpr std::uint32_t kRounds = 20'000;
    const Watchdog watchdog(60s, "parker round trips");
    Parker forth_parker, back_parker;
    std::atomic<std::uint32_t> forth{0}, back{0};
    std::thread partner([&] {
        std::uint32_t seen = 0;
        while (seen < kRounds) {
            park_until_past(forth_parker, seen, forth);
            back.fetch_add(1, std::memory_order_release);
            back_parker.unpark();
        }
    });
    std::uint32_t seen = 0;
    for (std::uint32_t i = 0; i < kRounds; ++i) {
        forth.fetch_add(1, std::memory_order_release);
        forth_parker.unpark();
        park_until_past(back_parker, seen, back);
    }
    partner.join();
    EXPECT_EQ(back.load(), kRounds);
}

// Batches of one to four reply slots, settled by a second thread while the
// first waits for all of them; every reply arrives in its own slot.
TEST(WakeWord, ReplySlotsWakeTheirWaiterForEveryBatch) {
    constexpr int kBatches = 10'000;
    const Watchdog watchdog(60s, "reply slot batches");
    std::mutex mutex;
    std::condition_variable handed_cv;
    std::vector<ReplySender> handed;
    bool finished = false;
    std::thread settler([&] {
        for (;;) {
            std::vector<ReplySender> senders;
            {
                std::unique_lock lock(mutex);
                handed_cv.wait(lock, [&] { return finished || !handed.empty(); });
                if (handed.empty()) return;
                senders.swap(handed);
            }
            for (std::size_t i = senders.size(); i > 0; --i) senders[i - 1].send(std::to_string(i - 1));
        }
    });
    for (int batch = 0; batch < kBatches; ++batch) {
        const auto count = static_cast<std::uint32_t>(1 + batch % 4);
        auto slots = std::make_shared<ReplySlots>(count);
        {
            const std::lock_guard lock(mutex);
            for (std::uint32_t i = 0; i < count; ++i) handed.emplace_back(slots, i);
        }
        handed_cv.notify_one();
        slots->wait();
        ASSERT_TRUE(slots->all_settled());
        for (std::uint32_t i = 0; i < count; ++i) {
            ASSERT_EQ(slots->state(i), ReplyState::answered);
            ASSERT_EQ(slots->reply(i), std::to_string(i));
        }
    }
    {
        const std::lock_guard lock(mutex);
        finished = true;
    }
    handed_cv.notify_one();
    settler.join();
}

}  // namespace
}  // namespace zarn::bridge
