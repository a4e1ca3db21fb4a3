// The entry points of the fast kernel: each sends its call to the path the process runs
// (fast_kernel_paths_in_use: AVX2 only where the processor has it; the portable path
// everywhere else), so one build serves every x86-64 processor. The paths are in the
// files that tiles.hpp lists.
#include "pipelines/kernels/fast_kernel.hpp"

#include <cstdint>
#include <vector>

#include "pipelines/kernels/tiles.hpp"

namespace corrshift {

void pair_rows(const fast_kernel_paths& paths, const pair_packs& packs, std::int64_t x0, std::int64_t count,
               const row_span* spans, const std::int64_t* starts, const pair_values& out) {
    if (count <= 0) return;
#if defined(__x86_64__)
    if (paths.avx2) return tiles::pair_rows_avx2(packs, x0, count, spans, starts, out, paths.vector_atanh);
#endif
    (void)paths;
    tiles::pair_rows_portable(packs, x0, count, spans, starts, out);
}

void pair_rows(const fast_kernel_paths& paths, const pair_packs& packs, std::int64_t x0, std::int64_t count,
               const row_span* spans, const std::int64_t* starts, const exceedance_count& counting) {
    if (count <= 0) return;
#if defined(__x86_64__)
    if (paths.avx2 && counting.complement)
        return tiles::one_group_pair_rows_avx2(packs, x0, count, spans, starts, counting);
    if (paths.avx2) return tiles::pair_rows_avx2(packs, x0, count, spans, starts, counting);
#endif
    (void)paths;
    tiles::pair_rows_portable(packs, x0, count, spans, starts, counting);
}

void pair_rows(const fast_kernel_paths& paths, const pair_packs& packs, std::int64_t x0, std::int64_t count,
               const row_span* spans, const std::int64_t* starts, const row_tallies& tallies) {
    if (count <= 0) return;
#if defined(__x86_64__)
    if (paths.avx2) return tiles::pair_rows_avx2(packs, x0, count, spans, starts, tallies);
#endif
    (void)paths;
    tiles::pair_rows_portable(packs, x0, count, spans, starts, tallies);
}

void pair_rows(const fast_kernel_paths& paths, const pair_packs& packs, std::int64_t x0, std::int64_t count,
               const row_span* spans, const std::int64_t* starts, const row_sums& sums) {
    if (count <= 0) return;
#if defined(__x86_64__)
    if (paths.avx2) return tiles::pair_rows_avx2(packs, x0, count, spans, starts, sums);
#endif
    (void)paths;
    tiles::pair_rows_portable(packs, x0, count, spans, starts, sums);
}

void exact_rows(const fast_kernel_paths& paths, const packed_group& g1, const packed_group& g2,
                const float* const* source, const std::int32_t* first_columns, const std::int32_t* second_columns,
                const std::int64_t* rows, std::int64_t count, std::int64_t n, float* z, bool standardised) {
    // The rows packed together, so that the tiles' four x rows are all used.
    std::vector<const float*> x_rows(static_cast<std::size_t>(count));
    for (std::int64_t k = 0; k < count; ++k) x_rows[static_cast<std::size_t>(k)] = source[rows[k]];
    packed_group x1(static_cast<std::int32_t>(count), g1.count(), packing::by_column);
    packed_group x2(static_cast<std::int32_t>(count), g2.count(), packing::by_column);
    if (standardised) {
        x1.pack_standardised(x_rows.data(), first_columns, 0, count, nullptr);
        x2.pack_standardised(x_rows.data(), second_columns, 0, count, nullptr);
    } else {
        x1.pack(x_rows.data(), first_columns);
        x2.pack(x_rows.data(), second_columns);
    }
    std::vector<row_span> spans(static_cast<std::size_t>(count), row_span{0, n});
    std::vector<std::int64_t> starts(static_cast<std::size_t>(count));
    for (std::int64_t k = 0; k < count; ++k) starts[static_cast<std::size_t>(k)] = k * n;
    pair_rows(paths, {x1, x2, g1, g2}, 0, count, spans.data(), starts.data(), pair_values{nullptr, nullptr, z});
}

void listed_pairs(const fast_kernel_paths& paths, const packed_group& g1, const packed_group& g2,
                  const std::int32_t* first_rows, const std::int32_t* second_rows, std::int64_t begin, std::int64_t end,
                  const pair_values& out) {
    if (begin >= end) return;
#if defined(__x86_64__)
    if (paths.avx2)
        return tiles::listed_pairs_avx2(g1, g2, first_rows, second_rows, begin, end, out, paths.vector_atanh);
#endif
    (void)paths;
    tiles::listed_pairs_portable(g1, g2, first_rows, second_rows, begin, end, out);
}

void listed_pairs(const fast_kernel_paths& paths, const packed_group& g1, const packed_group& g2,
                  const std::int32_t* first_rows, const std::int32_t* second_rows, std::int64_t begin, std::int64_t end,
                  const exceedance_count& counting) {
    if (begin >= end) return;
#if defined(__x86_64__)
    if (paths.avx2) return tiles::listed_pairs_avx2(g1, g2, first_rows, second_rows, begin, end, counting);
#endif
    (void)paths;
    tiles::listed_pairs_portable(g1, g2, first_rows, second_rows, begin, end, counting);
}

}  // namespace corrshift
