// The pictures orvane-flow writes: result images turned into something a person reads at a
// glance. Pure functions of their inputs; the run loop calls them on the frames it writes.
#pragma once

#include "flow/grey_image.hpp"

// The value below which `fraction` (0..1) of the finite values lie; 0 when there are none.
// Non-finite values (the quotients may be NaN or infinite) are left out.
float robust_percentile(const std::vector<float>& values, double fraction);

// The flow along the gradient as colour: hue gives the direction in which the image moves
// (the component's (Un, Vn) points along the gradient scaled by It, which is against the
// motion, so the picture shows (-Un, -Vn)), brightness the length, scaled so that the 98th
// percentile is full brightness. A colour-wheel legend sits in a strip to the right of the
// image when the image is tall enough to hold it; the image itself is never covered.
RgbPicture flow_picture(const GreyImage& un, const GreyImage& vn);

// The change image It2 as a heat map (black, red, yellow, white) of |It|, scaled by its 99.5th
// percentile but never below 4 grey levels per frame, so that a still scene stays dark.
RgbPicture heat_picture(const GreyImage& it2);

// Hue (0..360 degrees), saturation and value (0..1) to 8-bit RGB.
void hsv_to_rgb(double hue, double saturation, double value, uint8_t out[3]);
