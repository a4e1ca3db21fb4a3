#include "pipelines/drivers/ztest.hpp"

#include <vector>

#include "common/options.hpp"
#include "pipelines/kernels/correlation.hpp"

namespace corrshift {

namespace {

void straightforward_ztest(const float* data, std::int32_t nrows, std::int32_t ncols,
                           const std::int32_t* first_rows, const std::int32_t* second_rows,
                           std::int64_t pair_count, const column_groups& groups, const std::string& method,
                           const std::string& alternative, std::int32_t permutations, std::int32_t jobs,
                           const ztest_outputs& out, const pass_environment& env) {
    std::vector<float> pass_first_r(static_cast<std::size_t>(pair_count));
    std::vector<float> pass_second_r(static_cast<std::size_t>(pair_count));
    // In exhaustive mode the workers decode pair numbers over all rows.
    const std::int32_t pair_nrows = first_rows ? 0 : nrows;

    const pass_scorer scorer = [&](const float* const* rows, const column_groups& g, float* z_out,
                                   const exceedance_count*) {
        // All rows in order: rows[0] starts the whole source matrix.
        const float* source = rows[0];
        const bool observed_pass = z_out == out.z_diff;
        float* first_r = observed_pass ? out.first_r : pass_first_r.data();
        float* second_r = observed_pass ? out.second_r : pass_second_r.data();
        float* p_value = observed_pass ? out.p_value : nullptr;
        fan_out(pair_count, jobs, [&](std::int64_t begin, std::int64_t end) {
            ztest_worker(source, ncols, first_rows, second_rows, begin, end, pair_nrows, g.first, g.second,
                         g.first_count, g.second_count, first_r, second_r, z_out, p_value, method,
                         alternative);
        });
    };
    run_permutation_passes(data, nrows, ncols, groups, method, alternative, permutations, jobs, pair_count,
                           out.z_diff, out.permutation_p, scorer, env, false, false);
}

// The same passes with the fast kernel. The calling thread packs both groups of a pass
// before the workers start; permutation passes keep no values, only the counts, which
// the kernels add while they decide each pair.
void fast_ztest(const float* data, std::int32_t nrows, std::int32_t ncols, const std::int32_t* first_rows,
                const std::int32_t* second_rows, std::int64_t pair_count, const column_groups& groups,
                const std::string& method, const std::string& alternative, std::int32_t permutations,
                std::int32_t jobs, const ztest_outputs& out, const pass_environment& env) {
    const packing layout = first_rows ? packing::by_row : packing::by_column;
    packed_group g1(nrows, groups.first_count, layout);
    packed_group g2(nrows, groups.second_count, layout);
    const fisher_weights weights = fisher_weights_of(groups.first_count, groups.second_count, method);
    const fast_kernel_paths paths = fast_kernel_paths_in_use();
    std::vector<float> thresholds(permutations > 0 ? static_cast<std::size_t>(pair_count) : 0);

    const pass_scorer scorer = [&](const float* const* rows, const column_groups& g, float*,
                                   const exceedance_count* counting) {
        pack_groups(g1, g2, rows, g.first, g.second, nrows, jobs);
        fan_out(pair_count, jobs, [&](std::int64_t begin, std::int64_t end) {
            fast_ztest_slice(
                begin, end, out, weights.se, alternative, thresholds.empty() ? nullptr : thresholds.data(), counting,
                [&](float* first_r, float* second_r, float* z_diff) {
                    if (first_rows)
                        listed_pairs(paths, g1, g2, first_rows, second_rows, begin, end, first_r, second_r, z_diff);
                    else
                        exhaustive_pairs(paths, g1, g2, nrows, begin, end, first_r, second_r, z_diff);
                },
                [&](const exceedance_count& c) {
                    if (first_rows)
                        listed_pairs(paths, g1, g2, first_rows, second_rows, begin, end, c);
                    else
                        exhaustive_pairs(paths, g1, g2, nrows, begin, end, c);
                });
        });
    };
    run_permutation_passes(data, nrows, ncols, groups, method, alternative, permutations, jobs, pair_count,
                           out.z_diff, out.permutation_p, scorer, env, true, true);
}

}  // namespace

void ztest_pipeline(const float* data, std::int32_t nrows, std::int32_t ncols,
                    const std::int32_t* first_rows, const std::int32_t* second_rows,
                    std::int64_t pair_count, const column_groups& groups, const std::string& method,
                    const std::string& alternative, std::int32_t permutations, std::int32_t jobs,
                    const ztest_outputs& out, const pass_environment& env, kernel choice) {
    if (choice == kernel::fast)
        fast_ztest(data, nrows, ncols, first_rows, second_rows, pair_count, groups, method, alternative,
                   permutations, jobs, out, env);
    else
        straightforward_ztest(data, nrows, ncols, first_rows, second_rows, pair_count, groups, method,
                              alternative, permutations, jobs, out, env);
}

}  // namespace corrshift
