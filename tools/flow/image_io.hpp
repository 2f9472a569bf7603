// Still-image reading and writing for orvane-flow.
//
// Readers turn a PNG (1 to 16 bits, grey, grey+alpha, palette or colour) or a PGM (P5 binary
// or P2 text, any maxval up to 65535) into grey levels 0..255 as floats: 8-bit values are kept
// as they are, deeper ones are scaled by 255 / maxval, colour is reduced to luma with the
// Rec. 601 weights that FFmpeg's grey conversion uses too. Writers produce 8-bit PNG pictures
// and NumPy .npy files. Every failure throws FlowError with a message that names the file.
#pragma once

#include <string>
#include <vector>

#include "flow/errors.hpp"
#include "flow/grey_image.hpp"

// Why a frame of this size cannot be processed (empty when it can): zero or negative sides,
// or more than the component can allocate. Readers call it before allocating a frame.
std::string frame_size_problem(long long columns, long long lines);

// Reads a still image by its content (the PNG signature or the "P2"/"P5" magic), not by its
// name. A zero-size image is reported as an error, never returned.
GreyImage read_still_image(const std::string& path);
// Whether the file starts the way read_still_image expects; false when it cannot be opened.
bool starts_like_still_image(const std::string& path);
GreyImage read_png(const std::string& path);
GreyImage read_pgm(const std::string& path);

void write_png_rgb(const std::string& path, const RgbPicture& picture);
// Grey levels are rounded and clamped to 0..255; nothing is stretched, so an 8-bit input
// frame comes back byte for byte.
void write_png_grey(const std::string& path, const GreyImage& image);
// Text as it is; a failure names the system's reason ("No space left on device").
void write_text_file(const std::string& path, const std::string& text);
// float32 little-endian, C order, shape (lines, columns).
void write_npy(const std::string& path, const GreyImage& image);
// A dense flow: float32 of shape (lines, columns, 2) holding u, v [pixels per frame], 0 where
// `valid` is 0 (the mask is written beside it).
void write_npy_flow(const std::string& path, const GreyImage& u, const GreyImage& v,
                    const std::vector<uint8_t>& valid);
// The same as a .flo file: the tag "PIEH", width and height as int32, then u, v interleaved,
// all little-endian; invalid pixels hold 1e10 in both components.
void write_flo(const std::string& path, const GreyImage& u, const GreyImage& v,
               const std::vector<uint8_t>& valid);
