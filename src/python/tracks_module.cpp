// src/python/tracks_module.cpp: the korvane_tracks module, korvane's path operations on many
// tracks of ragged columns in one call
#include <Python.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "path2d/elastic_band_solver.hpp"
#include "path2d/tracks.hpp"
#include "python/args.hpp"
#include "python/buffer_input.hpp"
#include "python/callable.hpp"
#include "python/column_input.hpp"
#include "python/errors.hpp"
#include "python/numpy_arrays.hpp"
#include "python/parallel.hpp"
#include "python/ref.hpp"
#include "python/runtime_packages.hpp"

namespace korvane::python::tracks {

namespace {

PyTypeObject* quantities_type = nullptr;
PyTypeObject* frenet_columns_type = nullptr;
PyTypeObject* circle_segments_type = nullptr;
PyObject* tracks_module = nullptr;

// Below this many points the call keeps the interpreter lock: releasing it costs more.
constexpr std::size_t kRowsWithoutLock = 256;
// Points per block of whole tracks: a few milliseconds of work at most, between which signals
// are looked for and which the workers share.
constexpr std::size_t kBlockRows = std::size_t{1} << 14;
// Points of the band solver's scratch a thread keeps between calls (some 11 MB).
constexpr std::size_t kKeptBandScratch = std::size_t{1} << 15;
// Runs shorter than this need no circle fit, so no LAPACK.
constexpr std::size_t kFitMinimumPoints = 3;
// As the per-path calls default them.
constexpr double kDefaultSusAngle = 2.8;
constexpr double kDefaultMaxRmse = 0.15;
constexpr double kDefaultEpsilon = 0.01;

using ColumnPoints = PointColumn;

using Offsets = Int64Column;

/// Per-point channels: an (N, k) array of real numbers, row-major.
struct Channels {
    std::vector<double> values;
    std::size_t rows = 0;
    std::size_t count = 0;
};

/// Reads a two-dimensional buffer of native doubles; false when the buffer is of another kind.
bool read_channels_buffer(PyObject* obj, Channels& out) {
    if (!PyObject_CheckBuffer(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj)) {
        return false;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return false;
    }
    const char* format = view.format != nullptr ? view.format : "B";
    const bool read = view.ndim == 2 && view.strides != nullptr && view.suboffsets == nullptr &&
                      view.itemsize == sizeof(double) &&
                      (std::strcmp(format, "d") == 0 || std::strcmp(format, "@d") == 0 ||
                       std::strcmp(format, "=d") == 0);
    if (read) {
        out.rows = static_cast<std::size_t>(view.shape[0]);
        out.count = static_cast<std::size_t>(view.shape[1]);
        out.values.resize(out.rows * out.count);
        const char* base = static_cast<const char*>(view.buf);
        for (std::size_t i = 0; i < out.rows; ++i) {
            for (std::size_t c = 0; c < out.count; ++c) {
                std::memcpy(&out.values[i * out.count + c],
                            base + static_cast<Py_ssize_t>(i) * view.strides[0] +
                                static_cast<Py_ssize_t>(c) * view.strides[1],
                            sizeof(double));
            }
        }
    }
    PyBuffer_Release(&view);
    return read;
}

bool convert(PyObject* obj, Channels& out) {
    if (read_channels_buffer(obj, out)) {
        return true;
    }
    Ref sequence =
        Ref::steal(PySequence_Fast(obj, "values must be an (N, k) array of per-point values"));
    if (!sequence) {
        return false;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(sequence.get());
    out.rows = static_cast<std::size_t>(n);
    std::vector<double> row;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!python::convert(PySequence_Fast_GET_ITEM(sequence.get(), i), row)) {
            return false;
        }
        if (i == 0) {
            out.count = row.size();
            out.values.reserve(out.rows * out.count);
        } else if (row.size() != out.count) {
            PyErr_Format(PyExc_ValueError,
                         "values must have as many columns in every row: row %zd has %zu, row "
                         "0 has %zu",
                         i, row.size(), out.count);
            return false;
        }
        out.values.insert(out.values.end(), row.begin(), row.end());
    }
    return true;
}

/// The tracks of `points` and `offsets`; nothing, with ValueError set, for wrong offsets.
std::optional<Tracks> tracks_of(const ColumnPoints& points, const Offsets& offsets,
                                const char* name = "offsets") {
    const std::span<const Point> column = points.points();
    if (!check_offsets(offsets.values, column.size(), name)) {
        return std::nullopt;
    }
    return Tracks(column, offsets.values);
}

/// Runs `block(i, first, last)` over the blocks of whole tracks, without the interpreter lock
/// when they hold many points; false, with the exception of a signal handler set, when the call
/// was interrupted.
template <class Block>
bool run_tracks(const Tracks& tracks, Workers workers, Block&& block) {
    const std::vector<std::size_t> bounds = track_blocks(tracks, kBlockRows);
    const std::size_t blocks = bounds.empty() ? 0 : bounds.size() - 1;
    const auto run = [&](std::size_t i) { block(i, bounds[i], bounds[i + 1]); };
    if (tracks.points() < kRowsWithoutLock) {
        for (std::size_t i = 0; i < blocks; ++i) {
            run(i);
        }
        return true;
    }
    return run_without_lock(blocks, workers, run);
}

/// The number of blocks `run_tracks` makes of these tracks.
std::size_t blocks_of(const Tracks& tracks) {
    const std::vector<std::size_t> bounds = track_blocks(tracks, kBlockRows);
    return bounds.empty() ? 0 : bounds.size() - 1;
}

/// New arrays; empty Refs with an error set when one cannot be made.
template <class T>
Ref vector_of(std::size_t n, T*& data) {
    return Ref::steal(new_vector(n, data));
}

Ref rows_of(std::size_t n, std::size_t columns, double*& data) {
    const npy_intp dims[2] = {static_cast<npy_intp>(n), static_cast<npy_intp>(columns)};
    return Ref::steal(new_array(2, dims, data));
}

/// Offsets of tracks of the given sizes, and where their entries lie.
Ref offsets_of(std::span<const std::int64_t> counts, std::int64_t*& data) {
    Ref offsets = vector_of(counts.size() + 1, data);
    if (offsets) {
        data[0] = 0;
        for (std::size_t t = 0; t < counts.size(); ++t) {
            data[t + 1] = data[t] + counts[t];
        }
    }
    return offsets;
}

Ref offsets_of(std::span<const std::int64_t> counts) {
    std::int64_t* data = nullptr;
    return offsets_of(counts, data);
}

/// A tuple of the given new references, or an empty Ref with an error set when one is empty.
template <class... R>
Ref tuple_of(R&&... items) {
    if (!(items && ...)) {
        return Ref();
    }
    Ref tuple = Ref::steal(PyTuple_New(sizeof...(R)));
    if (!tuple) {
        return Ref();
    }
    Py_ssize_t i = 0;
    (PyTuple_SET_ITEM(tuple.get(), i++, items.release()), ...);
    return tuple;
}

/// A struct sequence of `type` holding the given new references, as tuple_of.
template <class... R>
Ref named_of(PyTypeObject* type, R&&... items) {
    if (!(items && ...)) {
        return Ref();
    }
    Ref result = Ref::steal(PyStructSequence_New(type));
    if (!result) {
        return Ref();
    }
    Py_ssize_t i = 0;
    (PyStructSequence_SetItem(result.get(), i++, items.release()), ...);
    return result;
}

#define KORVANE_COLUMNS_PARAMS                                                           \
    ":param points: The points of every track, one after the other, (N, 2) array-like\n" \
    ":param offsets: T + 1 integers from 0 to N, never decreasing: track i is\n"         \
    "    points[offsets[i]:offsets[i + 1]]\n"
#define KORVANE_COLUMNS_TYPES                           \
    ":type points: list[list[float]] | numpy.ndarray\n" \
    ":type offsets: list[int] | numpy.ndarray\n"

constexpr char repair_point_order_doc[] =
    "repair_point_order(points, offsets, sus_angle=2.8, *, workers=1)\n--\n\n"
    "repair_point_order(points, offsets, sus_angle=2.8, *, workers=1)\n\n"
    "Repairs the point order of every track: each track keeps the points that\n"
    "Path2D(points=track).repair_corrupted_point_order(sus_angle) keeps, in order.\n"
    "\n" KORVANE_WORKERS_PARAGRAPH "\n" KORVANE_COLUMNS_PARAMS
    ":param sus_angle: Turns of at least this angle (radians) are suspicious\n" KORVANE_WORKERS_PARAM
    "\n" KORVANE_COLUMNS_TYPES
    ":type sus_angle: float\n"
    ":type workers: int\n"
    "\n"
    ":returns: The points kept (M, 2), their offsets (int64) and the indices (int64) of the\n"
    "    points kept, into the whole of `points`\n"
    ":rtype: tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray]";

const auto repair_point_order_callable = declare(
    "korvane_tracks", "repair_point_order", repair_point_order_doc, Needs::NumPy,
    [](const ColumnPoints& points, const Offsets& offsets, double sus_angle,
       Workers workers) -> PyObject* {
        const std::optional<Tracks> tracks = tracks_of(points, offsets);
        if (!tracks) {
            return nullptr;
        }
        std::vector<std::vector<std::int64_t>> kept(blocks_of(*tracks));
        std::vector<std::int64_t> counts(tracks->size());
        const bool done =
            run_tracks(*tracks, workers, [&](std::size_t i, std::size_t a, std::size_t b) {
                repair_point_order(*tracks, a, b, sus_angle, kept[i], counts);
            });
        if (!done) {
            return nullptr;
        }
        std::size_t total = 0;
        for (const auto& block : kept) {
            total += block.size();
        }
        double* rows = nullptr;
        std::int64_t* indices = nullptr;
        Ref out_points = rows_of(total, 2, rows);
        Ref out_kept = out_points ? vector_of(total, indices) : Ref();
        if (!out_kept) {
            return nullptr;
        }
        const std::span<const Point> column = points.points();
        Point* to = reinterpret_cast<Point*>(rows);
        for (const auto& block : kept) {
            for (const std::int64_t k : block) {
                *to++ = column[static_cast<std::size_t>(k)];
                *indices++ = k;
            }
        }
        return tuple_of(std::move(out_points), offsets_of(counts), std::move(out_kept)).release();
    },
    arg<ColumnPoints>("points"), arg<Offsets>("offsets"), arg("sus_angle", kDefaultSusAngle),
    keyword("workers", Workers{}));

constexpr char resample_doc[] =
    "resample(points, offsets, sampling_distance, interpolation=..., *, drop_last=True, "
    "values=None, workers=1)\n--\n\n"
    "resample(points, offsets, sampling_distance, interpolation=InterpolationMethod.Linear, "
    "*, drop_last=True, values=None, workers=1)\n\n"
    "Resamples every track equidistantly: each track becomes the points of\n"
    "Path2D(points=track).resampled_path(ResamplingMethod.by_sampling_distance(sampling_distance,\n"
    "drop_last), interpolation), and each column of `values` is resampled with it as an\n"
    "associated value list is. A track that path would refuse (a sampling distance that is not\n"
    "positive, a length that is not finite) is a ValueError naming the first such track.\n"
    "\n" KORVANE_WORKERS_PARAGRAPH "\n" KORVANE_COLUMNS_PARAMS
    ":param sampling_distance: Distance between the new points, along each track\n"
    ":param interpolation: Interpolation over arc length\n"
    ":param drop_last: Whether a shorter last step to each track's end is left out\n"
    ":param values: Per-point values to carry along, (N, k) array-like, or None\n" KORVANE_WORKERS_PARAM
    "\n" KORVANE_COLUMNS_TYPES
    ":type sampling_distance: float\n"
    ":type interpolation: InterpolationMethod\n"
    ":type drop_last: bool\n"
    ":type values: list[list[float]] | numpy.ndarray | None\n"
    ":type workers: int\n"
    "\n"
    ":returns: The new points (M, 2), their offsets (int64) and their values (M, k), or None\n"
    "    when no values were given\n"
    ":rtype: tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray | None]";

const auto resample_callable = declare(
    "korvane_tracks", "resample", resample_doc, Needs::NumPy,
    [](const ColumnPoints& points, const Offsets& offsets, double sampling_distance,
       InterpolationMethod interpolation, bool drop_last, std::optional<Channels> values,
       Workers workers) -> PyObject* {
        const std::optional<Tracks> tracks = tracks_of(points, offsets);
        if (!tracks) {
            return nullptr;
        }
        const std::size_t channels = values ? values->count : 0;
        if (values && values->rows != tracks->points()) {
            PyErr_Format(PyExc_ValueError, "values has %zu rows for %zu points", values->rows,
                         tracks->points());
            return nullptr;
        }
        const std::span<const double> given =
            values ? std::span<const double>(values->values) : std::span<const double>();
        const ResamplingMethod method = BySamplingDistance{sampling_distance, drop_last};
        // First every track's count (and its arc lengths, kept for the second pass), then its
        // points straight into their rows: the new columns are allocated once and written once.
        std::vector<std::optional<TrackError>> errors(blocks_of(*tracks));
        std::vector<std::int64_t> counts(tracks->size());
        // Every entry is written before it is read: no pass to clear it first.
        const std::unique_ptr<double[]> length_rows(new double[tracks->points()]);
        const std::span<double> lengths(length_rows.get(), tracks->points());
        const bool counted =
            run_tracks(*tracks, workers, [&](std::size_t i, std::size_t a, std::size_t b) {
                errors[i] =
                    resampled_counts(*tracks, a, b, method, kDefaultEpsilon, lengths, counts);
            });
        if (!counted) {
            return nullptr;
        }
        for (const std::optional<TrackError>& error : errors) {
            if (error) {
                PyErr_Format(
                    error->error.kind == ErrorKind::Value ? PyExc_ValueError : PyExc_IndexError,
                    "track %zu: %s", error->track, error->error.message.c_str());
                return nullptr;
            }
        }
        std::int64_t* new_offsets = nullptr;
        Ref out_offsets = offsets_of(counts, new_offsets);
        if (!out_offsets) {
            return nullptr;
        }
        const auto total = static_cast<std::size_t>(new_offsets[counts.size()]);
        double* rows = nullptr;
        double* channel_rows = nullptr;
        Ref out_points = rows_of(total, 2, rows);
        Ref out_values = !out_points ? Ref()
                         : values    ? rows_of(total, channels, channel_rows)
                                     : Ref::borrow(Py_None);
        if (!out_values) {
            return nullptr;
        }
        const ResampledColumns out{std::span<const std::int64_t>(new_offsets, counts.size() + 1),
                                   reinterpret_cast<Point*>(rows), channel_rows};
        const bool done =
            run_tracks(*tracks, workers, [&](std::size_t, std::size_t a, std::size_t b) {
                resample(*tracks, a, b, lengths, given, channels, method, interpolation,
                         kDefaultEpsilon, out);
            });
        if (!done) {
            return nullptr;
        }
        return tuple_of(std::move(out_points), std::move(out_offsets), std::move(out_values))
            .release();
    },
    arg<ColumnPoints>("points"), arg<Offsets>("offsets"), arg<double>("sampling_distance"),
    arg("interpolation", InterpolationMethod::Linear), keyword("drop_last", true),
    keyword("values", std::optional<Channels>()), keyword("workers", Workers{}));

constexpr char quantities_doc[] =
    "quantities(points, offsets, *, workers=1)\n--\n\n"
    "quantities(points, offsets, *, workers=1)\n\n"
    "The per-point quantities of every track: for each track, the path_length_per_point_np,\n"
    "orientation_np, unit_tangent_vector_np and curvature_np of Path2D(points=track), one\n"
    "after the other in each column.\n"
    "\n" KORVANE_WORKERS_PARAGRAPH "\n" KORVANE_COLUMNS_PARAMS KORVANE_WORKERS_PARAM
    "\n" KORVANE_COLUMNS_TYPES
    ":type workers: int\n"
    "\n"
    ":returns: Arc length s from each track's start, heading, unit tangent (N, 2) and signed\n"
    "    curvature, one row per point\n"
    ":rtype: Quantities";

const auto quantities_callable = declare(
    "korvane_tracks", "quantities", quantities_doc, Needs::NumPy,
    [](const ColumnPoints& points, const Offsets& offsets, Workers workers) -> PyObject* {
        const std::optional<Tracks> tracks = tracks_of(points, offsets);
        if (!tracks) {
            return nullptr;
        }
        const std::size_t n = tracks->points();
        QuantityColumns out{};
        double* tangent = nullptr;
        Ref s = vector_of(n, out.s);
        Ref heading = s ? vector_of(n, out.heading) : Ref();
        Ref tangents = heading ? rows_of(n, 2, tangent) : Ref();
        Ref curvature = tangents ? vector_of(n, out.curvature) : Ref();
        if (!curvature) {
            return nullptr;
        }
        out.tangent = reinterpret_cast<Point*>(tangent);
        const bool done = run_tracks(
            *tracks, workers,
            [&](std::size_t, std::size_t a, std::size_t b) { quantities(*tracks, a, b, out); });
        if (!done) {
            return nullptr;
        }
        return named_of(quantities_type, std::move(s), std::move(heading), std::move(tangents),
                        std::move(curvature))
            .release();
    },
    arg<ColumnPoints>("points"), arg<Offsets>("offsets"), keyword("workers", Workers{}));

constexpr char smooth_band_doc[] =
    "smooth_band(points, offsets, max_deviation, elastic_band_type=..., *, workers=1)\n--\n\n"
    "smooth_band(points, offsets, max_deviation, "
    "elastic_band_type=ElasticBandMethod.OrthogonalBounds, *, workers=1)\n\n"
    "Smooths every track by the elastic band of Path2D.smoothed_path_elastic_band: the same\n"
    "objective, end points and bounds (from the same headings), solved by a dedicated method\n"
    "for this problem instead of Clarabel, to its optimum: every bound met to the rounding of\n"
    "the coordinates and the objective within some 1e-12 of the optimum's. Its objective is\n"
    "therefore never above the method's, whose solver stops at a tolerance of 1e-4, and its\n"
    "points differ from the method's by about that.\n"
    "\n"
    "A track without a solution (a point or band that is not finite, or SquareBounds with a\n"
    "negative band and an interior point) keeps its points, and its entry of solved is False;\n"
    "a track of fewer than three points, or a band of zero, is its own answer.\n"
    "\n" KORVANE_WORKERS_PARAGRAPH "\n" KORVANE_COLUMNS_PARAMS
    ":param max_deviation: How far each interior point may move\n"
    ":param elastic_band_type: Per coordinate (SquareBounds) or along the normal\n"
    "    (OrthogonalBounds)\n" KORVANE_WORKERS_PARAM "\n" KORVANE_COLUMNS_TYPES
    ":type max_deviation: float\n"
    ":type elastic_band_type: ElasticBandMethod\n"
    ":type workers: int\n"
    "\n"
    ":returns: The smoothed points (N, 2) and, per track, whether it was solved (bool)\n"
    ":rtype: tuple[numpy.ndarray, numpy.ndarray]";

// Solvers are kept from one call to the next: a long track's scratch, some 200 bytes a point,
// would be fresh pages every call otherwise, their faults a tenth of its time. Beyond
// kKeptBandScratch points it goes. They wait in a few slots taken and filled by exchange, not
// in thread_local objects, whose destructors would need a newer C library than the wheels
// promise (__cxa_thread_atexit_impl, glibc 2.18), nor under a lock a fork could leave held.
constexpr std::size_t kKeptSolvers = 8;
std::atomic<ElasticBandSolver*> kept_solvers[kKeptSolvers];

// A kept solver, or a new one, for one block of tracks; put back in a free slot after it.
class KeptSolver {
public:
    KeptSolver() {
        for (std::atomic<ElasticBandSolver*>& slot : kept_solvers) {
            m_solver.reset(slot.exchange(nullptr));
            if (m_solver) {
                return;
            }
        }
        m_solver = std::make_unique<ElasticBandSolver>();
    }
    ~KeptSolver() {
        m_solver->release_scratch_beyond(kKeptBandScratch);
        for (std::atomic<ElasticBandSolver*>& slot : kept_solvers) {
            ElasticBandSolver* empty = nullptr;
            if (slot.compare_exchange_strong(empty, m_solver.get())) {
                m_solver.release();
                return;
            }
        }
    }
    KeptSolver(const KeptSolver&) = delete;
    KeptSolver& operator=(const KeptSolver&) = delete;
    ElasticBandSolver& operator*() const noexcept { return *m_solver; }

private:
    std::unique_ptr<ElasticBandSolver> m_solver;
};

const auto smooth_band_callable = declare(
    "korvane_tracks", "smooth_band", smooth_band_doc, Needs::NumPy,
    [](const ColumnPoints& points, const Offsets& offsets, double max_deviation,
       ElasticBandMethod method, Workers workers) -> PyObject* {
        const std::optional<Tracks> tracks = tracks_of(points, offsets);
        if (!tracks) {
            return nullptr;
        }
        double* rows = nullptr;
        bool* solved = nullptr;
        Ref out_points = rows_of(tracks->points(), 2, rows);
        Ref out_solved = out_points ? vector_of(tracks->size(), solved) : Ref();
        if (!out_solved) {
            return nullptr;
        }
        const std::span<Point> out(reinterpret_cast<Point*>(rows), tracks->points());
        const std::span<bool> flags(solved, tracks->size());
        const bool done =
            run_tracks(*tracks, workers, [&](std::size_t, std::size_t a, std::size_t b) {
                const KeptSolver solver;
                smooth_band(points.points(), offsets.values, a, b, max_deviation, method, out,
                            flags, *solver);
            });
        if (!done) {
            return nullptr;
        }
        return tuple_of(std::move(out_points), std::move(out_solved)).release();
    },
    arg<ColumnPoints>("points"), arg<Offsets>("offsets"), arg<double>("max_deviation"),
    arg("elastic_band_type", ElasticBandMethod::OrthogonalBounds), keyword("workers", Workers{}));

constexpr char to_frenet_doc[] =
    "to_frenet(route_points, route_offsets, points, offsets, *, max_distance=..., workers=1)\n--\n\n"
    "to_frenet(route_points, route_offsets, points, offsets, *, max_distance=math.inf, "
    "workers=1)\n\n"
    "Route coordinates of the points of every track on its own route: for track i, the rows\n"
    "korvane_frenet.to_frenet(Path2D(points=route_i), track_i, max_distance=max_distance)\n"
    "gives, route i being route_points[route_offsets[i]:route_offsets[i + 1]]. There must be as\n"
    "many routes as tracks.\n"
    "\n" KORVANE_WORKERS_PARAGRAPH
    "\n"
    ":param route_points: The points of every route, (R, 2) array-like\n"
    ":param route_offsets: T + 1 integers from 0 to R, never decreasing\n" KORVANE_COLUMNS_PARAMS
    ":param max_distance: Largest distance matched\n" KORVANE_WORKERS_PARAM
    "\n"
    ":type route_points: list[list[float]] | numpy.ndarray\n"
    ":type route_offsets: list[int] | numpy.ndarray\n" KORVANE_COLUMNS_TYPES
    ":type max_distance: float\n"
    ":type workers: int\n"
    "\n"
    ":returns: Arc length s along the track's route, signed offset d (positive to the left),\n"
    "    distance and the index of the route's segment (int64, -1 where there is none), one\n"
    "    row per point\n"
    ":rtype: FrenetColumns";

const auto to_frenet_callable = declare(
    "korvane_tracks", "to_frenet", to_frenet_doc, Needs::NumPy,
    [](const ColumnPoints& route_points, const Offsets& route_offsets, const ColumnPoints& points,
       const Offsets& offsets, double max_distance, Workers workers) -> PyObject* {
        if (std::isnan(max_distance)) {
            PyErr_SetString(PyExc_ValueError, "max_distance must not be NaN");
            return nullptr;
        }
        const std::optional<Tracks> routes =
            tracks_of(route_points, route_offsets, "route_offsets");
        if (!routes) {
            return nullptr;
        }
        const std::optional<Tracks> tracks = tracks_of(points, offsets);
        if (!tracks) {
            return nullptr;
        }
        if (routes->size() != tracks->size()) {
            PyErr_Format(PyExc_ValueError,
                         "there are %zu routes for %zu tracks: one route is needed per track",
                         routes->size(), tracks->size());
            return nullptr;
        }
        const std::size_t n = tracks->points();
        FrenetColumns out{};
        Ref s = vector_of(n, out.s);
        Ref d = s ? vector_of(n, out.d) : Ref();
        Ref distance = d ? vector_of(n, out.distance) : Ref();
        Ref segment = distance ? vector_of(n, out.segment) : Ref();
        if (!segment) {
            return nullptr;
        }
        const bool done =
            run_tracks(*tracks, workers, [&](std::size_t, std::size_t a, std::size_t b) {
                to_frenet(*routes, *tracks, a, b, max_distance, out);
            });
        if (!done) {
            return nullptr;
        }
        return named_of(frenet_columns_type, std::move(s), std::move(d), std::move(distance),
                        std::move(segment))
            .release();
    },
    arg<ColumnPoints>("route_points"), arg<Offsets>("route_offsets"), arg<ColumnPoints>("points"),
    arg<Offsets>("offsets"), keyword("max_distance", std::numeric_limits<double>::infinity()),
    keyword("workers", Workers{}));

constexpr char circle_segments_doc[] =
    "circle_segments(points, offsets, max_rmse=0.15, *, workers=1)\n--\n\n"
    "circle_segments(points, offsets, max_rmse=0.15, *, workers=1)\n\n"
    "The circle segments of every track: for each track of n points, the segments\n"
    "Path2D(points=track).find_circle_segments(0, n, max_rmse) gives, in order, with the\n"
    "track's index (a track of no point gives its one empty segment (0, 0, 0.0), as that\n"
    "does). Start and end are indices within the track.\n"
    "\n" KORVANE_WORKERS_PARAGRAPH "\n" KORVANE_COLUMNS_PARAMS
    ":param max_rmse: Maximum RMSE of a segment's circle fit\n" KORVANE_WORKERS_PARAM
    "\n" KORVANE_COLUMNS_TYPES
    ":type max_rmse: float\n"
    ":type workers: int\n"
    "\n"
    ":returns: Start index (int64), end index one past the segment's last point (int64), the\n"
    "    curvature of its circle and the track it belongs to (int64), one row per segment\n"
    ":rtype: CircleSegments";

const auto circle_segments_callable = declare(
    "korvane_tracks", "circle_segments", circle_segments_doc, Needs::NumPy,
    [](const ColumnPoints& points, const Offsets& offsets, double max_rmse,
       Workers workers) -> PyObject* {
        const std::optional<Tracks> tracks = tracks_of(points, offsets);
        if (!tracks) {
            return nullptr;
        }
        bool needs_lapack = false;
        for (std::size_t t = 0; t < tracks->size() && !needs_lapack; ++t) {
            needs_lapack = tracks->end(t) - tracks->begin(t) >= kFitMinimumPoints;
        }
        const DgesvdFn dgesvd = needs_lapack ? lapack_dgesvd() : nullptr;
        if (needs_lapack && dgesvd == nullptr) {
            return nullptr;
        }
        std::vector<TrackSegments> parts(blocks_of(*tracks));
        const bool done =
            run_tracks(*tracks, workers, [&](std::size_t i, std::size_t a, std::size_t b) {
                circle_segments(*tracks, a, b, max_rmse, dgesvd, parts[i]);
            });
        if (!done) {
            return nullptr;
        }
        std::size_t total = 0;
        for (const TrackSegments& part : parts) {
            total += part.segments.size();
        }
        std::int64_t* start = nullptr;
        std::int64_t* end = nullptr;
        double* curvature = nullptr;
        std::int64_t* track = nullptr;
        Ref starts = vector_of(total, start);
        Ref ends = starts ? vector_of(total, end) : Ref();
        Ref curvatures = ends ? vector_of(total, curvature) : Ref();
        Ref of_track = curvatures ? vector_of(total, track) : Ref();
        if (!of_track) {
            return nullptr;
        }
        for (const TrackSegments& part : parts) {
            for (std::size_t k = 0; k < part.segments.size(); ++k) {
                *start++ = static_cast<std::int64_t>(part.segments[k].start);
                *end++ = static_cast<std::int64_t>(part.segments[k].end);
                *curvature++ = part.segments[k].curvature;
                *track++ = part.track[k];
            }
        }
        return named_of(circle_segments_type, std::move(starts), std::move(ends),
                        std::move(curvatures), std::move(of_track))
            .release();
    },
    arg<ColumnPoints>("points"), arg<Offsets>("offsets"), arg("max_rmse", kDefaultMaxRmse),
    keyword("workers", Workers{}));

PyMethodDef methods[] = {
    method_row(repair_point_order_callable.name, static_function<repair_point_order_callable>, 0,
               repair_point_order_callable.doc),
    method_row(resample_callable.name, static_function<resample_callable>, 0,
               resample_callable.doc),
    method_row(quantities_callable.name, static_function<quantities_callable>, 0,
               quantities_callable.doc),
    method_row(smooth_band_callable.name, static_function<smooth_band_callable>, 0,
               smooth_band_callable.doc),
    method_row(to_frenet_callable.name, static_function<to_frenet_callable>, 0,
               to_frenet_callable.doc),
    method_row(circle_segments_callable.name, static_function<circle_segments_callable>, 0,
               circle_segments_callable.doc),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef tracks_module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "korvane_tracks",
    .m_doc = "Many tracks in one call: korvane's path operations on ragged columns of points",
    .m_size = 0,
    .m_methods = methods,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

PyStructSequence_Field quantities_fields[] = {
    {"s", "arc length from the track's first point"},
    {"heading", "heading in radians"},
    {"tangent", "unit tangent, (N, 2)"},
    {"curvature", "signed curvature, positive turning left"},
    {nullptr, nullptr},
};

PyStructSequence_Desc quantities_desc = {
    "korvane_tracks.Quantities",
    "Per-point quantities of tracks: arrays s, heading, tangent and curvature, one row per point.",
    quantities_fields,
    4,
};

PyStructSequence_Field frenet_columns_fields[] = {
    {"s", "arc length at the nearest point of the track's route"},
    {"d", "signed distance to it, positive to the left of the direction of travel"},
    {"distance", "distance to it"},
    {"segment", "index of the route's segment holding it, -1 where there is none"},
    {nullptr, nullptr},
};

PyStructSequence_Desc frenet_columns_desc = {
    "korvane_tracks.FrenetColumns",
    "Route coordinates of the points of tracks: arrays s, d, distance and segment, one row per "
    "point.",
    frenet_columns_fields,
    4,
};

PyStructSequence_Field circle_segments_fields[] = {
    {"start", "index of the segment's first point within its track"},
    {"end", "index one past its last point within its track"},
    {"curvature", "curvature of its circle, 1 / radius"},
    {"track", "the track it belongs to"},
    {nullptr, nullptr},
};

PyStructSequence_Desc circle_segments_desc = {
    "korvane_tracks.CircleSegments",
    "Circle segments of tracks: arrays start, end, curvature and track, one row per segment.",
    circle_segments_fields,
    4,
};

bool create_type(PyTypeObject*& type, PyStructSequence_Desc& desc) {
    return type != nullptr || (type = PyStructSequence_NewType(&desc)) != nullptr;
}

PyObject* initialise() {
    // korvane refuses a second interpreter, and so, through it, does this module; importing it
    // also creates the option classes the arguments are read with.
    Ref korvane = Ref::steal(PyImport_ImportModule("korvane"));
    if (!korvane) {
        return nullptr;
    }
    if (tracks_module != nullptr) {
        return Py_NewRef(tracks_module);
    }
    if (!create_type(quantities_type, quantities_desc) ||
        !create_type(frenet_columns_type, frenet_columns_desc) ||
        !create_type(circle_segments_type, circle_segments_desc)) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_Create(&tracks_module_def));
    if (!module) {
        return nullptr;
    }
    for (PyTypeObject* type : {quantities_type, frenet_columns_type, circle_segments_type}) {
        const char* dotted = type->tp_name;
        const char* name = std::strchr(dotted, '.') + 1;
        if (PyModule_AddObjectRef(module.get(), name, reinterpret_cast<PyObject*>(type)) < 0) {
            return nullptr;
        }
    }
    Ref all = Ref::steal(Py_BuildValue(
        "[sssssssss]", "CircleSegments", "FrenetColumns", "Quantities", "circle_segments",
        "quantities", "repair_point_order", "resample", "smooth_band", "to_frenet"));
    if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) {
        return nullptr;
    }
    tracks_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace korvane::python::tracks

// Loaded from korvane's library by the Python module korvane_tracks, which hands on its names
// and adds the conversions to and from Arrow.
PyMODINIT_FUNC PyInit__korvane_tracks(void) {
    return korvane::python::guarded([] { return korvane::python::tracks::initialise(); });
}
