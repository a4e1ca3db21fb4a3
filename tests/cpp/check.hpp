// A minimal check macro for the C++ unit tests: report and count failures, exit non-zero.
#pragma once

#include <cstdio>
#include <cstring>
#include <vector>

namespace corrshift_test {
inline int failures = 0;
}

#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++corrshift_test::failures;                                                   \
        }                                                                                 \
    } while (0)

// Whether two vectors hold the same bytes. memcmp must not see the null data pointer of
// an empty vector, even for 0 bytes.
template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

#define TEST_MAIN_END() return corrshift_test::failures == 0 ? 0 : 1
