// The stages of the engine's whole-image kernel sequence, as functions of the images they read
// and write.
//
// MotionEngine's kernel sequence is made of them, and a host that needs one stage on frames of
// its own calls the same functions, so that each formula exists once: the flow tracker takes the
// spatial derivatives and their products of a frame it already smoothed, and the batch temporal
// moments of motion-compensated neighbours, line by line. An image is the address of its pixel
// (0, 0) and a row step [bytes]; a bordered image has the two-pixel border around that pixel.
// Every kernel goes through its slot in the variant table, so the results are the engine's own
// bits for the slots in use. Like the rest of the engine they validate nothing, never throw and
// never allocate.
#pragma once

#include <cstdint>

#include "primitives/primitives.hpp"

namespace engine_stages {

// Both 5-tap kernels reach two pixels to each side of the output pixel, so a two-pixel border
// lets every filter run without a single edge test.
inline constexpr int32_t kBorder = 2;

// Repeats the edge pixels of a roi-sized bordered image into its border: the side columns of
// the interior rows, then whole bordered rows above and below (which fills the corners).
void fill_border(float* interior, int32_t step, Size roi);

// The input filter: separable 5x5 smoothing of a bordered image in place, the edge replicated.
// `scratch` is another bordered image of the same geometry and step (its contents are lost).
// The result's border is not filled.
void smooth(float* interior, float* scratch, int32_t step, Size roi);

// The spatial derivatives of a bordered image (border filled) into plain images.
void spatial_derivatives(const float* src, int32_t src_step, float* ix, float* iy, int32_t step,
                         Size roi);
// Their squares and product: Ix2, Iy2 and Ixy (all images of one step).
void spatial_products(const float* ix, const float* iy, float* ix2, float* iy2, float* ixy,
                      int32_t step, Size roi);

// The batch time rule's derivative over a window of five frames in time order (window[2], the
// centre, does not enter): a (f1 - f3) - (1 - a) (f0 - f4) of the later frame less the earlier,
// formed as the outer difference moved towards the inner one by the batch weight a. `inner`
// is a work image of dst's size and step; `window_step` is the frames' row step.
void batch_time_derivative(const float* const window[5], int32_t window_step, float* dst,
                           float* inner, int32_t step, Size roi);

// The same over one line of n pixels, with its products with the centre frame's spatial
// derivatives: it = It, ixt = Ix It, iyt = Iy It. `ixt` serves as the work line first.
void batch_moments_line(const float* const f[5], const float* ix, const float* iy, int32_t n,
                        float* it, float* ixt, float* iyt);

}  // namespace engine_stages
