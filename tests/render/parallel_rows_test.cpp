// The rows of a pass handed to threads: every row once, on a thread of the
// pool, in order when there is one thread, and the ticks from the caller.
#include "parallel_rows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace oska::render {
namespace {

TEST(ParallelRows, EveryRowOnceOnAThreadOfThePool) {
    const struct {
        const char *name;
        int begin, end, threads;
    } cases[] = {
        {"one thread", 0, 5, 1},
        {"two threads", 0, 5, 2},
        {"a range not from 0", 3, 7, 2},
        {"more threads than rows", 0, 1, 4},
        {"no row", 2, 2, 2},
        {"many rows", 0, 300, 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::mutex mutex;
        std::vector<int> rows;
        std::set<int> threads;
        std::set<std::thread::id> ids;
        const std::thread::id caller = std::this_thread::get_id();
        std::atomic<bool> tick_elsewhere{false};
        parallel_for_rows(
            c.begin, c.end, c.threads,
            [&](int y, int thread) {
                std::lock_guard<std::mutex> lock(mutex);
                rows.push_back(y);
                threads.insert(thread);
                ids.insert(std::this_thread::get_id());
            },
            [&](int) { tick_elsewhere = tick_elsewhere || std::this_thread::get_id() != caller; });
        std::vector<int> sorted = rows;
        std::sort(sorted.begin(), sorted.end());
        std::vector<int> expected;
        for (int y = c.begin; y < c.end; ++y) {
            expected.push_back(y);
        }
        EXPECT_EQ(sorted, expected) << "each row once";
        for (int thread : threads) {
            EXPECT_TRUE(thread >= 0 && thread < c.threads) << thread;
        }
        EXPECT_FALSE(tick_elsewhere);
        if (c.threads == 1) {
            EXPECT_EQ(rows, expected) << "in order";
            EXPECT_TRUE(ids.empty() || (ids.size() == 1 && *ids.begin() == caller))
                << "one thread runs on the caller's";
        } else {
            EXPECT_EQ(ids.count(caller), 0u) << "the caller only ticks";
        }
    }
}

} // namespace
} // namespace oska::render
