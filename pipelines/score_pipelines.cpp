#include "score_pipelines.hpp"

#include "../common/options.hpp"
#include "../common/set_scores.hpp"
#include "correlation.hpp"
#include "fast_row_scores.hpp"

namespace corrshift {

pair_sets pair_sets_of(const std::int32_t* first_rows, std::int32_t pair_count) {
    pair_sets sets;
    label_runs(first_rows, pair_count, sets.labels, sets.starts, sets.ends);
    return sets;
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
            g1.pack(rows, g.first);
            g2.pack(rows, g.second);
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

    const pass_scorer scorer = [&](const float* const* rows, const column_groups& g, float* out,
                                   const exceedance_count*) {
        // All rows in order: rows[0] starts the whole source matrix.
        const float* source = rows[0];
        if (fast) {
            g1.pack(rows, g.first);
            g2.pack(rows, g.second);
            fan_out(pair_count, jobs, [&](std::int64_t begin, std::int64_t end) {
                exhaustive_pairs(g1, g2, nrows, begin, end, nullptr, nullptr, z_diff.data());
            });
        } else {
            fan_out(pair_count, jobs, [&](std::int64_t begin, std::int64_t end) {
                ztest_worker(source, ncols, nullptr, nullptr, begin, end, nrows, g.first, g.second,
                             g.first_count, g.second_count, first_r.data(), second_r.data(), z_diff.data(),
                             nullptr, method, option_two_sided);
            });
        }
        if (fast)
            fast_score_pair_rows(z_diff.data(), nrows, score, absolute, jobs, out);
        else
            score_pair_rows(z_diff.data(), nrows, score, absolute, jobs, out);
    };
    run_permutation_passes(data, nrows, ncols, groups, method, alternative, permutations, jobs, nrows,
                           observed, p_values, scorer, env, fast, false);
}

}  // namespace corrshift
