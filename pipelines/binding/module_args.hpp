// Argument helpers of the two binding files built from the pipelines kernels (the
// `pipelines` and `_blocks` modules): the data's shape and the lengths of index lists.
#pragma once

#include <cstdint>

#include "common/binding/array_args.hpp"
#include "pipelines/binding/checks.hpp"

namespace corrshift::binding {

inline matrix_shape shape_of(const float_array& data) {
    std::int64_t shape[2] = {0, 0};
    for (py::ssize_t d = 0; d < data.ndim() && d < 2; ++d) shape[d] = data.shape(d);
    return check_data(data.ndim(), shape);
}

inline std::int32_t length_of(const int_array& list, const char* name) {
    std::int64_t first = list.ndim() > 0 ? list.shape(0) : 0;
    return check_list(list.ndim(), &first, list.size(), name);
}

}  // namespace corrshift::binding
