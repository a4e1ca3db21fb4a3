#include "common/progressbar.hpp"

#include <stdexcept>

namespace corrshift {

namespace {

constexpr std::int32_t bar_width = 50;

void repeat(std::ostream& out, const std::string& text, std::int32_t times) {
    for (std::int32_t i = 0; i < times; ++i) out << text;
}

std::int32_t digits(std::int32_t value) { return value >= 100 ? 3 : value >= 10 ? 2 : 1; }

}  // namespace

progressbar::progressbar(std::int32_t cycles_, std::ostream& out_) : cycles(cycles_), out(out_) {}

void progressbar::update() {
    if (cycles == 0) throw std::runtime_error("progressbar::update: number of cycles not set");
    if (!started) {
        out << left_bracket;
        repeat(out, empty_cell, bar_width);
        out << right_bracket << " 0%";
        started = true;
    }
    // With a single cycle there is no percentage to show: the first frame stays.
    if (cycles == 1) return;
    const auto p = static_cast<std::int32_t>(progress * 100.0 / (cycles - 1));

    if (p == last_percent || p == last_percent + 1) {
        // Steps of at most one percent: rewrite the label, then add one cell on
        // every even percentage. With 101 cycles or more every update is such a step.
        if (p == last_percent + 1) {
            out << (p <= 10 ? "\b\b" : "\b\b\b") << p << '%';
        }
        if (p % 2 == 0) {
            repeat(out, "\b", static_cast<std::int32_t>(right_bracket.size()));
            out << (p < 10 ? "\b\b\b" : p < 100 ? "\b\b\b\b" : "\b\b\b\b\b");
            const std::int32_t n = bar_width - (p - 1) / 2;
            repeat(out, std::string(empty_cell.size(), '\b'), n);
            out << (p != 0 ? filled_cell : empty_cell);
            repeat(out, empty_cell, n - 1);
            out << right_bracket << ' ' << p << '%';
        }
    } else {
        // Fewer cycles make the percentage jump: draw the whole bar anew so that it
        // always shows p / 2 filled cells and the true percentage.
        redraw(p);
    }
    last_percent = p;
    ++progress;
    out.flush();
}

void progressbar::redraw(std::int32_t percent) {
    const std::int32_t filled = last_percent / 2;
    const auto shown =
        static_cast<std::int32_t>(filled * filled_cell.size() + (bar_width - filled) * empty_cell.size() +
                                  right_bracket.size() + 2 + static_cast<std::size_t>(digits(last_percent)));
    repeat(out, "\b", shown);
    repeat(out, filled_cell, percent / 2);
    repeat(out, empty_cell, bar_width - percent / 2);
    out << right_bracket << ' ' << percent << '%';
}

}  // namespace corrshift
