// "Did you mean ...?" for misspelt keyword arguments, with the interpreter's
// own distance rule (newer interpreters add the hint to their TypeError).
#pragma once

#include <string_view>
#include <vector>

namespace ondrel::core {

// Weighted edit distance of two names: a case flip costs 1, any other edit 2.
// Returns a value above max_cost as soon as the distance must exceed it.
size_t name_distance(std::string_view a, std::string_view b, size_t max_cost);

// The index of the candidate closest to `wrong` within a third of the
// characters involved, or -1 when none is close enough.
long closest_name(const std::vector<std::string_view>& candidates, std::string_view wrong);

}  // namespace ondrel::core
