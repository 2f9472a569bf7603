// Image storage and the region moves: allocation with 32-byte aligned rows, release, copy and
// fill. Both moves work on bit patterns, never on float values, so NaN payloads, signed zeros and
// subnormals arrive unchanged.
//
// Where the machine has AVX2, a checked fill goes to its eight-lane copy in plain_avx2.cpp (see
// plain_paths.hpp), which stores the same bits. The copy has no such path: memmove already uses
// the widest moves the machine has.
#include "primitives/image.hpp"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "primitives/plain_paths.hpp"
#include "primitives/row_access.hpp"

namespace {

constexpr std::uintptr_t kAlign = 32;                  // image and row alignment [bytes]
constexpr int64_t kOverhead = kAlign + sizeof(void*);  // alignment slack + back-pointer [bytes]

}  // namespace

float* prim_malloc_32f_c0(int32_t width, int32_t height, int32_t* step) {
    if (step == nullptr) return nullptr;
    if (width <= 0 || height <= 0) {
        *step = 0;
        return nullptr;
    }
    // 64-bit arithmetic throughout: a size that does not fit fails, it never wraps.
    const int64_t row_step = (int64_t{4} * width + 31) & ~int64_t{31};
    if (row_step > std::numeric_limits<int32_t>::max()) {
        // The row step itself cannot be reported; leave no misleading value behind.
        *step = 0;
        return nullptr;
    }
    *step = static_cast<int32_t>(row_step);
    const int64_t size = row_step * height;
    if (size <= 0 || size > std::numeric_limits<int32_t>::max() - kOverhead) return nullptr;

    void* raw = std::malloc(static_cast<std::size_t>(size + kOverhead));
    if (raw == nullptr) return nullptr;
    // The first multiple of 32 that leaves room for the back-pointer just below it.
    const std::uintptr_t image =
        (reinterpret_cast<std::uintptr_t>(raw) + sizeof(void*) + kAlign - 1) & ~(kAlign - 1);
    std::memcpy(reinterpret_cast<void*>(image - sizeof(void*)), &raw, sizeof(void*));
    return reinterpret_cast<float*>(image);
}

void prim_free_c0(void* ptr) {
    if (ptr == nullptr) return;
    void* raw;
    std::memcpy(&raw, static_cast<unsigned char*>(ptr) - sizeof(void*), sizeof(void*));
    std::free(raw);
}

PrimStatus prim_copy_32f_c0(const float* src, int32_t src_step, float* dst, int32_t dst_step,
                            Size roi) {
    if (src == nullptr || dst == nullptr) return prim_err_null_ptr;
    if (roi.width <= 0 || roi.height <= 0) return prim_err_size;
    if (src_step <= 0 || dst_step <= 0) return prim_err_step;

    const std::size_t row_bytes = std::size_t{4} * static_cast<std::size_t>(roi.width);
    // memmove, not memcpy: a copy onto itself (or onto an overlapping region, which is not a
    // supported use) must still be well defined.
    if (static_cast<std::size_t>(src_step) == row_bytes &&
        static_cast<std::size_t>(dst_step) == row_bytes) {
        std::memmove(dst, src, row_bytes * static_cast<std::size_t>(roi.height));
        return prim_ok;
    }
    for (int32_t y = 0; y < roi.height; ++y) {
        std::memmove(prim_detail::row_at(dst, dst_step, y), prim_detail::row_at(src, src_step, y),
                     row_bytes);
    }
    return prim_ok;
}

PrimStatus prim_set_32f_c0(float value, float* dst, int32_t dst_step, Size roi) {
    if (dst == nullptr) return prim_err_null_ptr;
    if (roi.width <= 0 || roi.height <= 0) return prim_err_size;
    if (dst_step <= 0) return prim_err_step;

    // Stored as a 32-bit word so that no float load or store can quiet a signalling NaN.
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    if (prim_plain_wide()) {
        prim_plain_set_rows_avx2(bits, dst, dst_step, roi);
        return prim_ok;
    }
    for (int32_t y = 0; y < roi.height; ++y) {
        unsigned char* row =
            reinterpret_cast<unsigned char*>(prim_detail::row_at(dst, dst_step, y));
        for (int32_t x = 0; x < roi.width; ++x) std::memcpy(row + std::size_t{4} * x, &bits, 4);
    }
    return prim_ok;
}
