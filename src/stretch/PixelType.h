// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>

// Sample type code of a raw frame. The numbers are CFITSIO's data-type codes
// (only the numbers are used). Any other value is a valid PixelType too: it
// names no sample type, and such frames are neither rendered nor measured.
enum class PixelType : std::int32_t {
    UInt8 = 11,     // unsigned 8-bit
    UInt16 = 20,    // unsigned 16-bit
    Int16 = 21,     // signed 16-bit
    Long = 41,      // signed 64-bit, the platform's long
    Float = 42,     // 32-bit IEEE float
    LongLong = 81,  // signed 64-bit, long long
    Double = 82,    // 64-bit IEEE double
};

// Calls visitor(static_cast<const T*>(nullptr)), with T the sample type that
// `type` names, and returns true; returns false without calling it for a code
// that names no sample type.
template <typename Visitor>
bool visitSampleType(PixelType type, Visitor&& visitor)
{
    switch (type) {
    case PixelType::UInt8:
        visitor(static_cast<const std::uint8_t*>(nullptr));
        return true;
    case PixelType::UInt16:
        visitor(static_cast<const std::uint16_t*>(nullptr));
        return true;
    case PixelType::Int16:
        visitor(static_cast<const std::int16_t*>(nullptr));
        return true;
    case PixelType::Long:
        visitor(static_cast<const long*>(nullptr));
        return true;
    case PixelType::Float:
        visitor(static_cast<const float*>(nullptr));
        return true;
    case PixelType::LongLong:
        visitor(static_cast<const long long*>(nullptr));
        return true;
    case PixelType::Double:
        visitor(static_cast<const double*>(nullptr));
        return true;
    }
    return false;
}
