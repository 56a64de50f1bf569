#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

// Order statistics by selection in place (std::nth_element, an introselect):
// the set is partially reordered, never sorted. Callers pass non-empty sets.

// The element of 0-based ascending rank `rank`.
template <typename T>
T elementOfRank(std::vector<T>& values, std::size_t rank)
{
    const auto nth = values.begin() + static_cast<std::ptrdiff_t>(rank);
    std::nth_element(values.begin(), nth, values.end());
    return *nth;
}

// The upper of the two middle elements for an even size, never an average.
template <typename T>
T medianOf(std::vector<T>& values)
{
    return elementOfRank(values, values.size() / 2);
}

// Rank min(size - 1, floor(percent / 100 x size)), worked out in double; 0 for an empty set.
template <typename T>
T percentileOf(std::vector<T>& values, double percent)
{
    if (values.empty()) {
        return T{};
    }
    const auto rank = static_cast<std::size_t>(percent / 100.0 * static_cast<double>(values.size()));
    return elementOfRank(values, std::min(values.size() - 1, rank));
}
