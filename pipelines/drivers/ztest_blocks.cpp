// The z-test block drivers: all pairs of a tile of rows (ztest_block) and listed pairs
// (pairs_block), over a range of passes. Both run run_ztest_block: the observed pass's
// values, p-values and decision thresholds, then the permutation passes' exceedance
// counts; all-pairs Pearson blocks whose groups hold every column keep what lets those
// passes sum one group only (complement_state).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "common/options.hpp"
#include "pipelines/drivers/block_steps.hpp"
#include "pipelines/drivers/blocks.hpp"
#include "pipelines/kernels/complement.hpp"
#include "pipelines/kernels/correlation.hpp"
#include "pipelines/kernels/p_limit_decision.hpp"

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
// `group`: each_run(begin, end, f) calls f(k, i, j, n) for the outputs k .. k + n - 1, the
// pairs of pack row i with the rows j .. j + n - 1; firsts[t] is the first output of
// runs[t], whose `out` flush sets.
template <class EachRun, class Flush>
void grouped_runs(std::int64_t begin, std::int64_t end, std::size_t group, const EachRun& each_run,
                  const Flush& flush) {
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

// Runs whose partners blocked_correlations takes block by block at once: every block is
// read from the cache by this many rows.
constexpr std::size_t observed_group = 64;

// The API's observed pass over the pairs [begin, end) (each_run as for grouped_runs):
// both groups' correlations in double from the rows' unit vectors, handed to
// segment(t, k, n, r1, r2) for the outputs k .. k + n - 1 of run t of a group (the runs of
// a group in turn; a run's segments in ascending k), then done() after each group.
template <class EachRun, class Segment, class Done>
void observed_runs(std::int64_t begin, std::int64_t end, const unit_vectors& unit1, const unit_vectors& unit2,
                   bool avx2, const EachRun& each_run, const Segment& segment, const Done& done) {
    std::vector<unit_run> scratch;
    std::vector<double> buffer;
    grouped_runs(begin, end, observed_group, each_run,
                 [&](const std::vector<std::int64_t>& firsts, std::vector<unit_run>& runs) {
                     blocked_correlations(
                         unit1, &unit2, runs.data(), static_cast<std::int32_t>(runs.size()), avx2, scratch, buffer,
                         [&](std::int32_t t, std::int64_t j, std::int64_t n, const double* r1, const double* r2) {
                             const auto u = static_cast<std::size_t>(t);
                             segment(u, firsts[u] + (j - runs[u].j0), n, r1, r2);
                         });
                     done();
                 });
}

// The API's observed pass over the pairs [begin, end) into every output.
template <class EachRun>
void exact_ztest_slice(std::int64_t begin, std::int64_t end, const ztest_block_outputs& out, const unit_vectors& unit1,
                       const unit_vectors& unit2, double se, tail alternative, float* thresholds, bool avx2,
                       const EachRun& each_run) {
    observed_runs(
        begin, end, unit1, unit2, avx2, each_run,
        [&](std::size_t, std::int64_t k0, std::int64_t n, const double* x1, const double* x2) {
            for (std::int64_t u = 0; u < n; ++u) {
                const std::int64_t k = k0 + u;
                const double d = fisher_z_exact(x1[u], x2[u]);
                out.first_r[k] = static_cast<float>(x1[u]);
                out.second_r[k] = static_cast<float>(x2[u]);
                out.z_diff[k] = static_cast<float>(d);
                out.p_value64[k] = normal_p_value_exact(d / se, alternative);
                if (thresholds) thresholds[k] = decision_threshold(alternative, out.z_diff[k]);
            }
        },
        [] {});
}

// A pair the kept observed pass keeps.
struct kept_entry {
    std::int64_t position;
    float first_r, second_r, z_diff;
    double p_value;
};

// What the kept observed pass of one worker finds: its kept pairs and counted p-values.
struct kept_slice {
    std::vector<kept_entry> kept;
    std::vector<double> counted;
    std::int64_t defined = 0;
};

// The API's observed pass over the pairs [begin, end), keeping what `limits` asks for:
// pairs the decision of p_limit_decision.hpp leaves open take the exact path; every
// other pair only adds to the defined p-values.
template <class EachRun>
void kept_ztest_slice(std::int64_t begin, std::int64_t end, const unit_vectors& unit1, const unit_vectors& unit2,
                      double se, tail alternative, const kept_limits& limits, const p_limit_decision& decision,
                      bool avx2, const EachRun& each_run, kept_slice& slice) {
    std::vector<std::int32_t> open;
    // The kept pairs of each run of a group, which come block by block; in position order
    // once the group's runs are joined.
    std::vector<std::vector<kept_entry>> runs(observed_group);
    observed_runs(
        begin, end, unit1, unit2, avx2, each_run,
        [&](std::size_t t, std::int64_t k0, std::int64_t n, const double* x1, const double* x2) {
            open.resize(static_cast<std::size_t>(n));
            const std::int64_t count = p_limit_open(decision, x1, x2, n, open.data(), avx2);
            slice.defined += n - count;
            for (std::int64_t q = 0; q < count; ++q) {
                const std::int64_t u = open[static_cast<std::size_t>(q)];
                const double d = fisher_z_exact(x1[u], x2[u]);
                const double p = normal_p_value_exact(d / se, alternative);
                if (p != p) continue;
                ++slice.defined;
                if (p <= limits.count) slice.counted.push_back(p);
                if (p <= limits.keep)
                    runs[t].push_back(
                        {k0 + u, static_cast<float>(x1[u]), static_cast<float>(x2[u]), static_cast<float>(d), p});
            }
        },
        [&] {
            for (std::vector<kept_entry>& r : runs) {
                slice.kept.insert(slice.kept.end(), r.begin(), r.end());
                r.clear();
            }
        });
}

// Sorts p-values (at least 0, none NaN) in ascending order: their bit patterns sort as
// the values do, so by radix, 11 bits at a time, skipping the digits all values share.
void sort_p_values(std::vector<double>& values) {
    const std::size_t n = values.size();
    if (n < 512) {
        std::sort(values.begin(), values.end());
        return;
    }
    std::vector<std::uint64_t> keys(n), other(n);
    std::memcpy(keys.data(), values.data(), n * sizeof(double));
    constexpr int digit = 11;
    constexpr std::size_t buckets = std::size_t{1} << digit;
    std::vector<std::size_t> start(buckets);
    for (int shift = 0; shift < 64; shift += digit) {
        std::fill(start.begin(), start.end(), 0);
        for (const std::uint64_t k : keys) ++start[(k >> shift) & (buckets - 1)];
        if (start[(keys[0] >> shift) & (buckets - 1)] == n) continue;
        std::size_t at = 0;
        for (std::size_t& s : start) {
            const std::size_t c = s;
            s = at;
            at += c;
        }
        for (const std::uint64_t k : keys) other[start[(k >> shift) & (buckets - 1)]++] = k;
        keys.swap(other);
    }
    std::memcpy(values.data(), keys.data(), n * sizeof(double));
}

// The workers' kept pairs in order of their slices into `out`, with the counted p-values
// as distinct values and their counts.
void gather_kept(std::vector<kept_slice>& slices, kept_pairs& out) {
    out = kept_pairs{};
    std::vector<double> counted;
    for (kept_slice& s : slices) {
        for (const kept_entry& e : s.kept) {
            out.positions.push_back(e.position);
            out.first_r.push_back(e.first_r);
            out.second_r.push_back(e.second_r);
            out.z_diff.push_back(e.z_diff);
            out.p_value.push_back(e.p_value);
        }
        counted.insert(counted.end(), s.counted.begin(), s.counted.end());
        out.defined += s.defined;
        s = kept_slice{};
    }
    sort_p_values(counted);
    for (std::size_t k = 0; k < counted.size(); ++k) {
        if (k == 0 || counted[k] != counted[k - 1]) {
            out.counted.push_back(counted[k]);
            out.counted_pairs.push_back(0);
        }
        ++out.counted_pairs.back();
    }
}

// The unit vectors of pack rows [0, packed) over `count` columns into their panel (and
// the rows' means and sums of squares where given), on `jobs` threads.
void unit_panels(const float* const* source, const std::int32_t* columns, std::int32_t count, std::int64_t packed,
                 std::int32_t jobs, double* panel, double* mean = nullptr, double* squares = nullptr) {
    const std::int64_t blocks = (packed + unit_panel_width - 1) / unit_panel_width;
    const bool avx2 = fast_kernel_paths_in_use().avx2;
    // More threads than this work pays for stay idle.
    const auto useful = static_cast<std::int32_t>(std::max<std::int64_t>(1, packed * count / 32768));
    fan_out(blocks, std::max(1, std::min(jobs, useful)), [&](std::int64_t first, std::int64_t last) {
        unit_panel_blocks(source, columns, count, packed, first, last, panel, mean, squares, avx2);
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
        std::vector<double> panel(unit_panel_size(packed_, m));
        unit_panels(source, columns.data(), m, packed_, jobs, panel.data(), mean_.data(), squares_.data());
        allocate_rows();
        pass(source, g, g1, g2, standardised, jobs);
        const std::int32_t small = std::min(g.first_count, g.second_count);
        std::int64_t usable = 0;
        for (std::int64_t i = 0; i < packed_; ++i) usable += complement_row_holds(terms_, i, small, m - small) ? 1 : 0;
        if (usable * 4 < packed_) {
            wanted_ = false;
            return;
        }
        const unit_vectors vectors{panel.data(), m};
        total_r_.resize(static_cast<std::size_t>(pairs));
        fan_out(pairs, jobs, [&](std::int64_t begin, std::int64_t end) {
            std::vector<unit_run> scratch;
            std::vector<double> buffer;
            grouped_runs(begin, end, observed_group, each_run,
                         [&](const std::vector<std::int64_t>& firsts, std::vector<unit_run>& runs) {
                             blocked_correlations(
                                 vectors, nullptr, runs.data(), static_cast<std::int32_t>(runs.size()), true, scratch,
                                 buffer,
                                 [&](std::int32_t t, std::int64_t j, std::int64_t n, const double* r, const double*) {
                                     const auto u = static_cast<std::size_t>(t);
                                     float* out = total_r_.data() + firsts[u] + (j - runs[u].j0);
                                     for (std::int64_t k = 0; k < n; ++k) out[k] = static_cast<float>(r[k]);
                                 });
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
// With `kept` (the observed pass alone, the API's statistics) it fills *kept.out instead
// of `out`.
struct kept_pass {
    kept_limits limits;
    kept_pairs* out;
};

template <class Pairs, class EachRun>
void run_ztest_block(const pass_input& input, const std::vector<std::int32_t>& rows, packing layout,
                     const block_options& options, std::int64_t pairs, const ztest_block_outputs& out,
                     const run_environment& env, const Pairs& compute, const EachRun& each_run,
                     const kept_pass* kept = nullptr) {
    const auto packed = static_cast<std::int32_t>(rows.size());
    // The API's observed pass alone reads the rows' unit vectors only: no single-precision packs.
    const std::int32_t pack_rows = options.api && !has_permutation_passes(options) ? 0 : packed;
    packed_group g1(pack_rows, input.groups.first_count, layout);
    packed_group g2(pack_rows, input.groups.second_count, layout);
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
            // The observed pass in double, from the rows' unit vectors as panels (freed
            // afterwards; every value is written, so not cleared first). The packs of
            // single precision serve only the permutation passes' one-group terms.
            const std::unique_ptr<double[]> panel1(new double[unit_panel_size(packed, c1)]);
            const std::unique_ptr<double[]> panel2(new double[unit_panel_size(packed, c2)]);
            unit_panels(source, g.first, c1, packed, options.jobs, panel1.get());
            unit_panels(source, g.second, c2, packed, options.jobs, panel2.get());
            if (has_permutation_passes(options)) pack_pass(options, g1, g2, source, g, packed);
            const unit_vectors unit1{panel1.get(), c1}, unit2{panel2.get(), c2};
            if (kept) {
                const p_limit_decision decision =
                    p_limit_decision_of(std::max(kept->limits.keep, kept->limits.count), exact_se, options.alternative);
                std::vector<kept_slice> slices(static_cast<std::size_t>(jobs));
                fan_out(pairs, jobs, [&](std::int64_t begin, std::int64_t end) {
                    kept_ztest_slice(begin, end, unit1, unit2, exact_se, options.alternative, kept->limits, decision,
                                     paths.avx2, each_run,
                                     slices[static_cast<std::size_t>(slice_number(pairs, jobs, begin))]);
                });
                gather_kept(slices, *kept->out);
                return;
            }
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
    pass_loop loop = loop_of(rows, options, pairs, true);
    if (kept) loop.items = 0;  // no per-pair outputs
    run_passes(input, loop, out.z_diff, counting_of(options, out.z_diff, out.counts), scorer, env);
}

}  // namespace

std::int64_t ztest_block_pair_count(row_range a, row_range b) noexcept {
    std::int64_t pairs = 0;
    for (std::int64_t i = a.first; i < a.last; ++i)
        pairs += std::max<std::int64_t>(0, b.last - std::max(b.first, i + 1));
    return pairs;
}

namespace {

// The rows and pairs of an all-pairs block of a and b, and its run (run_ztest_block).
void all_pairs_block(const pass_input& input, row_range a, row_range b, const block_options& options,
                     const ztest_block_outputs& out, const run_environment& env, const kept_pass* kept) {
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
        },
        kept);
}

// The listed pairs in the order the kernels take them: each pair with its lower pack row
// first (a pair's values do not depend on the order of its rows: the same products, sums
// and moments), sorted by that row, then by the other, so that consecutive pairs share the
// loads of their first row and read their partners in ascending order. order[k] is the
// caller's position of pair k; `same` when that is k for every pair.
struct ordered_pairs {
    listed_rows listed;
    std::vector<std::int32_t> order;
    bool same = true;
};

ordered_pairs ordered_pairs_of(const std::int32_t* first_rows, const std::int32_t* second_rows,
                               std::int32_t pair_count) {
    ordered_pairs o;
    if (pair_count <= 0) return o;
    o.listed = listed_rows_of(first_rows, second_rows, pair_count);
    std::vector<std::int32_t>& lo = o.listed.first;
    std::vector<std::int32_t>& hi = o.listed.second;
    for (std::size_t k = 0; k < lo.size(); ++k)
        if (lo[k] > hi[k]) std::swap(lo[k], hi[k]);
    // Counting sorts by the second row, then (stably) by the first.
    const std::size_t n = lo.size(), rows = o.listed.rows.size();
    std::vector<std::int32_t> by_hi(n), start(rows + 1);
    for (const std::int32_t r : hi) ++start[static_cast<std::size_t>(r) + 1];
    for (std::size_t r = 0; r < rows; ++r) start[r + 1] += start[r];
    for (std::size_t k = 0; k < n; ++k) by_hi[static_cast<std::size_t>(start[hi[k]]++)] = static_cast<std::int32_t>(k);
    std::fill(start.begin(), start.end(), 0);
    for (const std::int32_t r : lo) ++start[static_cast<std::size_t>(r) + 1];
    for (std::size_t r = 0; r < rows; ++r) start[r + 1] += start[r];
    o.order.resize(n);
    for (const std::int32_t k : by_hi) o.order[static_cast<std::size_t>(start[lo[k]]++)] = k;
    std::vector<std::int32_t> sorted_lo(n), sorted_hi(n);
    for (std::size_t k = 0; k < n; ++k) {
        const auto at = static_cast<std::size_t>(o.order[k]);
        sorted_lo[k] = lo[at], sorted_hi[k] = hi[at];
        o.same = o.same && o.order[k] == static_cast<std::int32_t>(k);
    }
    lo.swap(sorted_lo);
    hi.swap(sorted_hi);
    return o;
}

// Outputs of the same kinds as `out` for `pairs` pairs in the kernels' order, and their
// move into the caller's order.
class ordered_outputs {
  public:
    ordered_outputs(const ztest_block_outputs& out, std::int64_t pairs) : caller_(out) {
        const auto n = static_cast<std::size_t>(pairs);
        const auto make = [n](auto* wanted, auto& storage) {
            if (wanted) storage.resize(n);
            return wanted ? storage.data() : nullptr;
        };
        out_.first_r = make(out.first_r, first_r_);
        out_.second_r = make(out.second_r, second_r_);
        out_.z_diff = make(out.z_diff, z_diff_);
        out_.p_value = make(out.p_value, p_value_);
        out_.p_value64 = make(out.p_value64, p_value64_);
        out_.counts = {make(out.counts.as_float, float_counts_), make(out.counts.as_int, int_counts_)};
    }
    const ztest_block_outputs& outputs() const noexcept { return out_; }

    void to_caller(const std::vector<std::int32_t>& order) const {
        const auto move = [&order](const auto* from, auto* to) {
            if (!to) return;
            for (std::size_t k = 0; k < order.size(); ++k) to[order[k]] = from[k];
        };
        move(out_.first_r, caller_.first_r);
        move(out_.second_r, caller_.second_r);
        move(out_.z_diff, caller_.z_diff);
        move(out_.p_value, caller_.p_value);
        move(out_.p_value64, caller_.p_value64);
        move(out_.counts.as_float, caller_.counts.as_float);
        move(out_.counts.as_int, caller_.counts.as_int);
    }

  private:
    ztest_block_outputs caller_;
    ztest_block_outputs out_{};
    std::vector<float> first_r_, second_r_, z_diff_, p_value_, float_counts_;
    std::vector<double> p_value64_;
    std::vector<std::int32_t> int_counts_;
};

// The listed pairs' block (run_ztest_block), in the kernels' order (ordered_pairs_of);
// the outputs, and the positions of kept pairs, in the caller's.
void listed_pairs_block(const pass_input& input, const std::int32_t* first_rows, const std::int32_t* second_rows,
                        std::int32_t pair_count, const block_options& options, const ztest_block_outputs& out,
                        const run_environment& env, const kept_pass* kept) {
    const ordered_pairs ordered = ordered_pairs_of(first_rows, second_rows, pair_count);
    const listed_rows& listed = ordered.listed;
    const std::unique_ptr<ordered_outputs> reordered(ordered.same || kept ? nullptr
                                                                          : new ordered_outputs(out, pair_count));
    run_ztest_block(
        input, listed.rows, packing::by_row, options, pair_count, reordered ? reordered->outputs() : out, env,
        [&listed](const fast_kernel_paths& paths, const packed_group& g1, const packed_group& g2, std::int64_t begin,
                  std::int64_t end, const auto& what) {
            listed_pairs(paths, g1, g2, listed.first.data(), listed.second.data(), begin, end, what);
        },
        [&listed](std::int64_t begin, std::int64_t end, const auto& f) {
            for (std::int64_t k = begin; k < end; ++k)
                f(k, listed.first[static_cast<std::size_t>(k)], listed.second[static_cast<std::size_t>(k)], 1);
        },
        kept);
    if (reordered) reordered->to_caller(ordered.order);
    if (kept && !ordered.same) {
        // The kept pairs by the caller's positions.
        kept_pairs& k = *kept->out;
        std::vector<std::size_t> by(k.positions.size());
        for (std::size_t t = 0; t < by.size(); ++t) by[t] = t;
        for (std::int64_t& position : k.positions) position = ordered.order[static_cast<std::size_t>(position)];
        std::sort(by.begin(), by.end(), [&k](std::size_t x, std::size_t y) { return k.positions[x] < k.positions[y]; });
        const auto permute = [&by](auto& values) {
            auto copy = values;
            for (std::size_t t = 0; t < by.size(); ++t) values[t] = copy[by[t]];
        };
        permute(k.positions);
        permute(k.first_r);
        permute(k.second_r);
        permute(k.z_diff);
        permute(k.p_value);
    }
}

}  // namespace

void ztest_block(const pass_input& input, row_range a, row_range b, const block_options& options,
                 const ztest_block_outputs& out, const run_environment& env) {
    all_pairs_block(input, a, b, options, out, env, nullptr);
}

void pairs_block(const pass_input& input, const std::int32_t* first_rows, const std::int32_t* second_rows,
                 std::int32_t pair_count, const block_options& options, const ztest_block_outputs& out,
                 const run_environment& env) {
    listed_pairs_block(input, first_rows, second_rows, pair_count, options, out, env, nullptr);
}

void ztest_block_kept(const pass_input& input, row_range a, row_range b, const block_options& options,
                      const kept_limits& limits, kept_pairs& out, const run_environment& env) {
    const kept_pass kept{limits, &out};
    all_pairs_block(input, a, b, options, ztest_block_outputs{}, env, &kept);
}

void pairs_block_kept(const pass_input& input, const std::int32_t* first_rows, const std::int32_t* second_rows,
                      std::int32_t pair_count, const block_options& options, const kept_limits& limits, kept_pairs& out,
                      const run_environment& env) {
    const kept_pass kept{limits, &out};
    listed_pairs_block(input, first_rows, second_rows, pair_count, options, ztest_block_outputs{}, env, &kept);
}

}  // namespace corrshift
