// Argument checks shared by the binding files. Plain C++: they throw the standard
// exceptions that the binding layer turns into ValueError, IndexError and RuntimeError.
#pragma once

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

namespace corrshift {

// A first extent narrowed to int32, or std::invalid_argument naming the argument.
inline std::int32_t checked_length(std::int64_t extent, const char* name) {
    if (extent > std::numeric_limits<std::int32_t>::max())
        throw std::invalid_argument(std::string(name) + " has more than 2147483647 entries");
    return static_cast<std::int32_t>(extent);
}

}  // namespace corrshift
