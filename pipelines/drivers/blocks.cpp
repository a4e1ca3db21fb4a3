#include "pipelines/drivers/blocks.hpp"

#include <algorithm>

#include "common/options.hpp"
#include "pipelines/kernels/correlation.hpp"
#include "pipelines/kernels/fast_row_scores.hpp"
#include "pipelines/drivers/ztest.hpp"

namespace corrshift {

namespace {

// Plan rows handed to pair_rows at once.
constexpr std::int64_t chunk_rows = 64;

// Threads for a stage of `items` items: the caller's count, but no idle ones.
std::int32_t stage_jobs(std::int32_t jobs, std::int64_t items) {
    return static_cast<std::int32_t>(std::max<std::int64_t>(1, std::min<std::int64_t>(jobs, items)));
}

// The driver's hooks for a block: reports cover the passes of the range only (the
// observed pass is computed by every call but belongs to the range only when it starts
// at 0 and is not empty).
pass_hooks hooks_of(const block_passes& passes, const block_environment& env, std::int32_t& done) {
    return {env.check_interrupt, [&passes, &env, &done](std::int32_t pass) {
                if (pass >= passes.first && pass < passes.last) env.progress(++done);
            }};
}

pass_plan plan_of(const std::vector<std::int32_t>& rows, const block_passes& passes) {
    return {rows.data(), static_cast<std::int32_t>(rows.size()), passes.first, passes.last};
}

void add_range(std::vector<std::int32_t>& rows, std::int64_t first, std::int64_t last) {
    for (std::int64_t r = first; r < last; ++r) rows.push_back(static_cast<std::int32_t>(r));
}

// The distinct rows of listed pairs in ascending order, and the pair lists renumbered
// into that list: packing only those rows keeps every row's values and moments.
struct listed_rows {
    std::vector<std::int32_t> rows;
    std::vector<std::int32_t> first;
    std::vector<std::int32_t> second;
};

listed_rows listed_rows_of(const std::int32_t* first_rows, const std::int32_t* second_rows,
                           std::int32_t pair_count) {
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

// The z-test passes of a block over `pairs` pairs of the plan rows `rows`, packed with
// `layout`: pairs(paths, g1, g2, begin, end, first_r, second_r, z_diff) computes outputs
// [begin, end) of the observed pass, counted(paths, g1, g2, begin, end, counting) adds
// the exceedances of a permutation pass.
template <class Pairs, class Counted>
void run_ztest_block(const float* data, std::int32_t ncols, const std::vector<std::int32_t>& rows, packing layout,
                     const column_groups& groups, const std::string& method, const std::string& alternative,
                     const block_passes& passes, std::int64_t pairs, const ztest_block_outputs& out,
                     const block_environment& env, const Pairs& compute, const Counted& counted) {
    const auto packed = static_cast<std::int32_t>(rows.size());
    packed_group g1(packed, groups.first_count, layout);
    packed_group g2(packed, groups.second_count, layout);
    const fast_kernel_paths paths = fast_kernel_paths_in_use();
    const float se = fisher_weights_of(groups.first_count, groups.second_count, method).se;
    const std::int32_t jobs = stage_jobs(passes.jobs, pairs);
    const bool permutation_passes = std::max(passes.first, 1) < passes.last;
    std::vector<float> thresholds(permutation_passes ? static_cast<std::size_t>(pairs) : 0);
    const ztest_outputs outputs{out.first_r, out.second_r, out.z_diff, out.p_value, nullptr};

    const pass_scorer scorer = [&](const float* const* source, const column_groups& g, float*,
                                   const exceedance_count* counting) {
        if (pairs == 0) return;
        pack_groups(g1, g2, source, g.first, g.second, packed, passes.jobs);
        fan_out(pairs, jobs, [&](std::int64_t begin, std::int64_t end) {
            fast_ztest_slice(
                begin, end, outputs, se, alternative, thresholds.empty() ? nullptr : thresholds.data(), counting,
                [&](float* first_r, float* second_r, float* z_diff) {
                    compute(paths, g1, g2, begin, end, first_r, second_r, z_diff);
                },
                [&](const exceedance_count& c) { counted(paths, g1, g2, begin, end, c); });
        });
    };
    std::int32_t done = 0;
    const exceedance_count counting{tail_of(alternative), out.z_diff, nullptr, out.counts};
    run_passes(data, ncols, plan_of(rows, passes), groups, method, stage_jobs(passes.jobs, packed), pairs,
               out.z_diff, counting, scorer, hooks_of(passes, env, done), true, true);
}

}  // namespace

void pair_plan::add_row(std::int64_t lo, std::int64_t hi) {
    if (offsets.empty()) offsets.push_back(0);
    if (hi < lo) hi = lo;
    spans.push_back({lo, hi});
    offsets.push_back(offsets.back() + (hi - lo));
}

namespace {

// Calls rows(x0, count, spans, starts) for the chunks of plan rows that hold outputs
// [begin, end) of a plan.
template <class Rows>
void plan_chunks(const pair_plan& plan, std::int64_t begin, std::int64_t end, const Rows& rows_of) {
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

}  // namespace

void plan_pairs(const fast_kernel_paths& paths, const pair_packs& packs, const pair_plan& plan, std::int64_t begin,
                std::int64_t end, float* first_r, float* second_r, float* z_diff) {
    plan_chunks(plan, begin, end, [&](std::int64_t x0, std::int64_t count, const row_span* spans,
                                      const std::int64_t* starts) {
        pair_rows(paths, packs, x0, count, spans, starts, first_r, second_r, z_diff);
    });
}

void plan_pairs(const fast_kernel_paths& paths, const pair_packs& packs, const pair_plan& plan, std::int64_t begin,
                std::int64_t end, const row_sums& sums) {
    plan_chunks(plan, begin, end, [&](std::int64_t x0, std::int64_t count, const row_span* spans,
                                      const std::int64_t* starts) {
        pair_rows(paths, packs, x0, count, spans, starts, sums);
    });
}

void plan_pairs(const fast_kernel_paths& paths, const pair_packs& packs, const pair_plan& plan, std::int64_t begin,
                std::int64_t end, const row_tallies& tallies) {
    plan_chunks(plan, begin, end, [&](std::int64_t x0, std::int64_t count, const row_span* spans,
                                      const std::int64_t* starts) {
        pair_rows(paths, packs, x0, count, spans, starts, tallies);
    });
}

void plan_pairs(const fast_kernel_paths& paths, const pair_packs& packs, const pair_plan& plan, std::int64_t begin,
                std::int64_t end, const exceedance_count& counting) {
    plan_chunks(plan, begin, end, [&](std::int64_t x0, std::int64_t count, const row_span* spans,
                                      const std::int64_t* starts) {
        pair_rows(paths, packs, x0, count, spans, starts, counting);
    });
}

std::int64_t ztest_block_pair_count(row_range a, row_range b) noexcept {
    std::int64_t pairs = 0;
    for (std::int64_t i = a.first; i < a.last; ++i) pairs += std::max<std::int64_t>(0, b.last - std::max(b.first, i + 1));
    return pairs;
}

void ztest_block(const float* data, std::int32_t ncols, row_range a, row_range b, const column_groups& groups,
                 const std::string& method, const std::string& alternative, const block_passes& passes,
                 const ztest_block_outputs& out, const block_environment& env) {
    // The rows j any row of a pairs with, and the rows to pack: a and those rows, as one
    // range when they meet, else a followed by them.
    const std::int64_t y_first = std::max(b.first, a.first + 1);
    const std::int64_t y_last = b.last;
    const std::int64_t pairs = ztest_block_pair_count(a, b);
    std::vector<std::int32_t> rows;
    std::int64_t y_index = 0;  // pack index of data row y_first
    if (pairs > 0) {
        add_range(rows, a.first, a.last);
        if (y_first <= a.last) {
            add_range(rows, a.last, std::max(a.last, y_last));
            y_index = y_first - a.first;
        } else {
            y_index = static_cast<std::int64_t>(rows.size());
            add_range(rows, y_first, y_last);
        }
    }
    pair_plan plan;
    for (std::int64_t i = a.first; i < a.last && pairs > 0; ++i)
        plan.add_row(std::max(y_first, i + 1) - y_first + y_index, y_last - y_first + y_index);

    run_ztest_block(data, ncols, rows, packing::by_column, groups, method, alternative, passes, pairs, out, env,
                    [&plan](const fast_kernel_paths& paths, const packed_group& g1, const packed_group& g2,
                            std::int64_t begin, std::int64_t end, float* first_r, float* second_r, float* z_diff) {
                        plan_pairs(paths, {g1, g2, g1, g2}, plan, begin, end, first_r, second_r, z_diff);
                    },
                    [&plan](const fast_kernel_paths& paths, const packed_group& g1, const packed_group& g2,
                            std::int64_t begin, std::int64_t end, const exceedance_count& counting) {
                        plan_pairs(paths, {g1, g2, g1, g2}, plan, begin, end, counting);
                    });
}

void pairs_block(const float* data, std::int32_t ncols, const std::int32_t* first_rows,
                 const std::int32_t* second_rows, std::int32_t pair_count, const column_groups& groups,
                 const std::string& method, const std::string& alternative, const block_passes& passes,
                 const ztest_block_outputs& out, const block_environment& env) {
    const std::int64_t pairs = pair_count;
    const listed_rows listed = pairs > 0 ? listed_rows_of(first_rows, second_rows, pair_count) : listed_rows{};
    run_ztest_block(data, ncols, listed.rows, packing::by_row, groups, method, alternative, passes, pairs, out, env,
                    [&listed](const fast_kernel_paths& paths, const packed_group& g1, const packed_group& g2,
                              std::int64_t begin, std::int64_t end, float* first_r, float* second_r, float* z_diff) {
                        listed_pairs(paths, g1, g2, listed.first.data(), listed.second.data(), begin, end, first_r,
                                     second_r, z_diff);
                    },
                    [&listed](const fast_kernel_paths& paths, const packed_group& g1, const packed_group& g2,
                              std::int64_t begin, std::int64_t end, const exceedance_count& counting) {
                        listed_pairs(paths, g1, g2, listed.first.data(), listed.second.data(), begin, end,
                                     counting);
                    });
}

void row_score_block(const float* data, std::int32_t nrows, std::int32_t ncols, row_range rows,
                     const column_groups& groups, const std::string& method, const std::string& score,
                     const std::string& alternative, const block_passes& passes, float* observed,
                     std::int32_t* counts, const block_environment& env) {
    // Every pair of a row of the range is computed once, also when both rows are in it:
    // pair (i, j), i < j, is stored in row i's run of outputs, so the x rows are all rows
    // below the range's end: those below the range pair with the range, the range's own
    // rows with every row above them.
    const std::int64_t scored = rows.last - rows.first;
    std::vector<std::int32_t> all_rows;
    pair_plan plan;
    if (scored > 0) {
        add_range(all_rows, 0, nrows);
        for (std::int64_t i = 0; i < rows.last; ++i)
            plan.add_row(i < rows.first ? rows.first : i + 1, i < rows.first ? rows.last : nrows);
    }
    const std::int64_t pairs = plan.pair_count();
    std::vector<std::int64_t> bases(plan.spans.size());
    for (std::size_t i = 0; i < bases.size(); ++i) bases[i] = plan.offsets[i] - plan.spans[i].lo;
    std::vector<float> z_diff(static_cast<std::size_t>(pairs));

    const auto packed = static_cast<std::int32_t>(all_rows.size());
    packed_group g1(packed, groups.first_count, packing::by_column);
    packed_group g2(packed, groups.second_count, packing::by_column);
    const pair_packs packs{g1, g2, g1, g2};
    const fast_kernel_paths paths = fast_kernel_paths_in_use();
    const bool use_mean = score == option_mean;
    const bool absolute = alternative == option_two_sided;
    const std::int32_t pair_jobs = stage_jobs(passes.jobs, pairs);
    const std::int32_t row_jobs = stage_jobs(passes.jobs, scored);
    // Permutation passes decide medians from tallies and means from estimated sums, as
    // the public call does.
    const bool permutation_passes = std::max(passes.first, 1) < passes.last && scored > 0;
    const bool tally = !use_mean && permutation_passes;
    const bool sum = use_mean && permutation_passes;
    median_tallies tallies(tally ? nrows : 0, nrows - 1, tail_of(alternative));
    mean_sums sums(sum ? nrows : 0, nrows, tail_of(alternative));
    std::vector<float> pass_scores(static_cast<std::size_t>(scored));

    const pass_scorer scorer = [&](const float* const* source, const column_groups& g, float* out,
                                   const exceedance_count* counting) {
        if (scored <= 0) return;
        pack_groups(g1, g2, source, g.first, g.second, packed, passes.jobs);
        if (counting && tally) {
            tallies.pass(pairs, pair_jobs, [&](std::int64_t begin, std::int64_t end, const row_tallies& t) {
                plan_pairs(paths, packs, plan, begin, end, t);
            }, *counting);
            return;
        }
        if (counting && sum) {
            sums.pass(
                pairs, pair_jobs,
                [&](std::int64_t begin, std::int64_t end, const row_sums& t) {
                    plan_pairs(paths, packs, plan, begin, end, t);
                },
                [&](const std::int64_t* open, std::int64_t count, float* z) {
                    exact_rows(paths, g1, g2, source, g.first, g.second, open, count, nrows, z);
                },
                *counting);
            return;
        }
        if (pairs > 0)
            fan_out(pairs, pair_jobs, [&](std::int64_t begin, std::int64_t end) {
                plan_pairs(paths, packs, plan, begin, end, nullptr, nullptr, z_diff.data());
            });
        float* scores = counting ? pass_scores.data() : out;
        fan_out(scored, row_jobs, [&](std::int64_t first, std::int64_t last) {
            layout_score_rows(z_diff.data(), bases.data(), nrows, rows.first + first, rows.first + last, use_mean,
                              absolute, scores + first);
        });
        if (counting)
            counting->add(scores, 0, scored);
        else if (tally)
            tallies.set_observed(out, rows.first, scored);
        else if (sum)
            sums.set_observed(out, rows.first, scored);
    };
    std::int32_t done = 0;
    const exceedance_count counting{tail_of(alternative), observed, nullptr, counts};
    run_passes(data, ncols, plan_of(all_rows, passes), groups, method, stage_jobs(passes.jobs, packed), scored,
               observed, counting, scorer, hooks_of(passes, env, done), true, true);
}

void set_block(const float* data, std::int32_t ncols, const std::int32_t* first_rows,
               const std::int32_t* second_rows, std::int32_t pair_count, const pair_sets& sets,
               const column_groups& groups, const std::string& method, const std::string& score,
               const std::string& alternative, const block_passes& passes, float* observed, std::int32_t* counts,
               const block_environment& env) {
    const auto set_count = static_cast<std::int64_t>(sets.labels.size());
    const listed_rows listed = set_count > 0 ? listed_rows_of(first_rows, second_rows, pair_count) : listed_rows{};
    const std::vector<std::int32_t>& rows = listed.rows;
    std::vector<float> z_diff(set_count > 0 ? static_cast<std::size_t>(pair_count) : 0);

    const auto packed = static_cast<std::int32_t>(rows.size());
    packed_group g1(packed, groups.first_count, packing::by_row);
    packed_group g2(packed, groups.second_count, packing::by_row);
    const bool use_mean = score == option_mean;
    const bool absolute = alternative == option_two_sided;
    const std::int32_t jobs = stage_jobs(passes.jobs, set_count);

    const pass_scorer scorer = [&](const float* const* source, const column_groups& g, float* out,
                                   const exceedance_count*) {
        if (set_count == 0) return;
        pack_groups(g1, g2, source, g.first, g.second, packed, passes.jobs);
        fan_out(set_count, jobs, [&](std::int64_t first, std::int64_t last) {
            score_sets(g1, g2, listed.first.data(), listed.second.data(), sets, first, last, use_mean, absolute,
                       z_diff.data(), out);
        });
    };
    std::int32_t done = 0;
    const exceedance_count counting{tail_of(alternative), observed, nullptr, counts};
    run_passes(data, ncols, plan_of(rows, passes), groups, method, stage_jobs(passes.jobs, packed), set_count,
               observed, counting, scorer, hooks_of(passes, env, done), true, false);
}

}  // namespace corrshift
