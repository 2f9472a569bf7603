#include "flow/pair_method.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

PairMethod::PairMethod(int threads, int32_t columns, int32_t lines) {
    PairFlowSettings ps;
    ps.threads = threads;
    estimator_ = std::make_unique<PairFlowEstimator>(ps);
    reach_ = pair_flow_reach(columns, lines, ps);
}

std::optional<PairMethod::Pair> PairMethod::measure(const GreyImage& next, bool want_affine) {
    if (previous_.empty()) return std::nullopt;
    PairFlow before{std::move(dense_.u), std::move(dense_.v), std::move(dense_.confidence)};
    PairFlow flow;
    estimator_->estimate(previous_, next, &flow, has_flow_ ? &before : nullptr);
    before = PairFlow();
    has_flow_ = true;
    dense_.valid.assign(flow.u.data.size(), 1);
    std::vector<float> speed(flow.u.data.size());
    double confident = 0;
    for (size_t i = 0; i < speed.size(); ++i) {
        speed[i] = std::hypot(flow.u.data[i], flow.v.data[i]);
        confident += flow.confidence.data[i];
    }
    const size_t high = speed.size() * 99 / 100;
    std::nth_element(speed.begin(), speed.begin() + high, speed.end());
    Pair pair;
    pair.fast = speed[high];
    // A pair of related frames is confident on about half of its pixels on average; two
    // frames that show different things match almost nowhere.
    const double mean_confidence = confident / static_cast<double>(speed.size());
    pair.beyond = speed[high] > 0.8 * reach_ || mean_confidence < 0.1;
    if (want_affine) pair.affine = affine_of_flow(flow);
    dense_.u = std::move(flow.u);
    dense_.v = std::move(flow.v);
    dense_.confidence = std::move(flow.confidence);
    return pair;
}

GreyImage PairMethod::advance(GreyImage&& next) {
    return std::exchange(previous_, std::move(next));
}
