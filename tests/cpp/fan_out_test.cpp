// Slicing, joining and failure handling of the fan-out.
#include <atomic>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "check.hpp"
#include "common/options.hpp"

using namespace corrshift;

static std::vector<worker_slice> slices(std::int64_t items, std::int32_t jobs) {
    std::vector<worker_slice> out;
    for (std::int32_t t = 0; t < jobs; ++t) out.push_back(slice_of(items, jobs, t));
    return out;
}

static bool same(const std::vector<worker_slice>& a, const std::vector<std::vector<std::int64_t>>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].first != b[i][0] || a[i].last != b[i][1]) return false;
    return true;
}

int main() {
    // The remainder goes to the last slice.
    CHECK(same(slices(7, 3), {{0, 2}, {2, 4}, {4, 7}}));
    CHECK(same(slices(10, 4), {{0, 2}, {2, 4}, {4, 6}, {6, 10}}));
    CHECK(same(slices(5, 5), {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}}));
    // More jobs than items: empty slices, the last takes everything.
    CHECK(same(slices(2, 4), {{0, 0}, {0, 0}, {0, 0}, {0, 2}}));

    // Every non-empty slice is found again from its first item.
    bool numbered = true;
    for (const std::int64_t items : {0, 1, 2, 3, 7, 10, 1000, 1001})
        for (std::int32_t jobs = 1; jobs <= 9; ++jobs)
            for (std::int32_t t = 0; t < jobs; ++t) {
                const worker_slice s = slice_of(items, jobs, t);
                if (s.first < s.last) numbered = numbered && slice_number(items, jobs, s.first) == t;
            }
    CHECK(numbered);

    CHECK(clamp_jobs(8, 3) == 3);
    CHECK(clamp_jobs(2, 3) == 2);
    bool threw = false;
    try {
        clamp_jobs(0, 3);
    } catch (const std::runtime_error& e) {
        threw = std::string(e.what()) == "Process number error";
    }
    CHECK(threw);

    // Every item is visited exactly once.
    std::vector<int> seen(1000, 0);
    fan_out(1000, 7, [&](std::int64_t first, std::int64_t last) {
        for (std::int64_t k = first; k < last; ++k) seen[static_cast<std::size_t>(k)] += 1;
    });
    bool once = true;
    for (int s : seen) once = once && s == 1;
    CHECK(once);

    // A start that fails after two threads are running: those two are joined, then the
    // error is raised; nothing runs afterwards.
    std::atomic<int> finished{0};
    int started = 0;
    const thread_starter failing = [&](std::function<void()> work) {
        if (started == 2) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        ++started;
        return std::thread(std::move(work));
    };
    threw = false;
    try {
        fan_out(10, 4, [&](std::int64_t, std::int64_t) { finished += 1; }, failing);
    } catch (const std::system_error&) {
        threw = true;
    }
    CHECK(threw);
    CHECK(finished == 2);

    // An exception thrown by a worker reaches the caller after every thread is joined.
    finished = 0;
    threw = false;
    try {
        fan_out(4, 4, [&](std::int64_t first, std::int64_t) {
            if (first == 1) throw std::bad_alloc();
            finished += 1;
        });
    } catch (const std::bad_alloc&) {
        threw = true;
    }
    CHECK(threw);
    CHECK(finished == 3);
    TEST_MAIN_END();
}
