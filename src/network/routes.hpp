// src/network/routes.hpp: bounded shortest routes from one node to every node near it, kept for
// reuse within a call
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "network/road_network.hpp"

namespace korvane::network {

/// The shortest routes from one node to every node within a bound: each node reached, its
/// distance and the arc it is reached by, found by node through a hash table.
struct RouteTree {
    struct Reached {
        std::uint32_t node;
        Arc via;    ///< the last arc into the node; none for the tree's own node
        Arc first;  ///< the first arc out of the tree's own node; none for that node
        double distance;
    };
    static constexpr Arc none = 0xffffffff;
    std::uint32_t root = 0;
    double bound = -1.0;
    std::vector<Reached> reached;  ///< in the order settled
    /// Where the search stopped, so that a wider one goes on from there: the nodes reached but
    /// not settled (their best so far), and the steps not taken for going past its bound.
    std::vector<Reached> frontier;
    std::vector<Reached> beyond;

    /// Indexes `reached` by node, its entries from `indexed` on (the earlier ones are indexed
    /// already); called once it is filled.
    void index(std::size_t indexed);
    /// The entry of `node`, or nullptr where the tree does not reach it.
    const Reached* find(std::uint32_t node) const noexcept;
    /// The route distance to `node`, or infinity beyond the bound.
    double distance(std::uint32_t node) const noexcept;
    /// Appends the arcs from the root to `node` (which the tree must reach), in driving order.
    void append_route(const RoadNetwork& net, std::uint32_t node, std::vector<Arc>& arcs) const;

private:
    // Open addressing, linear probing, at most half full: 1 + the entry's index, 0 where empty.
    std::vector<std::uint32_t> m_slots;
    unsigned m_shift = 32;
};

/// A node a search is asked for, and the route distance within which it is wanted.
struct RouteTarget {
    std::uint32_t node;
    double need;
};

/// One-to-many searches on a network with a cache of their trees: a tree is searched further,
/// from where it stopped, only when asked for beyond its bound. Not shared between threads.
class RouteSearch {
public:
    explicit RouteSearch(const RoadNetwork& net);
    /// The tree of routes from `node` out to at least `bound` metres. The reference is valid
    /// until the next call.
    const RouteTree& from(std::uint32_t node, double bound);
    /// A tree of routes from `node` that answers each target: it holds the target, or reaches
    /// every node within the target's need (so the target lies farther). The search stops once
    /// every target is answered, and never goes beyond `bound`.
    const RouteTree& from(std::uint32_t node, double bound, std::span<const RouteTarget> targets);
    /// Trees searched and trees answered from the cache, for the benchmark's counts.
    std::pair<std::size_t, std::size_t> counts() const noexcept { return {m_searched, m_reused}; }

private:
    void search(RouteTree& tree, double bound, std::span<const RouteTarget> targets);
    bool answers(const RouteTree& tree, double bound,
                 std::span<const RouteTarget> targets) const noexcept;

    const RoadNetwork& m_net;
    std::vector<double> m_distance;
    std::vector<Arc> m_via;
    std::vector<Arc> m_first;
    std::vector<std::uint32_t> m_stamp;    // the search that last reached each node
    std::vector<std::uint32_t> m_wanted;   // the search for which each node is a target yet
    std::vector<std::uint32_t> m_done;     // the search that last settled each node
    std::vector<std::uint32_t> m_touched;  // the nodes the current search reached
    std::vector<RouteTree::Reached> m_left;
    std::uint32_t m_current = 0;
    std::vector<std::pair<double, std::uint32_t>> m_heap;
    std::unordered_map<std::uint32_t, RouteTree> m_cache;
    std::size_t m_cached_entries = 0;
    std::size_t m_searched = 0;
    std::size_t m_reused = 0;
};

}  // namespace korvane::network
