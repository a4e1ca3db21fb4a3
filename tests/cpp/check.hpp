// A minimal check macro for the C++ unit tests: report and count failures, exit non-zero.
#pragma once

#include <cstdio>

namespace corrshift_test {
inline int failures = 0;
}

#define CHECK(cond)                                                                   \
    do {                                                                              \
        if (!(cond)) {                                                                \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++corrshift_test::failures;                                               \
        }                                                                             \
    } while (0)

#define TEST_MAIN_END() return corrshift_test::failures == 0 ? 0 : 1
