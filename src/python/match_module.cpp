// src/python/match_module.cpp: the korvane_match module, which roads a trace of fixes drove on a
// road network
#include <Python.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "network/match.hpp"
#include "network/road_network.hpp"
#include "python/args.hpp"
#include "python/buffer_input.hpp"
#include "python/callable.hpp"
#include "python/column_input.hpp"
#include "python/errors.hpp"
#include "python/numpy_arrays.hpp"
#include "python/parallel.hpp"
#include "python/ref.hpp"
#include "python/runtime_packages.hpp"
#include "python/type_slots.hpp"

namespace korvane::python::match {

namespace {

using network::RoadNetwork;

PyTypeObject* network_type = nullptr;
PyTypeObject* result_type = nullptr;
PyObject* match_module = nullptr;

// Below this many fixes a call keeps the interpreter lock: releasing it costs more than them.
constexpr std::size_t kFixesWithoutLock = 256;
// Fixes per block of work (whole traces, at least one): about a tenth of a second, between
// which signals are looked for and which the workers share.
constexpr std::size_t kBlockFixes = 4096;

/// A RoadNetwork instance: the network, immutable once built, so that calls may read it
/// without the lock while they hold a reference to the object.
struct NetworkObject {
    PyObject_HEAD RoadNetwork* net;
};

const RoadNetwork& network_of(PyObject* self) noexcept {
    return *reinterpret_cast<NetworkObject*>(self)->net;
}

using Fixes = PointColumn;

/// A RoadNetwork method: binds, looks up NumPy where needed, converts, runs the body on self.
template <const auto& C>
PyObject* network_function(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        Slots slots;
        if (!bind(C.parameters(), args, nargs, kwnames, slots)) {
            return nullptr;
        }
        if (C.needs == Needs::NumPy && numpy_api() == nullptr) {
            return nullptr;
        }
        PyObject* result = nullptr;
        C.convert_and(slots,
                      [&](auto&&... values) { result = C.body(self, std::move(values)...); });
        return result;
    });
}

/// Refuses a setting that is not a number in its range, naming it.
bool check_setting(const char* name, double value, bool positive, bool finite = true) {
    if (std::isnan(value) || (finite && !std::isfinite(value)) || value < 0.0 ||
        (positive && value == 0.0)) {
        PyErr_Format(PyExc_ValueError, "%s must be a %s number (got %R)", name,
                     positive ? "positive" : "non-negative",
                     Ref::steal(PyFloat_FromDouble(value)).get());
        return false;
    }
    return true;
}

constexpr char network_doc[] =
    "RoadNetwork(points, offsets, source, target, *, two_way=None)\n--\n\n"
    "A road network: edge i's geometry is points[offsets[i]:offsets[i+1]] (metres, at least two\n"
    "points), drivable from node source[i] to node target[i] (int64 ids, any values) and, where\n"
    "two_way[i] is true, also from target[i] to source[i] along the reversed geometry (without\n"
    "two_way every edge is one-way).\n"
    "\n"
    "The network keeps its own copy of the columns, a segment index over every edge and the\n"
    "graph on its nodes; it never changes, so it may be shared by threads, and it pickles as its\n"
    "columns. Every mistake in the columns is a ValueError naming it: lengths that do not fit\n"
    "together, offsets that do not run from 0 to the number of points without decreasing, an\n"
    "edge of fewer than two points, a coordinate that is NaN or infinite.\n"
    "\n"
    ":param points: Every edge's points one after the other, (n, 2) array-like\n"
    ":param offsets: Where each edge's points start, and the end: 1-D integers, one more than\n"
    "    the edges\n"
    ":param source: The node each edge leaves from, 1-D integers\n"
    ":param target: The node each edge reaches, 1-D integers\n"
    ":param two_way: Per edge whether it is drivable back as well, 1-D booleans\n"
    "\n"
    ":type points: list[list[float]] | numpy.ndarray\n"
    ":type offsets: list[int] | numpy.ndarray\n"
    ":type source: list[int] | numpy.ndarray\n"
    ":type target: list[int] | numpy.ndarray\n"
    ":type two_way: list[bool] | numpy.ndarray | None";

const auto network_new = declare(
    "RoadNetwork", "__new__", network_doc, Needs::Nothing,
    [](PyTypeObject* type, const std::vector<Point>& points, const Int64Column& offsets,
       const Int64Column& source, const Int64Column& target,
       const std::optional<BoolColumn>& two_way) -> PyObject* {
        const network::NetworkColumns columns{points, offsets.values, source.values, target.values,
                                              two_way
                                                  ? std::span<const std::uint8_t>(two_way->values)
                                                  : std::span<const std::uint8_t>()};
        if (two_way && two_way->values.size() != source.values.size()) {
            PyErr_Format(PyExc_ValueError, "two_way must have one entry per edge (%zu for %zu)",
                         two_way->values.size(), source.values.size());
            return nullptr;
        }
        auto built = RoadNetwork::build(columns);
        if (!built.ok()) {
            return raise(built.error());
        }
        Ref self = Ref::steal(type->tp_alloc(type, 0));
        if (!self) {
            return nullptr;
        }
        reinterpret_cast<NetworkObject*>(self.get())->net =
            new RoadNetwork(std::move(built).value());
        return self.release();
    },
    arg<std::vector<Point>>("points"), arg<Int64Column>("offsets"), arg<Int64Column>("source"),
    arg<Int64Column>("target"), keyword("two_way", std::optional<BoolColumn>{}));

void network_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<NetworkObject*>(self)->net;
    type->tp_free(self);
    Py_DECREF(type);
}

Py_ssize_t network_length(PyObject* self) noexcept {
    return static_cast<Py_ssize_t>(network_of(self).edges());
}

PyObject* network_repr(PyObject* self) noexcept {
    const RoadNetwork& net = network_of(self);
    return PyUnicode_FromFormat("RoadNetwork(%zu edges, %zu nodes)", net.edges(), net.nodes());
}

PyObject* network_nbytes(PyObject* self, void*) noexcept {
    return PyLong_FromSize_t(network_of(self).bytes());
}

constexpr char match_doc[] =
    "match($self, points, offsets=None, *, sigma=5.0, beta=None, radius=None, candidates=8, "
    "max_detour=5.0, workers=1)\n--\n\n"
    "match(points, offsets=None, *, sigma=5.0, beta=None, radius=None, candidates=8, "
    "max_detour=5.0, workers=1)\n\n"
    "Which edges traces of fixes drove: a hidden Markov model per trace whose states are the\n"
    "fixes' candidates (the nearest point of each of the `candidates` nearest edges within\n"
    "`radius`, each edge in every direction it may be driven), solved by Viterbi.\n"
    "\n"
    "A state's emission is Gaussian in the distance from its fix (sigma). A transition between\n"
    "the states of consecutive fixes is exponential (beta) in the difference between the route\n"
    "distance from one to the other and the straight distance between the fixes. Routes are\n"
    "shortest paths searched from each node for as far as plausible, reused within the call.\n"
    "A route longer than max_detour times the straight distance plus twice the radius is\n"
    "implausible. Noise makes fixes step backwards along an edge: a state up to 4 sigma behind\n"
    "the previous one on the same edge and direction is reached by standing still (route\n"
    "distance 0), never by a U-turn. A U-turn costs as much as 8 sigma of route beyond its\n"
    "distance, onto the edge just driven or within the route between two fixes, so that a\n"
    "trace that starts or ends at the end of an edge is not read as driving on and turning\n"
    "back, nor noise as a turn into a side road and back. beta defaults to the trace's median\n"
    "step between fixes (at least 1 m), radius to 4 sigma.\n"
    "\n"
    "No trace fails: a fix without a candidate (or with a NaN or infinite coordinate) is\n"
    "unmatched, and where no state of a fix is plausibly reached from the previous matched fix,\n"
    "the trace breaks there and a new piece starts.\n"
    "\n"
    "From 256 fixes on the call works without the interpreter lock, in blocks of whole traces\n"
    "that `workers` threads share (the answers are the same for every number of them), and a\n"
    "signal such as Ctrl-C ends it within a fraction of a second.\n"
    "\n"
    ":param points: Every trace's fixes one after the other, (n, 2) array-like, metres\n"
    ":param offsets: Where each trace starts, and the end: 1-D integers from 0 to n without\n"
    "    decreasing; None: one trace\n"
    ":param sigma: Noise of a fix, metres\n"
    ":param beta: Scale of the transitions, metres\n"
    ":param radius: Farthest candidate from its fix, metres\n"
    ":param candidates: Most edges per fix\n"
    ":param max_detour: Longest plausible route, as a multiple of the straight distance\n" KORVANE_WORKERS_PARAM
    "\n"
    ":type points: list[list[float]] | numpy.ndarray\n"
    ":type offsets: list[int] | numpy.ndarray | None\n"
    ":type sigma: float\n"
    ":type beta: float | None\n"
    ":type radius: float | None\n"
    ":type candidates: int\n"
    ":type max_detour: float\n"
    ":type workers: int\n"
    "\n"
    ":returns: Per fix the edge (-1 where unmatched), direction, arc length s along the edge's\n"
    "    geometry, signed offset d (left of the edge's direction positive), matched point x, y\n"
    "    and where a piece starts after a break; per trace the driven edges and directions\n"
    ":rtype: MatchResult";

const auto match_callable = declare(
    "RoadNetwork", "match", match_doc, Needs::NumPy,
    [](PyObject* self, const Fixes& fixes, const std::optional<Int64Column>& offsets, double sigma,
       std::optional<double> beta, std::optional<double> radius, std::uint64_t candidates,
       double max_detour, Workers workers) -> PyObject* {
        const std::span<const Point> points = fixes.points();
        const std::size_t n = points.size();
        if (offsets && !check_offsets(offsets->values, n, "offsets")) {
            return nullptr;
        }
        if (!check_setting("sigma", sigma, true) || (beta && !check_setting("beta", *beta, true)) ||
            (radius && !check_setting("radius", *radius, false)) ||
            !check_setting("max_detour", max_detour, true)) {
            return nullptr;
        }
        if (candidates == 0) {
            PyErr_SetString(PyExc_ValueError, "candidates must be at least 1");
            return nullptr;
        }
        const network::MatchOptions options{sigma, beta ? *beta : NAN,
                                            radius ? *radius : 4.0 * sigma,
                                            static_cast<std::size_t>(candidates), max_detour};
        // Trace t's rows run from trace_start(t) to trace_start(t + 1).
        const std::size_t traces = offsets ? offsets->values.size() - 1 : 1;
        const auto trace_start = [&](std::size_t t) {
            return offsets ? static_cast<std::size_t>(offsets->values[t]) : t == 0 ? 0 : n;
        };
        network::FixColumns out{};
        Ref edge = Ref::steal(new_vector(n, out.edge));
        Ref reversed = edge ? Ref::steal(new_vector(n, out.reversed)) : Ref();
        Ref s = reversed ? Ref::steal(new_vector(n, out.s)) : Ref();
        Ref d = s ? Ref::steal(new_vector(n, out.d)) : Ref();
        Ref x = d ? Ref::steal(new_vector(n, out.x)) : Ref();
        Ref y = x ? Ref::steal(new_vector(n, out.y)) : Ref();
        Ref breaks = y ? Ref::steal(new_vector(n, out.breaks)) : Ref();
        if (!breaks) {
            return nullptr;
        }
        // Blocks of whole traces of about kBlockFixes fixes each.
        std::vector<std::size_t> block_first{0};
        for (std::size_t t = 0, fixes_in = 0; t < traces; ++t) {
            fixes_in += trace_start(t + 1) - trace_start(t);
            if (fixes_in >= kBlockFixes && t + 1 < traces) {
                block_first.push_back(t + 1);
                fixes_in = 0;
            }
        }
        block_first.push_back(traces);
        const RoadNetwork& net = network_of(self);
        // Each block's routes one after the other, and the arcs of each trace: the routes are
        // held until the call's end, so without a vector (and the room it grew) per trace.
        const std::size_t blocks = block_first.size() - 1;
        std::vector<std::vector<network::Arc>> block_route(blocks);
        std::vector<std::size_t> trace_arcs(traces);
        const auto block = [&](std::size_t b) {
            network::MatchScratch scratch(net);
            std::vector<network::Arc>& route = block_route[b];
            for (std::size_t t = block_first[b]; t < block_first[b + 1]; ++t) {
                const std::size_t i = trace_start(t);
                const network::FixColumns rows{out.edge + i,  out.reversed + i, out.s + i,
                                               out.d + i,     out.x + i,        out.y + i,
                                               out.breaks + i};
                const std::size_t before = route.size();
                network::match_trace(net, points.subspan(i, trace_start(t + 1) - i), options,
                                     scratch, rows, route);
                trace_arcs[t] = route.size() - before;
            }
            route.shrink_to_fit();
        };
        if (n < kFixesWithoutLock) {
            for (std::size_t b = 0; b < blocks; ++b) {
                block(b);
            }
        } else if (!run_without_lock(blocks, workers, block)) {
            return nullptr;
        }
        std::size_t arcs = 0;
        for (const std::vector<network::Arc>& route : block_route) {
            arcs += route.size();
        }
        std::int64_t* route_edge = nullptr;
        bool* route_reversed = nullptr;
        std::int64_t* route_offsets = nullptr;
        Ref route = Ref::steal(new_vector(arcs, route_edge));
        Ref directions = route ? Ref::steal(new_vector(arcs, route_reversed)) : Ref();
        Ref starts = directions ? Ref::steal(new_vector(traces + 1, route_offsets)) : Ref();
        Ref result = starts ? Ref::steal(PyStructSequence_New(result_type)) : Ref();
        if (!result) {
            return nullptr;
        }
        std::size_t at = 0;
        route_offsets[0] = 0;
        for (std::size_t t = 0; t < traces; ++t) {
            route_offsets[t + 1] = static_cast<std::int64_t>(at + trace_arcs[t]);
            at += trace_arcs[t];
        }
        at = 0;
        for (std::vector<network::Arc>& arcs_of_block : block_route) {
            for (const network::Arc arc : arcs_of_block) {
                route_edge[at] = network::edge_of(arc);
                route_reversed[at] = network::is_reversed(arc);
                ++at;
            }
            std::vector<network::Arc>().swap(arcs_of_block);
        }
        PyObject* fields[] = {edge.release(),   reversed.release(), s.release(),
                              d.release(),      x.release(),        y.release(),
                              breaks.release(), route.release(),    directions.release(),
                              starts.release()};
        for (Py_ssize_t i = 0; i < 10; ++i) {
            PyStructSequence_SetItem(result.get(), i, fields[i]);
        }
        return result.release();
    },
    arg<Fixes>("points"), arg("offsets", std::optional<Int64Column>{}), keyword("sigma", 5.0),
    keyword("beta", std::optional<double>{}), keyword("radius", std::optional<double>{}),
    keyword("candidates", std::uint64_t{8}), keyword("max_detour", 5.0),
    keyword("workers", Workers{}));

/// A helper of the Python module korvane_match, which holds what is written in Python.
Ref python_helper(const char* name) {
    Ref module = Ref::steal(PyImport_ImportModule("korvane_match"));
    return module ? Ref::steal(PyObject_GetAttrString(module.get(), name)) : Ref();
}

PyObject* network_reduce(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        if (numpy_api() == nullptr) {
            return nullptr;
        }
        const RoadNetwork& net = network_of(self);
        const std::size_t edges = net.edges();
        const std::vector<Point> p = net.points();
        std::int64_t* offsets = nullptr;
        std::int64_t* source = nullptr;
        std::int64_t* target = nullptr;
        bool* two_way = nullptr;
        Ref rebuild = python_helper("_rebuild");
        Ref points = rebuild ? Ref::steal(vec2_to_pyarray2(PointView(
                                   CoordinateView(p.empty() ? nullptr : &p[0].x, 2, p.size()),
                                   CoordinateView(p.empty() ? nullptr : &p[0].y, 2, p.size()))))
                             : Ref();
        Ref o = points ? Ref::steal(new_vector(edges + 1, offsets)) : Ref();
        Ref s = o ? Ref::steal(new_vector(edges, source)) : Ref();
        Ref t = s ? Ref::steal(new_vector(edges, target)) : Ref();
        Ref w = t ? Ref::steal(new_vector(edges, two_way)) : Ref();
        if (!w) {
            return nullptr;
        }
        for (std::size_t e = 0; e <= edges; ++e) {
            offsets[e] = net.offsets()[e];
        }
        for (std::size_t e = 0; e < edges; ++e) {
            source[e] = net.source_id(e);
            target[e] = net.target_id(e);
            two_way[e] = net.two_way(e);
        }
        return Py_BuildValue("(O(OOOOO))", rebuild.get(), points.get(), o.get(), s.get(), t.get(),
                             w.get());
    });
}

constexpr char from_arrow_doc[] =
    "from_arrow($type, table, *, geometry='geometry', source='source', target='target', "
    "two_way=None)\n--\n\n"
    "from_arrow(table, *, geometry='geometry', source='source', target='target', two_way=None)\n\n"
    "The network of a pyarrow table (or record batch) whose column `geometry` holds GeoArrow\n"
    "LineStrings (a list of x, y structs or of two-element lists, coordinates in metres) and\n"
    "whose columns `source` and `target` hold the nodes; `two_way` names a boolean column, or\n"
    "None for every edge one-way. A LineString array may stand for the table, with source,\n"
    "target (and two_way) then given as 1-D arrays. Needs pyarrow.\n"
    "\n"
    ":param table: The edges, pyarrow.Table, RecordBatch or LineString array\n"
    ":param geometry: Name of the geometry column\n"
    ":param source: Name of the source column, or the nodes\n"
    ":param target: Name of the target column, or the nodes\n"
    ":param two_way: Name of the two-way column, or the booleans, or None\n"
    "\n"
    ":type table: pyarrow.Table\n"
    ":type geometry: str\n"
    ":type source: str | numpy.ndarray\n"
    ":type target: str | numpy.ndarray\n"
    ":type two_way: str | numpy.ndarray | None\n"
    "\n"
    ":returns: The network\n"
    ":rtype: RoadNetwork";

PyObject* network_from_arrow(PyObject* cls, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        Ref reader = python_helper("_from_arrow");
        Ref call_args = reader ? Ref::steal(PySequence_Tuple(args)) : Ref();
        Ref with_class =
            call_args ? Ref::steal(PyTuple_New(PyTuple_GET_SIZE(call_args.get()) + 1)) : Ref();
        if (!with_class) {
            return nullptr;
        }
        PyTuple_SET_ITEM(with_class.get(), 0, Py_NewRef(cls));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(call_args.get()); ++i) {
            PyTuple_SET_ITEM(with_class.get(), i + 1,
                             Py_NewRef(PyTuple_GET_ITEM(call_args.get(), i)));
        }
        return PyObject_Call(reader.get(), with_class.get(), kwargs);
    });
}

PyMethodDef network_methods[] = {
    method_row(match_callable.name, network_function<match_callable>, 0, match_callable.doc),
    {"from_arrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(network_from_arrow)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, from_arrow_doc},
    {"__reduce__", network_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nThe columns, for pickle."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef network_getset[] = {
    {"nbytes", network_nbytes, nullptr,
     "Bytes the network holds: its columns, the graph and the segment index", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot network_slots[] = {slot(Py_tp_new, constructor<network_new>),
                               slot(Py_tp_dealloc, network_dealloc),
                               slot(Py_tp_repr, network_repr),
                               slot(Py_sq_length, network_length),
                               slot(Py_tp_methods, network_methods),
                               slot(Py_tp_getset, network_getset),
                               slot(Py_tp_doc, const_cast<char*>(network_doc)),
                               kLastSlot};
PyType_Spec network_spec = type_spec<NetworkObject>(
    "korvane_match.RoadNetwork", Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, network_slots);

PyStructSequence_Field result_fields[] = {
    {"edge", "per fix, the matched edge, -1 where unmatched"},
    {"reversed", "per fix, whether the edge is driven from its target to its source"},
    {"s", "per fix, arc length along the edge's geometry from its first point"},
    {"d", "per fix, signed offset from the edge, left of its own direction positive"},
    {"x", "per fix, x of the matched point"},
    {"y", "per fix, y of the matched point"},
    {"breaks", "per fix, whether a new connected piece starts there after a break"},
    {"route", "the edges driven, trace after trace"},
    {"route_reversed", "per driven edge, whether it is driven from its target to its source"},
    {"route_offsets", "where each trace's driven edges start, and the end"},
    {nullptr, nullptr},
};

PyStructSequence_Desc result_desc = {
    "korvane_match.MatchResult",
    "Where traces were matched: per fix edge, reversed, s, d, x, y and breaks; per trace the "
    "driven edges route and route_reversed, ragged by route_offsets.",
    result_fields,
    10,
};

PyModuleDef match_module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "korvane_match",
    .m_doc = "Map matching on a road network: which edges traces of noisy fixes drove",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

PyObject* initialise() {
    // korvane refuses a second interpreter, and so, through it, does this module.
    Ref korvane = Ref::steal(PyImport_ImportModule("korvane"));
    if (!korvane) {
        return nullptr;
    }
    if (match_module != nullptr) {
        return Py_NewRef(match_module);
    }
    if (result_type == nullptr &&
        (result_type = PyStructSequence_NewType(&result_desc)) == nullptr) {
        return nullptr;
    }
    if (network_type == nullptr && (network_type = reinterpret_cast<PyTypeObject*>(
                                        PyType_FromSpec(&network_spec))) == nullptr) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_Create(&match_module_def));
    if (!module ||
        PyModule_AddObjectRef(module.get(), "MatchResult",
                              reinterpret_cast<PyObject*>(result_type)) < 0 ||
        PyModule_AddObjectRef(module.get(), "RoadNetwork",
                              reinterpret_cast<PyObject*>(network_type)) < 0) {
        return nullptr;
    }
    Ref all = Ref::steal(Py_BuildValue("[ss]", "MatchResult", "RoadNetwork"));
    if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) {
        return nullptr;
    }
    match_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace korvane::python::match

// Loaded from korvane's library by the Python module korvane_match, which hands on its names.
PyMODINIT_FUNC PyInit__korvane_match(void) {
    return korvane::python::guarded([] { return korvane::python::match::initialise(); });
}
