#include "pipelines/drivers/blocks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/options.hpp"
#include "pipelines/drivers/row_decisions.hpp"
#include "pipelines/kernels/complement.hpp"
#include "pipelines/kernels/correlation.hpp"
#include "pipelines/kernels/fast_row_scores.hpp"

namespace corrshift {

namespace {

// Plan rows handed to pair_rows at once.
constexpr std::int64_t chunk_rows = 64;

// Threads for a stage of `items` items: the caller's count, without idle ones unless
// the options ask for all of them.
std::int32_t stage_jobs(const block_options& options, std::int64_t items) {
    if (options.all_jobs) return options.jobs;
    return static_cast<std::int32_t>(std::max<std::int64_t>(1, std::min<std::int64_t>(options.jobs, items)));
}

// The pass loop of a block over the data rows `rows` (ascending) and `items` items.
pass_loop loop_of(const std::vector<std::int32_t>& rows, const block_options& options, std::int64_t items,
                  bool scorer_counts) {
    const auto packed = static_cast<std::int32_t>(rows.size());
    return {
        rows.data(),     packed,       options.first_pass, options.last_pass,           items,
        options.by_rank, kernel::fast, scorer_counts,      stage_jobs(options, packed), options.api && options.by_rank};
}

// Packs both groups of a pass, standardised within each group for the API's statistics
// (then unit1 and unit2, where given, receive the rows' double unit vectors).
void pack_pass(const block_options& options, packed_group& g1, packed_group& g2, const float* const* source,
               const column_groups& g, std::int64_t packed, double* unit1 = nullptr, double* unit2 = nullptr) {
    if (options.api)
        pack_groups_standardised(g1, g2, source, g.first, g.second, packed, options.jobs, unit1, unit2);
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

// The distinct rows of listed pairs in ascending order, and the pair lists renumbered
// into that list: packing only those rows keeps every row's values and moments.
struct listed_rows {
    std::vector<std::int32_t> rows;
    std::vector<std::int32_t> first;
    std::vector<std::int32_t> second;
};

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

// One z-test worker's slice [begin, end) of pairs in one pass. In the observed pass
// (`counting` null) compute(values) writes the slice's values, followed by their normal
// p-values and the decision thresholds of the permutation passes; in a permutation pass
// counted(c) adds the slice's exceedances to c, which is `counting` with those thresholds.
template <class Compute, class Counted>
void ztest_slice(std::int64_t begin, std::int64_t end, const ztest_block_outputs& out, float se, tail alternative,
                 float* thresholds, const exceedance_count* counting, const Compute& compute, const Counted& counted) {
    if (counting) {
        exceedance_count c = *counting;
        c.thresholds = thresholds;
        counted(c);
        return;
    }
    compute(pair_values{out.first_r, out.second_r, out.z_diff});
    for (std::int64_t k = begin; k < end; ++k) {
        out.p_value[k] = normal_p_value(out.z_diff[k], se, alternative);
        if (thresholds) thresholds[k] = decision_threshold(alternative, out.z_diff[k]);
    }
}

// Calls flush(firsts, runs) for the runs of the outputs [begin, end) in groups of up to
// four, which share the partner rows' loads in panel_correlations: each_run(begin, end,
// f) calls f(k, i, j, n) for the outputs k .. k + n - 1, the pairs of pack row i with the
// rows j .. j + n - 1; firsts[t] is the first output of runs[t], whose `out` flush sets.
template <class EachRun, class Flush>
void grouped_runs(std::int64_t begin, std::int64_t end, const EachRun& each_run, const Flush& flush) {
    constexpr std::size_t group = 4;
    std::vector<std::int64_t> firsts;
    std::vector<unit_run> runs;
    each_run(begin, end, [&](std::int64_t k0, std::int64_t i, std::int64_t j0, std::int64_t n) {
        firsts.push_back(k0);
        runs.push_back({i, j0, n, nullptr});
        if (runs.size() < group) return;
        flush(firsts, runs);
        firsts.clear();
        runs.clear();
    });
    if (!runs.empty()) flush(firsts, runs);
}

// Points the runs' outputs at consecutive places of `values`, resized to hold them all.
void place_runs(std::vector<unit_run>& runs, std::vector<double>& values) {
    std::int64_t total = 0;
    for (const unit_run& r : runs) total += r.n;
    values.resize(static_cast<std::size_t>(total));
    std::int64_t at = 0;
    for (unit_run& r : runs) r.out = values.data() + at, at += r.n;
}

// The API's observed pass over the pairs [begin, end) (each_run as for grouped_runs);
// unit1 and unit2 hold the rows' unit vectors over the two groups.
template <class EachRun>
void exact_ztest_slice(std::int64_t begin, std::int64_t end, const ztest_block_outputs& out, const unit_vectors& unit1,
                       const unit_vectors& unit2, double se, tail alternative, float* thresholds, bool avx2,
                       const EachRun& each_run) {
    std::vector<double> r1, r2;
    std::vector<unit_run> runs2;
    grouped_runs(begin, end, each_run, [&](const std::vector<std::int64_t>& firsts, std::vector<unit_run>& runs1) {
        runs2 = runs1;
        place_runs(runs1, r1);
        place_runs(runs2, r2);
        const auto size = static_cast<std::int32_t>(runs1.size());
        panel_correlations(unit1, runs1.data(), size, avx2);
        panel_correlations(unit2, runs2.data(), size, avx2);
        for (std::size_t t = 0; t < runs1.size(); ++t) {
            const double* x1 = runs1[t].out;
            const double* x2 = runs2[t].out;
            for (std::int64_t u = 0; u < runs1[t].n; ++u) {
                const std::int64_t k = firsts[t] + u;
                const double d = fisher_z_exact(x1[u], x2[u]);
                out.first_r[k] = static_cast<float>(x1[u]);
                out.second_r[k] = static_cast<float>(x2[u]);
                out.z_diff[k] = static_cast<float>(d);
                out.p_value64[k] = normal_p_value_exact(d / se, alternative);
                if (thresholds) thresholds[k] = decision_threshold(alternative, out.z_diff[k]);
            }
        }
    });
}

// What lets the all-pairs permutation passes of a Pearson z-test sum one group's Sxy
// only (complement_terms): the rows' totals over all columns (which the two groups of
// every permutation pass hold) and every pair's correlation over them, made once in the
// observed pass, and the rows' terms of each pass. Blocks where under a quarter of the
// rows could use it do without (no memory).
class complement_state {
  public:
    complement_state(bool wanted, std::int64_t packed, std::int64_t readable)
        : wanted_(wanted), packed_(packed), readable_(readable) {}

    bool ready() const noexcept { return ready_; }
    const complement_terms& terms() const noexcept { return terms_; }

    // In the observed pass, after its packing (g1 and g2 hold its groups).
    template <class EachRun>
    void prepare(const float* const* source, const column_groups& g, const packed_group& g1, const packed_group& g2,
                 bool standardised, std::int64_t pairs, std::int32_t jobs, const EachRun& each_run) {
        if (!wanted_ || ready_) return;
        const std::int32_t m = g.first_count + g.second_count;
        std::vector<std::int32_t> columns(static_cast<std::size_t>(m));
        for (std::int32_t c = 0; c < m; ++c) columns[static_cast<std::size_t>(c)] = c;
        mean_.assign(static_cast<std::size_t>(packed_), 0.0);
        squares_.assign(static_cast<std::size_t>(packed_), 0.0);
        std::vector<double> unit(static_cast<std::size_t>(packed_) * static_cast<std::size_t>(m));
        fan_out(packed_, jobs, [&](std::int64_t first, std::int64_t last) {
            total_moments(source, columns.data(), m, first, last, mean_.data(), squares_.data(),
                          unit.data() + first * m);
        });
        allocate_rows();
        pass(source, g, g1, g2, standardised, jobs);
        const std::int32_t small = std::min(g.first_count, g.second_count);
        std::int64_t usable = 0;
        for (std::int64_t i = 0; i < packed_; ++i) usable += complement_row_holds(terms_, i, small, m - small) ? 1 : 0;
        if (usable * 4 < packed_) {
            wanted_ = false;
            return;
        }
        std::vector<double> panel(unit_panel_size(packed_, m));
        unit_panel_of(unit.data(), packed_, m, panel.data());
        const unit_vectors vectors{unit.data(), panel.data(), m};
        total_r_.resize(static_cast<std::size_t>(pairs));
        fan_out(pairs, jobs, [&](std::int64_t begin, std::int64_t end) {
            std::vector<double> r;
            grouped_runs(
                begin, end, each_run, [&](const std::vector<std::int64_t>& firsts, std::vector<unit_run>& runs) {
                    place_runs(runs, r);
                    panel_correlations(vectors, runs.data(), static_cast<std::int32_t>(runs.size()), true);
                    for (std::size_t t = 0; t < runs.size(); ++t)
                        for (std::int64_t u = 0; u < runs[t].n; ++u)
                            total_r_[static_cast<std::size_t>(firsts[t] + u)] = static_cast<float>(runs[t].out[u]);
                });
        });
        terms_.total_r = total_r_.data();
        ready_ = true;
    }

    // The rows' terms of a pass, after its packing.
    void pass(const float* const* source, const column_groups& g, const packed_group& g1, const packed_group& g2,
              bool standardised, std::int32_t jobs) {
        const bool first = g.first_count <= g.second_count;
        terms_.first_summed = first;
        terms_.pack_error = standardised ? static_cast<float>(4.1 * 0x1p-24) : 0.0f;
        const std::int32_t* summed = first ? g.first : g.second;
        const std::int32_t summed_count = first ? g.first_count : g.second_count;
        const std::int32_t derived_count = first ? g.second_count : g.first_count;
        fan_out(packed_, jobs, [&](std::int64_t begin, std::int64_t end) {
            complement_pass_rows(source, summed, summed_count, derived_count, mean_.data(), squares_.data(),
                                 first ? g1 : g2, first ? g2 : g1, standardised, begin, end, rows_);
        });
        complement_panels(rows_, packed_, panels_.data());
    }

  private:
    void allocate_rows() {
        storage_.assign(static_cast<std::size_t>(5 * readable_), 0.0f);
        float* at = storage_.data();
        rows_ = {at, at + readable_, at + 2 * readable_, at + 3 * readable_, at + 4 * readable_};
        panels_.assign(static_cast<std::size_t>(4 * (readable_ / 16 + 1)), 0.0f);
        terms_ = {
            true,           nullptr, rows_.spread, rows_.inverse, rows_.shift, rows_.summed_error, rows_.derived_error,
            panels_.data(), 0.0f};
    }

    bool wanted_;
    bool ready_ = false;
    std::int64_t packed_;
    std::int64_t readable_;
    std::vector<double> mean_, squares_;
    std::vector<float> total_r_, storage_, panels_;
    complement_rows rows_{};
    complement_terms terms_{};
};

// The z-test passes of a block over `pairs` pairs of the data rows `rows`, packed with
// `layout`: pairs(paths, g1, g2, begin, end, what) runs the pairs [begin, end) with
// `what` the pass's values (pair_values) or its exceedance counts (exceedance_count);
// each_run enumerates them for the API's observed pass (exact_ztest_slice).
template <class Pairs, class EachRun>
void run_ztest_block(const pass_input& input, const std::vector<std::int32_t>& rows, packing layout,
                     const block_options& options, std::int64_t pairs, const ztest_block_outputs& out,
                     const run_environment& env, const Pairs& compute, const EachRun& each_run) {
    const auto packed = static_cast<std::int32_t>(rows.size());
    packed_group g1(packed, input.groups.first_count, layout);
    packed_group g2(packed, input.groups.second_count, layout);
    const fast_kernel_paths paths = fast_kernel_paths_in_use();
    const std::int32_t c1 = input.groups.first_count, c2 = input.groups.second_count;
    const float se = fisher_weights_of(c1, c2, options.by_rank).se;
    const double exact_se = fisher_standard_error(c1, c2, options.by_rank);
    const std::int32_t jobs = stage_jobs(options, pairs);
    std::vector<float> thresholds(has_permutation_passes(options) ? static_cast<std::size_t>(pairs) : 0);
    float* const thresholds_at = thresholds.empty() ? nullptr : thresholds.data();
    // All pairs of a Pearson test whose permutation passes split every column of the data
    // into the two groups: those passes may sum one group only.
    complement_state complement(layout == packing::by_column && !options.by_rank && has_permutation_passes(options) &&
                                    paths.avx2 && pairs > 0 && c1 + c2 == input.ncols,
                                packed, g1.readable_rows());

    const pass_scorer scorer = [&](const float* const* source, const column_groups& g, float*,
                                   const exceedance_count* counting) {
        // With all_jobs the pair stage starts its threads also without pairs, as the public
        // z-tests' unclamped job count asks.
        if (pairs == 0 && !options.all_jobs) return;
        if (options.api && !counting) {
            // The observed pass in double, from the rows' unit vectors, also as panels
            // (freed afterwards).
            std::vector<double> rows1(static_cast<std::size_t>(packed) * static_cast<std::size_t>(c1));
            std::vector<double> rows2(static_cast<std::size_t>(packed) * static_cast<std::size_t>(c2));
            pack_pass(options, g1, g2, source, g, packed, rows1.data(), rows2.data());
            std::vector<double> panel1(unit_panel_size(packed, c1)), panel2(unit_panel_size(packed, c2));
            unit_panel_of(rows1.data(), packed, c1, panel1.data());
            unit_panel_of(rows2.data(), packed, c2, panel2.data());
            const unit_vectors unit1{rows1.data(), panel1.data(), c1}, unit2{rows2.data(), panel2.data(), c2};
            fan_out(pairs, jobs, [&](std::int64_t begin, std::int64_t end) {
                exact_ztest_slice(begin, end, out, unit1, unit2, exact_se, options.alternative, thresholds_at,
                                  paths.avx2, each_run);
            });
            complement.prepare(source, g, g1, g2, true, pairs, jobs, each_run);
            return;
        }
        pack_pass(options, g1, g2, source, g, packed);
        exceedance_count with_terms{};
        if (counting && complement.ready()) {
            complement.pass(source, g, g1, g2, options.api, jobs);
            with_terms = *counting;
            with_terms.complement = &complement.terms();
            counting = &with_terms;
        }
        fan_out(pairs, jobs, [&](std::int64_t begin, std::int64_t end) {
            ztest_slice(
                begin, end, out, se, options.alternative, thresholds_at, counting,
                [&](const pair_values& values) { compute(paths, g1, g2, begin, end, values); },
                [&](const exceedance_count& c) { compute(paths, g1, g2, begin, end, c); });
        });
        if (!counting) complement.prepare(source, g, g1, g2, false, pairs, jobs, each_run);
    };
    run_passes(input, loop_of(rows, options, pairs, true), out.z_diff, counting_of(options, out.z_diff, out.counts),
               scorer, env);
}

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

}  // namespace

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

std::int64_t ztest_block_pair_count(row_range a, row_range b) noexcept {
    std::int64_t pairs = 0;
    for (std::int64_t i = a.first; i < a.last; ++i)
        pairs += std::max<std::int64_t>(0, b.last - std::max(b.first, i + 1));
    return pairs;
}

void ztest_block(const pass_input& input, row_range a, row_range b, const block_options& options,
                 const ztest_block_outputs& out, const run_environment& env) {
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

    run_ztest_block(
        input, rows, packing::by_column, options, pairs, out, env,
        [&plan](const fast_kernel_paths& paths, const packed_group& g1, const packed_group& g2, std::int64_t begin,
                std::int64_t end, const auto& what) { plan_pairs(paths, {g1, g2, g1, g2}, plan, begin, end, what); },
        [&plan](std::int64_t begin, std::int64_t end, const auto& f) {
            plan_chunks(plan, begin, end,
                        [&f](std::int64_t x0, std::int64_t count, const row_span* spans, const std::int64_t* starts) {
                            for (std::int64_t r = 0; r < count; ++r)
                                if (spans[r].hi > spans[r].lo)
                                    f(starts[r] + spans[r].lo, x0 + r, spans[r].lo, spans[r].hi - spans[r].lo);
                        });
        });
}

void pairs_block(const pass_input& input, const std::int32_t* first_rows, const std::int32_t* second_rows,
                 std::int32_t pair_count, const block_options& options, const ztest_block_outputs& out,
                 const run_environment& env) {
    const listed_rows listed = pair_count > 0 ? listed_rows_of(first_rows, second_rows, pair_count) : listed_rows{};
    run_ztest_block(
        input, listed.rows, packing::by_row, options, pair_count, out, env,
        [&listed](const fast_kernel_paths& paths, const packed_group& g1, const packed_group& g2, std::int64_t begin,
                  std::int64_t end, const auto& what) {
            listed_pairs(paths, g1, g2, listed.first.data(), listed.second.data(), begin, end, what);
        },
        [&listed](std::int64_t begin, std::int64_t end, const auto& f) {
            for (std::int64_t k = begin; k < end; ++k)
                f(k, listed.first[static_cast<std::size_t>(k)], listed.second[static_cast<std::size_t>(k)], 1);
        });
}

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

namespace {

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
