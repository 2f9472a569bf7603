// The analysis library for NumPy users: dense flow and the affine fit from moment images, the
// unit conversion, and the motion-compensated tracker. Registered as orvane._core._analysis;
// orvane.flow wraps it in documented Python functions.
#include "analysis_bindings.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <string>

#include "analysis/component_session.hpp"
#include "analysis/dense_flow.hpp"
#include "analysis/pair_flow.hpp"
#include "analysis/tracker.hpp"
#include "analysis/units.hpp"

namespace py = pybind11;

namespace {

using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;

// A C-contiguous float32 copy of a 2-D array as a GreyImage; `name` goes into the message.
GreyImage to_image(const py::handle& object, const char* name) {
    FloatArray a = FloatArray::ensure(object);
    if (!a) throw py::type_error(std::string(name) + " must be an array of numbers");
    if (a.ndim() != 2) {
        throw py::value_error(std::string(name) + " must be 2-dimensional, not " +
                              std::to_string(a.ndim()) + "-dimensional");
    }
    if (a.shape(0) < 1 || a.shape(1) < 1 || a.shape(0) > 1 << 20 || a.shape(1) > 1 << 20) {
        throw py::value_error(std::string(name) + " has an unusable shape");
    }
    GreyImage image(static_cast<int32_t>(a.shape(1)), static_cast<int32_t>(a.shape(0)));
    std::copy(a.data(), a.data() + image.data.size(), image.data.begin());
    return image;
}

py::array_t<float> to_array(const GreyImage& g) {
    py::array_t<float> a({g.lines, g.columns});
    std::copy(g.data.begin(), g.data.end(), a.mutable_data());
    return a;
}

py::array_t<bool> to_mask(const std::vector<uint8_t>& valid, int32_t columns, int32_t lines) {
    py::array_t<bool> a({lines, columns});
    bool* d = a.mutable_data();
    for (size_t i = 0; i < valid.size(); ++i) d[i] = valid[i] != 0;
    return a;
}

DenseFlowSettings dense_settings(const std::string& window, double min_eigenvalue,
                                 double min_ratio) {
    DenseFlowSettings s;
    std::string error;
    if (!parse_window(window, &s.window, &error)) throw py::value_error("window: " + error);
    if (!(min_eigenvalue >= 0) || !(min_ratio >= 0) || !(min_ratio <= 1)) {
        throw py::value_error("min_eigenvalue must be >= 0 and min_ratio in 0..1");
    }
    s.min_eigenvalue = static_cast<float>(min_eigenvalue);
    s.min_ratio = static_cast<float>(min_ratio);
    return s;
}

py::object affine_tuple(const std::optional<AffineMotion>& m) {
    if (!m) return py::none();
    return py::make_tuple(m->a[0], m->a[1], m->a[2], m->a[3], m->a[4], m->a[5]);
}

py::dict flow_dict(const DenseFlow& f) {
    py::dict d;
    d["u"] = to_array(f.u);
    d["v"] = to_array(f.v);
    d["valid"] = to_mask(f.valid, f.columns(), f.lines());
    d["confidence"] = to_array(f.confidence);
    return d;
}

TimeRule rule_of(const std::string& keyword) {
    TimeRule rule;
    if (!parse_time_rule(keyword, &rule)) {
        throw py::value_error("timederivative_mode must be \"recursive\" or \"batch\", not \"" +
                              keyword + "\"");
    }
    return rule;
}

}  // namespace

void register_analysis(py::module_& parent) {
    py::module_ m = parent.def_submodule("_analysis", "The analysis library (see orvane.flow).");
    m.attr("spatial_gain") = kSpatialGain;
    m.def("flow_scale", [](const std::string& rule, int64_t frames) {
        return flow_scale(rule_of(rule), frames);
    });
    m.def("frame_delay", [](const std::string& rule) { return frame_delay(rule_of(rule)); });

    m.def("dense_flow",
          [](py::handle ix2, py::handle iy2, py::handle ixy, py::handle ixt, py::handle iyt,
             double scale, const std::string& window, double min_eigenvalue, double min_ratio) {
              const GreyImage a = to_image(ix2, "Ix2"), b = to_image(iy2, "Iy2"),
                              c = to_image(ixy, "Ixy"), d = to_image(ixt, "Ixt"),
                              e = to_image(iyt, "Iyt");
              for (const GreyImage* g : {&b, &c, &d, &e}) {
                  if (g->columns != a.columns || g->lines != a.lines) {
                      throw py::value_error("the moment images differ in shape");
                  }
              }
              DenseFlowSolver solver(dense_settings(window, min_eigenvalue, min_ratio));
              DenseFlow flow;
              {
                  py::gil_scoped_release release;
                  const MomentImages moments{&a, &b, &c, &d, &e};
                  const std::vector<float> mask = edge_mask(a.columns, a.lines, 2);
                  solver.solve(moments, scale, nullptr, &mask, &flow);
              }
              return flow_dict(flow);
          });

    // One pair's flow as a dict of u, v, confidence and the affine motion; the estimator keeps
    // its pyramid for the next pair of the same size.
    auto pair_flow = [](PairFlowEstimator& estimator, py::handle first, py::handle second) {
        const GreyImage a = to_image(first, "first"), b = to_image(second, "second");
        if (a.columns != b.columns || a.lines != b.lines) {
            throw py::value_error("first and second differ in shape: (" +
                                  std::to_string(a.lines) + ", " + std::to_string(a.columns) +
                                  ") and (" + std::to_string(b.lines) + ", " +
                                  std::to_string(b.columns) + ")");
        }
        if (a.columns < 2 || a.lines < 2) throw py::value_error("the images need at least 2 x 2 pixels");
        PairFlow flow;
        std::optional<AffineMotion> affine;
        {
            py::gil_scoped_release release;
            estimator.estimate(a, b, &flow);
            affine = affine_of_flow(flow);
        }
        py::dict d;
        d["u"] = to_array(flow.u);
        d["v"] = to_array(flow.v);
        d["confidence"] = to_array(flow.confidence);
        d["affine"] = affine_tuple(affine);
        return d;
    };
    auto pair_settings = [](int threads) {
        PairFlowSettings settings;
        settings.threads = std::max(1, threads);
        return settings;
    };
    m.def("pair_flow", [=](py::handle first, py::handle second, int threads) {
        PairFlowEstimator estimator(pair_settings(threads));
        return pair_flow(estimator, first, second);
    });
    py::class_<PairFlowEstimator>(m, "PairEstimator")
        .def(py::init([=](int threads) { return std::make_unique<PairFlowEstimator>(pair_settings(threads)); }),
             py::arg("threads") = 1)
        .def("estimate", [=](PairFlowEstimator& e, py::handle first, py::handle second) {
            return pair_flow(e, first, second);
        });

    m.def("affine_fit",
          [](py::handle ix2, py::handle iy2, py::handle ixy, py::handle ixt, py::handle iyt,
             py::handle it, double temporal_gain, bool robust, int32_t margin) {
              const GreyImage a = to_image(ix2, "Ix2"), b = to_image(iy2, "Iy2"),
                              c = to_image(ixy, "Ixy"), d = to_image(ixt, "Ixt"),
                              e = to_image(iyt, "Iyt");
              const GreyImage t = robust ? to_image(it, "It") : GreyImage();
              std::optional<AffineMotion> motion;
              {
                  py::gil_scoped_release release;
                  const AffineEstimator fit(margin);
                  const MomentImages moments{&a, &b, &c, &d, &e};
                  motion = robust ? fit.estimate_robust(moments, t, temporal_gain)
                                  : fit.estimate(moments, temporal_gain);
              }
              return affine_tuple(motion);
          });

    py::class_<FlowTracker>(m, "Tracker")
        .def(py::init([](int32_t columns, int32_t lines, const std::string& window,
                         double min_eigenvalue, double min_ratio, bool reduced_level,
                         int32_t reduction, double prediction_sigma, bool dense_flow) {
            if (columns < 1 || lines < 1) {
                throw py::value_error("columns and lines must be positive");
            }
            TrackerSettings s;
            s.dense = dense_settings(window, min_eigenvalue, min_ratio);
            s.reduced_level = reduced_level;
            if (reduction != 1 && reduction != 2) {
                throw py::value_error("reduction must be 1 or 2");
            }
            s.reduction = reduction;
            if (prediction_sigma > 0) s.prediction_sigma = prediction_sigma;
            s.dense_flow = dense_flow;
            try {
                return std::make_unique<FlowTracker>(columns, lines, s);
            } catch (const ComponentError& e) {
                throw py::value_error(e.what());
            }
        }),
             py::arg("columns"), py::arg("lines"), py::arg("window"), py::arg("min_eigenvalue"),
             py::arg("min_ratio"), py::arg("reduced_level"), py::arg("reduction"),
             py::arg("prediction_sigma"), py::arg("dense_flow") = true)
        .def("push",
             [](FlowTracker& t, py::handle frame) {
                 const GreyImage g = to_image(frame, "frame");
                 if (g.columns != t.columns() || g.lines != t.lines()) {
                     throw py::value_error("frame has shape (" + std::to_string(g.lines) + ", " +
                                           std::to_string(g.columns) + "), the stream's is (" +
                                           std::to_string(t.lines()) + ", " +
                                           std::to_string(t.columns()) + ")");
                 }
                 py::gil_scoped_release release;
                 return t.push(g);
             })
        .def("result", [](const FlowTracker& t) {
            const FlowResult& r = t.result();
            // Without dense flow only the motion of the frame is known.
            py::dict d = r.flow.u.empty() ? py::dict() : flow_dict(r.flow);
            d["frame"] = r.frame;
            d["affine"] = affine_tuple(r.affine);
            d["iterations"] = r.iterations;
            d["residual"] = r.residual;
            d["fit_error"] = r.fit_error;
            d["beyond_range"] = r.beyond_range;
            return d;
        });
}
