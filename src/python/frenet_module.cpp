// src/python/frenet_module.cpp: the korvane_frenet module, route coordinates of korvane's paths
// for many points in one call
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "path2d/frenet.hpp"
#include "path2d/nearest_batch.hpp"
#include "python/args.hpp"
#include "python/borrow.hpp"
#include "python/buffer_input.hpp"
#include "python/callable.hpp"
#include "python/errors.hpp"
#include "python/numpy_arrays.hpp"
#include "python/parallel.hpp"
#include "python/path2d_type.hpp"
#include "python/ref.hpp"
#include "python/runtime_packages.hpp"

namespace korvane::python::frenet {

namespace {

PyTypeObject* coordinates_type = nullptr;
PyObject* frenet_module = nullptr;

// Below this many rows the call keeps the interpreter lock: releasing it costs more than the rows.
constexpr std::size_t kRowsWithoutLock = 256;
// Rows per block of a call without the lock: a few milliseconds of work, between which signals
// are looked for and which the workers share.
constexpr std::size_t kBlockRows = std::size_t{1} << 16;
// Rows of to_frenet put in one spatial order, whose blocks the workers then share: ordered apart
// in blocks of 65,536 rows, 10^6 fixes spread over a 10^6-point route took 2.7 times as long;
// the order, about a sixth of such a call (perf), is cut into parts the workers share as well.
constexpr std::size_t kOrderedRows = std::size_t{1} << 20;

/// A `path` argument: a korvane.Path2D object, exactly.
struct PathArgument {
    PyObject* object = nullptr;
};

bool convert(PyObject* obj, PathArgument& out) {
    if (Py_TYPE(obj) != path2d_class()) {
        set_type_mismatch(obj, "Path2D");
        return false;
    }
    out.object = obj;
    return true;
}

using QueryPoints = PointColumn;

/// A float or a one-dimensional list of floats, the former repeated for every row.
struct Broadcast {
    std::vector<double> values;
    bool scalar = true;
};

bool convert(PyObject* obj, Broadcast& out) {
    // Numbers and zero-dimensional arrays have no length.
    if (PyObject_Length(obj) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
            return false;
        }
        PyErr_Clear();
        out.values.assign(1, 0.0);
        out.scalar = true;
        return python::convert(obj, out.values[0]);
    }
    out.scalar = false;
    return python::convert(obj, out.values);
}

/// The path of an argument, borrowed for the length of the call. The record's geometry and the
/// caches filled before the lock is released never change, and a reference to the object keeps
/// them alive, so the arithmetic may run without the lock once the borrow has ended.
class PathBorrow {
public:
    explicit PathBorrow(PyObject* object)
        : m_keep(Ref::borrow(object)), m_object(as_path2d(object)) {
        if (constructed(object, m_object->made_as)) {
            m_borrow.emplace(m_object->borrow);
            if (*m_borrow) {
                m_pause.emplace();
            }
        }
    }
    explicit operator bool() const noexcept { return m_borrow && *m_borrow; }
    const Path2D& path() const noexcept { return m_object->path; }
    /// Ends the borrow, so that other threads may change the record's associated values while
    /// this call works without the lock.
    void end() noexcept {
        m_pause.reset();
        m_borrow.reset();
    }

private:
    Ref m_keep;
    Path2DObject* m_object;
    std::optional<SharedBorrow> m_borrow;
    std::optional<CollectorPause> m_pause;  // while borrowed
};

/// Runs `block(begin, end)` over the rows, in blocks of at most `block_rows`, without the
/// interpreter lock when they are many; false, with the exception of a signal handler set, when
/// the call was interrupted.
template <class Block>
bool run_rows(std::size_t rows, std::size_t block_rows, PathBorrow& borrow, Workers workers,
              Block&& block) {
    if (rows < kRowsWithoutLock) {
        block(0, rows);
        return true;
    }
    borrow.end();
    return run_blocks_without_lock(rows, block_rows, workers, block);
}

/// Rows per block of from_frenet: unordered arc lengths are put in order a block at a time, and
/// a block of 2^20 (about 0.1 s) walks a long path forward in short steps; blocks stay no larger
/// than the workers' shares.
std::size_t from_frenet_block_rows(std::size_t rows, Workers workers) noexcept {
    const std::size_t share = rows / std::max<std::size_t>(1, workers.count);
    return std::clamp(share, kBlockRows, std::size_t{1} << 20);
}

/// A new one-dimensional array of `n` elements of T; empty with an error set.
template <class T>
Ref column(std::size_t n, T*& data) {
    return Ref::steal(new_vector(n, data));
}

constexpr char to_frenet_doc[] =
    "to_frenet(path, points, *, max_distance=..., workers=1)\n--\n\n"
    "to_frenet(path, points, *, max_distance=math.inf, workers=1)\n\n"
    "Route coordinates of many points at once: for each point, its nearest point on the path,\n"
    "counting every segment from end to end (vertices and both ends included).\n"
    "\n"
    "Where two segments are equally near, the one of lower index holds the point. At a vertex or\n"
    "an end, the side follows the directions of travel into and out of the vertex: the point is\n"
    "left when it lies on the side of their two left normals added, so a point outside a left\n"
    "turn is right and one inside it left; at an end (or a reversal) the side is that of the\n"
    "line of the segment into the vertex, else out of it, and a point on that line is left.\n"
    "\n"
    "Points farther than max_distance, points with a NaN or infinite coordinate, points nearest\n"
    "to a segment past a NaN point of the path and every point of a path of fewer than two\n"
    "points give NaN values and segment -1. Coordinates of any finite magnitude are answered.\n"
    "\n" KORVANE_WORKERS_PARAGRAPH
    "\n"
    ":param path: The path\n"
    ":param points: The points, (m, 2) array-like\n"
    ":param max_distance: Largest distance matched\n" KORVANE_WORKERS_PARAM
    "\n"
    ":type path: Path2D\n"
    ":type points: list[list[float]] | numpy.ndarray\n"
    ":type max_distance: float\n"
    ":type workers: int\n"
    "\n"
    ":returns: Arc length s at the nearest point, signed offset d (positive to the left of the\n"
    "    direction of travel), distance (|d|) and the index of the segment holding the nearest\n"
    "    point (int64), one array entry per point\n"
    ":rtype: FrenetCoordinates";

const auto to_frenet_callable = declare(
    "korvane_frenet", "to_frenet", to_frenet_doc, Needs::NumPy,
    [](PathArgument argument, const QueryPoints& query_points, double max_distance,
       Workers workers) -> PyObject* {
        if (std::isnan(max_distance)) {
            PyErr_SetString(PyExc_ValueError, "max_distance must not be NaN");
            return nullptr;
        }
        PathBorrow borrow(argument.object);
        if (!borrow) {
            return nullptr;
        }
        const std::span<const Point> points = query_points.points();
        const std::size_t m = points.size();
        FrenetColumns out{};
        Ref s = column(m, out.s);
        Ref d = s ? column(m, out.d) : Ref();
        Ref distance = d ? column(m, out.distance) : Ref();
        Ref segment = distance ? column(m, out.segment) : Ref();
        Ref result = segment ? Ref::steal(PyStructSequence_New(coordinates_type)) : Ref();
        if (!result) {
            return nullptr;
        }
        const Path2D& path = borrow.path();
        const PointView view = path.point_view();
        const std::span<const double> length = path.path_length_per_point();
        // A trip on a short route reads its leaves from its points; its rows are one block, as
        // the batch's are one stretch, so the frame is the whole call's. The path's index is
        // built as before all the same: the path's own queries after it count on it.
        const AlongSearch search =
            m <= kBlockRows ? to_frenet_along_search(view, length, points) : AlongSearch::unsuited;
        const bool along = search != AlongSearch::unsuited;
        const SegmentIndex* index = path.segment_index().for_batch(view, m);
        const auto rows_from = [&](std::size_t begin) {
            return FrenetColumns{out.s + begin, out.d + begin, out.distance + begin,
                                 out.segment + begin};
        };
        bool done = true;
        double reach = std::numeric_limits<double>::quiet_NaN();
        if (!along && m >= kRowsWithoutLock &&
            to_frenet_batched(index, view, length, points, &reach)) {
            // Each stretch of rows is ordered whole and its order shared out in blocks.
            borrow.end();
            for (std::size_t first = 0; done && first < m; first += kOrderedRows) {
                const std::span<const Point> stretch =
                    points.subspan(first, std::min(kOrderedRows, m - first));
                std::optional<FrenetBatch> batch;
                const auto one = [&](auto&& step) {
                    return run_blocks_without_lock(1, 1, Workers{},
                                                   [&](std::size_t, std::size_t) { step(); });
                };
                // A stretch of the call's rows is sampled again, for itself.
                double stretch_reach =
                    stretch.size() < m ? std::numeric_limits<double>::quiet_NaN() : reach;
                if (stretch.size() < m &&
                    !to_frenet_batched(index, view, length, stretch, &stretch_reach)) {
                    done = one([&] {
                        to_frenet(view, length, index, stretch, max_distance, rows_from(first));
                    });
                    continue;
                }
                // Allocating the stage is the one step in this thread: every other runs in
                // blocks or parts the workers share, but the order's few single steps.
                batch.emplace(view, length, index, stretch, max_distance, rows_from(first),
                              stretch_reach);
                const std::size_t blocks = (stretch.size() - 1) / kBlockRows + 1;
                std::vector<PointBounds> bounds(blocks);
                done = run_blocks_without_lock(
                    stretch.size(), kBlockRows, workers, [&](std::size_t begin, std::size_t end) {
                        bounds[begin / kBlockRows] = batch->stage(begin, end);
                    });
                for (std::size_t i = 1; i < blocks; ++i) {
                    bounds[0].add(bounds[i]);
                }
                done = done && batch->order(bounds[0], [&](std::size_t parts, const auto& part) {
                    return run_without_lock(parts, workers, part);
                });
                done = done && run_blocks_without_lock(batch->size(), kBlockRows, workers,
                                                       [&](std::size_t begin, std::size_t end) {
                                                           batch->search(begin, end);
                                                       });
                done = done && run_blocks_without_lock(stretch.size(), kBlockRows, workers,
                                                       [&](std::size_t begin, std::size_t end) {
                                                           batch->finish(begin, end);
                                                       });
            }
        } else {
            done =
                run_rows(m, kBlockRows, borrow, workers, [&](std::size_t begin, std::size_t end) {
                    const std::span<const Point> some = points.subspan(begin, end - begin);
                    if (along) {
                        to_frenet_along(view, length, index, some, search, max_distance,
                                        rows_from(begin));
                    } else {
                        to_frenet(view, length, index, some, max_distance, rows_from(begin));
                    }
                });
        }
        if (!done) {
            return nullptr;
        }
        PyStructSequence_SetItem(result.get(), 0, s.release());
        PyStructSequence_SetItem(result.get(), 1, d.release());
        PyStructSequence_SetItem(result.get(), 2, distance.release());
        PyStructSequence_SetItem(result.get(), 3, segment.release());
        return result.release();
    },
    arg<PathArgument>("path"), arg<QueryPoints>("points"),
    keyword("max_distance", std::numeric_limits<double>::infinity()),
    keyword("workers", Workers{}));

constexpr char from_frenet_doc[] =
    "from_frenet(path, s, d=0.0, *, workers=1)\n--\n\n"
    "from_frenet(path, s, d=0.0, *, workers=1)\n\n"
    "Points at route coordinates: the point at arc length s, linear along the segment holding\n"
    "it (a vertex belongs to the segment that leaves it, as in resampling), moved by d along\n"
    "that segment's left unit normal.\n"
    "\n"
    "Arc lengths below 0 extrapolate along the first segment, and beyond the path's length\n"
    "along the last (segments of zero length passed over). A scalar s or d is repeated for every\n"
    "row. A NaN input gives a NaN row, as does every row of a path without a segment of\n"
    "non-zero length.\n"
    "\n" KORVANE_WORKERS_PARAGRAPH
    "\n"
    ":param path: The path\n"
    ":param s: Arc lengths, a float or 1-D array-like\n"
    ":param d: Signed offsets, positive to the left, a float or 1-D array-like\n" KORVANE_WORKERS_PARAM
    "\n"
    ":type path: Path2D\n"
    ":type s: float | list[float] | numpy.ndarray\n"
    ":type d: float | list[float] | numpy.ndarray\n"
    ":type workers: int\n"
    "\n"
    ":returns: The points, one row per s and d\n"
    ":rtype: numpy.ndarray";

const auto from_frenet_callable = declare(
    "korvane_frenet", "from_frenet", from_frenet_doc, Needs::NumPy,
    [](PathArgument argument, Broadcast s, Broadcast d, Workers workers) -> PyObject* {
        const std::size_t ns = s.values.size();
        const std::size_t nd = d.values.size();
        if (!s.scalar && !d.scalar && ns != nd && ns != 1 && nd != 1) {
            PyErr_Format(PyExc_ValueError, "s and d have different lengths (%zu and %zu)", ns, nd);
            return nullptr;
        }
        PathBorrow borrow(argument.object);
        if (!borrow) {
            return nullptr;
        }
        // A list of one broadcasts as a scalar does, except against an empty list.
        const std::size_t m = s.scalar ? nd : d.scalar ? ns : ns == 1 ? nd : ns;
        const npy_intp dims[2] = {static_cast<npy_intp>(m), 2};
        double* data = nullptr;
        Ref result = Ref::steal(new_array(2, dims, data));
        if (!result) {
            return nullptr;
        }
        const Path2D& path = borrow.path();
        const PointView view = path.point_view();
        const std::span<const double> length = path.path_length_per_point();
        const StridedValues at{s.values.data(), ns == 1 ? 0u : 1u};
        const StridedValues offset{d.values.data(), nd == 1 ? 0u : 1u};
        Point* points = reinterpret_cast<Point*>(data);
        const bool done = run_rows(
            m, from_frenet_block_rows(m, workers), borrow, workers,
            [&](std::size_t begin, std::size_t end) {
                const StridedValues block_at{at.first + begin * at.step, at.step};
                const StridedValues block_offset{offset.first + begin * offset.step, offset.step};
                from_frenet(view, length, block_at, block_offset, end - begin, points + begin);
            });
        return done ? result.release() : nullptr;
    },
    arg<PathArgument>("path"), arg<Broadcast>("s"), arg("d", Broadcast{{0.0}, true}),
    keyword("workers", Workers{}));

PyMethodDef methods[] = {
    method_row(to_frenet_callable.name, static_function<to_frenet_callable>, 0,
               to_frenet_callable.doc),
    method_row(from_frenet_callable.name, static_function<from_frenet_callable>, 0,
               from_frenet_callable.doc),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef frenet_module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "korvane_frenet",
    .m_doc =
        "Route coordinates along korvane paths: arc length and signed offset of many points "
        "at once, and the points at given route coordinates",
    .m_size = 0,
    .m_methods = methods,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

PyStructSequence_Field coordinates_fields[] = {
    {"s", "arc length at the nearest point of the path"},
    {"d", "signed distance to it, positive to the left of the direction of travel"},
    {"distance", "distance to it"},
    {"segment", "index of the segment holding it, -1 where there is none"},
    {nullptr, nullptr},
};

PyStructSequence_Desc coordinates_desc = {
    "korvane_frenet.FrenetCoordinates",
    "Route coordinates of points: arrays s, d, distance and segment, one entry per point.",
    coordinates_fields,
    4,
};

PyObject* initialise() {
    // korvane refuses a second interpreter, and so, through it, does this module; importing it
    // also creates the Path2D class the arguments are checked against.
    Ref korvane = Ref::steal(PyImport_ImportModule("korvane"));
    if (!korvane) {
        return nullptr;
    }
    if (frenet_module != nullptr) {
        return Py_NewRef(frenet_module);
    }
    if (coordinates_type == nullptr &&
        (coordinates_type = PyStructSequence_NewType(&coordinates_desc)) == nullptr) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_Create(&frenet_module_def));
    if (!module || PyModule_AddObjectRef(module.get(), "FrenetCoordinates",
                                         reinterpret_cast<PyObject*>(coordinates_type)) < 0) {
        return nullptr;
    }
    Ref all = Ref::steal(Py_BuildValue("[sss]", "FrenetCoordinates", "from_frenet", "to_frenet"));
    if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) {
        return nullptr;
    }
    frenet_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace korvane::python::frenet

// Loaded from korvane's library by the Python module korvane_frenet, which hands on its names.
PyMODINIT_FUNC PyInit__korvane_frenet(void) {
    return korvane::python::guarded([] { return korvane::python::frenet::initialise(); });
}
