#include "pipelines/drivers/permutation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

#include "common/options.hpp"
#include "common/progressbar.hpp"
#include "pipelines/kernels/fast_rank.hpp"
#include "pipelines/kernels/rank.hpp"

namespace corrshift {

std::uint32_t draw_below(std::mt19937& generator, std::uint64_t m) {
    constexpr std::uint64_t top = 0xFFFFFFFFull;
    for (;;) {
        const std::uint64_t x = generator();
        if (x / m < top / m || top % m == m - 1) return static_cast<std::uint32_t>(x % m);
    }
}

void shuffle_columns(std::vector<std::int32_t>& order, std::mt19937& generator) {
    const std::size_t n = order.size();
    for (std::size_t t = 1; t < n; ++t) {
        const std::size_t j = draw_below(generator, t + 1);
        if (j != t) std::swap(order[t], order[j]);
    }
}

namespace {

// Ranks the listed rows of `data` over the columns of both groups into `ranks`, row k of
// the list at row k of `ranks`, on `jobs` threads; runs of consecutive rows are ranked
// as one slice.
void rank_listed_rows(const float* data, float* ranks, std::int64_t ncols, const std::int32_t* rows,
                      std::int32_t row_count, const column_groups& groups, std::int32_t jobs, bool fast) {
    if (row_count == 0) return;
    fan_out(row_count, jobs, [=](std::int64_t first, std::int64_t last) {
        std::vector<std::int32_t> keys, order;
        for (std::int64_t k = first; k < last;) {
            std::int64_t end = k + 1;
            if (rows)
                while (end < last && rows[end] == rows[end - 1] + 1) ++end;
            else
                end = last;
            const float* source = data + (rows ? rows[k] : k) * ncols;
            float* out = ranks + k * ncols;
            for (int g = 0; g < 2; ++g) {
                const std::int32_t* columns = g == 0 ? groups.first : groups.second;
                const std::int32_t count = g == 0 ? groups.first_count : groups.second_count;
                if (fast)
                    rank_row_slice_fast(source, out, ncols, 0, end - k, columns, count, keys, order);
                else
                    rank_row_slice(source, out, ncols, 0, end - k, columns, count, order);
            }
            k = end;
        }
    });
}

}  // namespace

void run_passes(const float* data, std::int32_t ncols, const pass_plan& plan, const column_groups& caller_groups,
                const std::string& method, std::int32_t jobs, std::int64_t item_count, float* observed,
                const exceedance_count& counting, const pass_scorer& scorer, const pass_hooks& hooks,
                bool fast_ranks, bool scorer_counts) {
    const bool by_rank = method == option_spearman;
    const auto row_count = static_cast<std::size_t>(plan.row_count);
    std::vector<float> rank_buffer(by_rank ? row_count * static_cast<std::size_t>(ncols) : 0);
    // Where the scorers find each row: fixed for the call, only the values change.
    // (At least one entry: rows[0] is the start of the source, also when there are no rows.)
    std::vector<const float*> rows(std::max<std::size_t>(row_count, 1), by_rank ? rank_buffer.data() : data);
    for (std::size_t k = 0; k < row_count; ++k)
        rows[k] = by_rank ? rank_buffer.data() + k * static_cast<std::size_t>(ncols)
                          : data + static_cast<std::int64_t>(plan.rows ? plan.rows[k] : static_cast<std::int32_t>(k)) * ncols;
    // A scorer that counts needs no array for a permutation pass's values.
    std::vector<float> pass_values(scorer_counts ? 0 : static_cast<std::size_t>(item_count));
    std::vector<std::int32_t> column_order(static_cast<std::size_t>(ncols));
    for (std::int32_t c = 0; c < ncols; ++c) column_order[static_cast<std::size_t>(c)] = c;
    std::vector<std::int32_t> first(static_cast<std::size_t>(caller_groups.first_count));
    std::vector<std::int32_t> second(static_cast<std::size_t>(caller_groups.second_count));
    std::mt19937 generator(permutation_seed);

    // Pass 0 scores the caller's groups; pass r >= 1 the groups of the r-th shuffle.
    const auto run_pass = [&](std::int32_t pass) {
        hooks.before();
        column_groups groups = caller_groups;
        if (pass > 0) {
            shuffle_columns(column_order, generator);
            std::copy_n(column_order.begin(), first.size(), first.begin());
            std::copy_n(column_order.begin() + static_cast<std::ptrdiff_t>(first.size()), second.size(),
                        second.begin());
            groups.first = first.data();
            groups.second = second.data();
        }
        if (by_rank)
            rank_listed_rows(data, rank_buffer.data(), ncols, plan.rows, plan.row_count, groups, jobs, fast_ranks);
        if (pass == 0) {
            scorer(rows.data(), groups, observed, nullptr);
            counting.clear(item_count);
        } else if (scorer_counts) {
            scorer(rows.data(), groups, nullptr, &counting);
        } else {
            scorer(rows.data(), groups, pass_values.data(), nullptr);
            counting.add(pass_values.data(), 0, item_count);
        }
        hooks.after(pass);
    };
    run_pass(0);
    const std::int32_t first_pass = std::max(plan.first_pass, 1);
    for (std::int32_t pass = 1; pass < first_pass && pass < plan.last_pass; ++pass)
        shuffle_columns(column_order, generator);
    for (std::int32_t pass = first_pass; pass < plan.last_pass; ++pass) run_pass(pass);
}

void run_permutation_passes(const float* data, std::int32_t nrows, std::int32_t ncols,
                            const column_groups& caller_groups, const std::string& method,
                            const std::string& alternative, std::int32_t permutations, std::int32_t jobs,
                            std::int64_t item_count, float* observed, float* exceed_counts,
                            const pass_scorer& scorer, const pass_environment& env, bool fast_ranks,
                            bool scorer_counts) {
    env.console << "Permutation progress: ";
    progressbar bar(permutations + 1, env.console);
    const pass_plan plan{nullptr, nrows, 1, permutations + 1};
    const pass_hooks hooks{env.check_interrupt, [&bar](std::int32_t) { bar.update(); }};
    const exceedance_count counting{tail_of(alternative), observed, exceed_counts, nullptr};
    run_passes(data, ncols, plan, caller_groups, method, jobs, item_count, observed, counting, scorer, hooks,
               fast_ranks, scorer_counts);
    env.console << "\n";
    env.console.flush();
    if (permutations > 0) {
        const auto passes = static_cast<float>(permutations);
        for (std::int64_t i = 0; i < item_count; ++i) exceed_counts[i] /= passes;
    }
}

}  // namespace corrshift
