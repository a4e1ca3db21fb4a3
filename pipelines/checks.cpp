#include "checks.hpp"

#include <limits>
#include <stdexcept>

#include "../common/options.hpp"

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
    if (size < shape[0])
        throw std::invalid_argument(std::string(name) + " holds fewer elements than its first extent");
    if (shape[0] > std::numeric_limits<std::int32_t>::max())
        throw std::invalid_argument(std::string(name) + " has more than 2147483647 entries");
    return static_cast<std::int32_t>(shape[0]);
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
            throw std::out_of_range(std::string(name) + "[" + std::to_string(k) + "] = " +
                                    std::to_string(rows[k]) + " is not a " + what + " of data (0 to " +
                                    std::to_string(limit - 1) + ")");
}

void check_group_sizes(std::int32_t first_count, std::int32_t second_count, std::int32_t ncols,
                       std::int32_t permutations) {
    if (permutations > 0 && static_cast<std::int64_t>(first_count) + second_count > ncols)
        throw std::invalid_argument(
            "the two column groups hold " + std::to_string(first_count) + " + " +
            std::to_string(second_count) + " columns but data has only " + std::to_string(ncols) +
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

}  // namespace corrshift
