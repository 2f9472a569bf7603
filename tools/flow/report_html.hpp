// report.html: one page that shows a run to a person: what was read and with which settings,
// the recovered motion, the timing, an interactive chart of the motion per frame (Chart.js,
// copied beside the page so that it opens offline) and the pictures.
//
// The page is self-contained but for chart.min.js and the pictures, which sit in the same
// folder. Without Chart.js the page says so and still shows everything else. The run builds
// one ReportContent at the end and writes the text this returns.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/affine.hpp"
#include "flow/reports.hpp"

struct ReportContent {
    std::string input;  // how the input is named
    std::vector<std::pair<std::string, std::string>> settings;  // name, value as shown
    std::vector<FrameRecord> records;
    double cx = 0, cy = 0;  // where the pan is taken [pixels]
    std::optional<AffineMotion> median, known;  // median: the run's recovered motion
    double elapsed_s = 0, throughput_fps = 0, component_fps = 0;
    std::string damage;  // empty for a sound input
    std::string damage_consequence;  // what it means for the results
    bool interrupted = false;
    std::vector<std::string> pictures;  // file names beside the page, in the order to show
    std::string motion_plot;            // "motion.png", or empty when there is none
    std::string video;                  // the flow video as the page links it, or empty
    // --stabilize: the stabilised video as the page links it, and what was done (rows of
    // name and value as shown); both empty without it.
    std::string stabilized_video;
    std::vector<std::pair<std::string, std::string>> stabilization;
};

std::string report_html(const ReportContent& content);

// Where Debian's libjs-chart.js keeps the script the page loads; empty when it is absent.
std::string chart_js_path();
