// src/path2d/nearest_batch.cpp: the nearest clamped feet of many queries, in spatial order
//
// The search, step by step:
//  1. Reach (batch_reach, the caller's first call): a sample of the queries, each searched
//     alone, gives the distance within which most queries find their nearest foot.
//  2. Order (spatial_order): each finite query gets a key, its cell `reach` wide numbered along
//     a Z curve above its row (OrderKey), and the keys are sorted in radix passes over the cell,
//     in the memory the caller lends, each pass in parts that threads may share. Where queries
//     spread thinly over few such cells, the cells are cut into finer ones for the order alone.
//  3. Blocks (search_batch): the queries of one block of 8 x 8 cells, up to 256 in sorted
//     order, share one walk down the index's tree, which gathers the leaves within reach of
//     them all; the queries of one cell are a run.
//  4. Runs (block_feet): a run's leaves are those of its block's walk within reach of the run's
//     box, laid out in columns; a run near more than 64 leaves is searched query by query.
//  5. Queries (block_feet): each query opens its run's leaves nearest first until the nearest
//     left lies beyond the best foot found (nearest_feet_in). A query whose best foot lies
//     beyond reach is searched alone, as its nearest foot may lie in a leaf not gathered.
//  6. Answers: each block's feet go to the caller, who writes its rows.
// Each query starts its search alone from the segment found for the query before it.
#include "path2d/nearest_batch.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "path2d/segment_kernels.hpp"

namespace korvane {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
using Box = SegmentIndex::Box;

// The most leaves a run gathers; a run near more is searched query by query.
constexpr std::size_t run_leaves = LeafColumns::capacity;
// The most queries of a block.
constexpr std::size_t block_queries = 256;
// The most boxes a block's queries searched one by one start from.
constexpr std::size_t frontier_nodes = 16;

// A query's key in the spatial order: the Z-curve number of its cell above its row, so that
// sorted keys go cell by cell and, within a cell, in row order. The cell of the order may be a
// fine one, a run's cell cut into 4^f: the run's cell is then its number without the lowest
// 2f bits (fine_bits), as a Z curve numbers the quarters of a square after one another. A block
// of 8 x 8 cells is a run's cell number without its lowest 6 bits.
struct OrderKey {
    static constexpr int row_bits = 32;
    static constexpr int block_bits = 6;
    static std::uint64_t of(std::uint32_t cell, std::size_t row) noexcept {
        return std::uint64_t{cell} << row_bits | row;
    }
    static std::size_t row(std::uint64_t key) noexcept {
        return static_cast<std::size_t>(key & 0xffffffffu);
    }
    static std::uint64_t cell(std::uint64_t key, int fine_bits) noexcept {
        return key >> (row_bits + fine_bits);
    }
    static std::uint64_t block(std::uint64_t key, int fine_bits) noexcept {
        return key >> (row_bits + fine_bits + block_bits);
    }
};

// Interleaves the bits of two 16-bit numbers: cells close in the plane get close numbers.
std::uint32_t morton(std::uint32_t x, std::uint32_t y) noexcept {
    const auto spread = [](std::uint32_t v) {
        v = (v | (v << 8)) & 0x00ff00ffu;
        v = (v | (v << 4)) & 0x0f0f0f0fu;
        v = (v | (v << 2)) & 0x33333333u;
        return (v | (v << 1)) & 0x55555555u;
    };
    return spread(x) | (spread(y) << 1);
}

// Keys in lent memory of any type, read and written as bytes: each a plain 8-byte load or store.
class KeyColumn {
public:
    explicit KeyColumn(std::span<std::byte> memory) noexcept : m_bytes(memory.data()) {}
    std::uint64_t operator[](std::size_t j) const noexcept {
        std::uint64_t key;
        std::memcpy(&key, m_bytes + j * sizeof key, sizeof key);
        return key;
    }
    void set(std::size_t j, std::uint64_t key) noexcept {
        std::memcpy(m_bytes + j * sizeof key, &key, sizeof key);
    }

private:
    std::byte* m_bytes;
};

// The leaves within `reach` of the square `reach` wide around `centre`, a run's cell, as
// leaves_near gives them; more than run_leaves, and a run of queries there would be searched
// one by one.
std::size_t cell_leaves(const SegmentIndex& index, Point centre, double reach,
                        std::span<std::size_t, run_leaves> leaves) {
    const double half = reach / 2.0;
    const Box region{centre.x - half, centre.y - half, centre.x + half, centre.y + half};
    return index.leaves_near(region, reach * reach, leaves);
}

bool crowded(const SegmentIndex& index, Point centre, double reach) {
    std::size_t leaves[run_leaves];
    return cell_leaves(index, centre, reach, leaves) > run_leaves;
}

// Twice the distance within which 7 in 8 of the `found` distances lie (reordered); found > 0.
double twice_the_quantile(double* distances, std::size_t found) {
    double* quantile = distances + found * 7 / 8;
    std::nth_element(distances, quantile, distances + found);
    return 2.0 * *quantile;
}

// The radix sort's digits: at most 13 bits, so that 8192 counters stay in the first-level
// cache, and as wide as the fewest passes over the cell's bits allow: a cell of 24 bits takes
// two passes of 12 rather than three of 11, 11 and 2 (a pass reads and writes every key).
constexpr int most_digit_bits = 13;

// The digit of `key` at `shift`, its width's mask `mask`.
std::size_t digit(std::uint64_t key, int shift, std::uint64_t mask) noexcept {
    return static_cast<std::size_t>((key >> shift) & mask);
}

// The keys of the finite queries of the rows [begin, end) into keys[begin, ...), their first
// digits (of mask `mask`) counted in count[mask + 1]; returns how many. Arguments by value: the stores through
// bytes would otherwise reload whatever the loop reads by reference.
template <class CellOf>
std::size_t keys_of(PointView queries, std::size_t begin, std::size_t end, CellOf cell_of,
                    KeyColumn keys, std::uint64_t mask, std::uint32_t* count) {
    std::fill(count, count + mask + 1, 0);
    std::size_t j = begin;
    for (std::size_t k = begin; k < end; ++k) {
        const Point q = queries[k];
        if (std::isfinite(q.x) && std::isfinite(q.y)) {
            const std::uint64_t key = OrderKey::of(cell_of(q), k);
            keys.set(j++, key);
            ++count[digit(key, OrderKey::row_bits, mask)];
        }
    }
    return j - begin;
}

// The digits at `shift` of keys[begin, end) counted in count[mask + 1].
void count_digits(KeyColumn keys, std::size_t begin, std::size_t end, int shift, std::uint64_t mask,
                  std::uint32_t* count) noexcept {
    std::fill(count, count + mask + 1, 0);
    for (std::size_t j = begin; j < end; ++j) {
        ++count[digit(keys[j], shift, mask)];
    }
}

// keys[begin, end) written into `sorted` at the positions of their digits at `shift`.
void scatter(KeyColumn keys, std::size_t begin, std::size_t end, int shift, std::uint64_t mask,
             std::uint32_t* position, KeyColumn sorted) noexcept {
    for (std::size_t j = begin; j < end; ++j) {
        const std::uint64_t key = keys[j];
        sorted.set(position[digit(key, shift, mask)]++, key);
    }
}

// Step 2: the keys of the finite queries, sorted, in `into`, how many (none when `run` stopped)
// and the fine bits of their cells; `spare` is written over. Cells are `cell` wide, or wider
// where 2^16 of them would not span the queries.
std::optional<BatchOrder> spatial_order(const PointView& queries, const Box& bounds, double cell,
                                        KeyColumn into, KeyColumn spare, const RunParts& run) {
    const auto [x_low, y_low, x_high, y_high] = bounds;
    // A span that overflows, or a cell that underflows, leaves one cell per axis.
    const double span = std::max(x_high - x_low, y_high - y_low);
    const double cells = std::min(65535.0, span / cell);
    const double coarse = cells > 0.0 && span > 0.0 && span < INFINITY ? cells / span : 0.0;
    // Queries far from the path take a wide reach, and its cells hold thousands of them, each
    // then searched alone: in row order within a cell, a block's 256 lie anywhere in it, and
    // each search starts from a foot far from its own. Cells cut into quarters, f times over,
    // while the queries would still number about four a fine cell spread evenly, put a block's
    // queries close together and leave the runs as they were (1e5 fixes uniform over the box of a
    // 1e6-point route, its cells 7 km wide: 75 against 58 ms; near fixes keep f = 0). The scale
    // times a power of two is exact, so a fine cell lies inside its run's cell.
    int fine = 0;
    if (coarse > 0.0) {
        const double occupied = (std::floor((x_high - x_low) * coarse) + 1.0) *
                                (std::floor((y_high - y_low) * coarse) + 1.0);
        const auto m = static_cast<double>(queries.size());
        while (fine < 15 && std::ldexp(cells, fine + 1) <= 65535.0 &&
               std::ldexp(occupied, 2 * fine + 4) <= m && std::ldexp(coarse, fine + 1) < INFINITY) {
            ++fine;
        }
    }
    const double scale = std::ldexp(coarse, fine);
    // Products of a finite span and its own scale stay within [0, 65535] but for rounding; the
    // clamp keeps the cast defined. The number grows with each coordinate, so the corner at the
    // highest ones bounds every key, and with it the passes of the sort.
    const auto cell_of = [=](Point q) {
        const double cx = std::min(65535.0, std::max(0.0, (q.x - x_low) * scale));
        const double cy = std::min(65535.0, std::max(0.0, (q.y - y_low) * scale));
        return morton(static_cast<std::uint32_t>(cx), static_cast<std::uint32_t>(cy));
    };
    // Stable passes of a digit over the cell, as many as it has: the rows are in order already.
    // A small batch is sorted whole instead: a pass's thousands of counters, cleared and summed, cost
    // more than sorting a few hundred keys (100 fixes: the sums took a tenth of the call), and
    // they push a long route's boxes out of the caches (300 fixes on a 1e6-point route: 79
    // against 84 us a call; 500: 131 against 137; on 1e4 points the same). From about a
    // thousand keys the passes cost less (4,000 on 1e4 points: 363 against 462 us). Keys
    // differ in their rows, so the order is the same.
    constexpr std::size_t sorted_whole = 512;
    const std::size_t m = queries.size();
    if (m <= sorted_whole) {
        // On the heap past a few hundred: Python lets a thread have 32 KiB of stack.
        constexpr std::size_t on_stack = 256;
        std::uint64_t stacked[on_stack];
        std::vector<std::uint64_t> heaped(m > on_stack ? m : 0);
        std::uint64_t* const small = m > on_stack ? heaped.data() : stacked;
        std::size_t finite = 0;
        for (std::size_t k = 0; k < m; ++k) {
            const Point q = queries[k];
            if (std::isfinite(q.x) && std::isfinite(q.y)) {
                small[finite++] = OrderKey::of(cell_of(q), k);
            }
        }
        std::sort(small, small + finite);
        for (std::size_t j = 0; j < finite; ++j) {
            into.set(j, small[j]);
        }
        return BatchOrder{finite, cell, 2 * fine};
    }
    // Each pass is cut into parts of consecutive keys, which `run` may share among threads: a
    // part counts its own digits, and the write positions go digit by digit, each digit's part
    // by part, so that the pass stays stable. In one thread the order had taken a sixth of a
    // call's time, and two workers 0.6 of one's (1e6 fixes on a 1e6-point route). The first
    // pass reads each part's keys where the part built them, gaps left by the queries without
    // keys between; so even one cell takes a pass, which closes them. The keys start where the
    // number of passes leaves them in `into`.
    constexpr std::size_t part_keys = std::size_t{1} << 16;
    const int cell_bits = std::bit_width(cell_of(Point{x_high, y_high}));
    const int passes = std::max(1, (cell_bits + most_digit_bits - 1) / most_digit_bits);
    const int digit_bits = (cell_bits + passes - 1) / passes;
    const std::uint64_t mask = (std::uint64_t{1} << digit_bits) - 1;
    const std::size_t digits = mask + 1;
    KeyColumn keys = passes % 2 == 0 ? into : spare;
    KeyColumn sorted = passes % 2 == 0 ? spare : into;
    const std::size_t parts = (m - 1) / part_keys + 1;
    // Counts, then write positions, part by part; at most batch_max_queries keys.
    std::vector<std::uint32_t> positions(parts * digits);
    std::vector<std::size_t> built(parts);
    if (!run(parts, [&](std::size_t part) {
            const std::size_t begin = part * part_keys;
            built[part] = keys_of(queries, begin, std::min(m, begin + part_keys), cell_of, keys,
                                  mask, &positions[part * digits]);
        })) {
        return std::nullopt;
    }
    std::size_t finite = 0;
    for (const std::size_t b : built) {
        finite += b;
    }
    for (int pass = 0; pass < passes; ++pass) {
        const int shift = OrderKey::row_bits + digit_bits * pass;
        const std::size_t pass_parts = pass == 0 ? parts : (finite + part_keys - 1) / part_keys;
        const auto range = [&](std::size_t part) {
            const std::size_t begin = part * part_keys;
            return std::pair(begin,
                             pass == 0 ? begin + built[part] : std::min(finite, begin + part_keys));
        };
        if (pass > 0 && !run(pass_parts, [&](std::size_t part) {
                const auto [begin, end] = range(part);
                count_digits(keys, begin, end, shift, mask, &positions[part * digits]);
            })) {
            return std::nullopt;
        }
        std::uint32_t total = 0;
        for (std::size_t d = 0; d < digits; ++d) {
            for (std::size_t part = 0; part < pass_parts; ++part) {
                total += std::exchange(positions[part * digits + d], total);
            }
        }
        if (!run(pass_parts, [&](std::size_t part) {
                const auto [begin, end] = range(part);
                scatter(keys, begin, end, shift, mask, &positions[part * digits], sorted);
            })) {
            return std::nullopt;
        }
        std::swap(keys, sorted);
    }
    return BatchOrder{finite, cell, 2 * fine};
}

// The box around the finite points among `queries`.
Box bounds_of(std::span<const Point> queries) noexcept {
    PointBounds bounds;
    for (const Point q : queries) {
        if (std::isfinite(q.x) && std::isfinite(q.y)) {
            bounds.add(q);
        }
    }
    return bounds.box;
}

// The places of `queries` (finite, at most block_queries of them) in the Z order of a grid of
// 2^16 x 2^16 cells over their box, each place in the low bits of its key.
void fine_order(std::span<const Point> queries, std::uint64_t* keys) {
    static_assert((block_queries & (block_queries - 1)) == 0);
    const auto [x_low, y_low, x_high, y_high] = bounds_of(queries);
    const double span = std::max(x_high - x_low, y_high - y_low);
    const double scale = span > 0.0 && span < INFINITY ? 65535.0 / span : 0.0;
    for (std::size_t k = 0; k < queries.size(); ++k) {
        const double cx = std::min(65535.0, std::max(0.0, (queries[k].x - x_low) * scale));
        const double cy = std::min(65535.0, std::max(0.0, (queries[k].y - y_low) * scale));
        keys[k] =
            std::uint64_t{morton(static_cast<std::uint32_t>(cx), static_cast<std::uint32_t>(cy))} *
                block_queries +
            k;
    }
    std::sort(keys, keys + queries.size());
}

// The leaves `leaves` of the index in columns.
void fill_columns(const SegmentIndex& index, std::size_t segments,
                  std::span<const std::size_t> leaves, LeafColumns& columns) noexcept {
    columns.count = leaves.size();
    for (std::size_t j = 0; j < leaves.size(); ++j) {
        const Box& b = index.leaf_box(leaves[j]);
        columns.x_low[j] = b.x_low;
        columns.y_low[j] = b.y_low;
        columns.x_high[j] = b.x_high;
        columns.y_high[j] = b.y_high;
        columns.begin[j] = std::min(leaves[j] * SegmentIndex::leaf_segments, segments);
        columns.end[j] = std::min(columns.begin[j] + SegmentIndex::leaf_segments, segments);
    }
}

// Steps 3 to 5 for one block: the nearest clamped foot of each of `queries` into out, the
// queries in runs of the lengths `runs` holds, each a box about `reach` wide. Searches alone
// start from the segment found for the query before, the first from `hint`.
void block_feet(const SegmentIndex& index, const PointView& points, std::span<const Point> queries,
                std::span<const std::size_t> runs, double reach, std::optional<std::size_t> hint,
                std::optional<ClampedFoot>* out) {
    const std::size_t segments = points.size() < 2 ? 0 : points.size() - 1;
    const double limit = reach * reach;
    // Searched alone in a Z order of their own box, finer than the cells: within a cell the
    // queries come in row order, so each search would start from a foot anywhere in the cell
    // and read boxes and points far from the last (1e5 fixes sigma 200 m on a 1e6-point route,
    // whose cells are about 800 m wide: 1.6-2.5 against 2.3-4.3 us a fix).
    // And from the boxes near them all, where the foot on the hint lies within reach: far
    // from the path each search alone would open the same few boxes of each upper level first
    // (1e5 fixes sigma 200 m on a 1e6-point route: 3.4k against 4.4k instructions, 56 against
    // 59 ms; a frontier of 8 or 32 boxes had saved less, 64 nothing).
    const auto one_by_one = [&](std::span<const Point> some, std::optional<ClampedFoot>* into) {
        std::uint64_t order[block_queries];
        fine_order(some, order);
        std::size_t nodes[frontier_nodes];
        const std::size_t count =
            limit < infinity ? index.frontier(bounds_of(some), limit, nodes) : 0;
        for (std::size_t j = 0; j < some.size(); ++j) {
            const std::size_t k = order[j] & (block_queries - 1);
            into[k] = index.nearest_clamped(points, some[k], hint, {nodes, count}, limit);
            hint = into[k] ? std::optional<std::size_t>(into[k]->index) : hint;
        }
    };
    if (!(limit < infinity)) {
        return one_by_one(queries, out);
    }
    // Step 3: one walk down the tree for all runs; the leaves near each run are among these.
    constexpr std::size_t max_shared = 256;
    std::size_t shared[max_shared];
    const std::size_t shared_count =
        runs.size() > 1 ? index.leaves_near(bounds_of(queries), limit, shared) : max_shared + 1;
    std::size_t first = 0;
    for (const std::size_t run : runs) {
        const std::span<const Point> near = queries.subspan(first, run);
        std::optional<ClampedFoot>* near_out = out + first;
        first += run;
        // Step 4: the run's leaves.
        const Box region = bounds_of(near);
        std::size_t leaves[run_leaves];
        std::size_t found = 0;
        if (shared_count <= max_shared) {
            for (std::size_t j = 0; j < shared_count && found <= run_leaves; ++j) {
                if (SegmentIndex::squared_gap(index.leaf_box(shared[j]), region) <= limit) {
                    if (found < run_leaves) {
                        leaves[found] = shared[j];
                    }
                    ++found;
                }
            }
        } else {
            found = index.leaves_near(region, limit, leaves);
        }
        if (found > run_leaves) {
            // The boxes do not separate the candidates near these queries.
            one_by_one(near, near_out);
            continue;
        }
        LeafColumns columns;
        fill_columns(index, segments, {leaves, found}, columns);
        // Step 5: each query.
        nearest_feet_in(columns, points, near, limit, near_out);
        for (std::size_t k = 0; k < near.size(); ++k) {
            // A nearest foot beyond reach may lie in a leaf not gathered.
            if (!(near_out[k]->squared_distance <= limit)) {
                near_out[k] = index.nearest_clamped(points, near[k], hint);
            }
            if (near_out[k]) {
                hint = near_out[k]->index;
            }
        }
    }
}

}  // namespace

void nearest_feet_whole(const SegmentIndex& index, const PointView& path,
                        std::span<const Point> queries, std::optional<ClampedFoot>* feet) {
    const std::size_t segments = path.size() < 2 ? 0 : path.size() - 1;
    std::size_t leaves[LeafColumns::capacity];
    const std::size_t count = std::min(index.leaf_count(), LeafColumns::capacity);
    for (std::size_t j = 0; j < count; ++j) {
        leaves[j] = j;
    }
    LeafColumns columns;
    fill_columns(index, segments, {leaves, count}, columns);
    // Every candidate's squared distance is a number below the largest double (the callers'
    // coordinates keep it finite), so no leaf is left out; empty leaves' infinite gaps are.
    constexpr double any = std::numeric_limits<double>::max();
    // A route of one leaf measures several queries at once against its few segments, without
    // the leaf walk's stores and searches (1,000 fixes on 10 points: 70 -> 33 us a call).
    if (count == 1 && nearest_feet_one_leaf(columns, path, queries, feet)) {
        return;
    }
    for (std::size_t k = 0; k < queries.size(); ++k) {
        const Point q = queries[k];
        if (!std::isfinite(q.x) || !std::isfinite(q.y)) {
            feet[k].reset();  // as nearest_clamped: no distance of such a query is a number
            continue;
        }
        nearest_feet_in(columns, path, queries.subspan(k, 1), any, feet + k);
        if (feet[k]->index == std::numeric_limits<std::size_t>::max()) {
            feet[k].reset();
        }
    }
}

// Step 1. Measured on noisy positions along a route, any reach from 8 to 24 segments costs about
// the same. Where the path passes the same places many times (laps, a warehouse's aisles),
// cells that wide lie near more leaves than a run takes, and their queries are searched one by
// one: there the reach is halved, down to the sample's distances, until most sampled queries'
// cells are not so crowded (300,000 fixes on a 200,000-step random walk: 0.39 against 0.73 s).
double batch_reach(const SegmentIndex& index, const PointView& path, double mean_segment,
                   const PointView& queries) {
    // One query in 32 at most, so that the sample costs little next to the batch: each is
    // searched alone, then again in the batch (one in eight had cost a tenth of 100 fixes on a
    // 1e4-point route).
    constexpr std::size_t most = 64;
    const std::size_t m = queries.size();
    const std::size_t sample = std::min(most, std::max<std::size_t>(1, m / 32));
    double distances[most];
    std::size_t found = 0;
    for (std::size_t j = 0; j < sample; ++j) {
        if (const std::optional<ClampedFoot> foot =
                index.nearest_clamped(path, queries[j * m / sample])) {
            distances[found++] = std::sqrt(foot->squared_distance);
        }
    }
    // Few are then searched again alone; and a cell holds several queries near a path.
    double reach = batch_least_reach * mean_segment;
    double shortest = reach;
    if (found > 0) {
        shortest = twice_the_quantile(distances, found);
        reach = std::max(reach, shortest);
    }
    for (int halving = 0; halving < 16 && reach / 2.0 >= shortest; ++halving) {
        std::size_t crowded_cells = 0;
        const std::size_t looked = std::min<std::size_t>(8, sample);
        for (std::size_t j = 0; j < looked; ++j) {
            crowded_cells += crowded(index, queries[(2 * j + 1) * m / (2 * looked)], reach);
        }
        if (2 * crowded_cells <= looked) {
            break;
        }
        reach /= 2.0;
    }
    return reach;
}

// Eight queries at most, each measured first against the leaves near its cell, which the test
// of crowding gathers anyway: a search alone had cost about three times as many instructions
// (300 fixes on a 1e6-point route: the sample had taken 7 % of a call).
bool lone_batch(const SegmentIndex& index, const PointView& path, double mean_segment,
                const PointView& queries, double& shortest) {
    constexpr std::size_t most = 8;
    const std::size_t m = queries.size();
    const std::size_t sample = std::min(most, std::max<std::size_t>(1, m / 32));
    const std::size_t segments = path.size() < 2 ? 0 : path.size() - 1;
    const double least = batch_least_reach * mean_segment;
    const double limit = least * least;
    double distances[most];
    std::size_t found = 0;
    std::size_t crowded_cells = 0;
    for (std::size_t j = 0; j < sample; ++j) {
        const Point q = queries[j * m / sample];
        std::size_t leaves[run_leaves];
        const std::size_t near = cell_leaves(index, q, least, leaves);
        crowded_cells += near > run_leaves;
        std::optional<ClampedFoot> foot;
        if (near > 0 && near <= run_leaves) {
            // Every leaf within `least` of the query is among them.
            LeafColumns columns;
            fill_columns(index, segments, {leaves, near}, columns);
            nearest_feet_in(columns, path, {&q, 1}, limit, &foot);
        }
        if (!foot || !(foot->squared_distance <= limit)) {
            foot = index.nearest_clamped(path, q);
        }
        if (foot) {
            distances[found++] = std::sqrt(foot->squared_distance);
        }
    }
    shortest = found > 0 ? twice_the_quantile(distances, found) : 0.0;
    // As batch_reach: its reach stays the least where the sample lies within it, and where
    // most of the cells are not crowded or the sample's distances forbid halving.
    return shortest <= least &&
           (found == 0 || shortest > least / 2.0 || 2 * crowded_cells <= sample);
}

bool run_in_turn(std::size_t parts, const std::function<void(std::size_t)>& part) {
    for (std::size_t i = 0; i < parts; ++i) {
        part(i);
    }
    return true;
}

std::optional<BatchOrder> order_batch(const PointView& queries, const PointBounds& bounds,
                                      double reach, BatchScratch scratch, const RunParts& run) {
    return spatial_order(queries, bounds.box, reach, KeyColumn(scratch.order),
                         KeyColumn(scratch.spare), run);
}

void search_batch(const SegmentIndex& index, const PointView& path, const PointView& queries,
                  const BatchOrder& ordered, std::span<std::byte> ordered_keys, std::size_t begin,
                  std::size_t end, const BlockFeet& feet) {
    const KeyColumn order(ordered_keys);
    const double reach = ordered.reach;
    const int fine_bits = ordered.fine_bits;
    constexpr std::size_t ahead = 16;  // queries read ahead of their turn, their rows random
    const double* x = queries.x().first();
    const std::size_t stride = queries.x().stride();
    // A block's columns (18 KB) live on the heap: Python lets a thread have 32 KiB of stack.
    struct Block {
        std::size_t rows[block_queries];
        Point points[block_queries];
        std::size_t runs[block_queries];
        std::optional<ClampedFoot> found[block_queries];
    };
    const std::unique_ptr<Block> owned(new Block);
    auto& [rows, points, runs, found] = *owned;
    std::optional<std::size_t> hint;
    for (std::size_t first = begin; first < end;) {
        const std::uint64_t block = OrderKey::block(order[first], fine_bits);
        std::size_t count = 0;
        std::size_t run_count = 0;
        while (count < block_queries && first + count < end &&
               OrderKey::block(order[first + count], fine_bits) == block) {
            if (first + count + ahead < end) {
                __builtin_prefetch(x + OrderKey::row(order[first + count + ahead]) * stride, 1);
            }
            if (count == 0 || OrderKey::cell(order[first + count], fine_bits) !=
                                  OrderKey::cell(order[first + count - 1], fine_bits)) {
                runs[run_count++] = 0;
            }
            ++runs[run_count - 1];
            rows[count] = OrderKey::row(order[first + count]);
            points[count] = queries[rows[count]];
            ++count;
        }
        block_feet(index, path, {points, count}, {runs, run_count}, reach, hint, found);
        feet({rows, count}, {points, count}, {found, count});
        if (found[count - 1]) {
            hint = found[count - 1]->index;
        }
        first += count;
    }
}

}  // namespace korvane
