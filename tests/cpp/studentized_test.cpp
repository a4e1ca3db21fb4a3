// The shortcut of the robust passes: surely_below(rule, c1, c2, se2, thr) may only say
// "below" where the studentized statistic's extremeness, computed in full, is below thr,
// also for thresholds within a few units in the last place of it; and the Fisher
// difference is exactly antisymmetric, so that swapping the groups only flips T's sign.
#include <cmath>
#include <cstdint>
#include <random>

#include "check.hpp"
#include "pipelines/kernels/studentized.hpp"
#include "pipelines/kernels/studentized_decision.hpp"

using namespace corrshift;

int main() {
    std::mt19937_64 generator(28);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const tail rules[] = {tail::two_sided, tail::greater, tail::less};
    std::int64_t wrong = 0, decided = 0, close = 0, antisymmetric = 0;
    for (int k = 0; k < 2000000; ++k) {
        // Correlations spread over the range and piled up near the clamp and each other.
        double c1 = clamp_symmetric(2.0 * unit(generator) - 1.0, studentized_clamp);
        double c2 = k % 3 == 0 ? clamp_symmetric(c1 + (unit(generator) - 0.5) * 1e-6, studentized_clamp)
                               : clamp_symmetric(2.0 * unit(generator) - 1.0, studentized_clamp);
        if (k % 7 == 0) c1 = std::copysign(studentized_clamp, c1);
        const double se2 = std::ldexp(unit(generator) + 0.5, static_cast<int>(unit(generator) * 40.0) - 30);
        const double t = studentized_value(c1, c2, se2);
        if (fisher_log_difference(c1, c2) != -fisher_log_difference(c2, c1)) ++antisymmetric;
        for (const tail rule : rules) {
            const double e = extremeness(rule, t);
            // Thresholds a few ulp either side of e, and farther off.
            const double step = k % 2 == 0 ? std::ldexp(1.0, -50) : std::ldexp(1.0, -20);
            const double thr = std::fabs(e) * (1.0 + (unit(generator) - 0.5) * step) + (k % 5 == 0 ? 0.0 : 1e-3);
            if (!surely_below(rule, c1, c2, se2, thr)) continue;
            ++decided;
            if (!(e < thr)) ++wrong;
            if (thr - e < std::ldexp(thr, -30)) ++close;
        }
    }
    CHECK(wrong == 0);
    CHECK(antisymmetric == 0);
    CHECK(decided > 100000);  // the shortcut does decide, also near the threshold
    CHECK(close > 0);
    // Undecided where a value is NaN or out of the proven ranges.
    CHECK(!surely_below(tail::two_sided, std::nan(""), 0.1, 1.0, 1.0));
    CHECK(!surely_below(tail::two_sided, 0.1, 0.2, 0.0, 1.0));
    CHECK(!surely_below(tail::two_sided, 0.1, 0.2, 1.0, 0.0));
    CHECK(!surely_below(tail::greater, 0.1, 0.2, 1.0, -1.0));
    TEST_MAIN_END();
}
