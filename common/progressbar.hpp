// One-line text progress display: a 50-cell bar between brackets and a percentage,
// redrawn in place with backspaces.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace corrshift {

class progressbar {
  public:
    // A bar that expects `cycles` calls of update(); 0 means "not set".
    progressbar(std::int32_t cycles, std::ostream& out);

    // Advances the display by one completed cycle and flushes the stream.
    // Throws std::runtime_error, writing nothing, when the bar has 0 cycles.
    void update();

  private:
    void redraw(std::int32_t percent);

    std::int32_t progress = 0;
    std::int32_t cycles;
    std::int32_t last_percent = 0;
    bool started = false;
    std::string filled_cell = "#";
    std::string empty_cell = " ";
    std::string left_bracket = "[";
    std::string right_bracket = "]";
    std::ostream& out;
};

}  // namespace corrshift
