// Helpers shared by the plain kernels for walking rows by byte steps.
//
// Most kernels advance each row pointer by its step in bytes, unchanged; a step that is not a
// multiple of 4 is accepted and then leaves row starts off the 4-byte grid. Rows are therefore
// read and written through `ufloat`, a float type with byte alignment, so that such a step is
// well defined; on x86 it compiles to the same loads and stores as plain floats.
#pragma once

#include <cstddef>
#include <cstdint>

namespace prim_detail {

typedef float ufloat __attribute__((aligned(1)));

// Row y of an image whose row 0 starts at `base`, with a row step in bytes.
inline const ufloat* row_at(const float* base, int32_t step, int32_t y) {
    return reinterpret_cast<const ufloat*>(reinterpret_cast<const unsigned char*>(base) +
                                           static_cast<std::ptrdiff_t>(step) * y);
}
inline ufloat* row_at(float* base, int32_t step, int32_t y) {
    return reinterpret_cast<ufloat*>(reinterpret_cast<unsigned char*>(base) +
                                     static_cast<std::ptrdiff_t>(step) * y);
}

}  // namespace prim_detail
