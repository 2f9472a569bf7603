// The pairwise method (the default): the dense flow from each frame to the next by the
// PairFlowEstimator, at the frames' full width. The search of each pair starts from the flow
// of the pair before, which a steady motion keeps. The job's flow stage owns one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "analysis/affine.hpp"
#include "analysis/dense_flow.hpp"
#include "analysis/pair_flow.hpp"

class PairMethod {
  public:
    // threads: for the estimator's work; columns x lines: the input's full size.
    PairMethod(int threads, int32_t columns, int32_t lines);

    // What one pair measured.
    struct Pair {
        // The fastest motions: all but the fastest hundredth of the pixels [px/frame].
        double fast = 0;
        // Beyond what the pyramid reaches, or the frames match almost nowhere.
        bool beyond = false;
        // The global motion of the flow, where asked for.
        std::optional<AffineMotion> affine;
    };
    // The flow from the frame before to `next`; nothing for the first frame. The flow and the
    // frame it describes stay in flow() and previous() until advance().
    std::optional<Pair> measure(const GreyImage& next, bool want_affine);
    // `next` becomes the frame before of the next pair; returns the frame it replaces (the one
    // that flow() describes), so that a caller that keeps it takes it without a copy.
    GreyImage advance(GreyImage&& next);

    const DenseFlow& flow() const { return dense_; }
    const GreyImage& previous() const { return previous_; }

  private:
    std::unique_ptr<PairFlowEstimator> estimator_;
    GreyImage previous_;
    // The flow just measured as the job's other stages read it; its images go back to the
    // estimator as the pair before, so one copy is kept between pairs.
    DenseFlow dense_;
    bool has_flow_ = false;
    double reach_ = 0;  // [pixels per frame]
};
