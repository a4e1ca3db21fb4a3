#include "pipelines/drivers/pipelines.hpp"

#include <vector>

#include "common/options.hpp"
#include "pipelines/drivers/blocks.hpp"
#include "pipelines/kernels/correlation.hpp"

namespace corrshift {

namespace {

void straightforward_ztest(const pipeline_call& call, const std::int32_t* first_rows, const std::int32_t* second_rows,
                           std::int64_t pair_count, const ztest_outputs& out) {
    std::vector<float> pass_first_r(static_cast<std::size_t>(pair_count));
    std::vector<float> pass_second_r(static_cast<std::size_t>(pair_count));
    // In exhaustive mode the workers decode pair numbers over all rows.
    const std::int32_t pair_nrows = first_rows ? 0 : call.input.nrows;
    const std::int32_t ncols = call.input.ncols;

    const pass_scorer scorer = [&](const float* const* rows, const column_groups& g, float* z_out,
                                   const exceedance_count*) {
        // All rows in order: rows[0] starts the whole source matrix.
        const float* source = rows[0];
        const bool observed_pass = z_out == out.z_diff;
        float* first_r = observed_pass ? out.first_r : pass_first_r.data();
        float* second_r = observed_pass ? out.second_r : pass_second_r.data();
        float* p_value = observed_pass ? out.p_value : nullptr;
        fan_out(pair_count, call.jobs, [&](std::int64_t begin, std::int64_t end) {
            ztest_worker(source, ncols, first_rows, second_rows, begin, end, pair_nrows, g.first, g.second,
                         g.first_count, g.second_count, first_r, second_r, z_out, p_value, call.method,
                         call.alternative);
        });
    };
    run_permutation_passes(call.input, call.method == option_spearman, call.alternative, call.permutations, call.jobs,
                           pair_count, out.z_diff, out.permutation_p, scorer, call.console);
}

// The options of a public call's one block: every row, every pass.
block_options whole_run_options(const pipeline_call& call) {
    return block_options_of(call.method, call.alternative, call.score, 0, call.permutations + 1, call.jobs);
}

void straightforward_set_scores(const pipeline_call& call, const std::int32_t* first_rows,
                                const std::int32_t* second_rows, std::int32_t pair_count, const labelled_runs& sets,
                                float* observed, float* p_values) {
    std::vector<float> first_r(static_cast<std::size_t>(pair_count));
    std::vector<float> second_r(static_cast<std::size_t>(pair_count));
    std::vector<float> z_diff(static_cast<std::size_t>(pair_count));
    const bool use_mean = call.score == option_mean;
    const bool absolute = call.alternative == option_two_sided;
    const auto set_count = static_cast<std::int64_t>(sets.labels.size());
    const std::int32_t ncols = call.input.ncols;

    const pass_scorer scorer = [&](const float* const* rows, const column_groups& g, float* out,
                                   const exceedance_count*) {
        // All rows in order: rows[0] starts the whole source matrix.
        const float* source = rows[0];
        fan_out(set_count, call.jobs, [&](std::int64_t first, std::int64_t last) {
            if (first >= last) return;
            const std::int64_t begin = sets.starts[static_cast<std::size_t>(first)];
            const std::int64_t end = sets.ends[static_cast<std::size_t>(last - 1)];
            pair_correlation(source, ncols, first_rows, second_rows, first_r.data(), begin, end, pair_count, g.first,
                             g.first_count);
            pair_correlation(source, ncols, first_rows, second_rows, second_r.data(), begin, end, pair_count, g.second,
                             g.second_count);
            fisher_difference(first_r.data(), g.first_count, second_r.data(), g.second_count, z_diff.data(), nullptr,
                              begin, end, call.method, option_two_sided);
            score_run_slice(z_diff.data(), sets, first, last, use_mean, absolute, out);
        });
    };
    run_permutation_passes(call.input, call.method == option_spearman, call.alternative, call.permutations, call.jobs,
                           set_count, observed, p_values, scorer, call.console);
}

void straightforward_row_scores(const pipeline_call& call, float* observed, float* p_values) {
    const std::int32_t nrows = call.input.nrows;
    const std::int32_t ncols = call.input.ncols;
    const std::int64_t pair_count = pair_count_of(nrows);
    std::vector<float> first_r(static_cast<std::size_t>(pair_count));
    std::vector<float> second_r(static_cast<std::size_t>(pair_count));
    std::vector<float> z_diff(static_cast<std::size_t>(pair_count));
    const bool absolute = call.alternative == option_two_sided;

    const pass_scorer scorer = [&](const float* const* rows, const column_groups& g, float* out,
                                   const exceedance_count*) {
        // All rows in order: rows[0] starts the whole source matrix.
        const float* source = rows[0];
        fan_out(pair_count, call.jobs, [&](std::int64_t begin, std::int64_t end) {
            ztest_worker(source, ncols, nullptr, nullptr, begin, end, nrows, g.first, g.second, g.first_count,
                         g.second_count, first_r.data(), second_r.data(), z_diff.data(), nullptr, call.method,
                         option_two_sided);
        });
        score_pair_rows(z_diff.data(), nrows, call.score, absolute, call.jobs, out);
    };
    run_permutation_passes(call.input, call.method == option_spearman, call.alternative, call.permutations, call.jobs,
                           nrows, observed, p_values, scorer, call.console);
}

}  // namespace

void ztest_pipeline(const pipeline_call& call, const std::int32_t* first_rows, const std::int32_t* second_rows,
                    std::int64_t pair_count, const ztest_outputs& out, kernel choice) {
    if (choice == kernel::straightforward) return straightforward_ztest(call, first_rows, second_rows, pair_count, out);
    block_options options = whole_run_options(call);
    options.all_jobs = true;
    const ztest_block_outputs block_out{
        out.first_r, out.second_r, out.z_diff, out.p_value, {out.permutation_p, nullptr}};
    const std::int32_t nrows = call.input.nrows;
    run_on_console(call.console, call.permutations, out.permutation_p, pair_count, [&](const run_environment& env) {
        if (first_rows)
            pairs_block(call.input, first_rows, second_rows, static_cast<std::int32_t>(pair_count), options, block_out,
                        env);
        else
            ztest_block(call.input, {0, nrows}, {0, nrows}, options, block_out, env);
    });
}

void score_pipeline_indexed(const pipeline_call& call, const std::int32_t* first_rows, const std::int32_t* second_rows,
                            std::int32_t pair_count, const labelled_runs& sets, float* observed, float* p_values,
                            kernel choice) {
    if (choice == kernel::straightforward)
        return straightforward_set_scores(call, first_rows, second_rows, pair_count, sets, observed, p_values);
    const block_options options = whole_run_options(call);
    const auto set_count = static_cast<std::int64_t>(sets.labels.size());
    run_on_console(call.console, call.permutations, p_values, set_count, [&](const run_environment& env) {
        set_block(call.input, first_rows, second_rows, pair_count, sets, options, observed, {p_values, nullptr}, env);
    });
}

void score_pipeline_exhaustive(const pipeline_call& call, float* observed, float* p_values, kernel choice) {
    if (choice == kernel::straightforward) return straightforward_row_scores(call, observed, p_values);
    const block_options options = whole_run_options(call);
    const std::int32_t nrows = call.input.nrows;
    run_on_console(call.console, call.permutations, p_values, nrows, [&](const run_environment& env) {
        row_score_block(call.input, {0, nrows}, options, observed, {p_values, nullptr}, env);
    });
}

}  // namespace corrshift
