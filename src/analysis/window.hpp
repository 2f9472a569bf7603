// Local windows: the weights with which the dense flow sums the moment images around each
// pixel, and the separable filter that forms those sums.
//
// A window is Gaussian (the default: weights fall off smoothly, so a textured spot at the rim
// does not switch in and out) or a box. Its weights sum to 1, so windowed moments are local
// means and the validity thresholds mean the same for every window size.
#pragma once

#include <string>
#include <vector>

#include "analysis/grey_image.hpp"

struct WindowSpec {
    enum class Kind { gaussian, box };
    Kind kind = Kind::gaussian;
    double size = 4.0;  // the standard deviation of a Gaussian, the side of a box [pixels]
};

// "gaussian:S", "box:N" or a bare number (a Gaussian's S). S in 0.5..50, N odd in 3..101.
// On failure `error` says what is wrong.
bool parse_window(const std::string& text, WindowSpec* window, std::string* error);
std::string window_text(const WindowSpec& window);

// Taps of the window along one axis: odd length, centre in the middle, sum 1.
std::vector<float> window_taps(const WindowSpec& window);
std::vector<float> gaussian_taps(double sigma);

// out = in filtered along rows and then along columns with the same taps; the image is
// extended by its edge pixels. `scratch` holds the row pass's recent lines; both are resized as
// needed, so a caller that keeps them allocates once.
void filter_separable(const GreyImage& in, const std::vector<float>& taps, GreyImage* out,
                      GreyImage* scratch);
