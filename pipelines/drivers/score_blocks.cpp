// The score block drivers: row scores over each row's pairs with every row
// (row_score_block), set scores over runs of listed pairs (set_block) and module scores
// over members of listed pairs (module_block), over a range of passes. A permutation pass
// decides row medians from tallies and row means from estimated sums
// (row_decisions.hpp); set and module scores are computed from the pass's pair values.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "common/options.hpp"
#include "common/set_scores.hpp"
#include "pipelines/drivers/block_steps.hpp"
#include "pipelines/drivers/blocks.hpp"
#include "pipelines/drivers/row_decisions.hpp"
#include "pipelines/kernels/fast_row_scores.hpp"

namespace corrshift {

namespace {

// One worker's part of a set-score pass: the pairs of the sets [first, last) into z_diff
// (by_row packs), then the sets' scores into out.
void score_sets(const fast_kernel_paths& paths, const packed_group& g1, const packed_group& g2,
                const std::int32_t* first_rows, const std::int32_t* second_rows, const labelled_runs& sets,
                std::int64_t first, std::int64_t last, bool use_mean, bool absolute, float* z_diff, float* out) {
    if (first >= last) return;
    // The pairs from the first pair of the first set to the last pair of the last set.
    listed_pairs(paths, g1, g2, first_rows, second_rows, sets.starts[static_cast<std::size_t>(first)],
                 sets.ends[static_cast<std::size_t>(last - 1)], pair_values{nullptr, nullptr, z_diff});
    score_run_slice(z_diff, sets, first, last, use_mean, absolute, out);
}

// Mean of the defined values among r[at[k]], k in [start, end), in double in member order:
// the -2 of a correlation without variance is left out; NaN when none is defined.
double mean_defined(const float* r, const std::int64_t* at, std::int64_t start, std::int64_t end) noexcept {
    double sum = 0.0;
    std::int64_t count = 0;
    for (std::int64_t k = start; k < end; ++k) {
        const float v = r[at[k]];
        if (v == -2.0f || v != v) continue;  // the undefined marker, or NaN
        sum += static_cast<double>(v);
        ++count;
    }
    return count > 0 ? sum / static_cast<double>(count) : std::numeric_limits<double>::quiet_NaN();
}

// Pair values a pass computes at most this many y rows past a listed partner of the same
// x row, to keep the partners of that row in one run of the tile kernel.
constexpr std::int64_t run_gap = 16;
// Rows of a strip and columns of a tile of the all-pairs tile kernel: a strip of four
// plan rows computes its tiles over the y rows from the least start of their spans to the
// greatest end.
constexpr std::int64_t strip_rows = 4;
constexpr std::int64_t tile_columns = 16;

// Where the distinct pairs of a module block are computed. The pairs of each pack row a
// with its partners b > a form runs of nearby partners; each run is a plan row of the
// all-pairs tile kernel whose x row is a copy of a, and the plan rows are ordered by where
// their runs start, so that a strip's rows have spans that lie together. When that would
// compute too many pairs that no module needs (partners scattered over many rows), the
// pairs are computed one by one as listed pairs instead.
struct module_pairs_plan {
    listed_rows listed;  // the pack: ascending data rows, pairs renumbered into it
    bool tiled = false;
    std::vector<std::int32_t> x_rows;  // pack row of the x row of each plan row
    pair_plan plan;
    std::vector<std::int64_t> at;  // where pair k's values are in a pass's pair values
    std::int64_t values = 0;       // pair values a pass computes
};

module_pairs_plan module_pairs_plan_of(const std::int32_t* first_rows, const std::int32_t* second_rows,
                                       std::int32_t pair_count) {
    module_pairs_plan p;
    p.listed = listed_rows_of(first_rows, second_rows, pair_count);
    const std::vector<std::int32_t>& f = p.listed.first;
    const std::vector<std::int32_t>& s = p.listed.second;
    const auto lo_of = [&](std::int32_t k) {
        return std::min(f[static_cast<std::size_t>(k)], s[static_cast<std::size_t>(k)]);
    };
    const auto hi_of = [&](std::int32_t k) {
        return std::max(f[static_cast<std::size_t>(k)], s[static_cast<std::size_t>(k)]);
    };
    std::vector<std::int32_t> order(static_cast<std::size_t>(pair_count));
    for (std::int32_t k = 0; k < pair_count; ++k) order[static_cast<std::size_t>(k)] = k;
    std::sort(order.begin(), order.end(), [&](std::int32_t x, std::int32_t y) {
        return lo_of(x) != lo_of(y) ? lo_of(x) < lo_of(y) : hi_of(x) < hi_of(y);
    });
    // The runs: x row a, y rows [lo, hi), the pairs order[first .. last).
    struct run {
        std::int32_t a;
        std::int64_t lo, hi;
        std::size_t first, last;
    };
    std::vector<run> runs;
    for (std::size_t first = 0; first < order.size();) {
        const std::int32_t a = lo_of(order[first]);
        const std::int64_t lo = hi_of(order[first]);
        std::size_t last = first + 1;
        std::int64_t hi = lo + 1;
        while (last < order.size() && lo_of(order[last]) == a && hi_of(order[last]) - (hi - 1) <= run_gap)
            hi = hi_of(order[last++]) + 1;
        runs.push_back({a, lo, hi, first, last});
        first = last;
    }
    std::sort(runs.begin(), runs.end(), [](const run& x, const run& y) {
        return x.lo != y.lo ? x.lo < y.lo : (x.hi != y.hi ? x.hi < y.hi : x.a < y.a);
    });
    p.at.resize(static_cast<std::size_t>(pair_count));
    std::int64_t lanes = 0;  // pair values the strips compute
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const run& u = runs[r];
        const std::int64_t offset = p.plan.pair_count();
        p.plan.add_row(u.lo, u.hi);
        p.x_rows.push_back(u.a);
        for (std::size_t t = u.first; t < u.last; ++t)
            p.at[static_cast<std::size_t>(order[t])] = offset + (hi_of(order[t]) - u.lo);
        if (r % strip_rows == 0) {
            std::int64_t lo = u.lo, hi = u.hi;
            for (std::size_t q = r + 1; q < std::min(runs.size(), r + strip_rows); ++q) hi = std::max(hi, runs[q].hi);
            lanes += strip_rows * ((hi - lo + tile_columns - 1) / tile_columns) * tile_columns;
        }
    }
    // Measured on 79 columns: a listed pair costs about 3.5 lanes of the tile kernel, and
    // packing the x row of a plan row in every pass about 60.
    p.tiled = 2 * (lanes + 60 * static_cast<std::int64_t>(runs.size())) <= 7 * static_cast<std::int64_t>(pair_count);
    if (!p.tiled) {
        for (std::int32_t k = 0; k < pair_count; ++k) p.at[static_cast<std::size_t>(k)] = k;
        p.x_rows.clear();
        p.plan = pair_plan{};
    }
    p.values = p.tiled ? p.plan.pair_count() : pair_count;
    return p;
}

// Whether a permutation pass's median of the values at at[begin .. end) (|values| when
// `absolute`) is at least as extreme as the observed median o by `rule`, decided from
// counts against o without selecting: the median is element k = floor(m / 2) of the m
// values in ascending order, NaN last. At least one value is needed.
bool median_exceeds(const float* values, const std::int64_t* at, std::int64_t begin, std::int64_t end, bool absolute,
                    tail rule, float o) noexcept {
    std::int64_t below = 0;  // "less": values <= o; otherwise values < o
    std::int64_t numbers = 0;
    for (std::int64_t t = begin; t < end; ++t) {
        const float v = absolute ? std::fabs(values[at[t]]) : values[at[t]];
        numbers += v == v;
        below += rule == tail::less ? v <= o : v < o;
    }
    const auto k = static_cast<std::int64_t>(static_cast<float>(end - begin) * 0.5f);
    if (rule == tail::less) return below >= k + 1;
    if (rule == tail::none || o != o) return false;
    return below <= k && k < numbers;
}

}  // namespace

void row_score_block(const pass_input& input, row_range rows, const block_options& options, float* observed,
                     const count_array& counts, const run_environment& env) {
    const std::int32_t nrows = input.nrows;
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
    packed_group g1(packed, input.groups.first_count, packing::by_column);
    packed_group g2(packed, input.groups.second_count, packing::by_column);
    const pair_packs packs{g1, g2, g1, g2};
    const fast_kernel_paths paths = fast_kernel_paths_in_use();
    const bool absolute = options.alternative == tail::two_sided;
    const std::int32_t pair_jobs = stage_jobs(options, pairs);
    const std::int32_t row_jobs = stage_jobs(options, scored);
    // Permutation passes decide medians from tallies and means from estimated sums.
    const bool permutation_passes = has_permutation_passes(options) && scored > 0;
    const bool tally = !options.use_mean && permutation_passes;
    const bool sum = options.use_mean && permutation_passes;
    median_tallies tallies(tally ? nrows : 0, nrows - 1, options.alternative);
    mean_sums sums(sum ? nrows : 0, nrows, options.alternative);
    std::vector<float> pass_scores(static_cast<std::size_t>(scored));

    const pass_scorer scorer = [&](const float* const* source, const column_groups& g, float* out,
                                   const exceedance_count* counting) {
        if (scored <= 0) return;
        pack_pass(options, g1, g2, source, g, packed);
        if (counting && tally) {
            tallies.pass(
                pairs, pair_jobs,
                [&](std::int64_t begin, std::int64_t end, const row_tallies& t) {
                    plan_pairs(paths, packs, plan, begin, end, t);
                },
                *counting);
            return;
        }
        if (counting && sum) {
            sums.pass(
                pairs, pair_jobs,
                [&](std::int64_t begin, std::int64_t end, const row_sums& t) {
                    plan_pairs(paths, packs, plan, begin, end, t);
                },
                [&](const std::int64_t* open, std::int64_t count, float* z) {
                    exact_rows(paths, g1, g2, source, g.first, g.second, open, count, nrows, z, options.api);
                },
                *counting);
            return;
        }
        if (pairs > 0)
            fan_out(pairs, pair_jobs, [&](std::int64_t begin, std::int64_t end) {
                plan_pairs(paths, packs, plan, begin, end, pair_values{nullptr, nullptr, z_diff.data()});
            });
        float* scores = counting ? pass_scores.data() : out;
        fan_out(scored, row_jobs, [&](std::int64_t first, std::int64_t last) {
            layout_score_rows(z_diff.data(), bases.data(), nrows, rows.first + first, rows.first + last,
                              options.use_mean, absolute, scores + first);
        });
        if (counting)
            counting->add(scores, 0, scored);
        else if (tally)
            tallies.set_observed(out, rows.first, scored);
        else if (sum)
            sums.set_observed(out, rows.first, scored);
    };
    run_passes(input, loop_of(all_rows, options, scored, true), observed, counting_of(options, observed, counts),
               scorer, env);
}

void set_block(const pass_input& input, const std::int32_t* first_rows, const std::int32_t* second_rows,
               std::int32_t pair_count, const labelled_runs& sets, const block_options& options, float* observed,
               const count_array& counts, const run_environment& env) {
    const auto set_count = static_cast<std::int64_t>(sets.labels.size());
    const listed_rows listed = set_count > 0 ? listed_rows_of(first_rows, second_rows, pair_count) : listed_rows{};
    const std::vector<std::int32_t>& rows = listed.rows;
    std::vector<float> z_diff(set_count > 0 ? static_cast<std::size_t>(pair_count) : 0);

    const auto packed = static_cast<std::int32_t>(rows.size());
    packed_group g1(packed, input.groups.first_count, packing::by_row);
    packed_group g2(packed, input.groups.second_count, packing::by_row);
    const fast_kernel_paths paths = fast_kernel_paths_in_use();
    const bool absolute = options.alternative == tail::two_sided;
    const std::int32_t jobs = stage_jobs(options, set_count);

    const pass_scorer scorer = [&](const float* const* source, const column_groups& g, float* out,
                                   const exceedance_count*) {
        if (set_count == 0) return;
        pack_pass(options, g1, g2, source, g, packed);
        fan_out(set_count, jobs, [&](std::int64_t first, std::int64_t last) {
            score_sets(paths, g1, g2, listed.first.data(), listed.second.data(), sets, first, last, options.use_mean,
                       absolute, z_diff.data(), out);
        });
    };
    run_passes(input, loop_of(rows, options, set_count, false), observed, counting_of(options, observed, counts),
               scorer, env);
}

void module_block(const pass_input& input, const std::int32_t* first_rows, const std::int32_t* second_rows,
                  std::int32_t pair_count, const std::int32_t* starts, const std::int32_t* members,
                  std::int32_t module_count, const block_options& options, const module_block_outputs& out,
                  const run_environment& env) {
    const std::int64_t modules = module_count;
    const std::int64_t pairs = modules > 0 ? pair_count : 0;
    const module_pairs_plan layout =
        pairs > 0 ? module_pairs_plan_of(first_rows, second_rows, pair_count) : module_pairs_plan{};
    const listed_rows& listed = layout.listed;
    // Each member's place in the pass's pair values, as the set-score kernels take them.
    std::vector<std::int64_t> at(members, members + (modules > 0 ? starts[modules] : 0));
    for (std::int64_t& k : at) k = layout.at[static_cast<std::size_t>(k)];
    std::vector<float> first_r(static_cast<std::size_t>(layout.values));
    std::vector<float> second_r(static_cast<std::size_t>(layout.values));
    std::vector<float> z_diff(static_cast<std::size_t>(layout.values));
    std::vector<float> pass_scores(static_cast<std::size_t>(modules));

    const auto packed = static_cast<std::int32_t>(listed.rows.size());
    const auto x_count = static_cast<std::int32_t>(layout.x_rows.size());
    const packing by = layout.tiled ? packing::by_column : packing::by_row;
    packed_group g1(packed, input.groups.first_count, by);
    packed_group g2(packed, input.groups.second_count, by);
    packed_group x1(x_count, input.groups.first_count, packing::by_column);
    packed_group x2(x_count, input.groups.second_count, packing::by_column);
    std::vector<const float*> x_source(static_cast<std::size_t>(x_count));
    const pair_packs packs{x1, x2, g1, g2};
    const fast_kernel_paths paths = fast_kernel_paths_in_use();
    const bool absolute = options.alternative == tail::two_sided;
    const std::int32_t pair_jobs = stage_jobs(options, layout.values);
    const std::int32_t module_jobs = stage_jobs(options, modules);

    const auto compute_pairs = [&](const float* const* source, const column_groups& g, const pair_values& values) {
        pack_pass(options, g1, g2, source, g, packed);
        if (!layout.tiled) {
            fan_out(pairs, pair_jobs, [&](std::int64_t begin, std::int64_t end) {
                listed_pairs(paths, g1, g2, listed.first.data(), listed.second.data(), begin, end, values);
            });
            return;
        }
        for (std::int32_t r = 0; r < x_count; ++r)
            x_source[static_cast<std::size_t>(r)] = source[layout.x_rows[static_cast<std::size_t>(r)]];
        pack_pass(options, x1, x2, x_source.data(), g, x_count);
        fan_out(layout.values, pair_jobs, [&](std::int64_t begin, std::int64_t end) {
            plan_pairs(paths, packs, layout.plan, begin, end, values);
        });
    };

    // The observed pass (counting null) scores the modules into `observed` with their mean
    // correlations; a permutation pass adds each module's exceedance to `counting`.
    const pass_scorer scorer = [&](const float* const* source, const column_groups& g, float* observed,
                                   const exceedance_count* counting) {
        if (modules == 0) return;
        if (pairs > 0)
            compute_pairs(source, g,
                          {counting ? nullptr : first_r.data(), counting ? nullptr : second_r.data(), z_diff.data()});
        const float* z = z_diff.data();
        fan_out(modules, module_jobs, [&](std::int64_t first, std::int64_t last) {
            std::vector<float> scratch;
            for (std::int64_t m = first; m < last; ++m) {
                const std::int64_t begin = starts[m];
                const std::int64_t end = starts[m + 1];
                if (counting && !options.use_mean && begin < end) {
                    if (median_exceeds(z, at.data(), begin, end, absolute, counting->rule, counting->observed[m]))
                        counting->add_one(m);
                    continue;
                }
                const float score = options.use_mean
                                        ? mean_abs_score(z, at.data(), begin, end)
                                        : quantile_score(z, at.data(), begin, end, 0.5f, absolute, scratch);
                if (counting) {
                    pass_scores[static_cast<std::size_t>(m)] = score;
                    counting->add(pass_scores.data(), m, m + 1);
                    continue;
                }
                observed[m] = score;
                out.mean_first_r[m] = static_cast<float>(mean_defined(first_r.data(), at.data(), begin, end));
                out.mean_second_r[m] = static_cast<float>(mean_defined(second_r.data(), at.data(), begin, end));
            }
        });
    };
    run_passes(input, loop_of(listed.rows, options, modules, true), out.observed,
               counting_of(options, out.observed, out.counts), scorer, env);
}

}  // namespace corrshift
