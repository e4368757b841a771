// tests/cpp/network/test_match.cpp: the road network, its candidates, routes and matching
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "network/candidates.hpp"
#include "network/match.hpp"
#include "network/road_network.hpp"
#include "network/routes.hpp"

namespace korvane::network {
namespace {

// Columns of a network under construction, edges added one by one.
struct Columns {
    std::vector<Point> points;
    std::vector<std::int64_t> offsets{0};
    std::vector<std::int64_t> source;
    std::vector<std::int64_t> target;
    std::vector<std::uint8_t> two_way;

    void add(std::int64_t from, std::int64_t to, std::vector<Point> geometry, bool both = true) {
        points.insert(points.end(), geometry.begin(), geometry.end());
        offsets.push_back(static_cast<std::int64_t>(points.size()));
        source.push_back(from);
        target.push_back(to);
        two_way.push_back(both ? 1 : 0);
    }
    NetworkColumns view() const { return {points, offsets, source, target, two_way}; }
    RoadNetwork build() const { return RoadNetwork::build(view()).value(); }
};

// A grid of n by n nodes `step` apart, node ids far from dense, every street two-way and bent
// a little in its middle.
Columns grid(int n, double step) {
    Columns c;
    const auto id = [&](int i, int j) { return std::int64_t{1} << 40 | (i * 1000 + j); };
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            const Point p{i * step, j * step};
            if (i + 1 < n) {
                c.add(id(i, j), id(i + 1, j), {p, {p.x + step / 2, p.y + 1.0}, {p.x + step, p.y}});
            }
            if (j + 1 < n) {
                c.add(id(i, j), id(i, j + 1), {p, {p.x, p.y + step}});
            }
        }
    }
    return c;
}

TEST(RoadNetwork, RefusesEachMistakeByName) {
    Columns c;
    c.add(1, 2, {{0, 0}, {1, 0}});
    const auto message = [](Columns bad) {
        const auto result = RoadNetwork::build(bad.view());
        return result.ok() ? std::string("ok") : result.error().message;
    };
    Columns short_edge = c;
    short_edge.add(2, 3, {{1, 0}});
    EXPECT_NE(message(short_edge).find("edge 1 has fewer than 2 points"), std::string::npos);
    Columns nan = c;
    nan.points[1].y = NAN;
    EXPECT_NE(message(nan).find("points must be finite (point 1"), std::string::npos);
    Columns lengths = c;
    lengths.target.push_back(4);
    EXPECT_NE(message(lengths).find("source and target"), std::string::npos);
    Columns offsets = c;
    offsets.offsets[1] = 5;
    EXPECT_NE(message(offsets).find("offsets[1] is 5"), std::string::npos);
    EXPECT_EQ(message(c), "ok");
}

TEST(RoadNetwork, GraphOnDenseNodes) {
    const RoadNetwork net = grid(3, 100.0).build();
    EXPECT_EQ(net.nodes(), 9u);
    EXPECT_EQ(net.edges(), 12u);
    std::size_t arcs = 0;
    for (std::uint32_t u = 0; u < net.nodes(); ++u) {
        for (const Step& s : net.steps(u)) {
            EXPECT_EQ(net.tail(s.arc), u);
            EXPECT_EQ(net.head(s.arc), s.head);
            ++arcs;
        }
    }
    EXPECT_EQ(arcs, 24u);
    EXPECT_LE(net.bytes(), 10 * (net.points().size() * 16 + net.edges() * 25));
}

TEST(Candidates, EqualTheScanEverywhere) {
    const Columns c = grid(12, 37.0);
    const RoadNetwork net = c.build();
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> at(-30.0, 440.0);
    std::vector<Candidate> out;
    std::vector<NearFoot> scratch;
    for (int q = 0; q < 2000; ++q) {
        const Point fix{at(random), at(random)};
        // On a grid corner many edges tie: the order among them must be the scan's too.
        const Point query = q % 10 == 0 ? Point{37.0 * (q % 12), 37.0 * (q % 7)} : fix;
        const double radius = 5.0 + (q % 6) * 12.0;
        const std::size_t k = 1 + q % 9;
        candidates(net, query, radius, k, out, scratch);
        const auto expected = candidates_scan(net, query, radius, k);
        ASSERT_EQ(out.size(), expected.size());
        for (std::size_t i = 0; i < out.size(); ++i) {
            EXPECT_EQ(out[i].edge, expected[i].edge);
            EXPECT_EQ(out[i].s, expected[i].s);
            EXPECT_EQ(out[i].d, expected[i].d);
            EXPECT_LE(out[i].distance, radius);
        }
    }
}

TEST(Routes, ShortestWithinTheBoundAndRebuilt) {
    const RoadNetwork net = grid(5, 100.0).build();
    RouteSearch search(net);
    const std::uint32_t corner = net.tail(0);
    const RouteTree& near = search.from(corner, 250.0);
    for (const auto& r : near.reached) {
        EXPECT_LE(r.distance, 250.0);
        std::vector<Arc> arcs;
        near.append_route(net, r.node, arcs);
        double length = 0.0;
        std::uint32_t at = corner;
        for (const Arc a : arcs) {
            EXPECT_EQ(net.tail(a), at);
            at = net.head(a);
            length += net.length(edge_of(a));
        }
        EXPECT_EQ(at, r.node);
        EXPECT_DOUBLE_EQ(length, r.distance);
    }
    // Asked again within the bound, the cached tree answers.
    search.from(corner, 100.0);
    EXPECT_EQ(search.counts().first, 1u);
    EXPECT_EQ(search.counts().second, 1u);
    // Searched for targets, a tree stops once it has them, and answers a farther target again
    // exactly as the full search does: from the cache, or by searching on.
    RouteSearch targeted(net);
    const RouteTarget next{net.head(0), 250.0};
    const RouteTree& stopped = targeted.from(corner, 250.0, std::span(&next, 1));
    EXPECT_LT(stopped.reached.size(), near.reached.size());
    EXPECT_EQ(stopped.distance(next.node), near.distance(next.node));
    for (const auto& r : near.reached) {
        const RouteTarget far{r.node, 250.0};
        EXPECT_EQ(targeted.from(corner, 250.0, std::span(&far, 1)).distance(r.node), r.distance);
    }
    // The landmarks' bound never exceeds a route, one-way streets and unreachable nodes too.
    Columns some_one_way = grid(6, 70.0);
    for (std::size_t e = 0; e < some_one_way.two_way.size(); e += 3) {
        some_one_way.two_way[e] = 0;
    }
    const RoadNetwork directed = some_one_way.build();
    RouteSearch full(directed);
    for (std::uint32_t u = 0; u < directed.nodes(); ++u) {
        const RouteTree& all = full.from(u, INFINITY);
        for (std::uint32_t v = 0; v < directed.nodes(); ++v) {
            EXPECT_LE(directed.route_lower_bound(u, v), all.distance(v));
        }
    }
    // Searched on from where it stopped, a tree settles as one search does, ties and all.
    const RouteTree& on = targeted.from(corner, 250.0);
    ASSERT_GE(on.reached.size(), near.reached.size());
    for (std::size_t i = 0; i < near.reached.size(); ++i) {
        EXPECT_EQ(on.reached[i].node, near.reached[i].node);
        EXPECT_EQ(on.reached[i].via, near.reached[i].via);
    }
}

struct Matched {
    std::vector<std::int64_t> edge;
    std::unique_ptr<bool[]> reversed, breaks;
    std::vector<double> s, d, x, y;
    std::vector<Arc> route;
};

Matched run(const RoadNetwork& net, const std::vector<Point>& fixes, double sigma = 5.0) {
    Matched m;
    const std::size_t n = fixes.size();
    m.edge.resize(n);
    m.reversed = std::make_unique<bool[]>(n);
    m.breaks = std::make_unique<bool[]>(n);
    m.s.resize(n);
    m.d.resize(n);
    m.x.resize(n);
    m.y.resize(n);
    MatchScratch scratch(net);
    const MatchOptions options{sigma, NAN, 4 * sigma, 8, 5.0};
    match_trace(net, fixes, options, scratch,
                FixColumns{m.edge.data(), m.reversed.get(), m.s.data(), m.d.data(), m.x.data(),
                           m.y.data(), m.breaks.get()},
                m.route);
    return m;
}

TEST(Match, NoisyDriveAlongAStreetStaysOnItsRoute) {
    const RoadNetwork net = grid(6, 100.0).build();
    // Along y = 200 from x = 10 to 490, every 10 m, with alternating noise that steps backwards.
    std::vector<Point> fixes;
    for (int i = 0; i < 49; ++i) {
        fixes.push_back({10.0 + 10 * i + (i % 2 ? -7.0 : 7.0), 200.0 + (i % 3 - 1) * 4.0});
    }
    fixes.push_back({NAN, 0.0});  // unmatched, no break
    const Matched m = run(net, fixes);
    EXPECT_EQ(m.edge.back(), -1);
    EXPECT_TRUE(std::isnan(m.s.back()));
    for (std::size_t i = 0; i + 1 < fixes.size(); ++i) {
        EXPECT_NEAR(m.y[i], 200.0, 1.5) << i;
        EXPECT_FALSE(m.breaks[i]);
    }
    // Five edges along the street, driven once each without a U-turn, connected node to node.
    ASSERT_EQ(m.route.size(), 5u);
    for (std::size_t i = 0; i + 1 < m.route.size(); ++i) {
        EXPECT_EQ(net.head(m.route[i]), net.tail(m.route[i + 1]));
    }
}

TEST(Match, BreaksWhereNoRouteIsPlausible) {
    Columns c;
    c.add(1, 2, {{0, 0}, {100, 0}});
    c.add(3, 4, {{0, 30}, {100, 30}});  // not connected to the first
    const RoadNetwork net = c.build();
    const Matched m = run(net, {{10, 1}, {20, 1}, {30, 29}, {40, 29}}, 3.0);
    EXPECT_EQ(m.edge, (std::vector<std::int64_t>{0, 0, 1, 1}));
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(m.breaks[i], i == 2) << i;
    }
    EXPECT_EQ(m.route, (std::vector<Arc>{0, 2}));
}

}  // namespace
}  // namespace korvane::network
