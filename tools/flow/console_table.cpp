#include "flow/console_table.hpp"

#include <cstdio>

void print_results(const JobResult& r) {
    const RunOptions& o = r.options;
    const size_t n = r.records.size();
    std::printf("orvane-flow: %zu frames of %s (%dx%d) in %.2f s, %.1f frames/s\n", n,
                r.input_description.c_str(), r.columns, r.lines, r.elapsed_s,
                r.elapsed_s > 0 ? static_cast<double>(n) / r.elapsed_s : 0.0);
    std::printf("Pictures and numbers are in %s/ (%d pictures, frames.csv, summary.json)\n",
                o.out.c_str(), static_cast<int>(r.pictures));
    if (r.stabilized) {
        char how[48];
        if (o.stabilize.borders == "crop")
            std::snprintf(how, sizeof how, "zoom %.3f", r.stabilized->zoom);
        else
            std::snprintf(how, sizeof how, "%s borders", o.stabilize.borders.c_str());
        std::printf("Stabilised video: %s (%s; shake at the corners %.2f px RMS, %.3f px left)\n",
                    o.stabilize.video.c_str(), how, r.stabilized->shake.corners,
                    r.stabilized->residual.corners);
    }
    if (!r.global_motion) return;
    // The trimmed mean: per-frame estimates of slow motions swing with the content's
    // sub-pixel phase, and their median leans to one side of the swing.
    const auto median = trimmed_mean_motion(r.estimates);
    if (!median) {
        std::printf(
            "No global motion could be estimated (too few frames or too little texture).\n");
        return;
    }
    const auto& known = r.known;
    const double cx = r.cx(), cy = r.cy();
    std::printf(
        "\nGlobal affine motion, trimmed mean of %zu frames (u = a1 + a2 x + a3 y, v = a4 + a5 x + "
        "a6 y,\n"
        "x right and y down from the top-left pixel; pixels per frame):\n",
        r.estimates.size());
    std::printf("  %-26s %12s%s\n", "", "recovered", known ? "        known" : "");
    auto row = [&](const char* label, double got, double want, double scale) {
        if (known)
            std::printf("  %-26s %12.5f %12.5f\n", label, got * scale, want * scale);
        else
            std::printf("  %-26s %12.5f\n", label, got * scale);
    };
    const AffineMotion k = known ? *known : AffineMotion{};
    row("pan x at the centre", median->pan_x(cx, cy), k.pan_x(cx, cy), 1.0);
    row("pan y at the centre", median->pan_y(cx, cy), k.pan_y(cx, cy), 1.0);
    row("rotation [mrad, clockwise]", median->rotation(), k.rotation(), 1000.0);
    row("zoom [1/1000]", median->zoom(), k.zoom(), 1000.0);
    static const char* names[6] = {"a1", "a2", "a3", "a4", "a5", "a6"};
    for (int i = 0; i < 6; ++i) row(names[i], median->a[i], k.a[i], 1.0);
}
