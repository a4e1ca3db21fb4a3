#include "ztest.hpp"

#include <vector>

#include "../common/options.hpp"
#include "correlation.hpp"

namespace corrshift {

void ztest_pipeline(const float* data, std::int32_t nrows, std::int32_t ncols,
                    const std::int32_t* first_rows, const std::int32_t* second_rows,
                    std::int64_t pair_count, const column_groups& groups, const std::string& method,
                    const std::string& alternative, std::int32_t permutations, std::int32_t jobs,
                    const ztest_outputs& out, const pass_environment& env) {
    std::vector<float> pass_first_r(static_cast<std::size_t>(pair_count));
    std::vector<float> pass_second_r(static_cast<std::size_t>(pair_count));
    // In exhaustive mode the workers decode pair numbers over all rows.
    const std::int32_t pair_nrows = first_rows ? 0 : nrows;

    const pass_scorer scorer = [&](const float* source, const column_groups& g, float* z_out,
                                   bool observed_pass) {
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
                           out.z_diff, out.permutation_p, scorer, env);
}

}  // namespace corrshift
