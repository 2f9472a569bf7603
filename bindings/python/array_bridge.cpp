#include "array_bridge.hpp"

#include <atomic>
#include <bit>
#include <cstring>
#include <limits>

#include "error_bridge.hpp"

namespace py = pybind11;

namespace orvane_py {
namespace {

std::atomic<int64_t> live_images{0};
thread_local const void* last_input = nullptr;

constexpr int npy_c_contiguous = py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_;
constexpr int npy_aligned = py::detail::npy_api::NPY_ARRAY_ALIGNED_;

// Automation element types that have no name in the portable header.
constexpr VARTYPE vt_i1 = 16, vt_ui2 = 18, vt_ui4 = 19, vt_i8 = 20, vt_ui8 = 21;

// The automation element type with the same representation as the NumPy dtype. Types that
// automation cannot express (bool, float16, complex, objects, strings, records) get VT_EMPTY:
// still an array, so the component answers "Invalid Data Type" rather than "Invalid Input
// Argument", and never a type whose elements a reader could mistake for resources.
VARTYPE element_type_of(const py::dtype& dtype) {
    const char kind = dtype.kind();
    const auto size = dtype.itemsize();
    if (kind == 'f' && size == 4) return VT_R4;
    if (kind == 'f' && size == 8) return VT_R8;
    if (kind == 'i') {
        if (size == 1) return vt_i1;
        if (size == 2) return VT_I2;
        if (size == 4) return VT_I4;
        if (size == 8) return vt_i8;
    }
    if (kind == 'u') {
        if (size == 1) return VT_UI1;
        if (size == 2) return vt_ui2;
        if (size == 4) return vt_ui4;
        if (size == 8) return vt_ui8;
    }
    return VT_EMPTY;
}

bool native_byte_order(const py::dtype& dtype) {
    const char order = dtype.byteorder();
    if (order == '=' || order == '|') return true;
    constexpr bool little = std::endian::native == std::endian::little;
    return order == (little ? '<' : '>');
}

ULONG element_count(py::ssize_t extent) {
    // A NumPy extent beyond the 32-bit count of a safe array can only belong to an array that
    // is far larger than any frame, so it is clamped: the size check refuses it all the same,
    // and the component reads no element of an array it refuses.
    constexpr auto most = std::numeric_limits<ULONG>::max();
    return extent > static_cast<py::ssize_t>(most) ? most : static_cast<ULONG>(extent);
}

}  // namespace

InputFrame::InputFrame(py::handle img) {
    std::memset(storage, 0, sizeof storage);
    VariantInit(&var);
    if (!py::isinstance<py::array>(img)) return;  // None, scalars, lists: an empty variant
    auto array = py::reinterpret_borrow<py::array>(img);
    if (array.ndim() == 0 || array.ndim() > max_dims) return;  // a 0-d array is a scalar

    const py::dtype dtype = array.dtype();
    const VARTYPE element_type = element_type_of(dtype);
    const bool layout_ok = (array.flags() & npy_c_contiguous) && (array.flags() & npy_aligned) &&
                           native_byte_order(dtype);
    if (!layout_ok) {
        // The descriptor always describes real memory in the layout it claims, so arrays with
        // strides, misalignment or foreign byte order are first copied into a C-ordered,
        // aligned array of the same element type and values.
        py::object numpy = py::module_::import("numpy");
        py::object target =
            element_type == VT_EMPTY ? py::object(dtype) : dtype.attr("newbyteorder")("=");
        // A fresh copy, because ascontiguousarray keeps an unaligned but contiguous array.
        array = numpy.attr("array")(array, py::arg("dtype") = target, py::arg("order") = "C");
    }
    describe(array, element_type);
    keep_alive = std::move(array);
}

void InputFrame::describe(const py::array& array, VARTYPE element_type) {
    const auto dims = static_cast<int>(array.ndim());
    data_address = array.data();
    // A view of the array's own memory, marked as the host's so that nothing frees it. Bounds
    // are stored last dimension first and NumPy's axis 0 runs slowest, so entry k is NumPy
    // axis k: for an image, entry 0 is the line (second index), entry 1 the column (first).
    descriptor.cDims = static_cast<USHORT>(dims);
    descriptor.fFeatures = FADF_AUTO | FADF_STATIC | FADF_FIXEDSIZE;
    descriptor.cbElements = static_cast<ULONG>(array.itemsize());
    descriptor.cLocks = 0;
    descriptor.pvData = const_cast<void*>(data_address);
    SAFEARRAYBOUND* bounds = descriptor.rgsabound;
    for (int k = 0; k < dims; ++k) {
        bounds[k].cElements = element_count(array.shape(k));
        bounds[k].lLbound = 0;
    }
    var.vt = static_cast<VARTYPE>(VT_ARRAY | element_type);
    var.parray = &descriptor;
}

py::array take_image(VARIANT& result) {
    if (result.vt != (VT_ARRAY | VT_R4) || result.parray == nullptr ||
        SafeArrayGetDim(result.parray) != 2 || SafeArrayGetElemsize(result.parray) != 4) {
        VariantClear(&result);
        raise_orvane_error(E_UNEXPECTED, "The component returned something other than an image");
    }
    SAFEARRAY* sa = result.parray;
    result.vt = VT_EMPTY;
    result.parray = nullptr;
    // From here the capsule owns the safe array, whatever happens.
    py::capsule owner(sa, [](void* p) {
        SafeArrayDestroy(static_cast<SAFEARRAY*>(p));
        live_images.fetch_sub(1, std::memory_order_relaxed);
    });
    live_images.fetch_add(1, std::memory_order_relaxed);

    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(sa, 1, &lower);
    SafeArrayGetUBound(sa, 1, &upper);
    const py::ssize_t width = static_cast<py::ssize_t>(upper) - lower + 1;
    SafeArrayGetLBound(sa, 2, &lower);
    SafeArrayGetUBound(sa, 2, &upper);
    const py::ssize_t height = static_cast<py::ssize_t>(upper) - lower + 1;

    // The data block does not move while the array exists; access is only needed to read its
    // address the documented way.
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(sa, &data)))
        raise_orvane_error(E_UNEXPECTED, "The component's image could not be accessed");
    SafeArrayUnaccessData(sa);
    const auto row_bytes = static_cast<py::ssize_t>(sizeof(float)) * width;
    return py::array(py::dtype::of<float>(), {height, width}, {row_bytes, py::ssize_t{4}},
                     static_cast<float*>(data), owner);
}

int64_t live_result_images() {
    return live_images.load(std::memory_order_relaxed);
}

const void* last_input_address() {
    return last_input;
}
void set_last_input_address(const void* address) {
    last_input = address;
}

}  // namespace orvane_py
