// The studentized statistic of listed pairs in permutation passes, a block of passes at a
// time (the robust passes of robust_blocks.cpp). A pass splits the samples into the two
// groups of the caller's sizes; its column order lists group 1 first (n1 columns), then
// group 2 (n2). For each pass and pair the kernel gives the clamped correlations c1, c2 and
// the squared standard error se2 of studentized.hpp (T = fisher_log_difference(c1, c2) /
// sqrt(se2)), and whether the pass is defined for the pair: it is not where a group leaves
// either row constant.
//
// Every sum over a group's columns is an exact integer sum, so it does not depend on the
// order of the columns: two passes whose groups hold the same values (sparse rows: the same
// non-zero samples, any zeros) give the same T bit for bit, and a tie with the observed
// statistic stays a tie. (Sums of doubles in each pass's order would differ in their last
// bits there, and near |r| = 1, where tau^2 is a difference of nearly equal terms, those bits
// move T by 1e-6 of itself and split true ties.)
//
// Pearson, from power sums. Each row is shifted and scaled once over all columns of the data:
// y = (value - o) / sd, o the row's lower median (the zero of a sparse row, so that its
// zeros give exact zero terms), sd its standard deviation (divisor ncols; y = 0 for a row
// constant over all columns). Its powers y, y^2 = y y, y^3 = y^2 y, y^4 = y^2 y^2 and a
// pair's products x y, x^2 y, x y^2, x^3 y, x y^3, x^2 y^2 (formed from the rows' powers as
// written) are each held in fixed point: rounded to the nearest multiple of 2^-e, e chosen per
// row (or pair) and power (or product) from the largest magnitude over all columns so that a
// sum over all columns fits 61 bits (fixed_point_scale). A group's sum is the int64 sum of its
// columns' values, converted once to double: E[.] = (double(sum) * 2^-e) * (1 / n_g). With
// a = E[x], b = E[y]:
//     var_x = E[x^2] - a a (var_y likewise), s_x = 1 / sqrt(var_x),
//     r     = (E[xy] - a b) s_x s_y,
//     mu22  = E[x^2y^2] - 2b E[x^2y] - 2a E[xy^2] + b^2 E[x^2] + a^2 E[y^2] + 4ab E[xy] - 3(ab)^2,
//     mu31  = E[x^3y] - b E[x^3] - 3a E[x^2y] + 3ab E[x^2] + 3a^2 E[xy] - 3a^2(ab)  (mu13 alike),
//     mu40  = E[x^4] - 4a E[x^3] + 6a^2 E[x^2] - 3a^2 a^2,
//     m22 = mu22 s_x^2 s_y^2, m31 = mu31 s_x^3 s_y, m13 = mu13 s_x s_y^3, m40 = mu40 s_x^4,
// then tau^2 and se2 as in studentized.hpp (the exact order of every operation is the
// code's). Where the two groups together hold every column of the data, only the smaller
// group (group 1 on equal sizes) is summed and the other's sums are the totals less those
// (exact, being integers). A row is constant in a group when its values there (the data's
// floats) are all equal, or when var_x <= 1e-12 E[x^2].
//
// Spearman, in integers. Per pass, each row's average ranks within each group (rank_key
// order: -0 equals +0, NaN after every number) as A = 2 (rank - (n_g - 1)/2), an integer;
// Q = sum A^2 = (n_g^3 - n_g - sum over tie runs of (k^3 - k)) / 3 and F = sum A^4 per row
// and group (exact); a pair's sums of P = A B, P^2, A^2 P and B^2 P over the group's columns
// (exact in 64 or 128 bits). With q = 1 / sqrt(Q) per row (u = A q sqrt(n_g) has mean 0 and
// mean square 1):
//     r = S_P q_x q_y, m22 = (n S_PP) q_x^2 q_y^2, m31 = (n S_AAP) q_x^3 q_y,
//     m13 = (n S_BBP) q_x q_y^3, m40 = (n F) q^4.
// A row is constant in a group when Q = 0.
#pragma once

#include <cstdint>
#include <vector>

namespace corrshift {

// The exponent e of a fixed-point column of values whose largest magnitude is `largest`,
// summed over at most `terms` values: largest * 2^e < 2^(61 - ceil(log2 terms)), so that
// every sum of rounded values fits 61 bits; 0 for largest 0.
int fixed_point_scale(double largest, std::int64_t terms) noexcept;

// The column orders of a block of passes: pass b's order at orders + b * width, width =
// n1 + n2, group 1 its first n1 columns. `count` passes, padded to a multiple of four
// (the padding passes repeat the last one and are computed, then ignored).
struct pass_orders {
    const std::int32_t* orders;
    std::int32_t count;
    std::int32_t width;
    std::int32_t n1;
    std::int32_t n2;
    // "spearman": per pass, each data column's position in the pass's order, -1 outside
    // both groups (pass b's at positions + b * ncols); null for Pearson.
    const std::int32_t* positions = nullptr;
};

// What a pair's pass gives: per pass b of the block, the clamped correlations, the squared
// standard error and whether the pass is defined for the pair.
struct pair_pass_values {
    std::vector<double> c1, c2, se2;
    std::vector<unsigned char> defined;
    void resize(std::int32_t passes);
};

// The rows of a call (distinct rows of its pairs, data rows rows[k]) and what every block
// needs of them, made once per call; then per block the rows' statistics of each pass
// (prepare_row, once per active row, any rows on any threads), then each pair's pass values
// (pair_block, any pairs on any threads, each with its own scratch). A pair's values depend
// only on its rows' values, the groups' sizes and the values each pass puts in each group:
// not on the order of the columns in a group, the block, the other pairs, the threads or the
// code path.
class robust_pass_kernel {
  public:
    // data: nrows x ncols row-major; rows: the distinct data rows, ascending.
    robust_pass_kernel(const float* data, std::int32_t ncols, const std::int32_t* rows, std::int32_t row_count,
                       std::int32_t n1, std::int32_t n2, bool by_rank, bool avx2, std::int32_t jobs);

    // Room for the statistics of `passes` passes (a multiple of four) of `rows` rows.
    void reserve_block(std::int32_t passes, std::int32_t rows);
    // Bytes a block takes per pass and row.
    std::int64_t bytes_per_pass_row() const noexcept;

    // The statistics of row k (position among the call's rows) in every pass of the block,
    // stored at slot `slot` (< rows of reserve_block).
    void prepare_row(const pass_orders& block, std::int32_t k, std::int32_t slot);

    // Working storage of one thread of pair_block.
    struct scratch {
        std::vector<std::int64_t> records;
        std::vector<double> products;
    };

    // The pass values of the pair of rows k1, k2 whose statistics sit at slots s1, s2.
    void pair_block(const pass_orders& block, std::int32_t k1, std::int32_t s1, std::int32_t k2, std::int32_t s2,
                    scratch& work, pair_pass_values& out) const;

  private:
    void prepare_power_row(const pass_orders& block, std::int32_t k, std::int32_t slot);
    void prepare_rank_row(const pass_orders& block, std::int32_t k, std::int32_t slot);
    void power_pair_block(const pass_orders& block, std::int32_t k1, std::int32_t s1, std::int32_t k2, std::int32_t s2,
                          scratch& work, pair_pass_values& out) const;
    void rank_pair_block(const pass_orders& block, std::int32_t s1, std::int32_t s2, pair_pass_values& out) const;
    double* stats(std::int32_t slot, int group, int field) noexcept;
    const double* stats(std::int32_t slot, int group, int field) const noexcept;

    const float* data_;
    std::int32_t ncols_;
    std::vector<std::int32_t> rows_;
    std::int32_t n1_, n2_;
    bool by_rank_, avx2_;
    bool complement_;    // the groups hold every column: the larger group's sums by difference
    bool summed_first_;  // which group is summed where complement_
    int fields_;
    // Pearson: each row's y over all columns, its powers in fixed point (four per column),
    // their exponents and totals over all columns.
    std::vector<double> y_;
    std::vector<std::int64_t> powers_;
    std::vector<int> power_scale_;
    std::vector<std::int64_t> power_totals_;
    // Spearman: each row's columns in rank_key order, and where its tie runs end.
    std::vector<std::int32_t> sorted_;
    std::vector<std::int32_t> run_end_;
    std::vector<unsigned char> distinct_;
    bool wide_;  // a group of more than 6000 columns: Spearman sums in 128 bits
    // The block's statistics: per slot and group, `fields_` arrays of block_passes_ values;
    // Spearman also each slot's A values: passes / 4 quads of (width x 4) integers.
    std::int32_t block_passes_ = 0;
    std::vector<double> stats_;
    std::vector<std::int64_t> ranks_;
};

}  // namespace corrshift
