#include "flow/frame_source.hpp"

#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <system_error>

#include "flow/image_io.hpp"

namespace fs = std::filesystem;

namespace {

// Why `input`, which names neither a file nor a folder that can be reached, cannot be opened:
// a link that loops or leads nowhere is said to be one.
std::string cannot_open(const std::string& input) {
    struct stat st;
    if (::stat(input.c_str(), &st) == 0) return "cannot open '" + input + "'";
    const int err = errno;
    const std::string head = "cannot open '" + input + "': ";
    if (err == ELOOP) {
        return head +
               "it is a symbolic link that loops (following it leads back to a link already "
               "followed)";
    }
    std::error_code ec;
    if (err == ENOENT && fs::is_symlink(fs::symlink_status(input, ec))) {
        const fs::path target = fs::read_symlink(input, ec);
        return head + "it is a symbolic link to '" + target.string() + "', which does not exist";
    }
    if (err == ENOENT) return head + "no such file or folder";
    return head + std::error_code(err, std::generic_category()).message();
}

bool has_glob_characters(const std::string& s) {
    return s.find_first_of("*?[") != std::string::npos;
}

// The still-image formats a folder is searched for; PNG and PGM are read by the tool's own
// readers, the others through FFmpeg.
bool is_still_image_name(const fs::path& p) {
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    static const char* const kKnown[] = {".png", ".pgm", ".ppm", ".pnm", ".pbm", ".jpg",
                                         ".jpeg", ".bmp", ".tif", ".tiff", ".webp", ".tga",
                                         ".jp2", ".exr", ".dpx", ".sgi", ".pcx", ".gif"};
    return std::find(std::begin(kKnown), std::end(kKnown), ext) != std::end(kKnown);
}

GreyImage read_frame_file(const std::string& path) {
    return starts_like_still_image(path) ? read_still_image(path) : read_image_with_ffmpeg(path);
}

// A printf pattern for numbered files, e.g. "shots/f%03d.jpg": the text before and after the
// one %d or %0Nd conversion, and its width (0: any). False when `input` is no such pattern.
struct NumberPattern {
    std::string folder, head, tail;
    size_t width = 0;
};
bool parse_number_pattern(const std::string& input, NumberPattern* out) {
    const fs::path path(input);
    const std::string name = path.filename().string();
    const size_t pct = name.find('%');
    if (pct == std::string::npos) return false;
    size_t i = pct + 1, width = 0;
    const bool padded = i < name.size() && name[i] == '0';
    while (i < name.size() && std::isdigit(static_cast<unsigned char>(name[i]))) {
        width = width * 10 + static_cast<size_t>(name[i] - '0');
        if (width > 32) return false;
        ++i;
    }
    if (i >= name.size() || name[i] != 'd' || name.find('%', i) != std::string::npos) return false;
    out->folder = path.has_parent_path() ? path.parent_path().string() : ".";
    out->head = name.substr(0, pct);
    out->tail = name.substr(i + 1);
    out->width = padded ? width : 0;
    return true;
}

// The files of a printf pattern in the order of their numbers.
std::vector<std::string> numbered_files(const NumberPattern& p, const std::string& input) {
    std::vector<std::pair<unsigned long long, std::string>> found;
    std::error_code ec;
    for (fs::directory_iterator it(p.folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= p.head.size() + p.tail.size() || name.rfind(p.head, 0) != 0 ||
            name.compare(name.size() - p.tail.size(), p.tail.size(), p.tail) != 0) {
            continue;
        }
        const std::string digits =
            name.substr(p.head.size(), name.size() - p.head.size() - p.tail.size());
        if (digits.size() > 18 || (p.width && digits.size() != p.width) ||
            !std::all_of(digits.begin(), digits.end(),
                         [](unsigned char c) { return std::isdigit(c); })) {
            continue;
        }
        std::error_code fe;
        if (it->is_regular_file(fe)) found.emplace_back(std::stoull(digits), it->path().string());
    }
    if (ec) throw FlowError("cannot list folder '" + p.folder + "': " + ec.message());
    if (found.empty()) throw FlowError("no image files match '" + input + "'");
    std::sort(found.begin(), found.end());
    std::vector<std::string> files;
    for (auto& f : found) files.push_back(std::move(f.second));
    return files;
}

// Natural order: runs of digits compare by value, so frame2.png comes before frame10.png.
bool natural_less(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) &&
            std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t ie = i, je = j;
            while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
            while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
            size_t is = i, js = j;  // skip leading zeros, then longer means larger
            while (is + 1 < ie && a[is] == '0') ++is;
            while (js + 1 < je && b[js] == '0') ++js;
            if (ie - is != je - js) return ie - is < je - js;
            const int c = a.compare(is, ie - is, b, js, je - js);
            if (c != 0) return c < 0;
            i = ie, j = je;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i, ++j;
        }
    }
    if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
    return a < b;
}

// Still images, one file per frame. The first file fixes the geometry.
class ImageSequence : public FrameSource {
  public:
    ImageSequence(std::vector<std::string> files, std::string what)
        : files_(std::move(files)), what_(std::move(what)) {
        first_ = read_frame_file(files_.front());
        columns_ = first_.columns;
        lines_ = first_.lines;
    }
    bool next(GreyImage& frame) override {
        if (index_ >= files_.size()) return false;
        if (index_ == 0 && !first_.data.empty()) {
            frame = std::move(first_);
            first_ = GreyImage();
        } else {
            frame = read_frame_file(files_[index_]);
            if (frame.columns != columns_ || frame.lines != lines_) {
                throw FlowError("'" + files_[index_] + "' is " + std::to_string(frame.columns) +
                                "x" + std::to_string(frame.lines) + " but the sequence is " +
                                std::to_string(columns_) + "x" + std::to_string(lines_));
            }
        }
        ++index_;
        return true;
    }
    bool skip() override {
        if (index_ >= files_.size()) return false;
        if (index_ == 0) first_ = GreyImage();
        ++index_;
        return true;
    }
    int64_t frame_count() const override { return static_cast<int64_t>(files_.size()); }
    std::string description() const override { return what_; }

  private:
    std::vector<std::string> files_;
    std::string what_;
    GreyImage first_;
    size_t index_ = 0;
};

}  // namespace

std::vector<std::string> list_image_files(const std::string& input) {
    std::vector<std::string> files;
    std::error_code ec;
    NumberPattern pattern;
    if (!fs::exists(input, ec) && parse_number_pattern(input, &pattern)) {
        return numbered_files(pattern, input);
    }
    if (!has_glob_characters(input) || fs::is_directory(input, ec)) {
        if (!fs::is_directory(input, ec)) throw FlowError("'" + input + "' is not a folder");
        for (fs::directory_iterator it(input, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code fe;
            if (it->is_regular_file(fe) && is_still_image_name(it->path())) {
                files.push_back(it->path().string());
            }
        }
        if (ec) throw FlowError("cannot list folder '" + input + "': " + ec.message());
        if (files.empty()) {
            throw FlowError("the folder '" + input +
                            "' holds no images (PNG, PGM, JPEG, BMP, TIFF, WebP, ...)");
        }
    } else {
        glob_t g{};
        const int rc = ::glob(input.c_str(), 0, nullptr, &g);
        if (rc == 0) {
            for (size_t i = 0; i < g.gl_pathc; ++i) {
                std::error_code fe;
                if (fs::is_regular_file(g.gl_pathv[i], fe)) files.emplace_back(g.gl_pathv[i]);
            }
        }
        globfree(&g);
        if (rc != 0 && rc != GLOB_NOMATCH) throw FlowError("cannot expand '" + input + "'");
        if (files.empty()) throw FlowError("no image files match '" + input + "'");
    }
    std::sort(files.begin(), files.end(), natural_less);
    return files;
}

std::unique_ptr<FrameSource> open_frame_source(const std::string& input) {
    if (input.empty()) return std::make_unique<DefaultSequence>();
    // "-" is the standard input, as for most tools: a video piped from another program, or a
    // file given with "<".
    if (input == "-") {
        if (::isatty(STDIN_FILENO) != 0) {
            throw FlowError(
                "'-' reads the video from the standard input, which is a terminal here: pipe a "
                "video into it (for example: ffmpeg -i clip.mkv -f nut - | orvane-flow -)");
        }
        return open_frame_source("/dev/stdin");
    }
    std::error_code ec;
    if (fs::is_directory(input, ec)) {
        auto files = list_image_files(input);
        const std::string what = "the folder '" + input + "'";
        return std::make_unique<ImageSequence>(std::move(files), what);
    }
    NumberPattern pattern;
    if (!fs::exists(input, ec) &&
        (has_glob_characters(input) || parse_number_pattern(input, &pattern))) {
        auto files = list_image_files(input);
        return std::make_unique<ImageSequence>(std::move(files), "the images '" + input + "'");
    }
    if (!fs::exists(input, ec)) throw FlowError(cannot_open(input));
    // A pipe (a video streamed from another program) is read as a video.
    if (fs::is_fifo(input, ec) || fs::is_character_file(input, ec)) return open_video_source(input);
    if (!fs::is_regular_file(input, ec)) throw FlowError("'" + input + "' is not a regular file");
    if (fs::file_size(input, ec) == 0) throw FlowError("'" + input + "' is empty (zero bytes)");
    if (starts_like_still_image(input)) {
        return std::make_unique<ImageSequence>(std::vector<std::string>{input},
                                               "the image '" + input + "'");
    }
    return open_video_source(input);
}

std::unique_ptr<FrameSource> open_image_files(const std::vector<std::string>& files) {
    if (files.size() == 1) return open_frame_source(files.front());
    for (const std::string& f : files) {
        std::error_code ec;
        if (!fs::exists(f, ec)) throw FlowError(cannot_open(f));
        if (!fs::is_regular_file(f, ec)) {
            throw FlowError("'" + f +
                            "' is not an image file (several inputs must all be "
                            "still images)");
        }
    }
    return std::make_unique<ImageSequence>(
        files, "the " + std::to_string(files.size()) + " images from '" + files.front() + "'");
}

bool FrameSource::next_yuv(YuvPicture& picture) {
    GreyImage grey;
    if (!next(grey)) return false;
    picture = YuvPicture(grey.columns, grey.lines);
    // Grey levels 0..255 as limited-range luma 16..235, chroma neutral.
    for (size_t i = 0; i < grey.data.size(); ++i) {
        const float g = std::clamp(grey.data[i], 0.0f, 255.0f);
        picture.y[i] = static_cast<uint8_t>(std::lround(16.0f + g * (219.0f / 255.0f)));
    }
    return true;
}
