// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

// Order statistics by selection in place (std::nth_element, an introselect):
// the set is partially reordered, never sorted. Sets of 8- and 16-bit
// integers are counted instead, value by value, which finds the same element
// in a fraction of the time and leaves the set as it is. Callers pass
// non-empty sets.

// The element of 0-based ascending rank `rank`.
template <typename T>
T elementOfRank(std::vector<T>& values, std::size_t rank)
{
    if constexpr (std::is_integral_v<T> && sizeof(T) <= 2) {
        // Counts indexed by the value's distance from the type's minimum, so
        // that index order is value order for signed types too.
        constexpr int kMinimum = std::numeric_limits<T>::min();
        std::vector<std::uint32_t> counts(std::size_t{1} << (8 * sizeof(T)));
        for (const T value : values) {
            ++counts[static_cast<std::size_t>(value - kMinimum)];
        }
        std::size_t below = 0;
        std::size_t index = 0;
        while (below + counts[index] <= rank) {
            below += counts[index++];
        }
        return static_cast<T>(static_cast<int>(index) + kMinimum);
    } else {
        const auto nth = values.begin() + static_cast<std::ptrdiff_t>(rank);
        std::nth_element(values.begin(), nth, values.end());
        return *nth;
    }
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
