// orvane-flow: measures the motion in a video or an image sequence with the Orvane component
// and writes pictures and numbers. The command line's own part: the options parsed from the
// option table, Ctrl-C, the results table, and the job's failures as exit statuses; the run
// itself is the measuring job (flow_job.hpp).
#include <malloc.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "flow/console_table.hpp"
#include "flow/flow_job.hpp"
#include "flow/interrupts.hpp"
#include "flow/options.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

// Exit statuses of the tool.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the input or the output could not be used
constexpr int kExitUsage = 2;   // an option was refused
constexpr int kExitInterrupted = 130;

void say(const std::string& text) {
    std::fprintf(stderr, "orvane-flow: %s\n", text.c_str());
}

// Runs the job with Ctrl-C caught (the run ends cleanly at the next frame boundary), prints the
// results and turns the job's failures into exit statuses, each after its message.
int run(RunOptions opt) {
    if (opt.engine_threads == 0 && opt.threads != 1 && !std::getenv("ORVANE_THREADS") &&
        std::thread::hardware_concurrency() >= 2) {
        // The measuring stages wait on the component's frames (the tool's own and the
        // tracker's): split over two threads, they leave the pipeline less to wait on.
        opt.engine_threads = 2;
    }
    const InterruptGuard interrupts;
    JobHost host;
    host.cancelled = &InterruptGuard::requested;
    try {
        const JobResult result = run_flow_job(opt, host);
        if (!opt.quiet) print_results(result);
        if (!result.interrupted) return kExitOk;
        say("interrupted after " + std::to_string(result.records.size()) +
            " frames; the results so far are in '" + opt.out + "'");
        return kExitInterrupted;
    } catch (const Interrupted& e) {
        say(e.what());
        return kExitInterrupted;
    } catch (const UsageError& e) {
        say(e.what());
        return kExitUsage;
    } catch (const std::runtime_error& e) {
        // FlowError and ComponentError: the text is the whole message.
        say(e.what());
        return kExitFailed;
    } catch (const std::bad_alloc&) {
        say("out of memory");
        return kExitFailed;
    }
}

// The tool's version with those of the libraries it reads and writes video with.
std::string orvane_flow_version() {
    auto dotted = [](unsigned v) {
        return std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 0xff) + "." +
               std::to_string(v & 0xff);
    };
    return std::string("orvane-flow ") + ORVANE_FLOW_VERSION + " (libavformat " +
           dotted(avformat_version()) + ", libavcodec " + dotted(avcodec_version()) + ")";
}

constexpr const char* kDescription =
    "orvane-flow measures image motion in a video or an image sequence with the Orvane\n"
    "component: the dense 2-D flow of every pixel and the global affine motion of every\n"
    "frame, in pixels per frame, from a hundredth of a pixel to about 80 pixels per frame\n"
    "at 640 x 480 (a pair beyond what the pyramid reaches is flagged beyond_range). It\n"
    "writes pictures (the flow, the change heat map, the smoothed input), the flow itself\n"
    "on request, frames.csv and summary.json into the output folder. Without INPUT it runs\n"
    "on a built-in test sequence whose motion is known.\n\n"
    "Two images give the flow from the first to the second (flow_000000), with its\n"
    "confidence; more give a flow for every consecutive pair.\n\n"
    "The defaults measure best: the pairwise method (the global motion of five frames\n"
    "or more from motion-compensated frames), the batch time rule (its temporal\n"
    "derivative is centred on the frame of its spatial ones; the recursive rule lags\n"
    "them) and the input filter on.";

constexpr const char* kFooter =
    "\nOutputs in DIR: Is_NNNNNN.png (input after smoothing), flow_NNNNNN.png (the dense\n"
    "flow: direction as hue, speed as saturation on one scale for the run, --max-speed;\n"
    "grey where the texture does not fix the motion), It2_NNNNNN.png (change heat map),\n"
    "with --save flow flow_NNNNNN.flo and .npy (u, v in px/frame) and valid_NNNNNN.png,\n"
    "NAME_NNNNNN.npy (--save), frames.csv, summary.json, motion.png, report.html.\n"
    "NNNNNN is the frame shown; the flow of a frame is known two frames later.\n"
    "Motion beyond what can be measured is warned about and flagged in frames.csv.\n\n"
    "Examples:\n"
    "  orvane-flow                                   built-in sequence into orvane-out/\n"
    "  orvane-flow clip.mp4 --out clip-flow --every 25\n"
    "  orvane-flow clip.mp4 --save flow --every 1   the dense flow of every frame\n"
    "  orvane-flow 'shots/*.png' --method direct --save Un,Vn\n"
    "  orvane-flow shaky.mp4 --method align --stabilize steady.mp4 --smoothing 2\n"
    "  ffmpeg -i cam.mkv -f nut - | orvane-flow -   a video from another program\n\n"
    "Exit status: 0 done, 1 the input or the output could not be used (an output folder\n"
    "or video in the way included), 2 an option or value was refused, 130 interrupted\n"
    "(the frames measured so far are kept).\n";

// The options of the run's table on the command line: each taken as text by the parser and
// judged by the table's rules after parsing (the same rules the Python module applies).
class TableOptions {
  public:
    explicit TableOptions(CLI::App& app)
        : table_(run_option_table()),
          texts_(table_.size()),
          lists_(table_.size()),
          flags_(new bool[table_.size()]()),
          given_(table_.size()) {
        for (size_t i = 0; i < table_.size(); ++i) {
            const OptionRow& row = table_[i];
            std::string names = option_flag(row);
            if (names == "--quiet") names = "-q," + names;
            if (names == "--verbose") names = "-v," + names;
            CLI::Option* o = nullptr;
            if (row.kind == OptionKind::flag) {
                o = app.add_flag(names, flags_[i], row.help);
            } else if (row.kind == OptionKind::names) {
                o = app.add_option(names, lists_[i], row.help)->delimiter(',');
            } else {
                o = app.add_option(names, texts_[i], row.help);
            }
            std::string type = row.type_name;
            if (row.kind == OptionKind::keyword) {
                for (const std::string& k : row.keywords) type += (type.empty() ? "" : "|") + k;
            }
            if (!type.empty()) o->type_name(type);
            if (*row.default_text) o->default_str(row.default_text);
            o->group(row.group);
            given_[i] = o;
        }
    }

    // The options given, judged and stored into `opt`; false after the message of a refusal.
    bool store(RunOptions& opt) const {
        for (size_t i = 0; i < table_.size(); ++i) {
            const OptionRow& row = table_[i];
            if (given_[i]->count() == 0) continue;
            const std::string flag = option_flag(row);
            OptionValue value;
            std::string error;
            if (row.kind == OptionKind::flag) {
                value.flag = flags_[i];
            } else if (row.kind == OptionKind::names) {
                value.names = lists_[i];
            } else if (!parse_option_text(row, texts_[i], flag, &value, &error)) {
                say(error);
                return false;
            }
            if (!set_run_option(opt, row, value, flag, &error)) {
                say(error);
                return false;
            }
        }
        return true;
    }

  private:
    const std::vector<OptionRow>& table_;
    std::vector<std::string> texts_;
    std::vector<std::vector<std::string>> lists_;
    const std::unique_ptr<bool[]> flags_;
    std::vector<CLI::Option*> given_;
};

}  // namespace

int main(int argc, char** argv) {
    // Every frame allocates and frees images of a few MB on three threads. Served by mmap,
    // each one would be mapped, faulted in page by page and unmapped again (a third of the
    // measuring stage's time at 640x480); from the heap they are reused.
    mallopt(M_MMAP_THRESHOLD, 512 << 20);
    mallopt(M_TRIM_THRESHOLD, 1024 << 20);
    // Each thread that frees an image into an arena of its own keeps it there, out of reach of
    // the others: with one arena per thread the heap held some 70 MB more at 1920x1080. Two
    // arenas cost no time.
    mallopt(M_ARENA_MAX, 2);
    // A console that goes away (`orvane-flow clip.mp4 2>&1 | head -1`) must not end the run
    // half way: its writes fail instead, the progress display stops and the results are
    // written as usual.
    std::signal(SIGPIPE, SIG_IGN);
    RunOptions opt;
    CLI::App app{kDescription, "orvane-flow"};
    app.get_formatter()->column_width(34);

    std::vector<std::string> inputs;
    app.add_option(
        "INPUT", inputs,
        "Video (- for the standard input), folder or glob of PNG/PGM images, or image files");
    app.add_option("--out", opt.out, "Output folder (created when missing)")
        ->capture_default_str()
        ->type_name("DIR")
        ->group("Frames and output");
    // Every other option from the run's table.
    const TableOptions table(app);
    app.set_version_flag("--version", orvane_flow_version());

    app.footer(kFooter);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        // Every refused option is a usage error, whatever code the parser gives it.
        std::fprintf(stderr, "orvane-flow: %s\nRun with --help for the options.\n", e.what());
        return kExitUsage;
    }
    if (!table.store(opt)) return kExitUsage;
    // --smoothing and --borders shape the stabilised video only.
    if (opt.stabilize.video.empty() &&
        (app.count("--smoothing") > 0 || app.count("--borders") > 0)) {
        std::fprintf(stderr,
                     "orvane-flow: --smoothing and --borders shape the stabilised video; give "
                     "--stabilize OUT.mp4 too\n");
        return kExitUsage;
    }
    // An unquoted glob reaches us expanded: several files, read in the order given.
    if (inputs.size() == 1) opt.input = inputs.front();
    if (inputs.size() > 1) opt.images = inputs;
    return run(opt);
}
