#include "pipelines/kernels/rank.hpp"

#include <algorithm>
#include <cmath>

#include "common/options.hpp"

namespace corrshift {

void rank_row_slice(const float* source, float* ranks, std::int64_t ncols, std::int64_t begin, std::int64_t end,
                    const std::int32_t* index, std::int32_t count, std::vector<std::int32_t>& order) {
    order.resize(static_cast<std::size_t>(count));
    for (std::int64_t r = begin; r < end; ++r) {
        const float* row = source + r * ncols;
        float* out = ranks + r * ncols;
        for (std::int32_t p = 0; p < count; ++p) order[static_cast<std::size_t>(p)] = p;
        // A total order (value, then list position, NaN after every number) makes the
        // ranks deterministic on every standard library, ties and NaN included.
        std::sort(order.begin(), order.end(), [row, index](std::int32_t a, std::int32_t b) {
            const float va = row[index[a]];
            const float vb = row[index[b]];
            const bool na = std::isnan(va), nb = std::isnan(vb);
            if (na || nb) return na == nb ? a < b : nb;
            return va < vb || (!(vb < va) && a < b);
        });
        for (std::int32_t k = 0; k < count; ++k) out[index[order[static_cast<std::size_t>(k)]]] = static_cast<float>(k);
    }
}

void rank_rows(const float* source, float* ranks, std::int64_t ncols, std::int32_t nrows, const std::int32_t* index,
               std::int32_t count, std::int32_t jobs) {
    fan_out(nrows, jobs, [=](std::int64_t begin, std::int64_t end) {
        std::vector<std::int32_t> order;
        rank_row_slice(source, ranks, ncols, begin, end, index, count, order);
    });
}

}  // namespace corrshift
