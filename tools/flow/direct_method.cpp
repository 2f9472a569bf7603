#include "flow/direct_method.hpp"

#include "flow/frame_measures.hpp"
#include "flow/pictures.hpp"

DirectMethod::DirectMethod(int32_t columns, int32_t lines, int32_t margin,
                           const DenseFlowSettings& dense, const std::string& mode, bool robust)
    : columns_(columns),
      lines_(lines),
      margin_(margin),
      mode_(mode),
      robust_(robust),
      solver_(dense),
      edge_mask_(edge_mask(columns, lines, margin)) {}

std::optional<DirectMethod::Step> DirectMethod::measure(ComponentSession& session,
                                                        const FrameImages& img, int64_t newest,
                                                        TimeRule rule, int64_t count) {
    const double gain_t = temporal_gain(rule, count);
    // The derivatives describe the frame frame_delay() before the newest.
    recent_inputs_.push_back(session.read(ResultImage::Is));
    while (recent_inputs_.size() > static_cast<size_t>(frame_delay(rule)) + 1) {
        recent_inputs_.pop_front();
    }
    if (gain_t <= 0 || !mode_computes(mode_, ResultImage::Ixt)) return std::nullopt;
    Step step;
    step.frame = newest - frame_delay(rule);
    step.input = &recent_inputs_.front();
    step.flow = &flow_;
    if (!is_affine_mode(mode_)) {
        // The mode "orvane" has no Ixy: its picture is the flow along the gradient, which
        // points against the motion.
        const float to_flow = static_cast<float>(-kSpatialGain / gain_t);
        flow_.u = img.Un, flow_.v = img.Vn;
        for (float& x : flow_.u.data) x *= to_flow;
        for (float& x : flow_.v.data) x *= to_flow;
        flow_.valid = finite_mask(flow_.u, flow_.v);
        flow_.confidence = GreyImage(columns_, lines_);
        return step;
    }
    const GreyImage ix2 = session.read(ResultImage::Ix2);
    const GreyImage iy2 = session.read(ResultImage::Iy2);
    const GreyImage ixy = session.read(ResultImage::Ixy);
    const GreyImage ixt = session.read(ResultImage::Ixt);
    const GreyImage iyt = session.read(ResultImage::Iyt);
    const AffineEstimator estimator(margin_);
    const MomentImages moments{&ix2, &iy2, &ixy, &ixt, &iyt};
    step.affine = robust_ ? estimator.estimate_robust(moments, img.It, gain_t)
                          : estimator.estimate(moments, gain_t);
    solver_.solve(moments, kSpatialGain / gain_t, nullptr, &edge_mask_, &flow_);
    return step;
}
