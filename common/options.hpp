// Option names, job-count rules and the fan-out that every parallel stage uses.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace corrshift {

// Option names. Arguments match them only byte for byte: same length, same bytes.
extern const std::string option_mean;
extern const std::string option_median;
extern const std::string option_pearson;
extern const std::string option_spearman;
extern const std::string option_two_sided;
extern const std::string option_greater;
extern const std::string option_less;

// The message of every rejected job count.
extern const char* const process_number_error;

// Half-open range of work items handled by one worker.
struct worker_slice {
    std::int64_t first;
    std::int64_t last;
};

// Slice of thread t when `items` items are cut into `jobs` slices: every thread gets
// items / jobs items, the last one also the remainder.
worker_slice slice_of(std::int64_t items, std::int32_t jobs, std::int32_t t) noexcept;

// The number t of the non-empty slice of slice_of(items, jobs, t) that starts at `first`,
// so that a worker can write into storage of its own.
std::int32_t slice_number(std::int64_t items, std::int32_t jobs, std::int64_t first) noexcept;

// min(requested, items); throws std::runtime_error(process_number_error) when that is below 1.
std::int32_t clamp_jobs(std::int64_t requested, std::int64_t items);

// Work of one slice; runs on its own thread and must not touch interpreter objects.
using slice_body = std::function<void(std::int64_t first, std::int64_t last)>;

// Starts a thread running `work`. Only tests replace it, to make a start fail.
using thread_starter = std::function<std::thread(std::function<void()> work)>;

// Runs `body` on `jobs` fresh threads, one slice each, and joins them in start order.
// Every started thread is joined on every path, also when a later start fails; after
// the joins the first exception thrown by a start or by a body is rethrown.
// `jobs` must be at least 1.
void fan_out(std::int64_t items, std::int32_t jobs, const slice_body& body);
void fan_out(std::int64_t items, std::int32_t jobs, const slice_body& body, const thread_starter& start);

}  // namespace corrshift
