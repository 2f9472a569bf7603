#include "flow/reports.hpp"

#include <cmath>
#include <cstdio>

namespace {

std::string csv_number(double v) {
    if (!std::isfinite(v)) return "";
    char text[40];
    std::snprintf(text, sizeof text, "%.9g", v);
    return text;
}

// Length of the UTF-8 sequence that starts at s[i], or 0 when it is not valid.
size_t utf8_length(const std::string& s, size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n = 0;
    if (c < 0x80) return 1;
    if ((c & 0xE0) == 0xC0 && c >= 0xC2)
        n = 2;
    else if ((c & 0xF0) == 0xE0)
        n = 3;
    else if ((c & 0xF8) == 0xF0 && c <= 0xF4)
        n = 4;
    else
        return 0;
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
    }
    return n;
}

}  // namespace

std::vector<std::string> frame_cells(const FrameRecord& r) {
    std::vector<std::string> cells{std::to_string(r.frame), csv_number(r.time_ms),
                                   csv_number(r.mean_abs_it), csv_number(r.change_share),
                                   csv_number(r.mean_flow)};
    cells.push_back(r.affine ? std::to_string(r.affine_frame) : std::string());
    for (int i = 0; i < 6; ++i) cells.push_back(r.affine ? csv_number(r.affine->a[i]) : "");
    cells.push_back(csv_number(r.time_s));
    const bool flow = r.flow_frame >= 0;
    cells.push_back(flow ? std::to_string(r.flow_frame) : "");
    cells.push_back(flow ? csv_number(r.valid_share) : "");
    cells.push_back(flow ? csv_number(r.median_speed) : "");
    cells.push_back(flow ? (r.beyond_range ? "1" : "0") : "");
    return cells;
}

std::string frames_csv(const std::vector<FrameRecord>& records) {
    std::string out = kFramesCsvHeader;
    out += '\n';
    for (const FrameRecord& r : records) {
        const std::vector<std::string> cells = frame_cells(r);
        for (size_t k = 0; k < cells.size(); ++k) out += (k ? "," : "") + cells[k];
        out += '\n';
    }
    return out;
}

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t n = utf8_length(text, i);
        if (n == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (n > 1) {
            out.append(text, i, n);
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
        i += n;
    }
    return out + "\"";
}

std::string json_number(double value) {
    if (!std::isfinite(value)) return "null";
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}
