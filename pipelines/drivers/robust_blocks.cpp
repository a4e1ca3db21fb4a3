// The studentized blocks: the observed statistic of all pairs of a tile (panels of the
// rows' unit vectors and their powers, as the API's observed z-test pass) and of listed
// pairs, and the robust passes of listed pairs: blocks of passes whose column orders all
// pairs share, each active row's statistics of the block once, then each active pair's
// pass values and its count, its defined passes and its largest statistics, pass by pass
// in order, with the stop applied at the pass where its count reaches it.
#include "pipelines/drivers/robust_blocks.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "common/options.hpp"
#include "pipelines/drivers/block_steps.hpp"
#include "pipelines/kernels/correlation.hpp"
#include "pipelines/kernels/robust_pass.hpp"
#include "pipelines/kernels/studentized.hpp"
#include "pipelines/kernels/studentized_decision.hpp"
#include "pipelines/kernels/vector_code.hpp"

namespace corrshift {

namespace {

std::vector<const float*> row_pointers(const pass_input& input, const std::vector<std::int32_t>& rows) {
    std::vector<const float*> pointers(rows.size());
    for (std::size_t k = 0; k < rows.size(); ++k) pointers[k] = input.data + std::int64_t{rows[k]} * input.ncols;
    return pointers;
}

struct studentized_groups {
    studentized_group first, second;
};

studentized_groups groups_of(const pass_input& input, const std::vector<std::int32_t>& rows,
                             const block_options& options, bool panels) {
    const std::vector<const float*> pointers = row_pointers(input, rows);
    const auto count = static_cast<std::int64_t>(rows.size());
    studentized_groups g;
    studentized_group_of(pointers.data(), count, input.ncols, input.groups.first, input.groups.first_count,
                         options.by_rank, panels, options.jobs, g.first);
    studentized_group_of(pointers.data(), count, input.ncols, input.groups.second, input.groups.second_count,
                         options.by_rank, panels, options.jobs, g.second);
    return g;
}

void store_value(const studentized_outputs& out, std::int64_t k, double t, tail alternative) {
    out.t[k] = t;
    out.p[k] = normal_p_value_exact(t, alternative);
}

}  // namespace

void studentized_block(const pass_input& input, row_range a, row_range b, const block_options& options,
                       const studentized_outputs& out) {
    // The rows and plan of ztest_block: a, then the rows j any row of a pairs with.
    const std::int64_t y_first = std::max(b.first, a.first + 1);
    const std::int64_t y_last = b.last;
    const std::int64_t pairs = ztest_block_pair_count(a, b);
    if (pairs == 0) return;
    std::vector<std::int32_t> rows;
    std::int64_t y_index = 0;
    add_range(rows, a.first, a.last);
    if (y_first <= a.last) {
        add_range(rows, a.last, std::max(a.last, y_last));
        y_index = y_first - a.first;
    } else {
        y_index = static_cast<std::int64_t>(rows.size());
        add_range(rows, y_first, y_last);
    }
    pair_plan plan;
    for (std::int64_t i = a.first; i < a.last; ++i)
        plan.add_row(std::max(y_first, i + 1) - y_first + y_index, y_last - y_first + y_index);
    const studentized_groups g = groups_of(input, rows, options, true);
    const bool avx2 = processor_has_avx2();
    fan_out(pairs, stage_jobs(options, pairs), [&](std::int64_t begin, std::int64_t end) {
        std::vector<studentized_sums> s1, s2;
        plan_chunks(plan, begin, end,
                    [&](std::int64_t x0, std::int64_t count, const row_span* spans, const std::int64_t* starts) {
                        for (std::int64_t r = 0; r < count; ++r) {
                            const std::int64_t lo = spans[r].lo, n = spans[r].hi - spans[r].lo;
                            if (n <= 0) continue;
                            s1.resize(static_cast<std::size_t>(n));
                            s2.resize(static_cast<std::size_t>(n));
                            studentized_run_sums(g.first, x0 + r, lo, n, s1.data(), avx2);
                            studentized_run_sums(g.second, x0 + r, lo, n, s2.data(), avx2);
                            for (std::int64_t u = 0; u < n; ++u) {
                                const auto at = static_cast<std::size_t>(u);
                                const double t = studentized_of_sums(s1[at], g.first, s2[at], g.second, x0 + r, lo + u);
                                store_value(out, starts[r] + lo + u, t, options.alternative);
                            }
                        }
                    });
    });
}

void studentized_pairs_block(const pass_input& input, const std::int32_t* first_rows, const std::int32_t* second_rows,
                             std::int32_t pair_count, const block_options& options, const studentized_outputs& out) {
    if (pair_count == 0) return;
    const listed_rows listed = listed_rows_of(first_rows, second_rows, pair_count);
    const studentized_groups g = groups_of(input, listed.rows, options, false);
    fan_out(pair_count, stage_jobs(options, pair_count), [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t k = begin; k < end; ++k) {
            const std::int64_t i = listed.first[static_cast<std::size_t>(k)];
            const std::int64_t j = listed.second[static_cast<std::size_t>(k)];
            const double t = studentized_of_sums(studentized_pair_sums(g.first, i, j), g.first,
                                                 studentized_pair_sums(g.second, i, j), g.second, i, j);
            store_value(out, k, t, options.alternative);
        }
    });
}

namespace {

// Bytes of row statistics a block may take, and its passes.
constexpr std::int64_t block_budget = std::int64_t{64} << 20;
constexpr std::int32_t most_block_passes = 256;

// One pair's state while passes run.
struct pair_state {
    double threshold;  // extremeness_threshold of the observed T
    std::int32_t count;
    std::int32_t defined;
    std::int32_t kept;  // entries of the pair's heap of largest values
    bool active;
};

class robust_run {
  public:
    robust_run(const pass_input& input, const std::int32_t* first_rows, const std::int32_t* second_rows,
               std::int32_t pair_count, const block_options& options, const robust_settings& settings,
               const robust_state& state, double* top)
        : input_(input),
          options_(options),
          settings_(settings),
          state_(state),
          top_(top),
          pairs_(pair_count),
          listed_(listed_rows_of(first_rows, second_rows, pair_count)),
          kernel_(input.data, input.ncols, listed_.rows.data(), static_cast<std::int32_t>(listed_.rows.size()),
                  input.groups.first_count, input.groups.second_count, options.by_rank, processor_has_avx2(),
                  options.jobs),
          width_(input.groups.first_count + input.groups.second_count),
          pairs_state_(static_cast<std::size_t>(pair_count)),
          heaps_(static_cast<std::size_t>(pair_count) * static_cast<std::size_t>(settings.keep)) {}

    void run(const run_environment& env) {
        std::int32_t done = 0;
        const std::int32_t first = options_.first_pass, last = options_.last_pass;
        if (settings_.fresh) {
            env.check_interrupt();
            observed_pass();
            if (first == 0 && last > 0) env.progress(++done);
        }
        for (std::int32_t k = 0; k < pairs_; ++k) start_pair(k);
        const std::int32_t start = std::max(first, 1);
        if (start < last && any_active()) {
            std::mt19937 generator(permutation_seed);
            std::vector<std::int32_t> order(static_cast<std::size_t>(input_.ncols));
            for (std::int32_t c = 0; c < input_.ncols; ++c) order[static_cast<std::size_t>(c)] = c;
            for (std::int32_t pass = 1; pass < start; ++pass) shuffle_columns(order, generator);
            for (std::int32_t pass = start; pass < last && any_active();) {
                env.check_interrupt();
                const std::int32_t count = std::min(block_passes(), last - pass);
                orders_.assign(static_cast<std::size_t>((count + 3) / 4 * 4) * static_cast<std::size_t>(width_), 0);
                for (std::int32_t b = 0; b < count; ++b) {
                    shuffle_columns(order, generator);
                    std::copy_n(order.begin(), width_, orders_.begin() + std::int64_t{b} * width_);
                }
                run_block(count);
                pass += count;
                done += count;
                env.progress(done);
            }
        }
        // Passes left when every pair has stopped need no work.
        if (done < last - first) env.progress(last - first);
        finish();
    }

  private:
    void observed_pass() {
        orders_.resize(static_cast<std::size_t>(width_));
        std::copy_n(input_.groups.first, input_.groups.first_count, orders_.begin());
        std::copy_n(input_.groups.second, input_.groups.second_count, orders_.begin() + input_.groups.first_count);
        for (std::int32_t k = 0; k < pairs_; ++k) pairs_state_[static_cast<std::size_t>(k)].active = true;
        std::vector<double> t(static_cast<std::size_t>(pairs_));
        run_pairs(1, [&](std::int32_t k, const pair_pass_values& v) {
            t[static_cast<std::size_t>(k)] =
                v.defined[0] ? studentized_value(v.c1[0], v.c2[0], v.se2[0]) : std::numeric_limits<double>::quiet_NaN();
        });
        for (std::int32_t k = 0; k < pairs_; ++k) {
            state_.t_obs[k] = t[static_cast<std::size_t>(k)];
            state_.counts[k] = 0;
            state_.defined[k] = 0;
        }
    }

    void start_pair(std::int32_t k) {
        pair_state& s = pairs_state_[static_cast<std::size_t>(k)];
        const double t = state_.t_obs[k];
        s.threshold = extremeness_threshold(extremeness(options_.alternative, t));
        s.count = state_.counts[k];
        s.defined = state_.defined[k];
        s.kept = 0;
        const bool stopped = settings_.stop_at > 0 && s.count >= settings_.stop_at;
        s.active = std::isfinite(t) && !stopped;
    }

    bool any_active() const {
        return std::any_of(pairs_state_.begin(), pairs_state_.end(), [](const pair_state& s) { return s.active; });
    }

    // Passes per block: as many as the budget allows for the rows of the active pairs.
    std::int32_t block_passes() const {
        std::int64_t rows = 0;
        std::vector<unsigned char> seen(listed_.rows.size(), 0);
        for (std::int32_t k = 0; k < pairs_; ++k) {
            if (!pairs_state_[static_cast<std::size_t>(k)].active) continue;
            for (const std::int32_t r :
                 {listed_.first[static_cast<std::size_t>(k)], listed_.second[static_cast<std::size_t>(k)]})
                if (!seen[static_cast<std::size_t>(r)]) seen[static_cast<std::size_t>(r)] = 1, ++rows;
        }
        const std::int64_t per_pass = kernel_.bytes_per_pass_row() * std::max<std::int64_t>(rows, 1);
        const std::int64_t passes = std::min<std::int64_t>(most_block_passes, block_budget / per_pass);
        return static_cast<std::int32_t>(std::max<std::int64_t>(4, passes / 4 * 4));
    }

    void run_block(std::int32_t count) {
        run_pairs(count, [&](std::int32_t k, const pair_pass_values& v) { decide(k, v, count); });
    }

    // The block of passes in orders_ (count of them): every active row's statistics, then
    // on_pair(k, values) for every active pair, on the call's threads.
    template <class OnPair>
    void run_pairs(std::int32_t count, const OnPair& on_pair) {
        const std::int32_t padded = (count + 3) / 4 * 4;
        orders_.resize(static_cast<std::size_t>(padded) * static_cast<std::size_t>(width_));
        for (std::int32_t b = count; b < padded; ++b)
            std::copy_n(orders_.begin() + std::int64_t{count - 1} * width_, width_,
                        orders_.begin() + std::int64_t{b} * width_);
        std::vector<std::int32_t> positions;
        pass_orders block{orders_.data(), padded, width_, input_.groups.first_count, input_.groups.second_count};
        if (options_.by_rank) {
            positions.assign(static_cast<std::size_t>(padded) * static_cast<std::size_t>(input_.ncols), -1);
            for (std::int32_t b = 0; b < padded; ++b)
                for (std::int32_t t = 0; t < width_; ++t)
                    positions[static_cast<std::size_t>(
                        std::int64_t{b} * input_.ncols +
                        orders_[static_cast<std::size_t>(std::int64_t{b} * width_ + t)])] = t;
            block.positions = positions.data();
        }
        // The active pairs and their rows' slots.
        std::vector<std::int32_t> active, rows, slot(listed_.rows.size(), -1);
        for (std::int32_t k = 0; k < pairs_; ++k) {
            if (!pairs_state_[static_cast<std::size_t>(k)].active) continue;
            active.push_back(k);
            for (const std::int32_t r :
                 {listed_.first[static_cast<std::size_t>(k)], listed_.second[static_cast<std::size_t>(k)]}) {
                if (slot[static_cast<std::size_t>(r)] >= 0) continue;
                slot[static_cast<std::size_t>(r)] = static_cast<std::int32_t>(rows.size());
                rows.push_back(r);
            }
        }
        kernel_.reserve_block(padded, static_cast<std::int32_t>(rows.size()));
        const auto row_count = static_cast<std::int64_t>(rows.size());
        fan_out(row_count, stage_jobs(options_, row_count), [&](std::int64_t begin, std::int64_t end) {
            for (std::int64_t s = begin; s < end; ++s)
                kernel_.prepare_row(block, rows[static_cast<std::size_t>(s)], static_cast<std::int32_t>(s));
        });
        const auto pair_count = static_cast<std::int64_t>(active.size());
        fan_out(pair_count, stage_jobs(options_, pair_count), [&](std::int64_t begin, std::int64_t end) {
            robust_pass_kernel::scratch work;
            pair_pass_values values;
            for (std::int64_t a = begin; a < end; ++a) {
                const std::int32_t k = active[static_cast<std::size_t>(a)];
                // The pair's rows in ascending order, so that a pair gives the same bits
                // whichever way round it is listed (T is symmetric in its rows; the
                // kernel's operations are not).
                const std::int32_t listed_first = listed_.first[static_cast<std::size_t>(k)];
                const std::int32_t listed_second = listed_.second[static_cast<std::size_t>(k)];
                const std::int32_t r1 = std::min(listed_first, listed_second);
                const std::int32_t r2 = std::max(listed_first, listed_second);
                kernel_.pair_block(block, r1, slot[static_cast<std::size_t>(r1)], r2,
                                   slot[static_cast<std::size_t>(r2)], work, values);
                on_pair(k, values);
            }
        });
    }

    // The pair's passes of the block in order: defined ones counted, its count raised
    // where the pass is at least as extreme as the observed one, its largest values kept,
    // and nothing after the pass where its count reaches the stop.
    void decide(std::int32_t k, const pair_pass_values& v, std::int32_t count) {
        pair_state& s = pairs_state_[static_cast<std::size_t>(k)];
        const std::int32_t keep = settings_.keep;
        double* heap = heaps_.data() + static_cast<std::size_t>(k) * static_cast<std::size_t>(keep);
        const tail rule = options_.alternative;
        for (std::int32_t b = 0; b < count; ++b) {
            if (!v.defined[static_cast<std::size_t>(b)]) continue;
            const double c1 = v.c1[static_cast<std::size_t>(b)], c2 = v.c2[static_cast<std::size_t>(b)];
            const double se2 = v.se2[static_cast<std::size_t>(b)];
            const bool below_count = surely_below(rule, c1, c2, se2, s.threshold);
            const bool below_kept = keep == 0 || (s.kept == keep && surely_below(rule, c1, c2, se2, heap[0]));
            if (below_count && below_kept) {
                ++s.defined;
                continue;
            }
            const double t = studentized_value(c1, c2, se2);
            if (std::isnan(t)) continue;
            const double e = extremeness(rule, t);
            ++s.defined;
            if (keep > 0) {
                if (s.kept < keep) {
                    heap[s.kept++] = e;
                    std::push_heap(heap, heap + s.kept, std::greater<double>());
                } else if (e > heap[0]) {
                    std::pop_heap(heap, heap + keep, std::greater<double>());
                    heap[keep - 1] = e;
                    std::push_heap(heap, heap + keep, std::greater<double>());
                }
            }
            if (e >= s.threshold) {
                ++s.count;
                if (settings_.stop_at > 0 && s.count >= settings_.stop_at) {
                    s.active = false;
                    return;
                }
            }
        }
    }

    void finish() {
        const std::int32_t keep = settings_.keep;
        for (std::int32_t k = 0; k < pairs_; ++k) {
            const pair_state& s = pairs_state_[static_cast<std::size_t>(k)];
            if (std::isfinite(state_.t_obs[k])) {
                state_.counts[k] = s.count;
                state_.defined[k] = s.defined;
            }
            if (keep == 0) continue;
            double* heap = heaps_.data() + static_cast<std::size_t>(k) * static_cast<std::size_t>(keep);
            std::sort(heap, heap + s.kept, std::greater<double>());
            double* out = top_ + static_cast<std::int64_t>(k) * keep;
            std::copy_n(heap, s.kept, out);
            std::fill(out + s.kept, out + keep, std::numeric_limits<double>::quiet_NaN());
        }
    }

    const pass_input& input_;
    const block_options& options_;
    const robust_settings& settings_;
    const robust_state& state_;
    double* top_;
    std::int32_t pairs_;
    listed_rows listed_;
    robust_pass_kernel kernel_;
    std::int32_t width_;
    std::vector<pair_state> pairs_state_;
    std::vector<double> heaps_;
    std::vector<std::int32_t> orders_;
};

}  // namespace

void robust_pass_block(const pass_input& input, const std::int32_t* first_rows, const std::int32_t* second_rows,
                       std::int32_t pair_count, const block_options& options, const robust_settings& settings,
                       const robust_state& state, double* top, const run_environment& env) {
    robust_run run(input, first_rows, second_rows, pair_count, options, settings, state, top);
    run.run(env);
}

}  // namespace corrshift
