#include "flow/image_io.hpp"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

struct FileCloser {
    void operator()(FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<FILE, FileCloser>;

File open_for_reading(const std::string& path) {
    File f(std::fopen(path.c_str(), "rb"));
    if (!f) throw FlowError("cannot open '" + path + "': " + std::strerror(errno));
    return f;
}

// libpng reports errors by longjmp; the message is kept here so that the C++ side can throw
// once control is back in a frame that owns no objects skipped by the jump.
struct PngErrorText {
    char text[256] = {};
};

void png_error_to_text(png_structp png, png_const_charp message) {
    auto* err = static_cast<PngErrorText*>(png_get_error_ptr(png));
    std::snprintf(err->text, sizeof err->text, "%s", message);
    png_longjmp(png, 1);
}
void png_warning_ignored(png_structp, png_const_charp) {}

// Decoded PNG rows after the expansion transforms: 1 to 4 channels of 8 or 16 bits.
struct PngPixels {
    uint32_t width = 0, height = 0;
    int channels = 0, bit_depth = 0;
    std::vector<uint8_t> bytes;
    std::vector<png_bytep> rows;
};

// Only plain data lives in this frame across setjmp, so the jump skips no destructor.
// Deflate turns at most 258 bytes into two bits of compressed data: about 1032 to 1.
constexpr unsigned long long kDeflateMaxRatio = 1032;

bool decode_png(FILE* f, long long file_bytes, PngPixels* out, PngErrorText* err) {
    png_structp png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, err, png_error_to_text, png_warning_ignored);
    if (!png) {
        std::snprintf(err->text, sizeof err->text, "out of memory");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        std::snprintf(err->text, sizeof err->text, "out of memory");
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_init_io(png, f);
    // Hostile files may claim huge sizes; refuse before allocating.
    png_set_user_limits(png, 1u << 16, 1u << 16);
    png_read_info(png, info);
    const int color_type = png_get_color_type(png, info);
    const int depth = png_get_bit_depth(png, info);
    {
        // Sizes come from the header, which costs a hostile file 30 bytes: judge them before
        // anything of that size is allocated.
        const uint32_t w = png_get_image_width(png, info), h = png_get_image_height(png, info);
        const unsigned long long raw =
            (static_cast<unsigned long long>(png_get_rowbytes(png, info)) + 1) * h;
        // No object with a destructor may live across a libpng call here: the text is copied
        // out of the temporary within the statement.
        std::snprintf(err->text, sizeof err->text, "%s", frame_size_problem(w, h).c_str());
        if (!err->text[0] && file_bytes >= 0 &&
            raw > static_cast<unsigned long long>(file_bytes) * kDeflateMaxRatio) {
            std::snprintf(err->text, sizeof err->text,
                          "the header claims %ux%u pixels, more than its %lld bytes can hold "
                          "(the file is truncated or damaged)",
                          w, h, file_bytes);
        }
        if (err->text[0]) {
            png_destroy_read_struct(&png, &info, nullptr);
            return false;
        }
    }
    if (color_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (color_type == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    png_set_strip_alpha(png);
    if (depth == 16 && std::endian::native == std::endian::little) png_set_swap(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    out->width = png_get_image_width(png, info);
    out->height = png_get_image_height(png, info);
    out->channels = png_get_channels(png, info);
    out->bit_depth = png_get_bit_depth(png, info);
    const size_t row_bytes = png_get_rowbytes(png, info);
    if (out->width == 0 || out->height == 0) {
        std::snprintf(err->text, sizeof err->text, "zero-size image");
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    out->bytes.resize(row_bytes * out->height);
    out->rows.resize(out->height);
    for (uint32_t y = 0; y < out->height; ++y) out->rows[y] = out->bytes.data() + y * row_bytes;
    png_read_image(png, out->rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

float luma(double r, double g, double b) {
    return static_cast<float>(0.299 * r + 0.587 * g + 0.114 * b);
}

// PGM header fields are separated by whitespace and may carry '#' comments.
enum class PnmNumber { ok, end, bad };
PnmNumber read_pnm_number(FILE* f, long* value) {
    int c = std::fgetc(f);
    for (;;) {
        while (c != EOF && std::isspace(c)) c = std::fgetc(f);
        if (c != '#') break;
        while (c != EOF && c != '\n') c = std::fgetc(f);
    }
    if (c == EOF) return PnmNumber::end;
    if (!std::isdigit(c)) return PnmNumber::bad;
    long v = 0;
    while (c != EOF && std::isdigit(c)) {
        if (v > 100000000) return PnmNumber::bad;
        v = v * 10 + (c - '0');
        c = std::fgetc(f);
    }
    // One whitespace character ends the header field (and, after maxval, the header).
    *value = v;
    return c == EOF || std::isspace(c) ? PnmNumber::ok : PnmNumber::bad;
}

// Bytes from the current position to the end of the file; -1 when unknown.
long long bytes_left(FILE* f) {
    const long here = std::ftell(f);
    if (here < 0 || std::fseek(f, 0, SEEK_END) != 0) return -1;
    const long end = std::ftell(f);
    if (std::fseek(f, here, SEEK_SET) != 0 || end < here) return -1;
    return end - here;
}

bool encode_png(FILE* f, uint32_t width, uint32_t height, int color_type, const uint8_t* data,
                size_t row_bytes, PngErrorText* err) {
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, err, png_error_to_text, png_warning_ignored);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, f);
    // Pictures are written often during a run: the fastest compression with the one filter
    // that suits photographs halves the time of level 3 with adaptive filters, for files
    // about a tenth larger; matching runs of one byte only (the flow and heat pictures are
    // large even areas and noise) takes another quarter off, and the files get smaller.
    png_set_compression_level(png, 1);
    png_set_compression_strategy(png, Z_RLE);
    png_set_filter(png, 0, PNG_FILTER_SUB);
    png_set_IHDR(png, info, width, height, 8, color_type, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (uint32_t y = 0; y < height; ++y) {
        png_write_row(png, const_cast<png_bytep>(data + y * row_bytes));
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

// What the first bytes of a file say it holds.
enum class StillKind { png, pgm, other };
StillKind still_kind(const unsigned char* head, size_t got) {
    if (got == 8 && png_sig_cmp(head, 0, 8) == 0) return StillKind::png;
    if (got >= 2 && head[0] == 'P' && (head[1] == '5' || head[1] == '2')) return StillKind::pgm;
    return StillKind::other;
}

File open_for_writing(const std::string& path) {
    File f(std::fopen(path.c_str(), "wb"));
    if (!f) throw FlowError("cannot create '" + path + "': " + std::strerror(errno));
    return f;
}

void finish_writing(File f, const std::string& path) {
    FILE* raw = f.release();
    const bool flushed = std::fflush(raw) == 0 && !std::ferror(raw);
    const int flush_errno = errno;
    if (std::fclose(raw) != 0 || !flushed) {
        throw FlowError("cannot write '" + path +
                        "': " + std::strerror(flushed ? errno : flush_errno));
    }
}

}  // namespace

std::string frame_size_problem(long long columns, long long lines) {
    if (columns <= 0 || lines <= 0) return "zero-size image";
    // Every buffer of the component is one allocation of (columns + 4) x (lines + 4) floats,
    // rows padded to 32 bytes, whose byte count must fit a signed 32-bit int.
    constexpr long long kLimit = 0x7fffffffLL - 64;
    const long long step = ((columns + 4) * 4 + 31) / 32 * 32;
    if (columns > kLimit / 4 || lines > kLimit || step * (lines + 4) > kLimit) {
        return std::to_string(columns) + "x" + std::to_string(lines) +
               " pixels is larger than the component can process";
    }
    return {};
}

GreyImage read_png(const std::string& path) {
    File f = open_for_reading(path);
    PngPixels px;
    PngErrorText err;
    if (!decode_png(f.get(), bytes_left(f.get()), &px, &err)) {
        throw FlowError("cannot read PNG '" + path + "': " + err.text);
    }
    GreyImage image(static_cast<int32_t>(px.width), static_cast<int32_t>(px.height));
    const bool deep = px.bit_depth == 16;
    const double scale = deep ? 255.0 / 65535.0 : 1.0;
    for (uint32_t y = 0; y < px.height; ++y) {
        const uint8_t* row = px.rows[y];
        float* dst = image.line(static_cast<int32_t>(y));
        for (uint32_t x = 0; x < px.width; ++x) {
            double v[4];
            for (int c = 0; c < px.channels; ++c) {
                const size_t i = static_cast<size_t>(x) * px.channels + c;
                if (deep) {
                    uint16_t s;
                    std::memcpy(&s, row + 2 * i, 2);
                    v[c] = s * scale;
                } else {
                    v[c] = row[i];
                }
            }
            // After strip_alpha: 1 channel grey or 3 channels colour.
            dst[x] = px.channels >= 3 ? luma(v[0], v[1], v[2]) : static_cast<float>(v[0]);
        }
    }
    return image;
}

GreyImage read_pgm(const std::string& path) {
    File f = open_for_reading(path);
    char magic[2] = {};
    if (std::fread(magic, 1, 2, f.get()) != 2 || magic[0] != 'P' ||
        (magic[1] != '5' && magic[1] != '2')) {
        throw FlowError("cannot read PGM '" + path + "': not a P2 or P5 grey-level file");
    }
    long width = 0, height = 0, maxval = 0;
    if (read_pnm_number(f.get(), &width) != PnmNumber::ok ||
        read_pnm_number(f.get(), &height) != PnmNumber::ok ||
        read_pnm_number(f.get(), &maxval) != PnmNumber::ok) {
        throw FlowError("cannot read PGM '" + path + "': malformed header");
    }
    if (width == 0 || height == 0) throw FlowError("'" + path + "' is a zero-size image");
    if (maxval < 1 || maxval > 65535) {
        throw FlowError("cannot read PGM '" + path + "': maxval " + std::to_string(maxval) +
                        " is outside 1..65535");
    }
    const std::string problem = frame_size_problem(width, height);
    if (!problem.empty()) throw FlowError("cannot read PGM '" + path + "': " + problem);
    // The header is a few bytes; the samples it announces must be in the file before memory
    // is set aside for them. A text sample takes at least two bytes (a digit and a space).
    const unsigned long long count = static_cast<unsigned long long>(width) * height;
    const unsigned long long needed =
        magic[1] == '5' ? count * (maxval > 255 ? 2 : 1) : 2 * count - 1;
    const long long left = bytes_left(f.get());
    if (left >= 0 && static_cast<unsigned long long>(left) < needed) {
        throw FlowError("cannot read PGM '" + path + "': the file is truncated (" +
                        std::to_string(width) + "x" + std::to_string(height) + " needs " +
                        std::to_string(needed) + " bytes of samples, it holds " +
                        std::to_string(left) + ")");
    }
    GreyImage image(static_cast<int32_t>(width), static_cast<int32_t>(height));
    const double scale = maxval == 255 ? 1.0 : 255.0 / static_cast<double>(maxval);
    bool short_file = false;
    if (magic[1] == '5') {
        const size_t bytes_per = maxval > 255 ? 2 : 1;
        std::vector<uint8_t> raw(count * bytes_per);
        short_file = std::fread(raw.data(), 1, raw.size(), f.get()) != raw.size();
        for (size_t i = 0; i < count && !short_file; ++i) {
            const long v = bytes_per == 2 ? (raw[2 * i] << 8) | raw[2 * i + 1] : raw[i];
            image.data[i] = static_cast<float>(std::min(v, maxval) * scale);
        }
    } else {
        for (size_t i = 0; i < count; ++i) {
            long v = 0;
            const PnmNumber got = read_pnm_number(f.get(), &v);
            if (got == PnmNumber::bad) {
                throw FlowError("cannot read PGM '" + path + "': sample " + std::to_string(i) +
                                " is not a whole number from 0 to " + std::to_string(maxval));
            }
            if (got == PnmNumber::end) {
                short_file = true;
                break;
            }
            image.data[i] = static_cast<float>(std::min(v, maxval) * scale);
        }
    }
    if (short_file) throw FlowError("cannot read PGM '" + path + "': the file is truncated");
    return image;
}

GreyImage read_still_image(const std::string& path) {
    unsigned char head[8] = {};
    size_t got = 0;
    {
        File f = open_for_reading(path);
        got = std::fread(head, 1, sizeof head, f.get());
    }
    if (got == 0) throw FlowError("'" + path + "' is empty (zero bytes)");
    switch (still_kind(head, got)) {
        case StillKind::png:
            return read_png(path);
        case StillKind::pgm:
            return read_pgm(path);
        case StillKind::other:
            break;
    }
    throw FlowError("'" + path + "' is neither a PNG nor a PGM image");
}

bool starts_like_still_image(const std::string& path) {
    unsigned char head[8] = {};
    File f(std::fopen(path.c_str(), "rb"));
    if (!f) return false;
    const size_t got = std::fread(head, 1, sizeof head, f.get());
    return still_kind(head, got) != StillKind::other;
}

void write_png_rgb(const std::string& path, const RgbPicture& picture) {
    File f = open_for_writing(path);
    PngErrorText err;
    if (!encode_png(f.get(), static_cast<uint32_t>(picture.columns),
                    static_cast<uint32_t>(picture.lines), PNG_COLOR_TYPE_RGB, picture.rgb.data(),
                    static_cast<size_t>(picture.columns) * 3, &err)) {
        throw FlowError("cannot write PNG '" + path + "': " + err.text);
    }
    finish_writing(std::move(f), path);
}

void write_png_grey(const std::string& path, const GreyImage& image) {
    std::vector<uint8_t> bytes(image.data.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
        const float v = image.data[i];
        // NaN goes to black like every other value below range.
        // v + 0.5 in double precision truncates as lround rounds a positive value, and is
        // several times faster.
        bytes[i] = v >= 255.0f ? 255
                   : v > 0.0f  ? static_cast<uint8_t>(static_cast<double>(v) + 0.5)
                               : 0;
    }
    File f = open_for_writing(path);
    PngErrorText err;
    if (!encode_png(f.get(), static_cast<uint32_t>(image.columns),
                    static_cast<uint32_t>(image.lines), PNG_COLOR_TYPE_GRAY, bytes.data(),
                    static_cast<size_t>(image.columns), &err)) {
        throw FlowError("cannot write PNG '" + path + "': " + err.text);
    }
    finish_writing(std::move(f), path);
}

namespace {

// A float32 .npy file of the given shape holding `values` in C order.
void write_npy_floats(const std::string& path, const std::string& shape, const float* values,
                      size_t count) {
    static_assert(std::endian::native == std::endian::little, "the .npy writer assumes '<f4'");
    std::string header = "{'descr': '<f4', 'fortran_order': False, 'shape': (" + shape + "), }";
    // Magic (6) + version (2) + length (2) + header + '\n' is padded to a multiple of 64.
    const size_t unpadded = 10 + header.size() + 1;
    header.append((64 - unpadded % 64) % 64, ' ');
    header.push_back('\n');
    std::string preamble("\x93NUMPY\x01\x00", 8);
    preamble.push_back(static_cast<char>(header.size() & 0xff));
    preamble.push_back(static_cast<char>(header.size() >> 8));
    File f = open_for_writing(path);
    std::fwrite(preamble.data(), 1, preamble.size(), f.get());
    std::fwrite(header.data(), 1, header.size(), f.get());
    std::fwrite(values, sizeof(float), count, f.get());
    finish_writing(std::move(f), path);
}

// u and v interleaved per pixel, invalid pixels replaced by `invalid`.
std::vector<float> interleave(const GreyImage& u, const GreyImage& v,
                              const std::vector<uint8_t>& valid, float invalid) {
    std::vector<float> uv(2 * u.data.size());
    for (size_t i = 0; i < u.data.size(); ++i) {
        const bool ok = i < valid.size() && valid[i];
        uv[2 * i] = ok ? u.data[i] : invalid;
        uv[2 * i + 1] = ok ? v.data[i] : invalid;
    }
    return uv;
}

}  // namespace

void write_text_file(const std::string& path, const std::string& text) {
    File f = open_for_writing(path);
    if (std::fwrite(text.data(), 1, text.size(), f.get()) != text.size()) {
        throw FlowError("cannot write '" + path + "': " + std::strerror(errno));
    }
    finish_writing(std::move(f), path);
}

void write_npy(const std::string& path, const GreyImage& image) {
    write_npy_floats(path, std::to_string(image.lines) + ", " + std::to_string(image.columns),
                     image.data.data(), image.data.size());
}

void write_npy_flow(const std::string& path, const GreyImage& u, const GreyImage& v,
                    const std::vector<uint8_t>& valid) {
    const std::vector<float> uv = interleave(u, v, valid, 0.0f);
    write_npy_floats(path, std::to_string(u.lines) + ", " + std::to_string(u.columns) + ", 2",
                     uv.data(), uv.size());
}

void write_flo(const std::string& path, const GreyImage& u, const GreyImage& v,
               const std::vector<uint8_t>& valid) {
    static_assert(std::endian::native == std::endian::little, "the .flo writer assumes it");
    // Readers of the format take a component above 1e9 as "unknown".
    const std::vector<float> uv = interleave(u, v, valid, 1e10f);
    const float tag = 202021.25f;  // "PIEH" read as a little-endian float
    const int32_t size[2] = {u.columns, u.lines};
    File f = open_for_writing(path);
    std::fwrite(&tag, sizeof tag, 1, f.get());
    std::fwrite(size, sizeof(int32_t), 2, f.get());
    std::fwrite(uv.data(), sizeof(float), uv.size(), f.get());
    finish_writing(std::move(f), path);
}
