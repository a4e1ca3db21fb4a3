// Bytes drawn by the progress bar.
#include <sstream>
#include <stdexcept>
#include <string>

#include "check.hpp"
#include "common/progressbar.hpp"

using namespace corrshift;

static std::string run(int cycles, int updates) {
    std::ostringstream out;
    progressbar bar(cycles, out);
    for (int i = 0; i < updates; ++i) bar.update();
    return out.str();
}

// What a terminal shows after interpreting the backspaces.
static std::string shown(const std::string& bytes) {
    std::string line;
    std::size_t cursor = 0;
    for (char c : bytes) {
        if (c == '\b') {
            if (cursor > 0) --cursor;
        } else {
            if (cursor < line.size())
                line[cursor] = c;
            else
                line.push_back(c);
            ++cursor;
        }
    }
    return line.substr(0, cursor);
}

static std::string bar_line(int filled, int percent) {
    return "[" + std::string(filled, '#') + std::string(50 - filled, ' ') + "] " + std::to_string(percent) + "%";
}

int main() {
    const std::string frame = "[" + std::string(50, ' ') + "] 0%";
    const std::string zero_step = std::string(54, '\b') + std::string(50, ' ') + "] 0%";

    // 201 cycles: the first five calls, byte for byte.
    std::string expected = frame + zero_step;  // call 1
    expected += zero_step;                     // call 2, p = 0 again
    expected += "\b\b1%";                      // call 3
    // call 4 (p = 1 again) writes nothing
    expected += "\b\b2%" + std::string(54, '\b') + "#" + std::string(49, ' ') + "] 2%";  // call 5
    CHECK(run(201, 5) == expected);

    // Steps of exactly one percent end at a full bar.
    CHECK(shown(run(101, 101)) == bar_line(50, 100));
    CHECK(shown(run(201, 201)) == bar_line(50, 100));
    // The transitions at 10, 11 and 100.
    const std::string at9 = run(101, 10), at10 = run(101, 11), at11 = run(101, 12);
    CHECK(at10.substr(at9.size(), 5) == "\b\b10%");
    CHECK(at10.substr(at9.size() + 5, 5) == std::string(5, '\b'));
    CHECK(at11.substr(at10.size()) == "\b\b\b11%");
    const std::string at99 = run(101, 100), at100 = run(101, 101);
    CHECK(at100.substr(at99.size(), 7) == "\b\b\b100%");
    CHECK(at100.substr(at99.size() + 7, 6) == std::string(6, '\b'));

    // Fewer cycles: every update shows the true percentage and p / 2 cells.
    for (int cycles : {2, 3, 7, 11, 51, 67, 100}) {
        for (int u = 1; u <= cycles; ++u) {
            const int p = static_cast<int>((u - 1) * 100.0 / (cycles - 1));
            CHECK(shown(run(cycles, u)) == bar_line(p / 2, p));
        }
    }

    // One cycle: the first frame stays.
    CHECK(run(1, 1) == frame);

    // No cycles set: throws before writing anything.
    std::ostringstream out;
    progressbar unset(0, out);
    bool threw = false;
    try {
        unset.update();
    } catch (const std::runtime_error& e) {
        threw = std::string(e.what()) == "progressbar::update: number of cycles not set";
    }
    CHECK(threw);
    CHECK(out.str().empty());
    TEST_MAIN_END();
}
