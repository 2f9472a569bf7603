// orvane-flow's still-image readers (PNG and PGM, chosen by content) on arbitrary files. A file
// they cannot use must end in FlowError with a message, never in a crash or another exception.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "flow/image_io.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/orvane-fuzz-image-" + std::to_string(getpid());
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    try {
        if (starts_like_still_image(path)) {
            GreyImage image = read_still_image(path);
            (void)image;
        }
    } catch (const FlowError&) {
    }
    return 0;
}
