// src/network/match.cpp: the hidden Markov model of a trace, its Viterbi pass and its route
#include "network/match.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace korvane::network {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using State = MatchScratch::State;

// True when `to` follows `from` on the same arc without leaving it: forwards, or backwards by
// no more than `backward` (noise, or a vehicle standing). Such a step is driven as distance
// max(0, forwards), so that it costs as much as the noise moved it and invents no U-turn.
bool stays_on_arc(const State& from, const State& to, double backward) noexcept {
    return from.arc == to.arc && to.position >= from.position - backward;
}

// Turning back onto the same edge at its end costs nothing in distance where the fix lies at
// that end (both directions have the same nearest point there): the turn pays `uturn`, so that
// a trace that merely starts or ends at a dead end is not read as driving into it and back.
double turn_cost(const State& from, const State& to, double uturn) noexcept {
    return to.arc == (from.arc ^ 1u) ? uturn : 0.0;
}

// The U-turns a route between two states makes besides the one turn_cost charges: leaving
// the end of the arc just driven back along its edge, or running past the next state along its
// edge the other way to turn onto it at its end. Each pays `uturn` too, or a detour's length
// would come free where noise lengthens the straight steps; a shortest route turns nowhere else.
double route_turns(const RouteTree::Reached& r, Arc from, Arc to, double uturn) noexcept {
    return ((r.first == (from ^ 1u) ? 1 : 0) + (r.via == (to ^ 1u) ? 1 : 0)) * uturn;
}

// The points an arc starts and ends at: its edge's first and last points, by direction.
Point arc_start(const RoadNetwork& net, Arc arc) noexcept {
    const std::span<const Point> g = net.geometry(edge_of(arc));
    return is_reversed(arc) ? g.back() : g.front();
}
Point arc_end(const RoadNetwork& net, Arc arc) noexcept {
    const std::span<const Point> g = net.geometry(edge_of(arc));
    return is_reversed(arc) ? g.front() : g.back();
}

// True when no route from `a` to `b` can be as short as `need`: a route is never shorter than
// the straight line (with a margin for rounding in the lengths summed), so such a target can
// only be found beyond the need, where it cannot beat the best, and is not searched for.
bool out_of_reach(Point a, Point b, double need) noexcept {
    const double reach = need * (1.0 + 1e-9) + 1e-6;
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    return dx * dx + dy * dy > reach * reach;
}

// The same for a lower bound on the route's distance itself (the landmarks'): most targets a
// search would look for in vain are ones the straight line cannot rule out, across a one-way
// street or a barrier.
bool out_of_reach(double lower_bound, double need) noexcept {
    return lower_bound > need * (1.0 + 1e-9) + 1e-6;
}

// Appends an arc to a piece's route, merging it with an equal last one.
void push_arc(std::vector<Arc>& route, std::size_t piece_begin, Arc arc) {
    if (route.size() == piece_begin || route.back() != arc) {
        route.push_back(arc);
    }
}

}  // namespace

double default_beta(std::span<const Point> fixes) {
    std::vector<double> steps;
    steps.reserve(fixes.size());
    const Point* last = nullptr;
    for (const Point& p : fixes) {
        if (!std::isfinite(p.x) || !std::isfinite(p.y)) {
            continue;
        }
        if (last != nullptr) {
            steps.push_back(std::hypot(p.x - last->x, p.y - last->y));
        }
        last = &p;
    }
    if (steps.empty()) {
        return 1.0;
    }
    const auto middle = steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2);
    std::nth_element(steps.begin(), middle, steps.end());
    return std::max(*middle, 1.0);
}

void match_trace(const RoadNetwork& net, std::span<const Point> fixes, const MatchOptions& options,
                 MatchScratch& sc, const FixColumns& out, std::vector<Arc>& route) {
    const std::size_t n = fixes.size();
    for (std::size_t i = 0; i < n; ++i) {
        out.edge[i] = -1;
        out.reversed[i] = false;
        out.s[i] = out.d[i] = out.x[i] = out.y[i] = kNaN;
        out.breaks[i] = false;
    }
    const double beta = std::isnan(options.beta) ? default_beta(fixes) : options.beta;
    const double backward = kBackwardSigmas * options.sigma;
    const double uturn = kUTurnSigmas * options.sigma;
    const double emission_scale = 0.5 / (options.sigma * options.sigma);
    auto& states = sc.states;
    states.clear();
    sc.kept.clear();
    sc.first_state.clear();
    sc.fix_of.clear();
    sc.starts.clear();
    std::vector<double>& limits = sc.limits;
    limits.clear();

    // Forward: one layer of states per fix with candidates, each scored by its best sequence.
    for (std::size_t row = 0; row < n; ++row) {
        candidates(net, fixes[row], options.radius, options.candidates, sc.found, sc.scratch);
        if (sc.found.empty()) {
            continue;
        }
        const std::size_t begin = states.size();
        for (const Candidate& c : sc.found) {
            const double emission = -c.distance * c.distance * emission_scale;
            const auto k = static_cast<std::uint32_t>(sc.kept.size());
            sc.kept.push_back(MatchScratch::Kept{c.s, c.d, c.point});
            states.push_back(State{c.s, emission, k, 2 * c.edge, -1});
            if (net.two_way(c.edge)) {
                states.push_back(State{net.length(c.edge) - c.s, emission, k, 2 * c.edge + 1, -1});
            }
        }
        const std::size_t end = states.size();
        bool start = sc.first_state.empty();
        double limit = 0.0;
        if (!start) {
            const std::size_t prev_begin = sc.first_state.back();
            const Point a = fixes[sc.fix_of.back()];
            const Point b = fixes[row];
            const double straight = std::hypot(b.x - a.x, b.y - a.y);
            limit = options.max_detour * straight + 2.0 * options.radius;
            std::vector<double>& best = sc.best;
            best.assign(end - begin, -INFINITY);
            const auto offer = [&](std::size_t i, std::size_t j, double driven, double turns) {
                const State& from = states[i];
                const double score = from.score - (std::fabs(driven - straight) +
                                                   turn_cost(from, states[j], uturn) + turns) /
                                                      beta;
                if (score > best[j - begin]) {
                    best[j - begin] = score;
                    states[j].from = static_cast<std::int32_t>(i);
                }
            };
            // First every step that stays on its arc (no route needed), then the routed steps
            // from the best state down: each route is searched only as far as it could still
            // beat the best way into its state found so far, so the searches stop early.
            sc.order.clear();
            for (std::size_t i = prev_begin; i < begin; ++i) {
                const State& from = states[i];
                if (from.score == -INFINITY) {
                    continue;
                }
                sc.order.push_back(i);
                for (std::size_t j = begin; j < end; ++j) {
                    if (stays_on_arc(from, states[j], backward)) {
                        offer(i, j, std::max(0.0, states[j].position - from.position), 0.0);
                    }
                }
            }
            // Equal scores stay in the states' order; sorted with that order as the tie-break
            // rather than stably, so that no buffer is allocated per layer.
            std::sort(sc.order.begin(), sc.order.end(), [&](std::size_t p, std::size_t q) {
                return states[p].score != states[q].score ? states[p].score > states[q].score
                                                          : p < q;
            });
            // What each state's routes need of its arc is looked up once per layer, not once
            // per pair of states.
            sc.ends.clear();
            sc.heads.clear();
            for (std::size_t j = begin; j < end; ++j) {
                const std::uint32_t tail = net.tail(states[j].arc);
                sc.ends.push_back(net.route_end(tail));
                sc.heads.push_back(
                    MatchScratch::Head{arc_start(net, states[j].arc), tail, net.piece(tail)});
            }
            for (const std::size_t i : sc.order) {
                const State& from = states[i];
                const double lead = net.length(edge_of(from.arc)) - from.position;
                const Point root = arc_end(net, from.arc);
                const RoadNetwork::LandmarkRow start = net.route_start(net.head(from.arc));
                const std::uint32_t piece = net.piece(net.head(from.arc));
                sc.targets.clear();
                sc.wanted.clear();
                for (std::size_t j = begin; j < end; ++j) {
                    const State& to = states[j];
                    const MatchScratch::Head& head = sc.heads[j - begin];
                    if (stays_on_arc(from, to, backward) || head.piece != piece) {
                        continue;
                    }
                    // The longest route into `to` that would beat its best so far.
                    const double slack =
                        (from.score - best[j - begin]) * beta - turn_cost(from, to, uturn);
                    if (!(slack > 0.0)) {
                        continue;
                    }
                    const double need = std::min(limit, straight + slack) - lead - to.position;
                    if (need >= 0.0 && !out_of_reach(root, head.start, need) &&
                        !out_of_reach(RoadNetwork::route_lower_bound(start, sc.ends[j - begin]),
                                      need)) {
                        sc.targets.push_back(RouteTarget{head.tail, need});
                        sc.wanted.push_back(j);
                    }
                }
                if (sc.targets.empty()) {
                    continue;
                }
                const RouteTree& tree =
                    sc.routes.from(net.head(from.arc), limit - lead, sc.targets);
                for (std::size_t k = 0; k < sc.wanted.size(); ++k) {
                    const RouteTree::Reached* r = tree.find(sc.targets[k].node);
                    if (r == nullptr) {
                        continue;
                    }
                    const State& to = states[sc.wanted[k]];
                    const double driven = lead + r->distance + to.position;
                    if (driven <= limit) {
                        offer(i, sc.wanted[k], driven, route_turns(*r, from.arc, to.arc, uturn));
                    }
                }
            }
            start = std::all_of(best.begin(), best.end(), [](double v) { return v == -INFINITY; });
            if (!start) {
                for (std::size_t j = begin; j < end; ++j) {
                    states[j].score += best[j - begin];
                }
            }
        }
        sc.first_state.push_back(begin);
        sc.fix_of.push_back(row);
        sc.starts.push_back(start ? 1 : 0);
        limits.push_back(limit);
    }
    const std::size_t layers = sc.fix_of.size();
    sc.first_state.push_back(states.size());

    // Backward: the best last state of each piece, and the sequence that led there.
    sc.chosen.assign(layers, -1);
    for (std::size_t l = layers; l-- > 0;) {
        if (l + 1 == layers || sc.starts[l + 1]) {
            std::size_t best = sc.first_state[l];
            for (std::size_t j = best + 1; j < sc.first_state[l + 1]; ++j) {
                if (states[j].score > states[best].score) {
                    best = j;
                }
            }
            sc.chosen[l] = static_cast<std::int32_t>(best);
        } else {
            sc.chosen[l] = states[static_cast<std::size_t>(sc.chosen[l + 1])].from;
        }
    }

    std::size_t piece_begin = route.size();
    for (std::size_t l = 0; l < layers; ++l) {
        const State& st = states[static_cast<std::size_t>(sc.chosen[l])];
        const std::size_t row = sc.fix_of[l];
        const MatchScratch::Kept& c = sc.kept[st.candidate];
        out.edge[row] = edge_of(st.arc);
        out.reversed[row] = is_reversed(st.arc);
        out.s[row] = c.s;
        out.d[row] = c.d;
        out.x[row] = c.point.x;
        out.y[row] = c.point.y;
        out.breaks[row] = sc.starts[l] && l > 0;
        if (sc.starts[l]) {
            piece_begin = route.size();
        } else {
            const State& from = states[static_cast<std::size_t>(sc.chosen[l - 1])];
            if (stays_on_arc(from, st, backward)) {
                continue;
            }
            const double lead = net.length(edge_of(from.arc)) - from.position;
            const RouteTarget target{net.tail(st.arc), limits[l] - lead - st.position};
            const RouteTree& tree =
                sc.routes.from(net.head(from.arc), limits[l] - lead, std::span(&target, 1));
            std::vector<Arc>& arcs = route;
            const std::size_t at = arcs.size();
            tree.append_route(net, net.tail(st.arc), arcs);
            // The tree's arcs were appended as they are: merge the first with the piece's last.
            if (at > piece_begin && at < arcs.size() && arcs[at] == arcs[at - 1]) {
                arcs.erase(arcs.begin() + static_cast<std::ptrdiff_t>(at));
            }
        }
        push_arc(route, piece_begin, st.arc);
    }
}

}  // namespace korvane::network
