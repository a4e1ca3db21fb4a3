#include "common/options.hpp"

#include <exception>
#include <stdexcept>
#include <vector>

namespace corrshift {

const std::string option_mean = "mean";
const std::string option_median = "median";
const std::string option_pearson = "pearson";
const std::string option_spearman = "spearman";
const std::string option_two_sided = "two-sided";
const std::string option_greater = "greater";
const std::string option_less = "less";

const char* const process_number_error = "Process number error";

worker_slice slice_of(std::int64_t items, std::int32_t jobs, std::int32_t t) noexcept {
    const std::int64_t chunk = items / jobs;
    const std::int64_t first = t * chunk;
    return {first, t == jobs - 1 ? items : first + chunk};
}

std::int32_t slice_number(std::int64_t items, std::int32_t jobs, std::int64_t first) noexcept {
    const std::int64_t chunk = items / jobs;
    if (chunk == 0) return jobs - 1;  // only the last slice has items
    const std::int64_t t = first / chunk;
    return static_cast<std::int32_t>(t < jobs - 1 ? t : jobs - 1);
}

std::int32_t clamp_jobs(std::int64_t requested, std::int64_t items) {
    const std::int64_t jobs = requested < items ? requested : items;
    if (jobs < 1) throw std::runtime_error(process_number_error);
    return static_cast<std::int32_t>(jobs);
}

namespace {

// Joins every thread it holds, front to back, when it goes out of scope.
class thread_list {
  public:
    ~thread_list() {
        for (std::thread& t : threads_)
            if (t.joinable()) t.join();
    }
    void add(std::thread t) { threads_.push_back(std::move(t)); }

  private:
    std::vector<std::thread> threads_;
};

std::thread start_thread(std::function<void()> work) { return std::thread(std::move(work)); }

}  // namespace

void fan_out(std::int64_t items, std::int32_t jobs, const slice_body& body) {
    fan_out(items, jobs, body, start_thread);
}

void fan_out(std::int64_t items, std::int32_t jobs, const slice_body& body, const thread_starter& start) {
    // One slot per thread, each written only by its own thread and read after the joins.
    std::vector<std::exception_ptr> failures(static_cast<std::size_t>(jobs));
    std::exception_ptr start_failure;
    {
        thread_list threads;
        try {
            for (std::int32_t t = 0; t < jobs; ++t) {
                const worker_slice s = slice_of(items, jobs, t);
                std::exception_ptr* slot = &failures[static_cast<std::size_t>(t)];
                threads.add(start([&body, s, slot] {
                    try {
                        body(s.first, s.last);
                    } catch (...) {
                        *slot = std::current_exception();
                    }
                }));
            }
        } catch (...) {
            start_failure = std::current_exception();
        }
    }  // every started thread is joined here
    if (start_failure) std::rethrow_exception(start_failure);
    for (const std::exception_ptr& f : failures)
        if (f) std::rethrow_exception(f);
}

}  // namespace corrshift
