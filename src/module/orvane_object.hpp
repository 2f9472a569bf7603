// OrvaneObject: the COM object behind CoOrvane.
//
// It owns one CCoOrvane (the component's settings and engine) and exposes it as IOrvane; every
// IOrvane entry of the vtable forwards to the CCoOrvane member of the same name. Beside it the
// object answers IUnknown, IDispatch (served from the type library), ISupportErrorInfo,
// IConnectionPointContainer (no connection points) and IMarshal (through the free-threaded
// marshaler it aggregates). When created inside an aggregate, the nested inner unknown is the
// object's identity and every other interface delegates QueryInterface, AddRef and Release to
// the outer unknown. The class factory creates objects through create(); every live object
// holds one module lock.
#pragma once

#include <ocidl.h>
#include <olectl.h>

#include "module/orvane_idl.hpp"

namespace orvane_module {

class OrvaneObject final : public IOrvane,
                           public ISupportErrorInfo,
                           public IConnectionPointContainer {
  public:
    // Runs both construction phases and hands out riid; *ppv is null on failure.
    static HRESULT create(IUnknown* outer, REFIID riid, void** ppv);

    // IUnknown (delegating to the controlling unknown)
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* dispids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                     UINT* arg_error) override;

    // IOrvane
    HRESULT STDMETHODCALLTYPE get_lines(LONG* pVal) override { return core.get_lines(pVal); }
    HRESULT STDMETHODCALLTYPE put_lines(LONG v) override { return core.put_lines(v); }
    HRESULT STDMETHODCALLTYPE get_columns(LONG* pVal) override { return core.get_columns(pVal); }
    HRESULT STDMETHODCALLTYPE put_columns(LONG v) override { return core.put_columns(v); }
    HRESULT STDMETHODCALLTYPE get_timederivative_mode(BSTR* pVal) override {
        return core.get_timederivative_mode(pVal);
    }
    HRESULT STDMETHODCALLTYPE put_timederivative_mode(BSTR v) override {
        return core.put_timederivative_mode(v);
    }
    HRESULT STDMETHODCALLTYPE get_computation_mode(BSTR* pVal) override {
        return core.get_computation_mode(pVal);
    }
    HRESULT STDMETHODCALLTYPE put_computation_mode(BSTR v) override {
        return core.put_computation_mode(v);
    }
    HRESULT STDMETHODCALLTYPE get_input_filter(LONG* pVal) override {
        return core.get_input_filter(pVal);
    }
    HRESULT STDMETHODCALLTYPE put_input_filter(LONG v) override { return core.put_input_filter(v); }
    HRESULT STDMETHODCALLTYPE get_regularizer(double* pVal) override {
        return core.get_regularizer(pVal);
    }
    HRESULT STDMETHODCALLTYPE put_regularizer(double v) override { return core.put_regularizer(v); }
    HRESULT STDMETHODCALLTYPE create_orvane() override { return core.create_orvane(); }
    HRESULT STDMETHODCALLTYPE destroy_orvane() override { return core.destroy_orvane(); }
    HRESULT STDMETHODCALLTYPE process_data(VARIANT img) override { return core.process_data(img); }
    HRESULT STDMETHODCALLTYPE get_imgbuffer(LONG i, VARIANT* pVal) override {
        return core.get_imgbuffer(i, pVal);
    }
    HRESULT STDMETHODCALLTYPE get_imgdebug(LONG i, VARIANT* pVal) override {
        return core.get_imgdebug(i, pVal);
    }
    HRESULT STDMETHODCALLTYPE get_Is(VARIANT* pVal) override { return core.get_Is(pVal); }
    HRESULT STDMETHODCALLTYPE get_It(VARIANT* pVal) override { return core.get_It(pVal); }
    HRESULT STDMETHODCALLTYPE get_It2(VARIANT* pVal) override { return core.get_It2(pVal); }
    HRESULT STDMETHODCALLTYPE get_Ix(VARIANT* pVal) override { return core.get_Ix(pVal); }
    HRESULT STDMETHODCALLTYPE get_Iy(VARIANT* pVal) override { return core.get_Iy(pVal); }
    HRESULT STDMETHODCALLTYPE get_Fn2(VARIANT* pVal) override { return core.get_Fn2(pVal); }
    HRESULT STDMETHODCALLTYPE get_Un(VARIANT* pVal) override { return core.get_Un(pVal); }
    HRESULT STDMETHODCALLTYPE get_Vn(VARIANT* pVal) override { return core.get_Vn(pVal); }
    HRESULT STDMETHODCALLTYPE get_Ix2(VARIANT* pVal) override { return core.get_Ix2(pVal); }
    HRESULT STDMETHODCALLTYPE get_Iy2(VARIANT* pVal) override { return core.get_Iy2(pVal); }
    HRESULT STDMETHODCALLTYPE get_Ig2(VARIANT* pVal) override { return core.get_Ig2(pVal); }
    HRESULT STDMETHODCALLTYPE get_Ixy(VARIANT* pVal) override { return core.get_Ixy(pVal); }
    HRESULT STDMETHODCALLTYPE get_Ixt(VARIANT* pVal) override { return core.get_Ixt(pVal); }
    HRESULT STDMETHODCALLTYPE get_Iyt(VARIANT* pVal) override { return core.get_Iyt(pVal); }
    HRESULT STDMETHODCALLTYPE list_timederivative_modes(BSTR* modes) override {
        return core.list_timederivative_modes(modes);
    }
    HRESULT STDMETHODCALLTYPE list_computation_modes(BSTR* modes) override {
        return core.list_computation_modes(modes);
    }

    // ISupportErrorInfo
    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

  private:
    // The object's own IUnknown: its identity, and the interface an aggregate holds.
    class InnerUnknown final : public IUnknown {
      public:
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
        ULONG STDMETHODCALLTYPE AddRef() override;
        ULONG STDMETHODCALLTYPE Release() override;
        explicit InnerUnknown(OrvaneObject* owner_object) : owner(owner_object) {}
        OrvaneObject* const owner;
    };

    explicit OrvaneObject(IUnknown* outer_unknown);
    ~OrvaneObject();  // releases the marshaler and the module lock; reached only from Release
    OrvaneObject(const OrvaneObject&) = delete;
    OrvaneObject& operator=(const OrvaneObject&) = delete;

    HRESULT inner_query(REFIID riid, void** ppv);
    IUnknown* controlling() { return outer ? outer : static_cast<IUnknown*>(&inner); }

    InnerUnknown inner{this};
    IUnknown* outer;                // the aggregate's unknown (not counted), or null
    LONG volatile references = 0;   // of the inner unknown
    IUnknown* marshaler = nullptr;  // the aggregated free-threaded marshaler's inner unknown
    CCoOrvane core;
};

}  // namespace orvane_module
