// src/network/routes.cpp: bounded one-to-many shortest routes (Dijkstra) and their cache
#include "network/routes.hpp"

#include <algorithm>
#include <cmath>
#include <functional>

namespace korvane::network {

namespace {

// The cache is emptied once its trees hold this many nodes (about 32 bytes each with their
// index): a few megabytes a thread, far more than the trees a trace reaches at once.
constexpr std::size_t kMaxCachedEntries = std::size_t{1} << 18;

// The search's queue: a four-ary heap, shallower than a binary one, so that a pop compares
// children side by side in one cache line rather than walking twice as many levels. Entries
// are ordered by distance, then node: a total order, so the nodes come out as from any heap.
using Queued = std::pair<double, std::uint32_t>;

bool before(const Queued& a, const Queued& b) noexcept {
    return a.first < b.first || (a.first == b.first && a.second < b.second);
}

void heap_push(std::vector<Queued>& heap, Queued q) {
    std::size_t at = heap.size();
    heap.push_back(q);
    while (at > 0) {
        const std::size_t parent = (at - 1) / 4;
        if (!before(q, heap[parent])) {
            break;
        }
        heap[at] = heap[parent];
        at = parent;
    }
    heap[at] = q;
}

Queued heap_pop(std::vector<Queued>& heap) {
    const Queued top = heap.front();
    const Queued last = heap.back();
    heap.pop_back();
    const std::size_t n = heap.size();
    if (n == 0) {
        return top;
    }
    std::size_t at = 0;
    for (;;) {
        const std::size_t first = 4 * at + 1;
        if (first >= n) {
            break;
        }
        std::size_t least = first;
        for (std::size_t c = first + 1; c < std::min(first + 4, n); ++c) {
            if (before(heap[c], heap[least])) {
                least = c;
            }
        }
        if (!before(heap[least], last)) {
            break;
        }
        heap[at] = heap[least];
        at = least;
    }
    heap[at] = last;
    return top;
}

}  // namespace

void RouteTree::index(std::size_t indexed) {
    if (m_slots.size() < 2 * reached.size()) {
        std::size_t size = 4;
        unsigned bits = 2;
        while (size < 2 * reached.size()) {
            size *= 2;
            ++bits;
        }
        m_slots.assign(size, 0);
        m_shift = 32 - bits;
        indexed = 0;
    }
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t i = indexed; i < reached.size(); ++i) {
        std::size_t at = (reached[i].node * 2654435769u) >> m_shift;
        while (m_slots[at] != 0) {
            at = (at + 1) & mask;
        }
        m_slots[at] = static_cast<std::uint32_t>(i + 1);
    }
}

const RouteTree::Reached* RouteTree::find(std::uint32_t node) const noexcept {
    if (m_slots.empty()) {
        return nullptr;
    }
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t at = (node * 2654435769u) >> m_shift;; at = (at + 1) & mask) {
        const std::uint32_t slot = m_slots[at];
        if (slot == 0) {
            return nullptr;
        }
        if (reached[slot - 1].node == node) {
            return &reached[slot - 1];
        }
    }
}

double RouteTree::distance(std::uint32_t node) const noexcept {
    const Reached* r = find(node);
    return r != nullptr ? r->distance : INFINITY;
}

void RouteTree::append_route(const RoadNetwork& net, std::uint32_t node,
                             std::vector<Arc>& arcs) const {
    const std::size_t first = arcs.size();
    for (;;) {
        const Reached* r = find(node);
        if (r == nullptr || r->via == none) {
            break;
        }
        arcs.push_back(r->via);
        node = net.tail(r->via);
    }
    std::reverse(arcs.begin() + static_cast<std::ptrdiff_t>(first), arcs.end());
}

RouteSearch::RouteSearch(const RoadNetwork& net)
    : m_net(net),
      m_distance(net.nodes()),
      m_via(net.nodes()),
      m_first(net.nodes()),
      m_stamp(net.nodes(), 0),
      m_wanted(net.nodes(), 0),
      m_done(net.nodes(), 0) {}

const RouteTree& RouteSearch::from(std::uint32_t node, double bound) {
    return from(node, bound, {});
}

bool RouteSearch::answers(const RouteTree& tree, double bound,
                          std::span<const RouteTarget> targets) const noexcept {
    if (tree.bound >= bound) {
        return true;
    }
    if (targets.empty()) {
        return false;
    }
    for (const RouteTarget& t : targets) {
        if (t.need > tree.bound && tree.distance(t.node) == INFINITY) {
            return false;
        }
    }
    return true;
}

const RouteTree& RouteSearch::from(std::uint32_t node, double bound,
                                   std::span<const RouteTarget> targets) {
    auto it = m_cache.find(node);
    if (it != m_cache.end() && answers(it->second, bound, targets)) {
        ++m_reused;
        return it->second;
    }
    if (it == m_cache.end()) {
        if (m_cached_entries > kMaxCachedEntries) {
            m_cache.clear();
            m_cached_entries = 0;
        }
        it = m_cache.emplace(node, RouteTree{}).first;
        it->second.root = node;
    }
    RouteTree& tree = it->second;
    m_cached_entries -= tree.reached.size() + tree.frontier.size() + tree.beyond.size();
    // Asked again beyond its bound, a tree is searched twice as far, so that a trace whose steps
    // grow costs a few searches per node, not one per step.
    search(tree, std::max(bound, 2.0 * tree.bound), targets);
    m_cached_entries += tree.reached.size() + tree.frontier.size() + tree.beyond.size();
    ++m_searched;
    return tree;
}

void RouteSearch::search(RouteTree& tree, double bound, std::span<const RouteTarget> targets) {
    if (++m_current == 0) {
        std::fill(m_stamp.begin(), m_stamp.end(), 0);
        std::fill(m_wanted.begin(), m_wanted.end(), 0);
        std::fill(m_done.begin(), m_done.end(), 0);
        m_current = 1;
    }
    m_heap.clear();
    m_touched.clear();
    const auto reach = [&](std::uint32_t v, Arc via, Arc first, double distance) {
        if (m_stamp[v] != m_current) {
            m_stamp[v] = m_current;
            m_touched.push_back(v);
        }
        m_distance[v] = distance;
        m_via[v] = via;
        m_first[v] = first;
        heap_push(m_heap, Queued{distance, v});
    };
    const bool resumes = tree.bound >= 0.0;
    // Whether the tree settled v before this search: looked up once, when the search first
    // meets v, not marked for every node a resumed tree holds (most it never meets again).
    const auto settled_before = [&](std::uint32_t v) {
        const RouteTree::Reached* r = resumes ? tree.find(v) : nullptr;
        if (r == nullptr) {
            return false;
        }
        m_stamp[v] = m_done[v] = m_current;
        m_distance[v] = r->distance;
        return true;
    };
    const std::size_t settled = resumes ? tree.reached.size() : 0;
    if (!resumes) {
        tree.reached.clear();
        tree.beyond.clear();
        reach(tree.root, RouteTree::none, RouteTree::none, 0.0);
    } else {
        // A search asked for beyond where it stopped goes on from there: the nodes it settled
        // are settled alike (nodes settle in the order of their distances), its frontier as
        // far as the new bound is queued, and the steps it left past its bound are taken again
        // in the order it left them, so that the tree is the one a new search would give.
        // What lies past the new bound stays left for a wider search yet, the frontier first
        // (it is nearer than every step left before).
        m_left.clear();
        for (const RouteTree::Reached& r : tree.frontier) {
            if (r.distance <= bound) {
                reach(r.node, r.via, r.first, r.distance);
            } else {
                m_left.push_back(r);
            }
        }
        for (const RouteTree::Reached& r : tree.beyond) {
            if (r.distance > bound) {
                m_left.push_back(r);
            } else if (m_stamp[r.node] == m_current ? r.distance < m_distance[r.node]
                                                    : !settled_before(r.node)) {
                reach(r.node, r.via, r.first, r.distance);
            }
        }
        std::swap(tree.beyond, m_left);
    }
    tree.frontier.clear();
    // The farthest need of the targets not yet settled: once the search passes it, every
    // target is answered, and the tree is complete up to just below that distance.
    std::size_t waiting = 0;
    double farthest = -INFINITY;
    for (const RouteTarget& t : targets) {
        if (t.need < 0.0 || m_done[t.node] == m_current ||
            (m_stamp[t.node] != m_current && settled_before(t.node))) {
            continue;
        }
        if (m_wanted[t.node] != m_current) {
            m_wanted[t.node] = m_current;
            ++waiting;
        }
        farthest = std::max(farthest, std::min(t.need, bound));
    }
    const bool stops_early = !targets.empty();
    double complete = bound;
    while (!m_heap.empty()) {
        const auto [distance, u] = heap_pop(m_heap);
        if (distance > m_distance[u]) {
            continue;  // reached again more closely since
        }
        if (distance > bound) {
            break;
        }
        if (stops_early && (waiting == 0 || distance > farthest)) {
            complete = std::nextafter(distance, 0.0);
            break;
        }
        // A node is settled once: its first pop at its final distance.
        tree.reached.push_back(RouteTree::Reached{u, m_via[u], m_first[u], distance});
        m_done[u] = m_current;
        if (m_wanted[u] == m_current) {
            m_wanted[u] = 0;
            if (--waiting > 0) {
                farthest = -INFINITY;
                for (const RouteTarget& t : targets) {
                    if (t.need >= 0.0 && m_wanted[t.node] == m_current) {
                        farthest = std::max(farthest, std::min(t.need, bound));
                    }
                }
            }
        }
        const Arc first = m_first[u];
        for (const Step& step : m_net.steps(u)) {
            const Arc leaves = first == RouteTree::none ? step.arc : first;
            const double through = distance + step.length;
            const std::uint32_t v = step.head;
            if (m_stamp[v] == m_current ? through >= m_distance[v] : settled_before(v)) {
                continue;
            }
            if (through <= bound) {
                reach(v, step.arc, leaves, through);
            } else {
                tree.beyond.push_back(RouteTree::Reached{v, step.arc, leaves, through});
            }
        }
    }
    for (const std::uint32_t v : m_touched) {
        if (m_done[v] != m_current) {
            tree.frontier.push_back(RouteTree::Reached{v, m_via[v], m_first[v], m_distance[v]});
        }
    }
    tree.index(settled);
    tree.bound = complete;
}

}  // namespace korvane::network
