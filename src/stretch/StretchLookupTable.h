// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

#include "stretch/ChannelStretch.h"

// The stretched output of every value of an 8- or 16-bit sample type, worked
// out once per render with the per-sample arithmetic of ChannelStretch, so that
// rendering such samples is one table read per pixel instead of a divide.
// Built on the caller's thread; row tasks read it through a View while the
// table lives on the caller's stack.
template <typename T>
class StretchLookupTable {
    static_assert(std::is_integral_v<T> && sizeof(T) <= 2, "one entry per sample value");

public:
    using Index = std::make_unsigned_t<T>;

    // Copyable handle for the row tasks; valid while its table lives.
    class View {
    public:
        explicit View(const std::uint8_t* entries) : entries_(entries) { }
        std::uint8_t operator()(T v) const { return entries_[static_cast<Index>(v)]; }

    private:
        const std::uint8_t* entries_;
    };

    explicit StretchLookupTable(const ChannelStretch<T>& stretch)
        : entries_(static_cast<std::size_t>(std::numeric_limits<Index>::max()) + 1)
    {
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            entries_[i] = stretch(static_cast<T>(static_cast<Index>(i)));
        }
    }

    View view() const { return View(entries_.data()); }

private:
    std::vector<std::uint8_t> entries_;
};
