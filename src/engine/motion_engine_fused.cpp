// The fused pipeline: one sweep down the frame that computes, row by row, the bordered input, its
// copy into the history ring, It, Ix, Iy and every product and quotient of the mode, and writes
// each result image once.
//
// The 5-tap filters need the two rows above and below, so the sweep keeps two rolling windows of
// rows, in double (in float for columns 2 and 3, whose arithmetic is single precision): the row
// pass of the smoothing (rounded to float, as the kernel sequence stores
// it in the incoming ring slot, then widened; five rows) and the source of the spatial derivatives
// (the bordered input in the recursive rule, the stored frame n - 2 in the batch rule; five rows
// and the one that a streamed frame makes while the mode stage reads the five). Edge replication
// becomes a clamped row index. Every value is the one the kernel sequence of the plain kernels
// stores, bit for bit (fused_rows.hpp says how); the rolling rows live in `workspace`, a band's
// worth per thread. The bordered input is written once, into its ring
// slot, and `Is` names that slot (is_spare_ in motion_engine.hpp).
//
// A frame can be split into bands of rows, one per thread. A band recomputes the few input rows
// above and below it that its derivatives need instead of reading them from a neighbour, and
// writes only its own rows, so the bands share nothing that is written and the results do not
// depend on their number.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "engine/band_workers.hpp"
#include "engine/engine_rules.hpp"
#include "engine/fused_rows.hpp"
#include "engine/motion_engine.hpp"
#include "primitives/primitives.hpp"

#if defined(__SSE__)
#include <immintrin.h>
#endif

using namespace engine_rules;
using engine_fused::ProductRows;
using engine_fused::ProductSet;
using engine_fused::RowOps;

namespace {

// Pixels per block of the mode stage when its rows are streamed: the block's results gather in a
// small buffer that stays in the first-level cache, then go out with non-temporal stores.
constexpr int32_t kStreamBlock = 256;
constexpr int32_t kProductImages = 12;
constexpr int32_t kMaxThreads = 64;
// Bands per thread when a frame is split over several threads.
constexpr int32_t kBandsPerThread = 2;

int32_t clamp_threads(int64_t n) {
    return static_cast<int32_t>(std::clamp<int64_t>(n, 1, kMaxThreads));
}

int32_t threads_from_environment() {
    const char* text = std::getenv("ORVANE_THREADS");
    if (text == nullptr || *text == '\0') return 1;
    char* end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (end == text) return 1;  // not a number: the default
    return clamp_threads(n);
}

std::atomic<int32_t>& threads_setting() {
    static std::atomic<int32_t> threads{threads_from_environment()};
    return threads;
}

EnginePath path_from_environment() {
    const char* text = std::getenv("ORVANE_ENGINE_PATH");
    if (text == nullptr) return EnginePath::automatic;
    const std::string_view word(text);
    if (word == "kernels") return EnginePath::kernels;
    if (word == "fused") return EnginePath::fused;
    return EnginePath::automatic;
}

// The variant column whose routines every arithmetic slot of the variant table holds: the kernels
// the fused pipeline must reproduce; -1 when the slots mix columns (or hold a test's own routines).
// (Allocation, copy and fill move bits and store the same in every column; their slots may hold
// anything, a test's counting allocator included.) Columns that name the same routine for a kernel
// (column 1 keeps most plain ones) are told apart by the others; the first column that matches
// every slot is the answer.
int32_t column_in_slots() {
    const PrimSlot* arithmetic[] = {&prim_slots::add_32f,
                                    &prim_slots::add_const_inplace_32f,
                                    &prim_slots::subtract_32f,
                                    &prim_slots::mul_32f,
                                    &prim_slots::div_32f,
                                    &prim_slots::sqr_32f,
                                    &prim_slots::filter_row_32f,
                                    &prim_slots::filter_column_32f,
                                    &prim_slots::add_weighted_inplace_32f};
    for (int32_t column = 0; column < 4; ++column) {
        bool all = true;
        for (const PrimDispatchEntry& entry : prim_dispatch_table) {
            if (std::find(std::begin(arithmetic), std::end(arithmetic), entry.slot) ==
                std::end(arithmetic)) {
                continue;
            }
            if (entry.slot->load(std::memory_order_relaxed) != entry.variant[column]) {
                all = false;
                break;
            }
        }
        if (all) return column;
    }
    return -1;
}

// The fused rows repeat the kernels' float and double sums; a build that evaluates float and
// double expressions in a wider format (x87) could round them differently, so it has no fused
// path (for any column).
#if defined(__FLT_EVAL_METHOD__) && __FLT_EVAL_METHOD__ == 0
constexpr bool kBuildExact = true;
#else
constexpr bool kBuildExact = false;
#endif

// Whether 5 taps have the shape that the row routines' exact forms assume: each n/256 with an
// integer |n| < 256 (so a tap times a float is exact in double and the sums' bound holds), their
// magnitudes summing to at most 2, and symmetric (c[k] = c[4 - k]) or, for `antisymmetric`,
// c[k] = -c[4 - k] with centre 0.
bool taps_allow_exact_forms(const double c[5], bool antisymmetric) {
    double magnitude = 0;
    for (int32_t k = 0; k < 5; ++k) {
        const double n = c[k] * 256;
        if (!(std::fabs(n) < 256) || n != std::floor(n)) return false;
        magnitude += std::fabs(c[k]);
        const double mirror = antisymmetric ? -c[4 - k] : c[4 - k];
        if (c[k] != mirror) return false;
    }
    return magnitude <= 2;
}

// Rows of the derivatives' rolling window: the five that the mode stage reads, and the one that
// the streamed sweep makes at the same time (RowOps::sweep_stream).
constexpr int32_t kDerivRows = 6;

// Row-major layout of one band's workspace [doubles]: a widened input row, the two rolling
// windows (five and kDerivRows rows), the bordered input row, five rows of It (the mode stage
// reads a row of It up to three rows after it was made), the mode stage's block buffer and a
// second widened input row (the next row is widened one step ahead of its row pass). Every
// row starts on a 64-byte boundary and pixel x = 0 of every row does too (the rows that begin at x
// = -2 start kLead doubles in), so that the row routines' full-width vector loads and stores of a
// row never straddle two cache lines.
constexpr int64_t kLead = 6;
constexpr int64_t kAlign = 8;  // [doubles]: 64 bytes
struct BandLayout {
    int64_t row;  // doubles per row: columns + 4 from kLead on, rounded up to 64 bytes
    int64_t total;
};

// The rows of the mode stage's images `offset` floats past their starts (null where the mode has
// no such image), in ProductRows order. Built field by field: a copy through an array of pointers
// would be read back in wider pieces than it was written, which the processor cannot forward.
ProductRows product_rows(float* const images[kProductImages], std::ptrdiff_t offset) {
    auto at = [&](int32_t i) { return images[i] != nullptr ? images[i] + offset : nullptr; };
    return ProductRows{at(0), at(1), at(2), at(3), at(4),  at(5),
                       at(6), at(7), at(8), at(9), at(10), at(11)};
}

BandLayout band_layout(int32_t columns) {
    BandLayout l{};
    l.row = (int64_t{columns} + 4 + kLead + kAlign - 1) & ~(kAlign - 1);
    // + kAlign: room to move the band's start to a 64-byte boundary.
    l.total = l.row * 19 + int64_t{kProductImages} * kStreamBlock / 2 + kAlign;
    return l;
}

}  // namespace

void engine_set_threads(int32_t threads) {
    threads_setting().store(clamp_threads(threads), std::memory_order_relaxed);
}

int32_t engine_threads() {
    return threads_setting().load(std::memory_order_relaxed);
}

EnginePath engine_default_path() {
    static const EnginePath path = path_from_environment();
    return path;
}

const char* MotionEngine::fused_flavour() {
    return engine_fused::row_ops_in_use().name;
}

bool MotionEngine::fused_available(int32_t column) {
    return kBuildExact && engine_fused::row_ops_base().column_ops(column) != nullptr;
}

bool MotionEngine::fused_selected() const {
    if (!kBuildExact || path_ == EnginePath::kernels) return false;
    if (mode_of(flags) == Mode::none) return false;
    const int32_t column = column_in_slots();
    return column >= 0 && engine_fused::row_ops_in_use().column_ops(column) != nullptr;
}

int64_t MotionEngine::fused_band_bytes() const {
    return band_layout(columns).total * int64_t{sizeof(double)};
}

int32_t MotionEngine::fused_workspace_bands(int64_t bordered_bytes) const {
    constexpr int64_t kLeastBands = 8;
    const int64_t band = fused_band_bytes();
    const int64_t fit = std::clamp<int64_t>(bordered_bytes / band, 1, kMaxThreads);
    return static_cast<int32_t>(std::min(fit, std::max<int64_t>(kLeastBands, engine_threads())));
}

// What every band of one frame shares: read-only settings and the row routines.
struct MotionEngine::FusedFrame {
    const RowOps* ops;
    const float* frame;
    double smooth[5];
    double deriv[5];
    // Whether the taps have the shapes that the rows' cheaper exact forms assume.
    bool smooth_exact;
    bool deriv_exact;
    bool filter;
    bool spatial;
    bool recursive;
    bool stream;
    bool add_regularizer;
    // The rows are long enough for the division's blocks (columns 1 to 3).
    bool division_blocks;
    // The flavour's streamed routines (RowOps::products_stream, sweep_stream) may be asked:
    // column 0, and the other columns in rows long enough for the division's blocks.
    bool one_loop;
    // Those routines take sums that are not exact too (columns 2 and 3).
    bool stream_any_sums;
    ProductSet set;
    double* workspace;
    int64_t band_doubles;
    const MotionEngine* engine;
};

void MotionEngine::process_fused(const float* frame) {
    // The time window and the handle exchange exactly as the kernel sequence makes them.
    for (int32_t k = 0; k < kRingSize; ++k) {
        time_window[k] = history_ring[(ring_index + k) % kRingSize];
    }
    // The previous derivative becomes the state of the running average without a copy, or is
    // updated in place where the engine holds no image for it.
    if (time_derivative == TD_RECURSIVE && It_prev != nullptr) std::swap(It, It_prev);
    // The bordered input goes straight into the ring, and `Is` names that slot: the slot's old
    // block (frame n - 5, read by nobody now) waits for the next frame. The block written is
    // neither read in this frame nor one of the window's other slots.
    float* fresh = is_spare_ != nullptr ? is_spare_ : Is;
    float*& slot = history_ring[(ring_index + kRingSize - 1) % kRingSize];
    is_spare_ = slot;
    slot = fresh;
    Is = fresh;
    time_window[4] = fresh;

    const Mode mode = mode_of(flags);
    FusedFrame f{};
    // fused_selected() has found the column and its routines.
    const int32_t column = column_in_slots();
    f.ops = engine_fused::row_ops_in_use().column_ops(column);
    f.frame = frame;
    for (int32_t k = 0; k < kTaps; ++k) {
        f.smooth[k] = static_cast<double>(smooth_taps[k]);
        f.deriv[k] = static_cast<double>(deriv_taps[k]);
    }
    // Single-precision sums (columns 2 and 3) have no order-free exact forms.
    const bool double_sums = engine_fused::column_kind(column) < 2;
    f.smooth_exact = double_sums && taps_allow_exact_forms(f.smooth, false);
    f.deriv_exact = double_sums && taps_allow_exact_forms(f.deriv, true);
    f.division_blocks = columns >= 32;
    f.one_loop = column == 0 || f.division_blocks;
    f.stream_any_sums = !double_sums;
    f.filter = (flags & FLAG_INPUT_FILTER) != 0;
    f.spatial = mode != Mode::change_detection;
    f.recursive = time_derivative == TD_RECURSIVE;
    f.add_regularizer = regularizer != 0.0f;  // a NaN regularizer is added, as in the kernels
    f.set = mode == Mode::affine_params ? ProductSet::affine
            : mode == Mode::orvane      ? ProductSet::orvane
                                        : ProductSet::all;
    f.stream = stream_stores_ == StreamStores::always ||
               (stream_stores_ == StreamStores::automatic && results_leave_cache());
    f.workspace = reinterpret_cast<double*>(workspace);
    f.band_doubles = band_layout(columns).total;
    f.engine = this;

    // Bands of at least 32 rows: each band recomputes up to eight input rows of its neighbours.
    // With several threads the frame is cut into a few bands per thread, which the threads take
    // in turn, so that a thread held up by other work leaves its share to the others; each
    // thread works in its own part of the workspace.
    const int32_t threads = engine_threads();
    const int32_t bands = static_cast<int32_t>(std::min<int64_t>(
        int64_t{threads} * (threads > 1 ? kBandsPerThread : 1), std::max(1, lines / 32)));
    const int32_t workers = std::min({threads, workspace_bands_, bands});
    struct Job {
        const FusedFrame* f;
        int32_t bands;
        std::atomic<int32_t> next{0};
    } job{&f, bands};
    auto run = [](void* context, int32_t worker) {
        auto* j = static_cast<Job*>(context);
        const MotionEngine& e = *j->f->engine;
        for (int32_t band = j->next.fetch_add(1, std::memory_order_relaxed); band < j->bands;
             band = j->next.fetch_add(1, std::memory_order_relaxed)) {
            const int64_t y0 = int64_t{e.lines} * band / j->bands;
            const int64_t y1 = int64_t{e.lines} * (band + 1) / j->bands;
            e.fused_band(*j->f, worker, static_cast<int32_t>(y0), static_cast<int32_t>(y1));
        }
    };
    if (workers <= 1) {
        run(&job, 0);
    } else {
        engine_run_bands(workers, run, &job);
    }
}

void MotionEngine::fused_band(const FusedFrame& f, int32_t worker, int32_t y0, int32_t y1) const {
    const RowOps& ops = *f.ops;
    const int32_t W = columns;
    const int32_t L = lines;
    const std::ptrdiff_t ps = padded_step / 4;
    const std::ptrdiff_t pl = plain_step / 4;
    const int32_t n = frames_processed;
    // The previous derivative: its own image, or It itself where it is updated in place (each row
    // is read just before the same row is written). Updated in place, It goes through the cache
    // even in a streamed frame: each line was just read, and the next frame reads it again.
    const float* const it_before = It_prev != nullptr ? It_prev : It;
    auto put_it = [&](const float* src, float* dst, int32_t count) {
        if (It_prev != nullptr) {
            ops.stream_row(src, dst, count);
        } else {
            std::memcpy(dst, src, sizeof(float) * static_cast<size_t>(count));
        }
    };

    // The worker's part of the workspace.
    const BandLayout layout = band_layout(W);
    double* base = f.workspace + f.band_doubles * worker;
    base += (kAlign - (reinterpret_cast<uintptr_t>(base) / sizeof(double)) % kAlign) % kAlign;
    double* sring[5];
    // The rolling rows hold a double or a float per pixel (RowOps::pixel_bytes): each is named by
    // its pixel x = 0, on a 64-byte boundary, and offsets into it go through at().
    const int32_t pixel_bytes = ops.pixel_bytes;
    auto at = [pixel_bytes](auto* row, std::ptrdiff_t x) {
        return engine_fused::pixel_at(row, x, pixel_bytes);
    };
    double* dring[kDerivRows];  // bordered rows: two pixels of margin on each side
    for (int32_t k = 0; k < 5; ++k) sring[k] = base + layout.row * (1 + k);
    for (int32_t k = 0; k < kDerivRows; ++k) {
        dring[k] = base + layout.row * (6 + k) + kLead + kBorder;
    }
    // x = -2 at the start, x = 0 on a 64-byte boundary
    float* is_row = reinterpret_cast<float*>(base + layout.row * 12) + 2 * kLead + 2;
    // Exponent summaries of the rows in the two windows (fused_rows.hpp).
    uint32_t sring_range[5] = {};
    uint32_t dring_range[kDerivRows] = {};
    float* it_ring[5];
    for (int32_t k = 0; k < 5; ++k) {
        it_ring[k] = reinterpret_cast<float*>(base + layout.row * (13 + k));
    }
    float* block = reinterpret_cast<float*>(base + layout.row * 18);
    // Input rows widened for the row pass (bordered: two pixels of margin on each side), by the
    // parity of their row, the row each holds (-1: none) and its summary. The row pass of row s widens row s + 1 straight
    // after it: the row pass reads each widened pixel in several shifted vectors, which the
    // processor cannot take from stores still on their way to the cache, so the stores of a row
    // must be done well before it is read.
    double* const wides[2] = {
        base + kLead + kBorder,
        base + layout.row * 18 + int64_t{kProductImages} * kStreamBlock / 2 + kLead + kBorder};
    int32_t widened_row[2] = {-1, -1};
    uint32_t wide_range[2] = {};

    // The five rows of a rolling window of `slots` rows centred on row `centre` (edge rows
    // repeated), and whether their sums are exact (the summaries' smallest low and largest high
    // exponent).
    auto window = [&](int32_t centre, double* const ring[], const uint32_t ranges[], int32_t slots,
                      const double* out[5]) {
        uint32_t lo = 255, hi = 0;
        int32_t slot = (centre + 3 * slots - 2) % slots;  // row centre - 2, for centre >= 0
        for (int32_t k = 0; k < 5; ++k) {
            const int32_t row = centre - 2 + k;
            const int32_t s = row < 0 ? 0 : (row >= L ? (L - 1) % slots : slot);
            out[k] = ring[s];
            lo = std::min(lo, ranges[s] & 0xFFu);
            hi = std::max(hi, ranges[s] >> 8);
            slot = slot + 1 == slots ? 0 : slot + 1;
        }
        return engine_fused::exact_sums(lo | (hi << 8));
    };
    const int32_t bordered_width = W + 2 * kBorder;
    auto put = [&](const float* src, float* dst, int32_t count) {
        if (f.stream) {
            ops.stream_row(src, dst, count);
        } else {
            std::memcpy(dst, src, sizeof(float) * static_cast<size_t>(count));
        }
    };

    float* window4 = time_window[4];
    const float* source2 = time_window[2];
    const bool deriv_from_input = f.spatial && f.recursive;

    // The input rows [r_next, ...) still to make; the row pass rows [s_next, ...); the derivative
    // rows of the batch rule [d_next, ...).
    int32_t r_next = deriv_from_input ? std::max(0, y0 - 2) : y0;
    int32_t s_next = std::max(0, r_next - 2);
    int32_t d_next = std::max(0, y0 - 2);

    // Stores the bordered input row r (own rows only): the ring slot that is also Is, the border
    // rows above row 0 and below the last row, then It (and It2 in change detection). Where the
    // results stay in the cache, the band's own input rows are made in place in the ring slot and
    // It straight into its image, where the mode stage reads it back. Streamed, none of them is
    // read again in this frame (the mode stage reads It from the band's own rows), so all bypass
    // the cache. Frames too large for the cache are read from memory: the rows that the next row's
    // work reads are asked for one row ahead, so that memory works while this row computes.
    auto prefetch = [&](const float* row, int32_t count) {
        if (!f.stream) return;
        for (int32_t x = 0; x < count; x += 16) __builtin_prefetch(row + x);
    };
    auto in_place = [&](int32_t r) { return !f.stream && r >= y0 && r < y1; };
    auto input_row = [&](int32_t r) {  // x = -2 at the start
        return in_place(r) ? window4 + (std::ptrdiff_t{r} + kBorder) * ps : is_row;
    };
    auto finish_row = [&](int32_t r) {
        if (r + 1 < L) {
            const std::ptrdiff_t next = interior_offset + (r + 1) * ps;
            if (f.recursive) {
                prefetch(time_window[3] + next, W);
                prefetch(it_before + (r + 1) * pl, W);
            } else {
                for (int32_t k : {0, 1, 3}) prefetch(time_window[k] + next, W);
            }
        }
        // `Is` is the ring slot of this frame (window4).
        const float* made = input_row(r);
        if (!in_place(r)) put(made, window4 + (std::ptrdiff_t{r} + kBorder) * ps, bordered_width);
        if (r == 0) {
            put(made, window4 + std::ptrdiff_t{1} * ps, bordered_width);
            put(made, window4, bordered_width);
        }
        if (r == L - 1) {
            put(made, window4 + (std::ptrdiff_t{L} + kBorder) * ps, bordered_width);
            put(made, window4 + (std::ptrdiff_t{L} + kBorder + 1) * ps, bordered_width);
        }
        const float* cur = made + kBorder;
        float* it = f.stream ? it_ring[r % 5] : It + r * pl;
        const std::ptrdiff_t interior = interior_offset + r * ps;
        if (f.recursive) {
            if (n == 1) {
                std::memset(it, 0, sizeof(float) * static_cast<size_t>(W));
            } else {
                ops.recursive_row(cur, time_window[3] + interior, it_before + r * pl,
                                  static_cast<double>(kRecursiveWeight), it, W);
            }
        } else {
            if (n < kRingSize) {
                std::memset(it, 0, sizeof(float) * static_cast<size_t>(W));
            } else {
                ops.batch_row(time_window[0] + interior, time_window[1] + interior,
                              time_window[3] + interior, cur, static_cast<double>(kBatchWeight), it,
                              W);
            }
        }
        if (f.stream) put_it(it, It + r * pl, W);
        if (!f.spatial) {
            float* it2 = It2 + r * pl;
            if (f.stream) {
                for (int32_t x0 = 0; x0 < W; x0 += kStreamBlock) {
                    const int32_t count = std::min(kStreamBlock, W - x0);
                    ops.square_row(it + x0, block, count);
                    ops.stream_row(block, it2 + x0, count);
                }
            } else {
                ops.square_row(it, it2, W);
            }
        }
    };

    // Widens input row s into its buffer unless it is there already.
    auto widen_input = [&](int32_t s) {
        const int32_t i = s % 2;
        if (widened_row[i] == s) return;
        if (s + 1 < L) prefetch(f.frame + std::ptrdiff_t{s + 1} * W, W);
        ops.widen_clamped(f.frame + std::ptrdiff_t{s} * W, W, wides[i], &wide_range[i]);
        widened_row[i] = s;
    };
    // The row pass of input row s; `ahead`: then widens row s + 1.
    auto row_pass = [&](int32_t s, bool ahead) {
        widen_input(s);
        const int32_t i = s % 2;
        const bool exact = f.smooth_exact && engine_fused::exact_sums(wide_range[i]);
        const int32_t next = s + 1;
        if (ahead && next < L && widened_row[next % 2] != next) {
            // The next row is widened in the same loop; the one after it is asked for now, one
            // row ahead as widen_input does.
            if (next + 1 < L) prefetch(f.frame + std::ptrdiff_t{next + 1} * W, W);
            ops.smooth_row_widen(wides[i], W, f.smooth, exact, sring[s % 5],
                                 &sring_range[s % 5], f.frame + std::ptrdiff_t{next} * W,
                                 wides[next % 2], &wide_range[next % 2]);
            widened_row[next % 2] = next;
            return;
        }
        ops.smooth_row(wides[i], W, f.smooth, exact, sring[s % 5], &sring_range[s % 5]);
    };

    auto produce_input = [&](int32_t upto) {
        for (; r_next <= upto; ++r_next) {
            const int32_t r = r_next;
            float* row = input_row(r) + kBorder;
            if (f.filter) {
                for (const int32_t last = std::min(r + 2, L - 1); s_next <= last; ++s_next) {
                    row_pass(s_next, true);
                }
                const double* rows[5];
                const bool exact = window(r, sring, sring_range, 5, rows);
                ops.smooth_column(rows, W, f.smooth, f.smooth_exact && exact, row,
                                  deriv_from_input ? dring[r % kDerivRows] : nullptr,
                                  &dring_range[r % kDerivRows]);
            } else {
                if (r + 1 < L) prefetch(f.frame + std::ptrdiff_t{r + 1} * W, W);
                std::memcpy(row, f.frame + std::ptrdiff_t{r} * W, sizeof(float) * size_t(W));
                row[-2] = row[-1] = row[0];
                row[W] = row[W + 1] = row[W - 1];
            }
            if (deriv_from_input && !f.filter)
                ops.widen(row - kBorder, bordered_width, at(dring[r % kDerivRows], -kBorder),
                          &dring_range[r % kDerivRows]);
            if (r >= y0 && r < y1) finish_row(r);
        }
    };

    // The images of the mode stage, by their place in ProductRows, and their rows in the block
    // buffer. Where every image starts on a cache line (they share the step), the pixel of a row
    // that starts a line is the same in all of them.
    float* const images[kProductImages] = {It2, Ix, Iy, Ix2, Iy2, Ig2, Ixy, Ixt, Iyt, Fn2, Un, Vn};
    float* block_images[kProductImages];
    bool images_on_lines = true;
    for (int32_t i = 0; i < kProductImages; ++i) {
        block_images[i] = images[i] != nullptr ? block + i * kStreamBlock : nullptr;
        images_on_lines &=
            images[i] == nullptr || (reinterpret_cast<uintptr_t>(images[i]) & 63) == 0;
    }
    const float reg = regularizer;

    // Streamed frames with the input filter and the recursive rule make input row y + 3 in the
    // same loop as the mode stage of row y (RowOps::sweep_stream), where both filters' sums are
    // exact: the arithmetic of the column pass and of It then runs while the mode stage's stores
    // leave. Only the band's own input rows: the rows below it that its derivatives need are
    // stored by the band below (produce_input makes them here without storing them).
    const bool sweep = f.one_loop && f.stream && f.filter && f.recursive && f.spatial && n > 1 &&
                       kRecursiveWeight == 0.5f &&
                       ((f.smooth_exact && f.deriv_exact) || f.stream_any_sums);
    // The first pixel of row `row` of the images that starts a cache line (every image starts on
    // a line and they share the step), and the whole lines from there.
    auto first_line = [&](int32_t row) {
        const auto offset = static_cast<int32_t>(
            (reinterpret_cast<uintptr_t>(It + std::ptrdiff_t{row} * pl) & 63) / 4);
        return std::min(W, (16 - offset) % 16);
    };
    auto whole_lines = [&](int32_t head) { return (W - head) / 16 * 16; };
    // Makes input row r and the mode stage's whole lines of row y in one loop; false (nothing
    // made) where the sums are not exact or the lines of rows r and y do not start alike.
    auto sweep_rows = [&](int32_t r, const double* const d[5], const float* it_y,
                          const ProductRows& out_rows, int32_t head) {
        for (const int32_t last = std::min(r + 2, L - 1); s_next <= last; ++s_next) {
            row_pass(s_next, false);
        }
        engine_fused::SweepRows rows{};
        const bool exact_rows = window(r, sring, sring_range, 5, rows.s);
        if ((!exact_rows && !f.stream_any_sums) || first_line(r) != head) return false;
        if (r + 1 < L) {
            prefetch(time_window[3] + interior_offset + (r + 1) * ps, W);
            prefetch(it_before + (r + 1) * pl, W);
        }
        rows.is_row = is_row + kBorder;
        int32_t is_lines[2] = {0, 0};
        rows.is_image = window4 + (std::ptrdiff_t{r} + kBorder) * ps + kBorder;
        rows.is_lines = is_lines;
        rows.wide = dring[r % kDerivRows];
        rows.prev = time_window[3] + interior_offset + r * ps;
        rows.it_prev = it_before + r * pl;
        rows.it_keep = it_ring[r % 5];
        rows.it_image = It + r * pl;
        for (int32_t k = 0; k < 5; ++k) rows.d[k] = d[k];
        rows.it = it_y;
        rows.out = out_rows;
        // The row that the next step's row pass needs is widened in the same loop.
        const int32_t next_row = s_next;
        if (next_row < L) {
            rows.next_src = f.frame + std::ptrdiff_t{next_row} * W;
            rows.next_wide = wides[next_row % 2];
            rows.next_range = &wide_range[next_row % 2];
        }
        uint32_t made = 0;
        if (!ops.sweep_stream(f.set, rows, f.smooth, f.deriv, reg, f.add_regularizer, head, W,
                              &made)) {
            return false;
        }
        if (next_row < L) {
            ops.margins(wides[next_row % 2], W);
            widened_row[next_row % 2] = next_row;
        }
        dring_range[r % kDerivRows] = made;
        ops.margins(rows.wide, W);
        float* made_row = rows.is_row;
        made_row[-2] = made_row[-1] = made_row[0];
        made_row[W] = made_row[W + 1] = made_row[W - 1];
        // The row's whole lines went out in the loop; its pixels before and after them go now.
        ops.stream_row(made_row - kBorder, rows.is_image - kBorder, is_lines[0] + kBorder);
        ops.stream_row(made_row + is_lines[1], rows.is_image + is_lines[1],
                       W + kBorder - is_lines[1]);
        if (r == L - 1) {
            put(is_row, window4 + (std::ptrdiff_t{L} + kBorder) * ps, bordered_width);
            put(is_row, window4 + (std::ptrdiff_t{L} + kBorder + 1) * ps, bordered_width);
        }
        // It went out in whole lines; the pixels before and after them go now.
        const int32_t end = head + whole_lines(head);
        put_it(rows.it_keep, rows.it_image, head);
        put_it(rows.it_keep + end, rows.it_image + end, W - end);
        return true;
    };

    // Cached frames with the input filter and the recursive rule: the lines whose windows need no
    // edge row and whose input row two below is the band's own take a lean loop, which does for
    // each line what the general steps below do there (the row pass of input row y + 4, the column
    // pass and It of row y + 2, the mode stage of line y), with the windows' slots turned by one
    // per line instead of worked out from the row each time: narrow rows spend a good part of
    // their time on that bookkeeping otherwise.
    // The five rows of a ring of `slots` rows from slot `first` on, and whether their sums are
    // exact (as `window` does, for rows that need no edge row).
    auto turned_window = [](int32_t first, double* const ring[], const uint32_t ranges[],
                            int32_t slots, const double* out[5]) {
        uint32_t lo = 255, hi = 0;
        for (int32_t k = 0, i = first; k < 5; ++k, i = i + 1 == slots ? 0 : i + 1) {
            out[k] = ring[i];
            lo = std::min(lo, ranges[i] & 0xFFu);
            hi = std::max(hi, ranges[i] >> 8);
        }
        return engine_fused::exact_sums(lo | (hi << 8));
    };
    const bool lean = !f.stream && f.filter && f.spatial && f.recursive && n > 1;
    const int32_t lean_end = std::min(y1 - 2, L - 4);
    auto lean_lines = [&](int32_t y) {
        int32_t sslot = y % 5;                 // row y in the row pass window
        int32_t dslot = (y - 2) % kDerivRows;  // row y - 2 in the derivatives' window
        const auto weight = static_cast<double>(kRecursiveWeight);
        for (; y < lean_end; ++y) {
            const int32_t r = y + 2;
            row_pass(y + 4, true);
            const double* rows[5];
            // (The window is always turned: it names the rows, whatever the sums.)
            const bool column_exact =
                turned_window(sslot, sring, sring_range, 5, rows) && f.smooth_exact;
            const int32_t made = dslot + 4 >= kDerivRows ? dslot + 4 - kDerivRows : dslot + 4;
            const std::ptrdiff_t interior = interior_offset + r * ps;
            float* cur = window4 + interior;
            ops.smooth_column(rows, W, f.smooth, column_exact, cur, dring[made],
                              &dring_range[made]);
            ops.recursive_row(cur, time_window[3] + interior, it_before + r * pl, weight,
                              It + r * pl, W);
            const double* d[5];
            const bool exact =
                turned_window(dslot, dring, dring_range, kDerivRows, d) && f.deriv_exact;
            ops.products_row(f.set, d, f.deriv, exact, It + y * pl, reg, f.add_regularizer,
                             product_rows(images, y * pl), W, f.division_blocks);
            sslot = sslot + 1 == 5 ? 0 : sslot + 1;
            dslot = dslot + 1 == kDerivRows ? 0 : dslot + 1;
        }
        s_next = y + 4;
        r_next = y + 2;
        return y;
    };

    for (int32_t y = y0; y < y1; ++y) {
        if (lean && y >= 2 && y < lean_end && r_next == y + 2 && s_next == y + 4) {
            y = lean_lines(y);
            if (y >= y1) break;
        }
        produce_input(deriv_from_input ? std::min(y + 2, L - 1) : y);
        if (!f.spatial) continue;
        if (!deriv_from_input) {
            for (const int32_t last = std::min(y + 2, L - 1); d_next <= last; ++d_next) {
                if (d_next + 1 < L) {
                    prefetch(source2 + (std::ptrdiff_t{d_next} + 1 + kBorder) * ps, bordered_width);
                }
                ops.widen(source2 + (std::ptrdiff_t{d_next} + kBorder) * ps, bordered_width,
                          at(dring[d_next % kDerivRows], -kBorder), &dring_range[d_next % kDerivRows]);
            }
        }
        const double* d[5];
        const bool exact = window(y, dring, dring_range, kDerivRows, d) && f.deriv_exact;
        const float* it = f.stream ? it_ring[y % 5] : It + y * pl;

        if (!f.stream) {
            const ProductRows out = product_rows(images, y * pl);
            ops.products_row(f.set, d, f.deriv, exact, it, reg, f.add_regularizer, out, W,
                             f.division_blocks);
            continue;
        }
        // Pixels [from, to) through the block buffer.
        auto blocked = [&](int32_t from, int32_t to) {
            for (int32_t x0 = from; x0 < to; x0 += kStreamBlock) {
                const int32_t count = std::min(kStreamBlock, to - x0);
                const ProductRows out = product_rows(block_images, 0);
                const double* dx[5];
                for (int32_t k = 0; k < 5; ++k) dx[k] = at(d[k], x0);
                // x0 is a multiple of 8 (of the stream block) wherever the division has blocks:
                // the pixels before `head` go through here only with column 0's routines.
                ops.products_row(f.set, dx, f.deriv, exact, it + x0, reg, f.add_regularizer, out,
                                 count, f.division_blocks);
                for (int32_t i = 0; i < kProductImages; ++i) {
                    if (images[i] != nullptr) {
                        ops.stream_row(block_images[i], images[i] + y * pl + x0, count);
                    }
                }
            }
        };
        // Exact rows go out straight from the registers from the first pixel whose rows start a
        // cache line, sixteen pixels at a time; the pixels before and after take the block
        // buffer.
        const int32_t head = first_line(y);
        const int32_t middle = whole_lines(head);
        if (f.one_loop && (exact || f.stream_any_sums)) {
            const ProductRows rows = product_rows(images, y * pl);
            const bool lined_up =
                images_on_lines && (reinterpret_cast<uintptr_t>(Ix + y * pl + head) & 63) == 0;
            const int32_t r = y + 3;
            if (lined_up && sweep && r == r_next && r < y1 && sweep_rows(r, d, it, rows, head)) {
                ++r_next;
                blocked(0, head);
                blocked(head + middle, W);
                continue;
            }
            const ProductRows out = product_rows(images, y * pl + head);
            const double* dx[5];
            for (int32_t k = 0; k < 5; ++k) dx[k] = at(d[k], head);
            if (lined_up && middle > 0 &&
                ops.products_stream(f.set, dx, f.deriv, it + head, reg, f.add_regularizer, out,
                                    middle)) {
                blocked(0, head);
                blocked(head + middle, W);
                continue;
            }
        }
        blocked(0, W);
    }
#if defined(__SSE__)
    // Stores that bypassed the cache become visible to other threads (and to the host) in order.
    if (f.stream) _mm_sfence();
#endif
}
