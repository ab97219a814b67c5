#include "parallel_rows.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace oska::render {

namespace {

constexpr std::chrono::milliseconds kTickInterval(200);

} // namespace

void parallel_for_rows(int begin, int end, int threads, const std::function<void(int, int)> &row,
                       const std::function<void(int)> &tick) {
    const int rows = end - begin;
    std::atomic<int> next_row{begin}, rows_done{0};
    std::mutex mutex;
    std::condition_variable finished;
    // Takes rows until none is left; `between` runs after each.
    auto take_rows = [&](int thread, const std::function<void()> &between) {
        for (int y; (y = next_row.fetch_add(1)) < end;) {
            row(y, thread);
            if (rows_done.fetch_add(1) + 1 == rows) {
                std::lock_guard<std::mutex> lock(mutex);
                finished.notify_all();
            }
            between();
        }
    };
    if (threads <= 1) {
        auto last = std::chrono::steady_clock::now();
        take_rows(0, [&] {
            if (std::chrono::steady_clock::now() - last > kTickInterval) {
                tick(rows_done.load());
                last = std::chrono::steady_clock::now();
            }
        });
        return;
    }
    std::vector<std::thread> pool;
    pool.reserve(static_cast<std::size_t>(threads));
    for (int i = 0; i < threads; ++i) {
        pool.emplace_back(take_rows, i, [] {});
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!finished.wait_for(lock, kTickInterval, [&] { return rows_done.load() >= rows; })) {
            lock.unlock();
            tick(rows_done.load());
            lock.lock();
        }
    }
    for (std::thread &thread : pool) {
        thread.join();
    }
}

} // namespace oska::render
