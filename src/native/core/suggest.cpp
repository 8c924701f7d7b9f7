#include "core/suggest.hpp"

#include <algorithm>
#include <cstdint>

namespace ondrel::core {

namespace {

constexpr size_t kMoveCost = 2;
constexpr size_t kCaseCost = 1;
constexpr size_t kMaxNameSize = 40;
constexpr size_t kMaxCandidates = 750;

size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31)) return kMoveCost;
    if (a == b) return 0;
    if ('A' <= a && a <= 'Z') a = static_cast<char>(a + ('a' - 'A'));
    if ('A' <= b && b <= 'Z') b = static_cast<char>(b + ('a' - 'A'));
    return a == b ? kCaseCost : kMoveCost;
}

}  // namespace

size_t name_distance(std::string_view a, std::string_view b, size_t max_cost) {
    while (!a.empty() && !b.empty() && a.front() == b.front()) {
        a.remove_prefix(1);
        b.remove_prefix(1);
    }
    while (!a.empty() && !b.empty() && a.back() == b.back()) {
        a.remove_suffix(1);
        b.remove_suffix(1);
    }
    if (a.empty() || b.empty()) return (a.size() + b.size()) * kMoveCost;
    if (a.size() > kMaxNameSize || b.size() > kMaxNameSize) return max_cost + 1;
    if (b.size() < a.size()) std::swap(a, b);
    if ((b.size() - a.size()) * kMoveCost > max_cost) return max_cost + 1;

    // One row of the classic matrix, updated in place.
    size_t row[kMaxNameSize];
    for (size_t i = 0; i < a.size(); i++) row[i] = (i + 1) * kMoveCost;

    size_t result = 0;
    for (size_t bi = 0; bi < b.size(); bi++) {
        size_t distance = result = bi * kMoveCost;
        size_t minimum = SIZE_MAX;
        for (size_t ai = 0; ai < a.size(); ai++) {
            size_t substitute = distance + substitution_cost(b[bi], a[ai]);
            distance = row[ai];
            size_t insert_delete = std::min(result, distance) + kMoveCost;
            result = std::min(insert_delete, substitute);
            row[ai] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost) return max_cost + 1;
    }
    return result;
}

long closest_name(const std::vector<std::string_view>& candidates, std::string_view wrong) {
    if (candidates.size() >= kMaxCandidates) return -1;
    long best = -1;
    size_t best_distance = SIZE_MAX;
    for (size_t i = 0; i < candidates.size(); i++) {
        std::string_view item = candidates[i];
        if (item == wrong) continue;
        size_t max_distance = (wrong.size() + item.size() + 3) * kMoveCost / 6;
        if (best_distance != SIZE_MAX) max_distance = std::min(max_distance, best_distance - 1);
        size_t d = name_distance(wrong, item, max_distance);
        if (d > max_distance) continue;
        if (best < 0 || d < best_distance) {
            best = static_cast<long>(i);
            best_distance = d;
        }
    }
    return best;
}

}  // namespace ondrel::core
