// NumPy arrays in and out of the component's automation arrays.
//
// In: InputFrame turns the argument of process_data into the VARIANT the component checks.
// A C-contiguous, aligned float32 array is not copied: the variant holds a safe-array view of
// the array's own memory, first index `columns` (the line), second index `lines`. Anything
// else keeps its element type and dimensions, so that the component's own checks answer
// ("Invalid Data Type", "Invalid Matrix Dimension", "Incompatible Image Size"); non-arrays
// become an empty variant ("Invalid Input Argument"). There is never a change of element
// type: only memory layout (strides, alignment, byte order) is ever rewritten, by copying.
//
// Out: take_image() turns a result variant into a new (H, W) float32 array that owns the safe
// array's data block, so a result image is not copied a second time.
//
// The CoOrvane wrapper calls both; InputFrame is built and destroyed with the GIL held and its
// variant read without it.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>

#include "component/automation.hpp"

namespace orvane_py {

class InputFrame {
  public:
    explicit InputFrame(pybind11::handle img);
    InputFrame(const InputFrame&) = delete;
    InputFrame& operator=(const InputFrame&) = delete;

    // The argument for process_data; valid while this object lives. The component never
    // frees it (the view is marked as the host's), and neither does this class.
    VARIANT variant() const { return var; }
    // Address of the element block the component will read (null for non-arrays).
    const void* data() const { return data_address; }

  private:
    void describe(const pybind11::array& array, VARTYPE element_type);

    pybind11::object keep_alive;  // the array the view describes: the caller's or a copy
    const void* data_address = nullptr;
    VARIANT var{};
    // A descriptor with room for NumPy's largest dimension count; its bounds continue the
    // SAFEARRAY's own rgsabound[1] in memory, as the platform lays them out.
    static constexpr int max_dims = 64;
    union {
        SAFEARRAY descriptor;
        unsigned char storage[sizeof(SAFEARRAY) + (max_dims - 1) * sizeof(SAFEARRAYBOUND)];
    };
};

// Takes the safe array out of a result variant (leaving it empty) and wraps it in a new
// (second count, first count) float32 NumPy array that frees the safe array when it dies.
// Raises OrvaneError (E_UNEXPECTED) if the variant is not a 2-D float array.
pybind11::array take_image(VARIANT& result);

// Result images currently alive on the Python side (for the leak tests).
int64_t live_result_images();

// Address of the element block the last process_data on this thread handed over (for the
// zero-copy tests).
const void* last_input_address();
void set_last_input_address(const void* address);

}  // namespace orvane_py
