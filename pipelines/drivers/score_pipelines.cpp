#include "pipelines/drivers/score_pipelines.hpp"

#include <cmath>
#include <limits>

#include "common/options.hpp"
#include "common/set_scores.hpp"
#include "pipelines/kernels/correlation.hpp"
#include "pipelines/kernels/fast_row_scores.hpp"

namespace corrshift {

pair_sets pair_sets_of(const std::int32_t* first_rows, std::int32_t pair_count) {
    pair_sets sets;
    label_runs(first_rows, pair_count, sets.labels, sets.starts, sets.ends);
    return sets;
}

median_tallies::median_tallies(std::int64_t rows, std::int64_t m, tail rule)
    : rows_(rows),
      m_(m),
      rule_(rule),
      // Readable past the last row: the kernels load the tallies of 8 rows at once.
      observed_(static_cast<std::size_t>(rows + 32), std::numeric_limits<float>::quiet_NaN()),
      thresholds_(observed_.size()),
      below_(observed_.size()),
      nan_(observed_.size()) {}

void median_tallies::set_observed(const float* observed, std::int64_t item0, std::int64_t count) {
    item0_ = item0;
    count_ = count;
    std::copy_n(observed, count, observed_.begin() + item0);
    for (std::size_t p = 0; p < observed_.size(); ++p) thresholds_[p] = decision_threshold(rule_, observed_[p]);
}

void median_tallies::add(const std::vector<std::int32_t>& below, const std::vector<std::int32_t>& nan) {
    for (std::size_t p = 0; p < below.size(); ++p) below_[p] += below[p], nan_[p] += nan[p];
}

void median_tallies::decide(const exceedance_count& counting) const {
    // The median is element at = floor(m / 2) (in single precision) of the row's values
    // in ascending order, NaN last. The values below o come first, then the numbers at
    // or above it, then the NaN: so median >= o exactly when at least at + 1 numbers
    // exist and at most `at` of them lie below o; median <= o ("less", whose tally counts
    // the values at or below o) exactly when more than `at` do. A NaN observed score is
    // never exceeded; a row without pairs scores 0.
    if (rule_ == tail::none) return;  // an unknown alternative counts nothing
    const auto at = static_cast<std::int64_t>(static_cast<std::uint64_t>(static_cast<float>(m_) * 0.5f));
    for (std::int64_t p = 0; p < count_; ++p) {
        const std::size_t row = static_cast<std::size_t>(item0_ + p);
        const float o = observed_[row];
        bool hit;
        if (m_ == 0)
            hit = rule_ == tail::less ? 0.0f <= o : rule_ == tail::greater ? 0.0f >= o : 0.0f >= std::fabs(o);
        else if (std::isnan(o))
            hit = false;
        else if (rule_ == tail::less)
            hit = below_[row] > at;
        else
            hit = below_[row] <= at && m_ - nan_[row] > at;
        if (!hit) continue;
        if (counting.counts)
            counting.counts[p] += 1.0f;
        else
            counting.int_counts[p] += 1;
    }
}

mean_sums::mean_sums(std::int64_t rows, std::int64_t n, tail rule)
    : n_(n),
      rule_(rule),
      observed_(static_cast<std::size_t>(rows + 32), std::numeric_limits<float>::quiet_NaN()),
      sums_(observed_.size()) {}

void mean_sums::set_observed(const float* observed, std::int64_t item0, std::int64_t count) {
    item0_ = item0;
    count_ = count;
    std::copy_n(observed, count, observed_.begin() + item0);
}

void mean_sums::add(const std::vector<float>& sums, const std::vector<float>& lanes) {
    for (std::size_t p = 0; p < sums.size(); ++p) {
        float row = sums[p];
        for (std::size_t l = 0; l < 8; ++l) row += lanes[8 * p + l];
        sums_[p] += row;
    }
}

void mean_sums::count(const exceedance_count& counting, std::int64_t p) const {
    if (counting.counts)
        counting.counts[p] += 1.0f;
    else
        counting.int_counts[p] += 1;
}

int mean_sums::decide(std::int64_t row) const {
    // The exact score is x = fl(S / c), S the float sum of the m = n - 1 values |z| in
    // row order and c = m. With T the exact sum of those |z| and T' that of the
    // estimates (each within sum_error), and S' the float sum of the estimates in any
    // order: a float sum of m nonnegative terms along at most k = m + 64 additions lies
    // within g = k u / (1 - k u) relative of the exact sum (u = 2^-24), so
    // |S - S'| <= g (T + T') + m sum_error, with T' <= S' / (1 - g) and
    // T <= T' + m sum_error. x then lies within [(S' - E)(1 - u), (S' + E)(1 + u)] / c.
    const float o = observed_[static_cast<std::size_t>(row)];
    if (std::isnan(o)) return -1;
    const double m = static_cast<double>(n_ - 1);
    if (m <= 0.0) {
        // No pairs: the score of an empty set, 0.
        const bool hit = rule_ == tail::less ? 0.0f <= o : rule_ == tail::greater ? 0.0f >= o : 0.0f >= std::fabs(o);
        return hit ? 1 : -1;
    }
    const double estimate = sums_[static_cast<std::size_t>(row)];
    if (!std::isfinite(estimate)) return 0;
    const double u = 0x1p-24, g = (m + 64.0) * u / (1.0 - (m + 64.0) * u), spread = m * sum_error;
    const double t_estimate = estimate / (1.0 - g);
    // A little more than the bound, for the double roundings of these lines.
    const double error = (g * (2.0 * t_estimate + spread) + spread) * 1.001 + 1e-30;
    const double low = (estimate - error) * (1.0 - u) / m, high = (estimate + error) * (1.0 + u) / m;
    const double theta = rule_ == tail::two_sided ? std::fabs(o) : o;
    if (rule_ == tail::less) return high < theta ? 1 : low > theta ? -1 : 0;
    return low > theta ? 1 : high < theta ? -1 : 0;
}

void score_sets(const packed_group& g1, const packed_group& g2, const std::int32_t* first_rows,
                const std::int32_t* second_rows, const pair_sets& sets, std::int64_t first, std::int64_t last,
                bool use_mean, bool absolute, float* z_diff, float* out) {
    if (first >= last) return;
    // The pairs from the first pair of the first set to the last pair of the last set.
    listed_pairs(g1, g2, first_rows, second_rows, sets.starts[static_cast<std::size_t>(first)],
                 sets.ends[static_cast<std::size_t>(last - 1)], nullptr, nullptr, z_diff);
    score_set_values(z_diff, sets, first, last, use_mean, absolute, out);
}

void score_set_values(const float* z_diff, const pair_sets& sets, std::int64_t first, std::int64_t last,
                      bool use_mean, bool absolute, float* out) {
    if (use_mean)
        run_mean_worker(z_diff, sets.starts.data(), sets.ends.data(), first, last, out, absolute);
    else
        run_quantile_worker(z_diff, sets.starts.data(), sets.ends.data(), first, last, out, 0.5f, absolute);
}

void score_pipeline_indexed(const float* data, std::int32_t nrows, std::int32_t ncols,
                            const std::int32_t* first_rows, const std::int32_t* second_rows,
                            std::int32_t pair_count, const pair_sets& sets, const column_groups& groups,
                            const std::string& method, const std::string& score,
                            const std::string& alternative, std::int32_t permutations, std::int32_t jobs,
                            float* observed, float* p_values, const pass_environment& env,
                            kernel choice) {
    const bool fast = choice == kernel::fast;
    // The fast kernel keeps no correlations and packs the groups of a pass once.
    std::vector<float> first_r(fast ? 0 : static_cast<std::size_t>(pair_count));
    std::vector<float> second_r(fast ? 0 : static_cast<std::size_t>(pair_count));
    std::vector<float> z_diff(static_cast<std::size_t>(pair_count));
    packed_group g1(fast ? nrows : 0, groups.first_count, packing::by_row);
    packed_group g2(fast ? nrows : 0, groups.second_count, packing::by_row);
    const bool use_mean = score == option_mean;
    const bool absolute = alternative == option_two_sided;
    const auto set_count = static_cast<std::int64_t>(sets.labels.size());

    const pass_scorer scorer = [&](const float* const* rows, const column_groups& g, float* out,
                                   const exceedance_count*) {
        if (fast) {
            pack_groups(g1, g2, rows, g.first, g.second, nrows, jobs);
            fan_out(set_count, jobs, [&](std::int64_t first, std::int64_t last) {
                score_sets(g1, g2, first_rows, second_rows, sets, first, last, use_mean, absolute, z_diff.data(),
                           out);
            });
            return;
        }
        // All rows in order: rows[0] starts the whole source matrix.
        const float* source = rows[0];
        fan_out(set_count, jobs, [&](std::int64_t first, std::int64_t last) {
            if (first >= last) return;
            const std::int64_t begin = sets.starts[static_cast<std::size_t>(first)];
            const std::int64_t end = sets.ends[static_cast<std::size_t>(last - 1)];
            pair_correlation(source, ncols, first_rows, second_rows, first_r.data(), begin, end, pair_count,
                             g.first, g.first_count);
            pair_correlation(source, ncols, first_rows, second_rows, second_r.data(), begin, end, pair_count,
                             g.second, g.second_count);
            fisher_difference(first_r.data(), g.first_count, second_r.data(), g.second_count, z_diff.data(),
                              nullptr, begin, end, method, option_two_sided);
            score_set_values(z_diff.data(), sets, first, last, use_mean, absolute, out);
        });
    };
    run_permutation_passes(data, nrows, ncols, groups, method, alternative, permutations, jobs, set_count,
                           observed, p_values, scorer, env, fast, false);
}

void score_pipeline_exhaustive(const float* data, std::int32_t nrows, std::int32_t ncols,
                               const column_groups& groups, const std::string& method,
                               const std::string& score, const std::string& alternative,
                               std::int32_t permutations, std::int32_t jobs, float* observed,
                               float* p_values, const pass_environment& env, kernel choice) {
    const bool fast = choice == kernel::fast;
    const std::int64_t pair_count = pair_count_of(nrows);
    std::vector<float> first_r(fast ? 0 : static_cast<std::size_t>(pair_count));
    std::vector<float> second_r(fast ? 0 : static_cast<std::size_t>(pair_count));
    std::vector<float> z_diff(static_cast<std::size_t>(pair_count));
    packed_group g1(fast ? nrows : 0, groups.first_count, packing::by_column);
    packed_group g2(fast ? nrows : 0, groups.second_count, packing::by_column);
    const bool absolute = alternative == option_two_sided;
    // The fast kernel decides the medians of the permutation passes from tallies, and
    // the means from estimated sums.
    const bool tally = fast && score == option_median && permutations > 0;
    const bool sum = fast && score == option_mean && permutations > 0;
    median_tallies tallies(tally ? nrows : 0, nrows - 1, tail_of(alternative));
    mean_sums sums(sum ? nrows : 0, nrows, tail_of(alternative));
    std::vector<float> pass_scores(fast ? static_cast<std::size_t>(nrows) : 0);
    const fast_kernel_paths paths = fast_kernel_paths_in_use();

    const pass_scorer scorer = [&](const float* const* rows, const column_groups& g, float* out,
                                   const exceedance_count* counting) {
        if (fast) {
            pack_groups(g1, g2, rows, g.first, g.second, nrows, jobs);
            if (counting && tally) {
                tallies.pass(pair_count, jobs, [&](std::int64_t begin, std::int64_t end, const row_tallies& t) {
                    exhaustive_pairs(paths, g1, g2, nrows, begin, end, t);
                }, *counting);
                return;
            }
            if (counting && sum) {
                sums.pass(
                    pair_count, jobs,
                    [&](std::int64_t begin, std::int64_t end, const row_sums& t) {
                        exhaustive_pairs(paths, g1, g2, nrows, begin, end, t);
                    },
                    [&](const std::int64_t* open, std::int64_t count, float* z) {
                        exact_rows(paths, g1, g2, rows, g.first, g.second, open, count, nrows, z);
                    },
                    *counting);
                return;
            }
            fan_out(pair_count, jobs, [&](std::int64_t begin, std::int64_t end) {
                exhaustive_pairs(paths, g1, g2, nrows, begin, end, nullptr, nullptr, z_diff.data());
            });
            float* scores = counting ? pass_scores.data() : out;
            fast_score_pair_rows(z_diff.data(), nrows, score, absolute, jobs, scores);
            if (counting)
                counting->add(scores, 0, nrows);
            else if (tally)
                tallies.set_observed(out, 0, nrows);
            else if (sum)
                sums.set_observed(out, 0, nrows);
            return;
        }
        // All rows in order: rows[0] starts the whole source matrix.
        const float* source = rows[0];
        fan_out(pair_count, jobs, [&](std::int64_t begin, std::int64_t end) {
            ztest_worker(source, ncols, nullptr, nullptr, begin, end, nrows, g.first, g.second, g.first_count,
                         g.second_count, first_r.data(), second_r.data(), z_diff.data(), nullptr, method,
                         option_two_sided);
        });
        score_pair_rows(z_diff.data(), nrows, score, absolute, jobs, out);
    };
    run_permutation_passes(data, nrows, ncols, groups, method, alternative, permutations, jobs, nrows,
                           observed, p_values, scorer, env, fast, fast);
}

}  // namespace corrshift
