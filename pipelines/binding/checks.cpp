#include "pipelines/binding/checks.hpp"

#include <limits>
#include <stdexcept>

#include "common/binding/checks.hpp"
#include "common/options.hpp"

namespace corrshift {

matrix_shape check_data(std::int64_t ndim, const std::int64_t* shape) {
    if (ndim != 2)
        throw std::invalid_argument("data must be a two-dimensional array (rows x columns), got " +
                                    std::to_string(ndim) + " dimensions");
    const std::int64_t rows = shape[0];
    const std::int64_t cols = shape[1];
    if (rows > std::numeric_limits<std::int32_t>::max() || cols > std::numeric_limits<std::int32_t>::max() ||
        rows * cols >= (std::int64_t{1} << 31))
        throw std::invalid_argument("data has " + std::to_string(rows) + " x " + std::to_string(cols) +
                                    " elements; at most 2147483647 are supported");
    return {static_cast<std::int32_t>(rows), static_cast<std::int32_t>(cols)};
}

std::int32_t check_list(std::int64_t ndim, const std::int64_t* shape, std::int64_t size, const char* name) {
    if (ndim == 0) throw std::invalid_argument(std::string(name) + " must have at least one dimension");
    if (size < shape[0]) throw std::invalid_argument(std::string(name) + " holds fewer elements than its first extent");
    return checked_length(shape[0], name);
}

void check_jobs(std::int32_t n_jobs) {
    if (n_jobs < 1) throw std::runtime_error(process_number_error);
}

void check_permutations(std::int32_t permutations) {
    if (permutations < 0)
        throw std::invalid_argument("permutations must be 0 or more, got " + std::to_string(permutations));
    if (permutations == std::numeric_limits<std::int32_t>::max())
        throw std::invalid_argument("permutations must be below 2147483647");
}

void check_indices(const std::int32_t* rows, std::int64_t count, std::int32_t limit, const char* name,
                   const char* what) {
    for (std::int64_t k = 0; k < count; ++k)
        if (rows[k] < 0 || rows[k] >= limit)
            throw std::out_of_range(std::string(name) + "[" + std::to_string(k) + "] = " + std::to_string(rows[k]) +
                                    " is not a " + what + " of data (0 to " + std::to_string(limit - 1) + ")");
}

std::int32_t check_pair_rows(const std::int32_t* first_rows, std::int32_t first_length, const std::int32_t* second_rows,
                             std::int32_t second_length, bool count_second, std::int32_t nrows) {
    const std::int32_t pairs = count_second ? second_length : first_length;
    const std::int32_t listed = count_second ? first_length : second_length;
    if (listed < pairs)
        throw std::invalid_argument(std::string(count_second ? "first_rows" : "second_rows") + " has " +
                                    std::to_string(listed) + " entries but " +
                                    (count_second ? "second_rows" : "first_rows") + " lists " + std::to_string(pairs) +
                                    " pairs");
    check_indices(first_rows, pairs, nrows, "first_rows", "row");
    check_indices(second_rows, pairs, nrows, "second_rows", "row");
    return pairs;
}

void check_group_sizes(std::int32_t first_count, std::int32_t second_count, std::int32_t ncols,
                       std::int32_t permutations) {
    if (permutations > 0 && static_cast<std::int64_t>(first_count) + second_count > ncols)
        throw std::invalid_argument("the two column groups hold " + std::to_string(first_count) + " + " +
                                    std::to_string(second_count) + " columns but data has only " +
                                    std::to_string(ncols) +
                                    "; permutation passes draw both groups from the columns of data");
}

void check_exhaustive_rows(std::int32_t nrows) {
    if (nrows > max_exhaustive_rows)
        throw std::invalid_argument("data has " + std::to_string(nrows) +
                                    " rows; all pairs can be tested for at most " +
                                    std::to_string(max_exhaustive_rows) + " rows");
}

void check_score(const std::string& score) {
    if (score != option_mean && score != option_median)
        throw std::invalid_argument("score must be \"mean\" or \"median\"");
}

void check_method_name(const std::string& method) {
    if (method != option_pearson && method != option_spearman)
        throw std::invalid_argument("method must be \"pearson\" or \"spearman\", got \"" + method + "\"");
}

void check_alternative_name(const std::string& alternative) {
    if (alternative != option_two_sided && alternative != option_greater && alternative != option_less)
        throw std::invalid_argument("alternative must be \"two-sided\", \"greater\" or \"less\", got \"" + alternative +
                                    "\"");
}

void check_pass_range(std::int64_t first, std::int64_t last) {
    if (first < 0 || first > last)
        throw std::invalid_argument("passes [pass_first, pass_last) = [" + std::to_string(first) + ", " +
                                    std::to_string(last) + ") must satisfy 0 <= pass_first <= pass_last");
    if (last > std::numeric_limits<std::int32_t>::max())
        throw std::invalid_argument("pass_last must be below 2147483648, got " + std::to_string(last));
}

std::int32_t check_block_jobs(std::int64_t n_jobs) {
    if (n_jobs < 1 || n_jobs > std::numeric_limits<std::int32_t>::max())
        throw std::invalid_argument("n_jobs must be at least 1 (and below 2147483648), got " + std::to_string(n_jobs));
    return static_cast<std::int32_t>(n_jobs);
}

void check_row_range(std::int64_t first, std::int64_t last, std::int32_t nrows, const char* name) {
    const std::string range = std::string(name) + " = (" + std::to_string(first) + ", " + std::to_string(last) + ")";
    if (first < 0 || last < 0 || first > nrows || last > nrows)
        throw std::out_of_range(range + " is not a range of the data's rows (0 to " + std::to_string(nrows) + ")");
    if (first > last) throw std::invalid_argument(range + " ends before it starts");
}

std::int32_t check_modules(const std::int32_t* starts, std::int32_t start_count, std::int32_t member_count,
                           const std::int32_t* members, std::int32_t pair_count) {
    if (start_count < 1)
        throw std::invalid_argument("module_starts must hold the module count + 1 entries (at least one, 0)");
    if (starts[0] != 0) throw std::invalid_argument("module_starts[0] must be 0, got " + std::to_string(starts[0]));
    for (std::int32_t g = 1; g < start_count; ++g)
        if (starts[g] < starts[g - 1])
            throw std::invalid_argument("module_starts decreases at entry " + std::to_string(g) + " (" +
                                        std::to_string(starts[g - 1]) + " then " + std::to_string(starts[g]) + ")");
    if (starts[start_count - 1] != member_count)
        throw std::invalid_argument("module_starts ends at " + std::to_string(starts[start_count - 1]) +
                                    " but module_pairs has " + std::to_string(member_count) + " entries");
    for (std::int32_t k = 0; k < member_count; ++k)
        if (members[k] < 0 || members[k] >= pair_count)
            throw std::out_of_range("module_pairs[" + std::to_string(k) + "] = " + std::to_string(members[k]) +
                                    " is not a position of the " + std::to_string(pair_count) + " listed pairs");
    return start_count - 1;
}

}  // namespace corrshift
