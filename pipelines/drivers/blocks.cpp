// What every block driver shares: the options, the pair plans and their chunks, and the
// steps of block_steps.hpp. The z-test blocks are in ztest_blocks.cpp, the row, set and
// module score blocks in score_blocks.cpp.
#include "pipelines/drivers/blocks.hpp"

#include <algorithm>

#include "common/options.hpp"
#include "pipelines/drivers/block_steps.hpp"

namespace corrshift {

namespace {

// Plan rows handed to pair_rows at once.
constexpr std::int64_t chunk_rows = 64;

}  // namespace

std::int32_t stage_jobs(const block_options& options, std::int64_t items) {
    if (options.all_jobs) return options.jobs;
    return static_cast<std::int32_t>(std::max<std::int64_t>(1, std::min<std::int64_t>(options.jobs, items)));
}

pass_loop loop_of(const std::vector<std::int32_t>& rows, const block_options& options, std::int64_t items,
                  bool scorer_counts) {
    const auto packed = static_cast<std::int32_t>(rows.size());
    return {
        rows.data(),     packed,       options.first_pass, options.last_pass,           items,
        options.by_rank, kernel::fast, scorer_counts,      stage_jobs(options, packed), options.api && options.by_rank};
}

void pack_pass(const block_options& options, packed_group& g1, packed_group& g2, const float* const* source,
               const column_groups& g, std::int64_t packed) {
    if (options.api)
        pack_groups_standardised(g1, g2, source, g.first, g.second, packed, options.jobs, nullptr, nullptr);
    else
        pack_groups(g1, g2, source, g.first, g.second, packed, options.jobs);
}

bool has_permutation_passes(const block_options& options) {
    return std::max(options.first_pass, 1) < options.last_pass;
}

exceedance_count counting_of(const block_options& options, const float* observed, const count_array& counts) {
    return {options.alternative, observed, counts.as_float, counts.as_int};
}

void add_range(std::vector<std::int32_t>& rows, std::int64_t first, std::int64_t last) {
    for (std::int64_t r = first; r < last; ++r) rows.push_back(static_cast<std::int32_t>(r));
}

listed_rows listed_rows_of(const std::int32_t* first_rows, const std::int32_t* second_rows, std::int32_t pair_count) {
    listed_rows listed;
    std::vector<std::int32_t>& rows = listed.rows;
    rows.assign(first_rows, first_rows + pair_count);
    rows.insert(rows.end(), second_rows, second_rows + pair_count);
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    const auto renumber = [&rows](std::int32_t row) {
        return static_cast<std::int32_t>(std::lower_bound(rows.begin(), rows.end(), row) - rows.begin());
    };
    listed.first.resize(static_cast<std::size_t>(pair_count));
    listed.second.resize(static_cast<std::size_t>(pair_count));
    std::transform(first_rows, first_rows + pair_count, listed.first.begin(), renumber);
    std::transform(second_rows, second_rows + pair_count, listed.second.begin(), renumber);
    return listed;
}

block_options block_options_of(const std::string& method, const std::string& alternative, const std::string& score,
                               std::int32_t first_pass, std::int32_t last_pass, std::int32_t jobs) {
    return {method == option_spearman, tail_of(alternative), score == option_mean, first_pass, last_pass, jobs, false};
}

void pair_plan::add_row(std::int64_t lo, std::int64_t hi) {
    if (offsets.empty()) offsets.push_back(0);
    if (hi < lo) hi = lo;
    spans.push_back({lo, hi});
    offsets.push_back(offsets.back() + (hi - lo));
}

void plan_chunks(const pair_plan& plan, std::int64_t begin, std::int64_t end, const plan_chunk& rows_of) {
    if (begin >= end) return;
    const auto rows = static_cast<std::int64_t>(plan.spans.size());
    const std::int64_t* offsets = plan.offsets.data();
    // The row holding output `begin`: the last row starting at or before it.
    std::int64_t r = std::upper_bound(offsets, offsets + rows + 1, begin) - offsets - 1;
    row_span spans[chunk_rows];
    std::int64_t starts[chunk_rows];
    while (r < rows && offsets[r] < end) {
        const std::int64_t first_row = r;
        std::int64_t count = 0;
        for (; count < chunk_rows && r < rows && offsets[r] < end; ++count, ++r) {
            const row_span s = plan.spans[static_cast<std::size_t>(r)];
            spans[count].lo = s.lo + (std::max(begin, offsets[r]) - offsets[r]);
            spans[count].hi = s.lo + (std::min(end, offsets[r + 1]) - offsets[r]);
            starts[count] = offsets[r] - s.lo;
        }
        rows_of(plan.x0 + first_row, count, spans, starts);
    }
}

}  // namespace corrshift
