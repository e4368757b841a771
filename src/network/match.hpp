// src/network/match.hpp: which edges a trace of fixes drove, by a hidden Markov model over the
// candidates of each fix solved by Viterbi
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "network/candidates.hpp"
#include "network/road_network.hpp"
#include "network/routes.hpp"

namespace korvane::network {

/// The model's settings, every one given (the defaults are the caller's).
struct MatchOptions {
    double sigma;            ///< noise of a fix, metres: emissions are Gaussian in the distance
    double beta;             ///< scale of transitions, metres; NaN: the trace's own (default_beta)
    double radius;           ///< candidates lie within this of their fix
    std::size_t candidates;  ///< at most this many edges per fix
    double max_detour;       ///< a route longer than this times the straight step, plus 2 radius,
                             ///< is implausible
};

/// The default beta of a trace: the median straight step between consecutive finite fixes, but
/// at least 1 m. A step's route distance departs from its straight distance by about the distance
/// moved where the road winds or the noise is as large as the step, so the median step scales
/// that difference for the trace's own sampling.
double default_beta(std::span<const Point> fixes);

/// How far back along its edge a fix may land from the previous one and still count as the
/// vehicle standing or creeping forwards, in sigmas: four sigmas hold all but about one step in
/// ten thousand of pure noise.
inline constexpr double kBackwardSigmas = 4.0;

/// What a U-turn costs, as metres of route in sigmas, wherever it is made: onto the edge just
/// driven, or within the route between two fixes. Where the noise is as large as the step, each
/// straight step runs up to about 2 sigma longer than the road driven, and a turn into a side
/// road and back lengthens the two steps around it: such a turn must cost twice what it could
/// gain so, yet less than a genuine turn in a dead end saves.
inline constexpr double kUTurnSigmas = 8.0;

/// Per fix, where the trace is matched (columns the caller owns, one entry per fix).
struct FixColumns {
    std::int64_t* edge;
    bool* reversed;
    double* s;
    double* d;
    double* x;
    double* y;
    bool* breaks;
};

/// A thread's working memory for matching, reused from trace to trace.
struct MatchScratch {
    explicit MatchScratch(const RoadNetwork& net) : routes(net) {}
    RouteSearch routes;
    std::vector<Candidate> found;
    std::vector<NearFoot> scratch;
    std::vector<RouteTarget> targets;
    std::vector<std::size_t> wanted;  // the state of each target
    std::vector<std::size_t> order;   // a layer's states, best first
    // A trace's lattice is held until its end, so a state is kept small: the candidate's answer
    // once per candidate (both directions of a two-way edge share it), the edge in the arc.
    struct Kept {
        double s;
        double d;
        Point point;
    };
    struct State {
        double position;          ///< along the arc's direction
        double score;             ///< log-probability of the best sequence ending here
        std::uint32_t candidate;  ///< into kept
        Arc arc;
        std::int32_t from;  ///< that sequence's previous state, -1 at a piece's start
    };
    std::vector<Kept> kept;
    std::vector<State> states;
    std::vector<std::size_t> first_state;  // per fix with candidates, into states
    std::vector<std::size_t> fix_of;       // that fix's row
    std::vector<std::uint8_t> starts;      // per fix with candidates: a piece starts there
    std::vector<std::int32_t> chosen;
    std::vector<double> best;  // per state of the layer being scored: its best score so far
    std::vector<RoadNetwork::LandmarkRow> ends;  // and its tail's landmark row
    struct Head {
        Point start;  ///< where the state's arc starts
        std::uint32_t tail;
        std::uint32_t piece;  ///< of the tail
    };
    std::vector<Head> heads;     // and where routes into it end
    std::vector<double> limits;  // per layer: the longest plausible route into it
};

/// Matches one trace: writes every fix's columns and appends the driven arcs to `route` (each
/// piece connected node to node, consecutive duplicates merged). Never fails: a fix without a
/// candidate is unmatched, and where no state of a fix is plausibly reached from the previous
/// one a new piece starts.
void match_trace(const RoadNetwork& net, std::span<const Point> fixes, const MatchOptions& options,
                 MatchScratch& scratch, const FixColumns& out, std::vector<Arc>& route);

}  // namespace korvane::network
