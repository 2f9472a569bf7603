// The pictures orvane-flow writes: result images turned into something a person reads at a
// glance, each with its legend and scale. Pure functions of their inputs (drawn with Cairo);
// the measuring job calls them on the frames it writes.
//
// A flow field is given as u, v [pixels per frame; +x right, +y down, the direction in which
// the content moves] and a validity mask (one byte per pixel, non-zero where u, v hold a
// measurement). Colours follow one fixed scale for the whole run, so that a faster clip looks
// faster: the caller passes the same max_speed for every frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "flow/grey_image.hpp"

// The value below which `fraction` (0..1) of the finite values lie; 0 when there are none.
// Non-finite values (the quotients may be NaN or infinite) are left out.
float robust_percentile(const std::vector<float>& values, double fraction);

// Non-zero where both u and v are finite.
std::vector<uint8_t> finite_mask(const GreyImage& u, const GreyImage& v);

// The flow as colour: hue gives the direction of motion (right red, down yellow-green, left
// cyan, up violet), saturation the speed, full at max_speed and beyond, so a still pixel is
// white; invalid pixels are neutral grey. A strip to the right holds a colour wheel with its
// speed scale in px/frame, labelled; the image itself is never covered.
RgbPicture flow_picture(const GreyImage& u, const GreyImage& v, const std::vector<uint8_t>& valid,
                        double max_speed);
// The colour of one flow vector in flow_picture.
void flow_colour(double u, double v, double max_speed, uint8_t out[3]);

// The input frame in grey with an arrow per grid cell showing the mean valid flow of that cell
// (cells with less than half of their pixels valid get none), an arrow of max_speed being one
// cell long; a strip below shows that scale.
RgbPicture arrow_picture(const GreyImage& frame, const GreyImage& u, const GreyImage& v,
                         const std::vector<uint8_t>& valid, double max_speed);

// One frame of the flow video: the input in grey on the left, the flow colours of
// flow_picture on the right (no legend strip), and a caption bar below naming the frame and
// the colour scale. Sizes are rounded up to even numbers, as H.264 in YUV 4:2:0 needs.
RgbPicture side_by_side_picture(const GreyImage& input, const GreyImage& u, const GreyImage& v,
                                const std::vector<uint8_t>& valid, double max_speed,
                                const std::string& caption);
// The size side_by_side_picture makes for frames of columns x lines.
void side_by_side_size(int32_t columns, int32_t lines, int32_t* out_columns, int32_t* out_lines);

// The change image It2 as a heat map (black, red, yellow, white) of |It|, scaled by its 99.5th
// percentile but never below 4 grey levels per frame, so that a still scene stays dark; a
// labelled colour bar to the right gives the scale in grey levels per frame.
RgbPicture heat_picture(const GreyImage& it2);

// Hue (0..360 degrees), saturation and value (0..1) to 8-bit RGB.
void hsv_to_rgb(double hue, double saturation, double value, uint8_t out[3]);
