// Every threaded stage run with several job counts, for ThreadSanitizer (`make tsan`) and
// as an ordinary unit test: the fan-out (with a failing thread start), the set-score
// workers, both rank transforms, the pass loops of all four pipelines with both
// kernels, and the four block drivers. Each result must be bit for bit the result of
// one job (and the blocks' the public pipelines').
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "check.hpp"
#include "common/options.hpp"
#include "common/set_scores.hpp"
#include "pipelines/drivers/blocks.hpp"
#include "pipelines/drivers/permutation.hpp"
#include "pipelines/drivers/pipelines.hpp"
#include "pipelines/kernels/atanh_vector.hpp"
#include "pipelines/kernels/fast_kernel.hpp"
#include "pipelines/kernels/fast_rank.hpp"
#include "pipelines/kernels/rank.hpp"

using namespace corrshift;

namespace {

const std::int32_t job_counts[] = {1, 2, 3, 7, 16};

// A matrix with ties, a constant row, a NaN and an infinity, so that every branch of the
// correlation and the rank order is taken.
std::vector<float> test_matrix(std::int32_t nrows, std::int32_t ncols) {
    std::mt19937 generator(11);
    std::normal_distribution<float> normal;
    std::vector<float> data(static_cast<std::size_t>(nrows) * ncols);
    for (float& v : data) v = std::round(normal(generator) * 4.0f) / 4.0f;
    for (std::int32_t c = 0; c < ncols; ++c) data[static_cast<std::size_t>(2 * ncols + c)] = 1.5f;
    data[static_cast<std::size_t>(5 * ncols + 1)] = std::nanf("");
    data[static_cast<std::size_t>(7 * ncols + 3)] = INFINITY;
    return data;
}

void check_fan_out() {
    for (std::int64_t items : {0, 1, 7, 1000}) {
        for (std::int32_t jobs : job_counts) {
            std::vector<int> seen(static_cast<std::size_t>(items), 0);
            fan_out(items, jobs, [&](std::int64_t first, std::int64_t last) {
                for (std::int64_t k = first; k < last; ++k) seen[static_cast<std::size_t>(k)] += 1;
            });
            bool once = true;
            for (int s : seen) once = once && s == 1;
            CHECK(once);
        }
    }
    // The third start fails while two workers run: they are joined, then the error leaves.
    for (int round = 0; round < 20; ++round) {
        std::vector<int> done(8, 0);
        int started = 0;
        const thread_starter failing = [&](std::function<void()> work) {
            if (started == 2) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            ++started;
            return std::thread(std::move(work));
        };
        bool threw = false;
        try {
            fan_out(
                8, 8, [&](std::int64_t first, std::int64_t) { done[static_cast<std::size_t>(first)] = 1; }, failing);
        } catch (const std::system_error&) {
            threw = true;
        }
        CHECK(threw);
        CHECK(done[0] == 1 && done[1] == 1 && done[2] == 0);
    }
}

void check_set_scores(const std::vector<float>& values) {
    std::vector<std::int32_t> labels(values.size());
    for (std::size_t i = 0; i < labels.size(); ++i) labels[i] = static_cast<std::int32_t>(i / 9);
    std::vector<std::int32_t> run_values, starts, ends;
    label_runs(labels.data(), static_cast<std::int32_t>(labels.size()), run_values, starts, ends);
    const auto runs = static_cast<std::int64_t>(run_values.size());
    const std::int64_t items = 28;  // 378 pair values
    for (const std::string& score : {option_mean, option_median}) {
        for (bool absolute : {false, true}) {
            std::vector<float> run_one(static_cast<std::size_t>(runs)), pair_one(items);
            CHECK(score_runs(values.data(), starts.data(), ends.data(), runs, score, absolute, 1, run_one.data()));
            CHECK(score_pair_rows(values.data(), items, score, absolute, 1, pair_one.data()));
            for (std::int32_t jobs : job_counts) {
                std::vector<float> run_many(run_one.size()), pair_many(pair_one.size());
                score_runs(values.data(), starts.data(), ends.data(), runs, score, absolute,
                           static_cast<std::int32_t>(std::min<std::int64_t>(jobs, runs)), run_many.data());
                score_pair_rows(values.data(), items, score, absolute, jobs, pair_many.data());
                CHECK(same_bits(run_one, run_many));
                CHECK(same_bits(pair_one, pair_many));
            }
        }
    }
}

void check_ranks(const std::vector<float>& data, std::int32_t nrows, std::int32_t ncols) {
    // Columns listed out of order and one listed twice.
    const std::vector<std::int32_t> columns = {3, 0, 5, 5, 1, 7, 2};
    const auto count = static_cast<std::int32_t>(columns.size());
    std::vector<float> one(data.size(), 0.0f);
    rank_rows(data.data(), one.data(), ncols, nrows, columns.data(), count, 1);
    for (std::int32_t jobs : job_counts) {
        std::vector<float> plain(data.size(), 0.0f), fast(data.size(), 0.0f);
        rank_rows(data.data(), plain.data(), ncols, nrows, columns.data(), count, jobs);
        rank_rows_fast(data.data(), fast.data(), ncols, nrows, columns.data(), count, jobs);
        CHECK(same_bits(one, plain));
        CHECK(same_bits(one, fast));
    }
}

console_environment quiet(std::ostringstream& console) {
    return {console, [] {}};
}

// A public call on the test matrix with 4 permutations.
pipeline_call call_of(const std::vector<float>& data, std::int32_t nrows, std::int32_t ncols,
                      const column_groups& groups, const std::string& method, const std::string& alternative,
                      const std::string& score, std::int32_t jobs, std::ostringstream& console) {
    return {{data.data(), nrows, ncols, groups}, method, alternative, score, 4, jobs, quiet(console)};
}

struct ztest_run {
    std::vector<float> first_r, second_r, z_diff, p_value, permutation_p;
    std::string console;
    explicit ztest_run(std::int64_t pairs)
        : first_r(pairs), second_r(pairs), z_diff(pairs), p_value(pairs), permutation_p(pairs) {}
    bool operator==(const ztest_run& o) const {
        return same_bits(first_r, o.first_r) && same_bits(second_r, o.second_r) && same_bits(z_diff, o.z_diff) &&
               same_bits(p_value, o.p_value) && same_bits(permutation_p, o.permutation_p) && console == o.console;
    }
};

ztest_run run_ztest(const std::vector<float>& data, std::int32_t nrows, std::int32_t ncols,
                    const std::vector<std::int32_t>* rows, const column_groups& groups, const std::string& method,
                    std::int32_t jobs, kernel choice) {
    const std::int64_t pairs = rows ? static_cast<std::int64_t>(rows[1].size()) : std::int64_t{nrows} * (nrows - 1) / 2;
    ztest_run r(pairs);
    std::ostringstream console;
    ztest_pipeline(call_of(data, nrows, ncols, groups, method, option_two_sided, "", jobs, console),
                   rows ? rows[0].data() : nullptr, rows ? rows[1].data() : nullptr, pairs,
                   {r.first_r.data(), r.second_r.data(), r.z_diff.data(), r.p_value.data(), r.permutation_p.data()},
                   choice);
    r.console = console.str();
    return r;
}

void check_pipelines(const std::vector<float>& data, std::int32_t nrows, std::int32_t ncols) {
    const std::vector<std::int32_t> first = {0, 1, 2, 3, 4, 5, 6};
    const std::vector<std::int32_t> second = {7, 8, 9, 10, 11, 4, 2};  // shares columns 4 and 2
    const column_groups groups{first.data(), static_cast<std::int32_t>(first.size()), second.data(),
                               static_cast<std::int32_t>(second.size())};
    std::vector<std::int32_t> rows[2];
    for (std::int32_t k = 0; k < 90; ++k) {
        rows[0].push_back(k / 5);  // sorted: sets of five pairs
        rows[1].push_back((k * 7 + 3) % nrows);
    }
    const labelled_runs sets = runs_of_labels(rows[0].data(), static_cast<std::int32_t>(rows[0].size()));
    const auto set_count = static_cast<std::int32_t>(sets.labels.size());

    for (const std::string& method : {option_pearson, option_spearman}) {
        for (const std::vector<std::int32_t>* pair_rows : {static_cast<const std::vector<std::int32_t>*>(rows),
                                                           static_cast<const std::vector<std::int32_t>*>(nullptr)}) {
            const ztest_run expected =
                run_ztest(data, nrows, ncols, pair_rows, groups, method, 1, kernel::straightforward);
            for (kernel choice : {kernel::straightforward, kernel::fast})
                for (std::int32_t jobs : job_counts)
                    CHECK(run_ztest(data, nrows, ncols, pair_rows, groups, method, jobs, choice) == expected);
        }
        for (const std::string& score : {option_mean, option_median}) {
            for (const std::string& alternative : {option_two_sided, option_less}) {
                std::vector<float> set_observed(set_count), set_p(set_count), row_observed(nrows), row_p(nrows);
                std::ostringstream console;
                score_pipeline_indexed(call_of(data, nrows, ncols, groups, method, alternative, score, 1, console),
                                       rows[0].data(), rows[1].data(), static_cast<std::int32_t>(rows[0].size()), sets,
                                       set_observed.data(), set_p.data(), kernel::straightforward);
                score_pipeline_exhaustive(call_of(data, nrows, ncols, groups, method, alternative, score, 1, console),
                                          row_observed.data(), row_p.data(), kernel::straightforward);
                for (kernel choice : {kernel::straightforward, kernel::fast}) {
                    for (std::int32_t jobs : job_counts) {
                        std::vector<float> o1(set_count), p1(set_count), o2(nrows), p2(nrows);
                        score_pipeline_indexed(call_of(data, nrows, ncols, groups, method, alternative, score,
                                                       std::min(jobs, set_count), console),
                                               rows[0].data(), rows[1].data(),
                                               static_cast<std::int32_t>(rows[0].size()), sets, o1.data(), p1.data(),
                                               choice);
                        score_pipeline_exhaustive(call_of(data, nrows, ncols, groups, method, alternative, score,
                                                          std::min(jobs, nrows), console),
                                                  o2.data(), p2.data(), choice);
                        CHECK(same_bits(o1, set_observed) && same_bits(p1, set_p));
                        CHECK(same_bits(o2, row_observed) && same_bits(p2, row_p));
                    }
                }
            }
        }
    }
}

const run_environment quiet_block{[] {}, [](std::int32_t) {}};

// Counts of several pass ranges added, as float p-values over `permutations` passes.
std::vector<float> as_p_values(const std::vector<std::int32_t>& counts, std::int32_t permutations) {
    std::vector<float> p(counts.size());
    for (std::size_t k = 0; k < counts.size(); ++k)
        p[k] = static_cast<float>(counts[k]) / static_cast<float>(permutations);
    return p;
}

void check_blocks(const std::vector<float>& data, std::int32_t nrows, std::int32_t ncols) {
    const std::vector<std::int32_t> first = {0, 1, 2, 3, 4, 5, 6};
    const std::vector<std::int32_t> second = {7, 8, 9, 10, 11, 4, 2};
    const column_groups groups{first.data(), 7, second.data(), 7};
    const pass_input input{data.data(), nrows, ncols, groups};
    const auto options = [](const std::string& method, const std::string& score, const std::string& alternative,
                            std::int32_t first, std::int32_t last, std::int32_t jobs) {
        return block_options_of(method, alternative, score, first, last, jobs);
    };
    std::vector<std::int32_t> rows[2];
    for (std::int32_t k = 0; k < 90; ++k) {
        rows[0].push_back(k / 5);
        rows[1].push_back((k * 7 + 3) % nrows);
    }
    const labelled_runs sets = runs_of_labels(rows[0].data(), 90);
    const std::size_t set_count = sets.labels.size();
    for (const std::string& method : {option_pearson, option_spearman}) {
        const ztest_run want = run_ztest(data, nrows, ncols, nullptr, groups, method, 1, kernel::fast);
        const std::int64_t pairs = want.z_diff.size();
        for (std::int32_t jobs : job_counts) {
            // All pairs over passes [0, 2) and [2, 5), the counts added.
            ztest_run got(pairs);
            std::vector<std::int32_t> counts(pairs), more(pairs);
            const ztest_block_outputs out{got.first_r.data(),
                                          got.second_r.data(),
                                          got.z_diff.data(),
                                          got.p_value.data(),
                                          {nullptr, counts.data()}};
            ztest_block(input, {0, nrows}, {0, nrows}, options(method, "", option_two_sided, 0, 2, jobs), out,
                        quiet_block);
            ztest_block(input, {0, nrows}, {0, nrows}, options(method, "", option_two_sided, 2, 5, jobs),
                        {got.first_r.data(),
                         got.second_r.data(),
                         got.z_diff.data(),
                         got.p_value.data(),
                         {nullptr, more.data()}},
                        quiet_block);
            for (std::int64_t k = 0; k < pairs; ++k) counts[k] += more[k];
            got.permutation_p = as_p_values(counts, 4);
            got.console = want.console;
            CHECK(got == want);
        }
        // Listed pairs over passes [0, 3) and [3, 5), against the public indexed z-test.
        const ztest_run listed_want = run_ztest(data, nrows, ncols, rows, groups, method, 1, kernel::fast);
        for (std::int32_t jobs : job_counts) {
            ztest_run got(90);
            std::vector<std::int32_t> counts(90), more(90);
            const ztest_block_outputs out{got.first_r.data(),
                                          got.second_r.data(),
                                          got.z_diff.data(),
                                          got.p_value.data(),
                                          {nullptr, counts.data()}};
            pairs_block(input, rows[0].data(), rows[1].data(), 90, options(method, "", option_two_sided, 0, 3, jobs),
                        out, quiet_block);
            pairs_block(input, rows[0].data(), rows[1].data(), 90, options(method, "", option_two_sided, 3, 5, jobs),
                        {got.first_r.data(),
                         got.second_r.data(),
                         got.z_diff.data(),
                         got.p_value.data(),
                         {nullptr, more.data()}},
                        quiet_block);
            for (std::size_t k = 0; k < counts.size(); ++k) counts[k] += more[k];
            got.permutation_p = as_p_values(counts, 4);
            got.console = listed_want.console;
            CHECK(got == listed_want);
        }
        for (const std::string& score : {option_mean, option_median}) {
            std::vector<float> row_observed(nrows), row_p(nrows), set_observed(set_count), set_p(set_count);
            std::ostringstream console;
            score_pipeline_exhaustive(call_of(data, nrows, ncols, groups, method, option_less, score, 1, console),
                                      row_observed.data(), row_p.data(), kernel::fast);
            score_pipeline_indexed(call_of(data, nrows, ncols, groups, method, option_less, score, 1, console),
                                   rows[0].data(), rows[1].data(), 90, sets, set_observed.data(), set_p.data(),
                                   kernel::fast);
            for (std::int32_t jobs : job_counts) {
                std::vector<float> o1(nrows), o2(set_count);
                std::vector<std::int32_t> c1(nrows), c2(set_count);
                row_score_block(input, {0, nrows}, options(method, score, option_less, 0, 5, jobs), o1.data(),
                                {nullptr, c1.data()}, quiet_block);
                set_block(input, rows[0].data(), rows[1].data(), 90, sets,
                          options(method, score, option_less, 0, 5, jobs), o2.data(), {nullptr, c2.data()},
                          quiet_block);
                CHECK(same_bits(o1, row_observed) && same_bits(as_p_values(c1, 4), row_p));
                CHECK(same_bits(o2, set_observed) && same_bits(as_p_values(c2, 4), set_p));
            }
        }
    }
}

}  // namespace

int main() {
    // The first use of the vector atanhf runs its check; several threads may get there at
    // once, which is the race this start provokes.
    {
        std::vector<std::thread> first_users;
        std::vector<char> answers(4);
        for (std::size_t t = 0; t < answers.size(); ++t)
            first_users.emplace_back([&answers, t] { answers[t] = vector_atanh_verified() ? 1 : 0; });
        for (std::thread& t : first_users) t.join();
        for (char a : answers) CHECK(a == answers[0]);
    }
    const std::int32_t nrows = 24, ncols = 16;  // groups of 7 + 7: no more than the columns
    const std::vector<float> data = test_matrix(nrows, ncols);
    check_fan_out();
    check_set_scores(data);
    check_ranks(data, nrows, ncols);
    check_pipelines(data, nrows, ncols);
    check_blocks(data, nrows, ncols);
    TEST_MAIN_END();
}
