// CCoOrvane: the component object behind CoOrvane.
//
// It owns the six settings, its two mode strings and one MotionEngine held by value; the
// engine's buffers exist from create_orvane to destroy_orvane. Every member has the shape the
// interface compiler gives IOrvane (HRESULT result, value in the last out-parameter), so the
// Windows module forwards its vtable entries here unchanged and other hosts (the Python binding,
// the command-line tool, tests) call the same methods directly. Members take no lock; a host
// makes the calls on one object one at a time. Failures are recorded for the calling thread
// through report_error.
#pragma once

#include <string_view>

#include "component/automation.hpp"
#include "engine/motion_engine.hpp"

class CCoOrvane {
  public:
    // First construction phase: engine empty, strings null.
    CCoOrvane() = default;
    ~CCoOrvane();  // frees the strings; releases the engine's buffers if still held
    CCoOrvane(const CCoOrvane&) = delete;
    CCoOrvane& operator=(const CCoOrvane&) = delete;

    // Second construction phase: the defaults, then the kernel variant selection.
    HRESULT final_construct();

    // Makes an object that has run both construction phases (null when out of memory).
    static CCoOrvane* create_instance();

    // ---- IOrvane, in interface order ----
    HRESULT get_lines(LONG* pVal);
    HRESULT put_lines(LONG newVal);
    HRESULT get_columns(LONG* pVal);
    HRESULT put_columns(LONG newVal);
    HRESULT get_timederivative_mode(BSTR* pVal);
    HRESULT put_timederivative_mode(BSTR newVal);
    HRESULT get_computation_mode(BSTR* pVal);
    HRESULT put_computation_mode(BSTR newVal);
    HRESULT get_input_filter(LONG* pVal);
    HRESULT put_input_filter(LONG newVal);
    HRESULT get_regularizer(double* pVal);
    HRESULT put_regularizer(double newVal);
    HRESULT create_orvane();
    HRESULT destroy_orvane();
    HRESULT process_data(VARIANT img);
    HRESULT get_imgbuffer(LONG i, VARIANT* pVal);
    HRESULT get_imgdebug(LONG i, VARIANT* pVal);
    HRESULT get_Is(VARIANT* pVal);
    HRESULT get_It(VARIANT* pVal);
    HRESULT get_It2(VARIANT* pVal);
    HRESULT get_Ix(VARIANT* pVal);
    HRESULT get_Iy(VARIANT* pVal);
    HRESULT get_Fn2(VARIANT* pVal);
    HRESULT get_Un(VARIANT* pVal);
    HRESULT get_Vn(VARIANT* pVal);
    HRESULT get_Ix2(VARIANT* pVal);
    HRESULT get_Iy2(VARIANT* pVal);
    HRESULT get_Ig2(VARIANT* pVal);
    HRESULT get_Ixy(VARIANT* pVal);
    HRESULT get_Ixt(VARIANT* pVal);
    HRESULT get_Iyt(VARIANT* pVal);
    HRESULT list_timederivative_modes(BSTR* modes);
    HRESULT list_computation_modes(BSTR* modes);

    // Read-only view for hosts and tests.
    const MotionEngine& engine_view() const { return engine; }
    bool is_created() const { return created != 0; }
    bool is_stale() const { return critical_properties_changed != 0; }

  private:
    // (fields in declaration order)
    int32_t critical_properties_changed = 0;
    MotionEngine engine;
    LONG lines = 0;
    LONG columns = 0;
    BSTR computation_mode = nullptr;
    BSTR timederivative_mode = nullptr;
    LONG input_filter = 0;
    int32_t created = 0;
    double regularizer = 0.0;
};

// Records a rich error naming CoOrvane with the given ASCII message for the calling thread.
void report_error(const char* message);

// ---- the result images as the component hands them out ----
// kResultImages (engine/motion_engine.hpp) names each image and gives the computation modes that
// compute it and the region copied; the getter of each, indexed by EngineImage:
using OrvaneImageGetter = HRESULT (CCoOrvane::*)(VARIANT* pVal);
extern const OrvaneImageGetter orvane_image_getters[kResultImageCount];
// The mode bit (FLAG_) of a computation-mode keyword as computation_mode takes it; 0 for any
// other text.
int32_t orvane_computation_mode_bit(std::string_view keyword);
// Whether the computation mode `keyword` computes the image (false for an unknown mode). An image
// that the mode does not compute is handed out as zeros.
bool orvane_mode_computes(std::string_view keyword, EngineImage which);

// The fixed identifiers of the type library, the class and the two interfaces.
extern const GUID LIBID_ORVANELib;
extern const GUID CLSID_CoOrvane;
extern const GUID IID_IOrvane;
extern const GUID DIID__IOrvaneEvents;
