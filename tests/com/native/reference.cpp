// orvane_com_reference: the native side of the Windows tests.
//
//   orvane_com_reference members        prints the member table of the component, one line
//                                       per member, in the form of the type-library dump
//   orvane_com_reference results FILE   runs a few configurations on synthetic frames and
//                                       writes frames and every result image to FILE (the
//                                       format is described in tests/com/com_helpers.cpp)
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "component/co_orvane.hpp"
#include "component/members.hpp"

namespace {

int print_members() {
    for (const MemberInfo& m : orvane_members) {
        std::printf("%d %d %s %s (", m.position, m.dispid, member_kind_name(m.kind), m.name);
        for (int32_t p = 0; p < m.param_count; ++p) {
            const MemberParam& param = m.params[p];
            std::printf("%s%s:%s:%s", p ? ", " : "", param.name,
                        param.direction == ParamDirection::in ? "in" : "out_retval",
                        param.idl_type);
        }
        std::printf(") \"%s\"\n", m.help);
    }
    return 0;
}

struct Writer {
    FILE* f;
    template <class T>
    void put(T value) {
        std::fwrite(&value, sizeof value, 1, f);
    }
    void put_string(const std::string& s) {
        put<int32_t>(static_cast<int32_t>(s.size()));
        std::fwrite(s.data(), 1, s.size(), f);
    }
    void put_floats(const float* data, size_t n) { std::fwrite(data, sizeof(float), n, f); }
};

BSTR make_bstr(const std::string& text) {
    BSTR s = SysAllocStringLen(nullptr, static_cast<UINT>(text.size()));
    for (size_t k = 0; k < text.size(); ++k) s[k] = static_cast<OLECHAR>(text[k]);
    return s;
}

// A frame with texture, moving by a sub-pixel step per frame, so that every derivative and
// product is non-trivial.
std::vector<float> make_frame(int32_t columns, int32_t lines, int32_t t) {
    std::vector<float> f(static_cast<size_t>(columns) * lines);
    for (int32_t y = 0; y < lines; ++y)
        for (int32_t x = 0; x < columns; ++x) {
            double u = x - 0.7 * t, v = y + 0.4 * t;
            f[static_cast<size_t>(y) * columns + x] =
                static_cast<float>(100.0 + 40.0 * std::sin(0.31 * u) * std::cos(0.23 * v) +
                                   0.5 * x - 0.25 * y + 10.0 * std::sin(0.05 * u * v));
        }
    return f;
}

bool check(HRESULT hr, const char* what) {
    if (FAILED(hr))
        std::fprintf(stderr, "orvane_com_reference: %s failed (0x%08X)\n", what,
                     static_cast<unsigned>(hr));
    return SUCCEEDED(hr);
}

struct Case {
    int32_t lines, columns, input_filter;
    double regularizer;
    const char* td;
    const char* mode;
    int32_t frames;
};

bool write_case(Writer& out, const Case& c) {
    CCoOrvane* object = CCoOrvane::create_instance();
    if (!object) return false;
    BSTR td = make_bstr(c.td), mode = make_bstr(c.mode);
    bool ok = check(object->put_lines(c.lines), "put lines") &&
              check(object->put_columns(c.columns), "put columns") &&
              check(object->put_input_filter(c.input_filter), "put input_filter") &&
              check(object->put_regularizer(c.regularizer), "put regularizer") &&
              check(object->put_timederivative_mode(td), "put timederivative_mode") &&
              check(object->put_computation_mode(mode), "put computation_mode") &&
              check(object->create_orvane(), "create_orvane");
    SysFreeString(td);
    SysFreeString(mode);

    out.put<int32_t>(c.lines);
    out.put<int32_t>(c.columns);
    out.put<int32_t>(c.input_filter);
    out.put<double>(c.regularizer);
    out.put_string(c.td);
    out.put_string(c.mode);
    out.put<int32_t>(c.frames);
    for (int32_t t = 0; ok && t < c.frames; ++t) {
        std::vector<float> frame = make_frame(c.columns, c.lines, t);
        out.put_floats(frame.data(), frame.size());
        SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(c.columns), 0},
                                    {static_cast<ULONG>(c.lines), 0}};
        SAFEARRAY* array = SafeArrayCreate(VT_R4, 2, bounds);
        void* block = nullptr;
        SafeArrayAccessData(array, &block);
        std::memcpy(block, frame.data(), frame.size() * sizeof(float));
        SafeArrayUnaccessData(array);
        VARIANT img;
        VariantInit(&img);
        img.vt = VT_ARRAY | VT_R4;
        img.parray = array;
        ok = check(object->process_data(img), "process_data");
        VariantClear(&img);
    }

    using Getter = HRESULT (CCoOrvane::*)(VARIANT*);
    struct Named {
        const char* name;
        Getter getter;
    };
    const Named getters[] = {
        {"Is", &CCoOrvane::get_Is},   {"It", &CCoOrvane::get_It},   {"It2", &CCoOrvane::get_It2},
        {"Ix", &CCoOrvane::get_Ix},   {"Iy", &CCoOrvane::get_Iy},   {"Fn2", &CCoOrvane::get_Fn2},
        {"Un", &CCoOrvane::get_Un},   {"Vn", &CCoOrvane::get_Vn},   {"Ix2", &CCoOrvane::get_Ix2},
        {"Iy2", &CCoOrvane::get_Iy2}, {"Ig2", &CCoOrvane::get_Ig2}, {"Ixy", &CCoOrvane::get_Ixy},
        {"Ixt", &CCoOrvane::get_Ixt}, {"Iyt", &CCoOrvane::get_Iyt},
    };
    struct Result {
        std::string name;
        VARIANT v;
    };
    std::vector<Result> results;
    for (const Named& g : getters) {
        Result r{g.name, {}};
        VariantInit(&r.v);
        ok = ok && check((object->*g.getter)(&r.v), g.name);
        results.push_back(r);
    }
    for (int32_t i = 0; i < 5; ++i) {
        Result b{"imgbuffer(" + std::to_string(i) + ")", {}};
        Result d{"imgdebug(" + std::to_string(i) + ")", {}};
        VariantInit(&b.v);
        VariantInit(&d.v);
        ok = ok && check(object->get_imgbuffer(i, &b.v), "imgbuffer") &&
             check(object->get_imgdebug(i, &d.v), "imgdebug");
        results.push_back(b);
        results.push_back(d);
    }
    out.put<int32_t>(static_cast<int32_t>(results.size()));
    for (Result& r : results) {
        out.put_string(r.name);
        int32_t w = 0, h = 0;
        const float* data = nullptr;
        if (ok && r.v.vt == (VT_ARRAY | VT_R4)) {
            // Bounds are stored last dimension first.
            w = static_cast<int32_t>(r.v.parray->rgsabound[1].cElements);
            h = static_cast<int32_t>(r.v.parray->rgsabound[0].cElements);
            data = static_cast<const float*>(r.v.parray->pvData);
        }
        out.put<int32_t>(w);
        out.put<int32_t>(h);
        if (data) out.put_floats(data, static_cast<size_t>(w) * h);
        VariantClear(&r.v);
    }
    object->destroy_orvane();
    delete object;
    return ok;
}

int write_results(const char* path) {
    // Each mode once, both time rules, with and without input smoothing, a non-square image.
    const Case cases[] = {
        {24, 32, 0, 0.01, "recursive", "all", 4},
        {20, 28, 1, 0.5, "batch", "all", 6},
        {16, 24, 1, 0.01, "recursive", "orvane", 3},
        {18, 20, 0, 2.0, "batch", "affineparams", 5},
        {12, 16, 0, 0.01, "recursive", "changedetection", 2},
    };
    FILE* f = std::fopen(path, "wb");
    if (!f) {
        std::perror(path);
        return 1;
    }
    Writer out{f};
    std::fwrite("ORVREF01", 1, 8, f);
    out.put<int32_t>(static_cast<int32_t>(sizeof cases / sizeof cases[0]));
    bool ok = true;
    for (const Case& c : cases) ok = write_case(out, c) && ok;
    if (std::fclose(f) != 0) ok = false;
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "members") == 0) return print_members();
    if (argc == 3 && std::strcmp(argv[1], "results") == 0) return write_results(argv[2]);
    std::fprintf(stderr, "usage: orvane_com_reference members | results FILE\n");
    return 2;
}
