// The row scores of a permutation pass decided without computing every one: the medians
// from tallies of the pairs below each row's observed score, the means from estimated
// sums of |z_diff|, with the exact score only where the estimate cannot tell. The counts
// equal those of the computed scores.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/options.hpp"
#include "pipelines/kernels/exceedance.hpp"
#include "pipelines/kernels/fast_kernel.hpp"
#include "pipelines/kernels/fast_row_scores.hpp"

namespace corrshift {

// The observed scores of the rows that a permutation pass decides, by pack row, readable
// past the last row (the kernels load the values of 8 rows at once); NaN where no
// observed score was kept.
class observed_rows {
  public:
    // After the observed pass: observed[p] is the observed score of pack row item0 + p
    // for p < count (other rows are tallied but never decided).
    void set_observed(const float* observed, std::int64_t item0, std::int64_t count);

  protected:
    observed_rows(std::int64_t rows, tail rule);

    tail rule_;
    std::int64_t item0_ = 0;
    std::int64_t count_ = 0;
    std::vector<float> observed_;
};

// The "median" row scores of a permutation pass, decided from row tallies instead of
// selected. Row tallies of pass values against the rows' observed scores, thresholds
// and the decision per row.
class median_tallies : public observed_rows {
  public:
    // rows: pack rows whose pairs are tallied; m: pairs per scored row.
    median_tallies(std::int64_t rows, std::int64_t m, tail rule);

    void set_observed(const float* observed, std::int64_t item0, std::int64_t count);

    // One pass: tally(begin, end, tallies) adds the tallies of pairs [begin, end) of
    // pair_count on `jobs` threads, each into its own arrays; then the exceedances of
    // the pack rows item0 + p, p < count, are added to counting (item p).
    template <class Tally>
    void pass(std::int64_t pair_count, std::int32_t jobs, const Tally& tally, const exceedance_count& counting);

  private:
    void add(const std::vector<std::int32_t>& below, const std::vector<std::int32_t>& nan);
    void decide(const exceedance_count& counting) const;

    std::int64_t m_;
    std::vector<float> thresholds_;
    std::vector<std::int32_t> below_;
    std::vector<std::int32_t> nan_;
};

template <class Tally>
void median_tallies::pass(std::int64_t pair_count, std::int32_t jobs, const Tally& tally,
                          const exceedance_count& counting) {
    std::fill(below_.begin(), below_.end(), 0);
    std::fill(nan_.begin(), nan_.end(), 0);
    // Each worker tallies into arrays of its own; they are added after the joins.
    std::vector<std::vector<std::int32_t>> below(static_cast<std::size_t>(jobs)), nan(below.size());
    fan_out(pair_count, jobs, [&](std::int64_t begin, std::int64_t end) {
        if (begin >= end) return;
        const auto t = static_cast<std::size_t>(slice_number(pair_count, jobs, begin));
        below[t].assign(below_.size(), 0);
        nan[t].assign(nan_.size(), 0);
        tally(begin, end, row_tallies{rule_, observed_.data(), thresholds_.data(), below[t].data(), nan[t].data()});
    });
    for (std::size_t t = 0; t < below.size(); ++t)
        if (!below[t].empty()) add(below[t], nan[t]);
    decide(counting);
}

// The "mean" row scores of a permutation pass, decided from estimated sums of |z| per
// row; rows the estimate cannot decide (within its error bound of the observed score, or
// NaN) are summed exactly.
class mean_sums : public observed_rows {
  public:
    // rows: pack rows; n: all rows of the job (each scored row has n - 1 pairs).
    mean_sums(std::int64_t rows, std::int64_t n, tail rule);

    // One pass: sum(begin, end, sums) adds the estimates of pairs [begin, end) of
    // pair_count on `jobs` threads, each into its own arrays; exact(rows, count, z) writes
    // the exact z_diff of the pairs of pack row rows[k] with every row i at z[k n + i]
    // (k < count, i < n). Adds the exceedances of the rows item0 + p, p < count, to
    // counting (item p).
    template <class Sum, class Exact>
    void pass(std::int64_t pair_count, std::int32_t jobs, const Sum& sum, const Exact& exact,
              const exceedance_count& counting);

  private:
    void add(const std::vector<float>& sums, const std::vector<float>& lanes);
    // -1: no, 1: yes, 0: the estimate cannot tell.
    int decide(std::int64_t row) const;

    std::int64_t n_;
    std::vector<float> sums_;
};

template <class Sum, class Exact>
void mean_sums::pass(std::int64_t pair_count, std::int32_t jobs, const Sum& sum, const Exact& exact,
                     const exceedance_count& counting) {
    if (rule_ == tail::none) return;  // an unknown alternative counts nothing
    std::fill(sums_.begin(), sums_.end(), 0.0f);
    // Each worker sums into arrays of its own; they are added after the joins, in slice order.
    std::vector<std::vector<float>> sums(static_cast<std::size_t>(jobs)), lanes(sums.size());
    fan_out(pair_count, jobs, [&](std::int64_t begin, std::int64_t end) {
        if (begin >= end) return;
        const auto t = static_cast<std::size_t>(slice_number(pair_count, jobs, begin));
        sums[t].assign(sums_.size(), 0.0f);
        lanes[t].assign(8 * sums_.size(), 0.0f);
        sum(begin, end, row_sums{sums[t].data(), lanes[t].data()});
    });
    for (std::size_t t = 0; t < sums.size(); ++t)
        if (!sums[t].empty()) add(sums[t], lanes[t]);
    std::vector<std::int64_t> open;  // pack rows
    for (std::int64_t p = 0; p < count_; ++p) {
        const int d = decide(item0_ + p);
        if (d > 0) counting.add_one(p);
        if (d == 0) open.push_back(item0_ + p);
    }
    fan_out(static_cast<std::int64_t>(open.size()), jobs, [&](std::int64_t first, std::int64_t last) {
        std::vector<float> z(static_cast<std::size_t>((last - first) * n_));
        exact(open.data() + first, last - first, z.data());
        for (std::int64_t k = first; k < last; ++k) {
            const std::int64_t row = open[static_cast<std::size_t>(k)], p = row - item0_;
            const float score = row_mean_of(z.data() + (k - first) * n_, n_, row);
            const float o = observed_[static_cast<std::size_t>(row)];
            const bool hit = rule_ == tail::two_sided ? exceeds<tail::two_sided>(score, o)
                             : rule_ == tail::greater ? exceeds<tail::greater>(score, o)
                                                      : exceeds<tail::less>(score, o);
            // Each open row is counted by one worker only.
            if (hit) counting.add_one(p);
        }
    });
}

}  // namespace corrshift
