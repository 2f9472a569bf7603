#include "flow/report_html.hpp"

#include <cmath>
#include <cstdio>
#include <filesystem>

namespace {

std::string escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string fixed(double v, int digits) {
    if (!std::isfinite(v)) return "&ndash;";
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", digits, v);
    return text;
}

// A JSON array of numbers (null where there is none). json_number writes no '<', so the text
// is safe inside a script element.
std::string series(const std::vector<double>& values) {
    std::string out = "[";
    for (size_t i = 0; i < values.size(); ++i) out += (i ? "," : "") + json_number(values[i]);
    return out + "]";
}

constexpr const char* kStyle = R"(
body { font-family: "DejaVu Sans", sans-serif; margin: 2em auto; max-width: 1100px; color: #222; }
h1 { font-size: 1.5em; } h2 { font-size: 1.15em; margin-top: 1.6em; }
table { border-collapse: collapse; } td, th { padding: 3px 12px; border-bottom: 1px solid #ddd; }
th { text-align: left; } td.n { text-align: right; font-variant-numeric: tabular-nums; }
.warn { background: #fff3cd; padding: 8px 12px; border-left: 4px solid #e0a800; }
.chart { position: relative; height: 300px; margin-bottom: 1em; }
figure { display: inline-block; margin: 0 12px 12px 0; vertical-align: top; }
figure img { max-width: 520px; border: 1px solid #ccc; }
figcaption { font-size: 0.85em; color: #555; }
)";

// Draws the two charts; records in the page what it did (for people reading the page source
// and for the browser test): data-state on the body, the drawn pixels of each canvas, and any
// script error.
constexpr const char* kScript = R"(
(function () {
  var errors = [];
  window.addEventListener('error', function (e) {
    errors.push(e.message); document.body.dataset.errors = errors.join('; ');
  });
  var notice = document.getElementById('chart-notice');
  if (typeof Chart === 'undefined') {
    notice.textContent = 'The interactive chart needs chart.min.js beside this page ' +
      '(Debian package libjs-chart.js); the plot motion.png shows the same numbers.';
    document.body.dataset.state = 'no-chart-js';
    return;
  }
  var common = {
    animation: false, responsive: true, maintainAspectRatio: false, spanGaps: false,
    interaction: { mode: 'index', intersect: false },
    plugins: { tooltip: { enabled: true } },
    elements: { point: { radius: 0 } }
  };
  function chart(id, datasets, unit) {
    var options = JSON.parse(JSON.stringify(common));
    options.scales = {
      x: { type: 'linear', title: { display: true, text: 'frame' } },
      // A margin above and below the data, so that a marker at the extremes shows whole.
      y: { title: { display: true, text: unit }, grace: '5%' }
    };
    var c = new Chart(document.getElementById(id), {
      type: 'line', data: { datasets: datasets }, options: options
    });
    var canvas = c.canvas, ctx = canvas.getContext('2d');
    var px = ctx.getImageData(0, 0, canvas.width, canvas.height).data, drawn = 0, ink = 0;
    for (var i = 3; i < px.length; i += 4) if (px[i] !== 0) drawn++;
    canvas.dataset.drawnPixels = drawn;
    // The plot area alone (no legend, no axes): pixels in the colours of the series.
    var colours = datasets.map(function (d) { return d.borderColor; });
    var area = c.chartArea, scale = canvas.width / c.width;
    var x0 = Math.ceil(area.left * scale), y0 = Math.ceil(area.top * scale);
    var plot = ctx.getImageData(x0, y0, Math.floor(area.right * scale) - x0,
                                Math.floor(area.bottom * scale) - y0).data;
    for (var k = 0; k < plot.length; k += 4) {
      var rgb = '#' + [plot[k], plot[k + 1], plot[k + 2]].map(function (v) {
        return (v < 16 ? '0' : '') + v.toString(16);
      }).join('');
      if (plot[k + 3] !== 0 && colours.indexOf(rgb) >= 0) ink++;
    }
    canvas.dataset.dataPixels = ink;
  }
  // A series of many points is a line; a point without a neighbour (a single pair, a frame
  // between gaps) draws no line, so it gets a marker, and so does every point of a short series.
  function line(label, ys, colour, dashed) {
    var points = [], shown = 0;
    for (var i = 0; i < MOTION.frame.length; i++) {
      points.push({ x: MOTION.frame[i], y: ys[i] });
      if (ys[i] !== null) shown++;
    }
    function alone(i) {
      return ys[i] !== null && (i === 0 || ys[i - 1] === null) &&
             (i === ys.length - 1 || ys[i + 1] === null);
    }
    return { label: label, data: points, borderColor: colour, backgroundColor: colour,
             borderWidth: dashed ? 1 : 2, borderDash: dashed ? [6, 4] : [],
             pointRadius: function (c) { return shown <= 20 || alone(c.dataIndex) ? 3 : 0; } };
  }
  function known(label, value, colour) {
    if (value === null || MOTION.frame.length === 0) return [];
    var f = MOTION.frame.filter(function (v) { return v !== null; });
    var lo = Math.min.apply(null, f), hi = Math.max.apply(null, f);
    return [{ label: label, data: [{ x: lo, y: value }, { x: hi, y: value }],
              borderColor: colour, borderWidth: 1, borderDash: [6, 4], pointRadius: 0 }];
  }
  chart('chart-pan', [line('pan x', MOTION.pan_x, '#cc2619'), line('pan y', MOTION.pan_y, '#1a59cc')]
        .concat(known('pan x known', KNOWN.pan_x, '#cc2619'))
        .concat(known('pan y known', KNOWN.pan_y, '#1a59cc')), 'px/frame');
  chart('chart-shape', [line('rotation [mrad/frame, clockwise]', MOTION.rotation, '#268c33'),
                        line('zoom [1/1000 per frame]', MOTION.zoom, '#8c33a6')]
        .concat(known('rotation known', KNOWN.rotation, '#268c33'))
        .concat(known('zoom known', KNOWN.zoom, '#8c33a6')), 'per mille per frame');
  document.body.dataset.state = errors.length ? 'errors' : 'drawn';
})();
)";

}  // namespace

std::string chart_js_path() {
    for (const char* p : {"/usr/share/javascript/chart.js/chart.min.js",
                          "/usr/share/nodejs/chart.js/dist/chart.min.js"}) {
        std::error_code ec;
        if (std::filesystem::is_regular_file(p, ec)) return p;
    }
    return {};
}

std::string report_html(const ReportContent& r) {
    std::vector<double> frame, pan_x, pan_y, rotation, zoom;
    for (const FrameRecord& rec : r.records) {
        if (!rec.affine) continue;
        frame.push_back(static_cast<double>(rec.affine_frame));
        pan_x.push_back(rec.affine->pan_x(r.cx, r.cy));
        pan_y.push_back(rec.affine->pan_y(r.cx, r.cy));
        rotation.push_back(1000.0 * rec.affine->rotation());
        zoom.push_back(1000.0 * rec.affine->zoom());
    }
    std::string h = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    h += "<title>orvane-flow: " + escape(r.input) + "</title>\n<style>" + kStyle + "</style>\n";
    h += "<script src=\"chart.min.js\"></script>\n</head>\n<body>\n";
    h += "<h1>Motion in " + escape(r.input) + "</h1>\n";
    if (!r.damage.empty()) {
        h += "<p class=\"warn\">The input is damaged: " + escape(r.damage) + "; " +
             escape(r.damage_consequence) + ".</p>\n";
    }
    if (r.interrupted) {
        h += "<p class=\"warn\">The run was interrupted; these are the frames measured until "
             "then.</p>\n";
    }
    h += "<h2>Run</h2>\n<table>\n";
    h += "<tr><th>frames measured</th><td class=\"n\">" + std::to_string(r.records.size()) +
         "</td></tr>\n";
    if (!r.records.empty()) {
        h += "<tr><th>first &ndash; last frame</th><td class=\"n\">" +
             std::to_string(r.records.front().frame) + " &ndash; " +
             std::to_string(r.records.back().frame) + "</td></tr>\n";
    }
    h += "<tr><th>time</th><td class=\"n\">" + fixed(r.elapsed_s, 2) + " s</td></tr>\n";
    h += "<tr><th>throughput</th><td class=\"n\">" + fixed(r.throughput_fps, 1) +
         " frames/s</td></tr>\n";
    h += "<tr><th>component alone</th><td class=\"n\">" + fixed(r.component_fps, 1) +
         " frames/s</td></tr>\n";
    for (const auto& [name, value] : r.settings) {
        h += "<tr><th>" + escape(name) + "</th><td class=\"n\">" + escape(value) + "</td></tr>\n";
    }
    h += "</table>\n";

    h += "<h2>Global motion</h2>\n";
    if (r.median) {
        h += "<p>Trimmed mean over " + std::to_string(frame.size()) +
             " frames of the affine fit u = a1 + a2 x + a3 y, v = a4 + a5 x + a6 y (x right, y "
             "down, pixels per frame); pan at the image centre.</p>\n<table>\n";
        h += std::string("<tr><th></th><th>recovered</th>") + (r.known ? "<th>known</th>" : "") +
             "</tr>\n";
        const AffineMotion k = r.known ? *r.known : AffineMotion{};
        auto row = [&](const char* label, double got, double want, int digits) {
            h += std::string("<tr><th>") + label + "</th><td class=\"n\">" + fixed(got, digits) +
                 "</td>" + (r.known ? "<td class=\"n\">" + fixed(want, digits) + "</td>" : "") +
                 "</tr>\n";
        };
        row("pan x [px/frame]", r.median->pan_x(r.cx, r.cy), k.pan_x(r.cx, r.cy), 4);
        row("pan y [px/frame]", r.median->pan_y(r.cx, r.cy), k.pan_y(r.cx, r.cy), 4);
        row("rotation [mrad/frame, clockwise]", 1000 * r.median->rotation(), 1000 * k.rotation(),
            3);
        row("zoom [1/1000 per frame]", 1000 * r.median->zoom(), 1000 * k.zoom(), 3);
        h += "</table>\n";
    } else {
        h += "<p>No global motion was estimated (the computation mode computes none, or the "
             "frames hold too little texture).</p>\n";
    }
    h += "<h2>Motion per frame</h2>\n<p id=\"chart-notice\"></p>\n";
    h += "<div class=\"chart\"><canvas id=\"chart-pan\"></canvas></div>\n";
    h += "<div class=\"chart\"><canvas id=\"chart-shape\"></canvas></div>\n";
    if (!r.motion_plot.empty()) {
        h += "<figure><img src=\"" + escape(r.motion_plot) +
             "\" alt=\"global motion per frame\"><figcaption>" + escape(r.motion_plot) +
             "</figcaption></figure>\n";
    }
    if (!r.video.empty()) {
        h += "<p>The input and the flow side by side: <a href=\"" + escape(r.video) + "\">" +
             escape(r.video) + "</a> (H.264).</p>\n";
    }
    if (!r.stabilization.empty()) {
        h += "<h2>Stabilised video</h2>\n";
        if (!r.stabilized_video.empty()) {
            h += "<p><a href=\"" + escape(r.stabilized_video) + "\">" +
                 escape(r.stabilized_video) +
                 "</a> (H.264): the input with its camera path smoothed; the path before and "
                 "after smoothing is the last panel of " +
                 escape(r.motion_plot.empty() ? std::string("motion.png") : r.motion_plot) +
                 ".</p>\n";
        }
        h += "<table>\n";
        for (const auto& [name, value] : r.stabilization) {
            h += "<tr><th>" + escape(name) + "</th><td class=\"n\">" + escape(value) +
                 "</td></tr>\n";
        }
        h += "</table>\n";
    }
    h += "<h2>Pictures</h2>\n";
    for (const std::string& p : r.pictures) {
        h += "<figure><img src=\"" + escape(p) + "\" alt=\"" + escape(p) +
             "\" loading=\"lazy\"><figcaption>" + escape(p) + "</figcaption></figure>\n";
    }
    const AffineMotion k = r.known ? *r.known : AffineMotion{};
    auto known_value = [&](double v) { return r.known ? json_number(v) : std::string("null"); };
    h += "<script>\nvar MOTION = {\"frame\": " + series(frame) + ", \"pan_x\": " +
         series(pan_x) + ", \"pan_y\": " + series(pan_y) + ", \"rotation\": " +
         series(rotation) + ", \"zoom\": " + series(zoom) + "};\n";
    h += "var KNOWN = {\"pan_x\": " + known_value(k.pan_x(r.cx, r.cy)) +
         ", \"pan_y\": " + known_value(k.pan_y(r.cx, r.cy)) +
         ", \"rotation\": " + known_value(1000 * k.rotation()) +
         ", \"zoom\": " + known_value(1000 * k.zoom()) + "};\n";
    h += std::string(kScript) + "</script>\n</body>\n</html>\n";
    return h;
}
