// Drives MotionEngine directly, with no component and no Python in between, so that the
// Python tests can compare what `orvane` returns with the engine's own buffers on the same
// frames.
//
//   orvane_engine_reference COLUMNS LINES REGULARIZER TIME_DERIVATIVE FLAGS KERNEL_COLUMN
//                           FRAMES_FILE OUTPUT_FILE
//
// FRAMES_FILE holds whole frames of LINES x COLUMNS native floats, line after line.
// KERNEL_COLUMN is 0..3 to use that kernel column, or -1 for the processor's own selection.
// After every frame OUTPUT_FILE receives, as native floats:
//   - the fourteen images in EngineImage order (Is, It, It2, Ix, ...), LINES x COLUMNS each,
//     Is without its border; images the mode does not compute are zeros;
//   - time_window slots 0..4, whole bordered buffers, (LINES + 4) x (COLUMNS + 4) each;
//   - history_ring slots 0..4 without their border, LINES x COLUMNS each.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "engine/motion_engine.hpp"
#include "primitives/primitives.hpp"

namespace {

// Appends a width x height region that starts at `src` with row step `step` [bytes];
// a null source appends zeros.
void append(std::vector<float>& out, const float* src, int32_t step, int32_t width,
            int32_t height) {
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const float* row =
                src ? reinterpret_cast<const float*>(reinterpret_cast<const char*>(src) +
                                                     static_cast<size_t>(y) * step)
                    : nullptr;
            out.push_back(row ? row[x] : 0.0f);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 9) {
        std::fprintf(stderr,
                     "usage: %s COLUMNS LINES REGULARIZER TIME_DERIVATIVE FLAGS KERNEL_COLUMN "
                     "FRAMES_FILE OUTPUT_FILE\n",
                     argv[0]);
        return 2;
    }
    const int32_t columns = std::atoi(argv[1]);
    const int32_t lines = std::atoi(argv[2]);
    const float regularizer = static_cast<float>(std::strtod(argv[3], nullptr));
    const int32_t time_derivative = std::atoi(argv[4]);
    const int32_t flags = std::atoi(argv[5]);
    const int32_t kernel_column = std::atoi(argv[6]);
    if (columns <= 0 || columns % 4 != 0 || lines <= 0) {
        std::fprintf(stderr, "bad geometry %d x %d\n", columns, lines);
        return 2;
    }

    std::FILE* in = std::fopen(argv[7], "rb");
    if (!in) {
        std::perror(argv[7]);
        return 1;
    }
    const size_t frame_floats = static_cast<size_t>(columns) * lines;
    std::vector<float> frames;
    std::vector<float> chunk(frame_floats);
    while (std::fread(chunk.data(), sizeof(float), frame_floats, in) == frame_floats)
        frames.insert(frames.end(), chunk.begin(), chunk.end());
    std::fclose(in);

    if (kernel_column < 0 ? prim_select_variants() != 1 : prim_fill_slots(kernel_column) != 1) {
        std::fprintf(stderr, "kernel column %d is not available\n", kernel_column);
        return 1;
    }

    MotionEngine engine;
    if (!engine.create(columns, lines, regularizer, time_derivative, flags)) {
        std::fprintf(stderr, "engine could not be created\n");
        return 1;
    }
    std::vector<float> out;
    const int32_t padded = engine.get_padded_step();
    const int32_t plain = engine.get_plain_step();
    for (size_t f = 0; f < frames.size() / frame_floats; ++f) {
        engine.process(frames.data() + f * frame_floats);
        for (int32_t k = 0; k < 14; ++k) {
            const auto which = static_cast<EngineImage>(k);
            const float* image = engine.get_image(which);
            if (which == EngineImage::Is) {
                append(out, image ? image + engine.get_interior_offset() : nullptr, padded, columns,
                       lines);
            } else {
                append(out, image, plain, columns, lines);
            }
        }
        for (int32_t s = 0; s < 5; ++s)
            append(out, engine.get_time_window(s), padded, columns + 4, lines + 4);
        for (int32_t s = 0; s < 5; ++s) {
            const float* ring = engine.get_history_ring(s);
            append(out, ring ? ring + engine.get_interior_offset() : nullptr, padded, columns,
                   lines);
        }
    }
    engine.destroy();

    std::FILE* result = std::fopen(argv[8], "wb");
    if (!result || std::fwrite(out.data(), sizeof(float), out.size(), result) != out.size()) {
        std::perror(argv[8]);
        return 1;
    }
    std::fclose(result);
    return 0;
}
