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
                      std::int32_t row_count, const column_groups& groups, std::int32_t jobs, bool fast,
                      bool average_ties) {
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
                if (average_ties)
                    average_rank_row_slice(source, out, ncols, 0, end - k, columns, count, keys, order);
                else if (fast)
                    rank_row_slice_fast(source, out, ncols, 0, end - k, columns, count, keys, order);
                else
                    rank_row_slice(source, out, ncols, 0, end - k, columns, count, order);
            }
            k = end;
        }
    });
}

}  // namespace

void run_passes(const pass_input& input, const pass_loop& loop, float* observed, const exceedance_count& counting,
                const pass_scorer& scorer, const run_environment& env) {
    const float* data = input.data;
    const std::int32_t ncols = input.ncols;
    const auto row_count = static_cast<std::size_t>(loop.row_count);
    std::vector<float> rank_buffer(loop.by_rank ? row_count * static_cast<std::size_t>(ncols) : 0);
    // Where the scorers find each row: fixed for the call, only the values change.
    // (At least one entry: rows[0] is the start of the source, also when there are no rows.)
    std::vector<const float*> rows(std::max<std::size_t>(row_count, 1), loop.by_rank ? rank_buffer.data() : data);
    for (std::size_t k = 0; k < row_count; ++k)
        rows[k] =
            loop.by_rank
                ? rank_buffer.data() + k * static_cast<std::size_t>(ncols)
                : data + static_cast<std::int64_t>(loop.rows ? loop.rows[k] : static_cast<std::int32_t>(k)) * ncols;
    // A scorer that counts needs no array for a permutation pass's values.
    std::vector<float> pass_values(loop.scorer_counts ? 0 : static_cast<std::size_t>(loop.items));
    std::vector<std::int32_t> column_order(static_cast<std::size_t>(ncols));
    for (std::int32_t c = 0; c < ncols; ++c) column_order[static_cast<std::size_t>(c)] = c;
    std::vector<std::int32_t> first(static_cast<std::size_t>(input.groups.first_count));
    std::vector<std::int32_t> second(static_cast<std::size_t>(input.groups.second_count));
    std::mt19937 generator(permutation_seed);
    std::int32_t done = 0;

    // Pass 0 scores the caller's groups; pass r >= 1 the groups of the r-th shuffle.
    const auto run_pass = [&](std::int32_t pass) {
        env.check_interrupt();
        column_groups groups = input.groups;
        if (pass > 0) {
            shuffle_columns(column_order, generator);
            std::copy_n(column_order.begin(), first.size(), first.begin());
            std::copy_n(column_order.begin() + static_cast<std::ptrdiff_t>(first.size()), second.size(),
                        second.begin());
            groups.first = first.data();
            groups.second = second.data();
        }
        if (loop.by_rank)
            rank_listed_rows(data, rank_buffer.data(), ncols, loop.rows, loop.row_count, groups, loop.jobs,
                             loop.ranks == kernel::fast, loop.average_ties);
        if (pass == 0) {
            scorer(rows.data(), groups, observed, nullptr);
            counting.clear(loop.items);
        } else if (loop.scorer_counts) {
            scorer(rows.data(), groups, nullptr, &counting);
        } else {
            scorer(rows.data(), groups, pass_values.data(), nullptr);
            counting.add(pass_values.data(), 0, loop.items);
        }
        // The observed pass is computed by every run but reported only as part of the range.
        if (pass >= loop.first_pass && pass < loop.last_pass) env.progress(++done);
    };
    run_pass(0);
    const std::int32_t first_pass = std::max(loop.first_pass, 1);
    for (std::int32_t pass = 1; pass < first_pass && pass < loop.last_pass; ++pass)
        shuffle_columns(column_order, generator);
    for (std::int32_t pass = first_pass; pass < loop.last_pass; ++pass) run_pass(pass);
}

void run_on_console(const console_environment& console, std::int32_t permutations, float* counts, std::int64_t items,
                    const std::function<void(const run_environment& env)>& run) {
    console.out << "Permutation progress: ";
    progressbar bar(permutations + 1, console.out);
    run({console.check_interrupt, [&bar](std::int32_t) { bar.update(); }});
    console.out << "\n";
    console.out.flush();
    if (permutations > 0) {
        const auto passes = static_cast<float>(permutations);
        for (std::int64_t i = 0; i < items; ++i) counts[i] /= passes;
    }
}

void run_permutation_passes(const pass_input& input, bool by_rank, const std::string& alternative,
                            std::int32_t permutations, std::int32_t jobs, std::int64_t items, float* observed,
                            float* exceed_counts, const pass_scorer& scorer, const console_environment& console) {
    const pass_loop loop{nullptr, input.nrows, 0, permutations + 1, items, by_rank, kernel::straightforward,
                         false,   jobs};
    const exceedance_count counting{tail_of(alternative), observed, exceed_counts, nullptr};
    run_on_console(console, permutations, exceed_counts, items,
                   [&](const run_environment& env) { run_passes(input, loop, observed, counting, scorer, env); });
}

}  // namespace corrshift
