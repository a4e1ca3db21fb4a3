// The z-test block drivers: all pairs of a tile of rows (ztest_block) and listed pairs
// (pairs_block), over a range of passes. Both run run_ztest_block: the observed pass's
// values, p-values and decision thresholds, then the permutation passes' exceedance
// counts; all-pairs Pearson blocks whose groups hold every column keep what lets those
// passes sum one group only (complement_state).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "common/options.hpp"
#include "pipelines/drivers/block_steps.hpp"
#include "pipelines/drivers/blocks.hpp"
#include "pipelines/kernels/complement.hpp"
#include "pipelines/kernels/correlation.hpp"

namespace corrshift {

namespace {

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

}  // namespace

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

}  // namespace corrshift
