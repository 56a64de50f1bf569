// SPDX-License-Identifier: GPL-3.0-or-later
#include "fitsunpack/FitsLayout.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <optional>

namespace {

constexpr std::int64_t kCardBytes = 80;
constexpr std::size_t kKeywordBytes = 8;
constexpr std::size_t kValueStart = 10;
constexpr int kMaxHeaderAxes = 999;
constexpr int kMaxColumns = 999;
constexpr int kMaxCompressionParameters = 9;
constexpr int kColourPlanes = 3;
constexpr int kBitsPerByte = 8;
constexpr std::int64_t kMaxDitherSeed = 10000;
constexpr std::array<std::int64_t, 6> kSampleBitpix = {8, 16, 32, 64, -32, -64};
constexpr std::array<std::int64_t, 2> kRiceBlockSizes = {16, 32};
constexpr std::array<std::int64_t, 4> kBytesPerPixel = {1, 2, 4, 8};
constexpr std::array<const char*, 3> kQuantizations = {"NO_DITHER", "SUBTRACTIVE_DITHER_1", "SUBTRACTIVE_DITHER_2"};

template <typename Values>
bool oneOf(const Values& values, std::int64_t value)
{
    return std::find(values.begin(), values.end(), value) != values.end();
}

std::string upperCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    return text;
}

std::string trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// a * b, or nothing when it would pass `limit`; both non-negative.
std::optional<std::int64_t> checkedProduct(std::int64_t a, std::int64_t b, std::int64_t limit)
{
    if (a != 0 && b > limit / a)
        return std::nullopt;
    return a * b;
}

std::int64_t paddedToBlock(std::int64_t bytes)
{
    return (bytes + kFitsBlockBytes - 1) / kFitsBlockBytes * kFitsBlockBytes;
}

// A header card's value: the text before its comment, or a quoted string.
struct CardValue {
    std::string text;
    bool quoted = false;
    int count = 0;
};

CardValue valueOf(const char* card)
{
    CardValue value;
    const std::string field(card + kValueStart, kCardBytes - kValueStart);
    const auto first = field.find_first_not_of(' ');
    if (first != std::string::npos && field[first] == '\'') {
        // Quotes inside are doubled; a string never closed is no string.
        for (std::size_t i = first + 1; i < field.size(); ++i) {
            if (field[i] != '\'') {
                value.text += field[i];
            } else if (i + 1 < field.size() && field[i + 1] == '\'') {
                value.text += '\'';
                ++i;
            } else {
                value.quoted = true;
                break;
            }
        }
        value.text = value.quoted ? trimmed(value.text) : field;
        return value;
    }
    value.text = trimmed(field.substr(0, field.find('/')));
    return value;
}

// One HDU's header, keywords in upper case. A keyword written twice may be
// read differently by cfitsio than here, so asking for it is an error.
class HeaderCards {
public:
    bool read(const char* bytes, std::int64_t length, std::int64_t start, std::string& error)
    {
        for (std::int64_t offset = start; offset + kCardBytes <= length; offset += kCardBytes) {
            const char* card = bytes + offset;
            const std::string keyword = upperCase(trimmed(std::string(card, kKeywordBytes)));
            if (keyword == "END") {
                dataStart_ = paddedToBlock(offset + kCardBytes);
                return true;
            }
            if (card[kKeywordBytes] != '=' || card[kKeywordBytes + 1] != ' ')
                continue;
            CardValue& value = values_[keyword];
            const int count = value.count + 1;
            value = valueOf(card);
            value.count = count;
        }
        error = "a FITS header has no END card";
        return false;
    }

    std::int64_t dataStart() const { return dataStart_; }

    // The card's value, nothing when absent; false with `error` when written twice.
    bool lookUp(const std::string& keyword, std::optional<CardValue>& value, std::string& error) const
    {
        const auto found = values_.find(keyword);
        value.reset();
        if (found == values_.end())
            return true;
        if (found->second.count > 1) {
            error = "the FITS header holds " + keyword + " more than once";
            return false;
        }
        value = found->second;
        return true;
    }

    // An integer written as one (digits with an optional sign), within
    // [minimum, maximum]; `fallback` when absent, or an error when none is given.
    bool integer(const std::string& keyword, std::int64_t minimum, std::int64_t maximum, std::int64_t& result,
        std::string& error, std::optional<std::int64_t> fallback = std::nullopt) const
    {
        std::optional<CardValue> value;
        if (!lookUp(keyword, value, error))
            return false;
        if (!value && fallback) {
            result = *fallback;
            return true;
        }
        if (!value) {
            error = "the FITS header lacks " + keyword;
            return false;
        }
        const std::string& text = value->text;
        const std::size_t start = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
        const std::size_t digits = text.size() - start;
        const bool integral = !value->quoted && digits > 0 && digits <= 18 &&
            text.find_first_not_of("0123456789", start) == std::string::npos;
        if (integral)
            result = std::strtoll(text.c_str(), nullptr, 10);
        if (!integral || result < minimum || result > maximum) {
            error = keyword + " of '" + text + "' is not an integer from " + std::to_string(minimum) + " to " +
                std::to_string(maximum);
            return false;
        }
        return true;
    }

    // A quoted string, or nothing when absent.
    bool string(const std::string& keyword, std::optional<std::string>& result, std::string& error) const
    {
        std::optional<CardValue> value;
        if (!lookUp(keyword, value, error))
            return false;
        result.reset();
        if (value && !value->quoted) {
            error = keyword + " of '" + value->text + "' is not a string";
            return false;
        }
        if (value)
            result = upperCase(value->text);
        return true;
    }

    // T or F, or nothing when absent.
    bool logical(const std::string& keyword, std::optional<bool>& result, std::string& error) const
    {
        std::optional<CardValue> value;
        if (!lookUp(keyword, value, error))
            return false;
        result.reset();
        if (value && (value->quoted || (value->text != "T" && value->text != "F"))) {
            error = keyword + " of '" + value->text + "' is neither T nor F";
            return false;
        }
        if (value)
            result = value->text == "T";
        return true;
    }

    // A finite number, when present.
    bool number(const std::string& keyword, std::string& error) const
    {
        std::optional<CardValue> value;
        if (!lookUp(keyword, value, error))
            return false;
        if (!value)
            return true;
        char* end = nullptr;
        const double parsed = std::strtod(value->text.c_str(), &end);
        if (!value->quoted && !value->text.empty() && *end == '\0' && std::isfinite(parsed))
            return true;
        error = keyword + " of '" + value->text + "' is not a number";
        return false;
    }

    bool has(const std::string& keyword) const { return values_.count(keyword) != 0; }

private:
    std::map<std::string, CardValue> values_;
    std::int64_t dataStart_ = 0;
};

std::string axisKey(const char* name, int axis)
{
    return name + std::to_string(axis);
}

// A shown image's third axis: none, or 1 (grey) or 3 (colour) planes.
bool planesShown(std::int64_t axes, std::int64_t planes, std::string& error)
{
    if (axes >= 2 && axes <= 3 && (planes == 1 || planes == kColourPlanes))
        return true;
    error = "FITS images of " + std::to_string(axes) + " axes (the third of " + std::to_string(planes) +
        ") are neither grey nor colour";
    return false;
}

bool sizeAllowed(std::int64_t width, std::int64_t height, std::int64_t maxPixels, std::string& error)
{
    if (width >= 1 && height >= 1 && width <= maxPixels && height <= maxPixels && width * height <= maxPixels)
        return true;
    error = "FITS images of " + std::to_string(width) + " x " + std::to_string(height) + " pixels are not shown";
    return false;
}

// ZNAMEn and ZVALn: RICE_1 knows BLOCKSIZE (16 or 32), BYTEPIX (1, 2, 4 or 8)
// and, for old quantized images, NOISEBIT; unnamed ZVAL1 and ZVAL2 are the first two.
bool riceParametersSane(const HeaderCards& cards, int zbitpix, std::string& error)
{
    for (int n = 1; n <= kMaxCompressionParameters; ++n) {
        std::optional<std::string> name;
        if (!cards.string(axisKey("ZNAME", n), name, error))
            return false;
        if (!name && !cards.has(axisKey("ZVAL", n)))
            continue;
        const std::string named = name ? *name : (n == 1 ? "BLOCKSIZE" : n == 2 ? "BYTEPIX" : "");
        std::int64_t value = 0;
        if (!cards.integer(axisKey("ZVAL", n), 1, std::numeric_limits<std::int32_t>::max(), value, error))
            return false;
        const bool sane = (named == "BLOCKSIZE" && oneOf(kRiceBlockSizes, value)) ||
            (named == "BYTEPIX" && oneOf(kBytesPerPixel, value) && (zbitpix > 0 || value == 4)) ||
            (named == "NOISEBIT" && value <= 64);
        if (!sane) {
            error = "the Rice parameter " + (named.empty() ? axisKey("ZVAL", n) : named) + " of " +
                std::to_string(value) + " is not one cfitsio can use";
            return false;
        }
    }
    return true;
}

// The table's columns: COMPRESSED_DATA an array of bytes; which others there are.
bool columnsSane(const HeaderCards& cards, bool& scaleColumns, std::string& error)
{
    std::int64_t columns = 0;
    if (!cards.integer("TFIELDS", 1, kMaxColumns, columns, error))
        return false;
    bool compressedData = false;
    int scales = 0;
    for (int n = 1; n <= columns; ++n) {
        std::optional<std::string> type, form;
        if (!cards.string(axisKey("TTYPE", n), type, error) || !cards.string(axisKey("TFORM", n), form, error))
            return false;
        if (type && (*type == "ZSCALE" || *type == "ZZERO"))
            ++scales;
        if (!type || *type != "COMPRESSED_DATA")
            continue;
        const std::string f = form ? *form : std::string();
        const std::size_t kind = f.rfind('1', 0) == 0 ? 1 : 0;
        if (compressedData || f.size() < kind + 2 || (f[kind] != 'P' && f[kind] != 'Q') || f[kind + 1] != 'B') {
            error = "the compressed image's COMPRESSED_DATA column is not one array of bytes per tile";
            return false;
        }
        compressedData = true;
    }
    if (!compressedData)
        error = "the compressed image has no COMPRESSED_DATA column";
    scaleColumns = scales == 2;
    return compressedData;
}

// Floating-point images are Rice-coded as quantized integers: cfitsio needs
// their scale and zero, or it copies the integers as if they were doubles.
bool quantizationSane(const HeaderCards& cards, bool scaleColumns, std::string& error)
{
    const bool scaleKeywords = cards.has("ZSCALE") && cards.has("ZZERO");
    if (!scaleColumns && !scaleKeywords) {
        error = "a floating-point compressed image without ZSCALE and ZZERO is not read";
        return false;
    }
    std::optional<std::string> method;
    std::int64_t seed = 0;
    if (!cards.number("ZSCALE", error) || !cards.number("ZZERO", error) ||
        !cards.string("ZQUANTIZ", method, error) ||
        !cards.integer("ZDITHER0", 1, kMaxDitherSeed, seed, error, std::int64_t(1)))
        return false;
    const bool known = !method ||
        std::any_of(kQuantizations.begin(), kQuantizations.end(), [&](const char* m) { return *method == m; });
    if (!known)
        error = "the quantization " + *method + " is not read";
    return known;
}

bool compressedImageSane(const HeaderCards& cards, std::int64_t rows, std::int64_t maxPixels,
    FitsImageLayout& layout, std::string& error)
{
    std::optional<std::string> type;
    if (!cards.string("ZCMPTYPE", type, error))
        return false;
    if (!type || *type != "RICE_1") {
        error = "FITS tiles compressed with " + (type ? *type : std::string("nothing named")) +
            " are not read, only RICE_1";
        return false;
    }
    std::int64_t zbitpix = 0, axes = 0;
    if (!cards.integer("ZBITPIX", -64, 64, zbitpix, error) || !cards.integer("ZNAXIS", 1, kMaxHeaderAxes, axes, error))
        return false;
    if (!oneOf(kSampleBitpix, zbitpix)) {
        error = "ZBITPIX " + std::to_string(zbitpix) + " is no FITS sample type";
        return false;
    }
    std::array<std::int64_t, 3> sizes = {1, 1, 1};
    std::int64_t tiles = 1;
    for (int n = 1; n <= std::min<std::int64_t>(axes, 3); ++n) {
        std::int64_t& size = sizes[std::size_t(n - 1)];
        std::int64_t tile = 0;
        if (!cards.integer(axisKey("ZNAXIS", n), 1, maxPixels, size, error) ||
            !cards.integer(axisKey("ZTILE", n), 1, size, tile, error, n == 1 ? size : 1))
            return false;
        tiles *= (size + tile - 1) / tile;
    }
    if (!planesShown(axes, sizes[2], error) || !sizeAllowed(sizes[0], sizes[1], maxPixels, error))
        return false;
    if (tiles != rows) {
        error = "the compressed image has " + std::to_string(tiles) + " tiles but its table " + std::to_string(rows) +
            " rows";
        return false;
    }
    bool scaleColumns = false;
    std::int64_t blank = 0;
    if (!columnsSane(cards, scaleColumns, error) || (zbitpix < 0 && !quantizationSane(cards, scaleColumns, error)) ||
        !riceParametersSane(cards, int(zbitpix), error) || !cards.number("BZERO", error) ||
        !cards.number("BSCALE", error) ||
        !cards.integer("ZBLANK", std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max(),
            blank, error, std::int64_t(0)))
        return false;
    layout.compressed = true;
    layout.width = sizes[0];
    layout.height = sizes[1];
    layout.planes = sizes[2];
    layout.bitpix = int(zbitpix);
    return true;
}

// The HDU's data size from its structural keywords, as cfitsio computes it.
bool dataBytesOf(const HeaderCards& cards, bool primary, std::int64_t length, std::int64_t& bitpix,
    std::int64_t& axes, std::int64_t& bytes, std::string& error)
{
    std::int64_t pcount = 0, gcount = 1;
    if (!cards.integer("BITPIX", -64, 64, bitpix, error) || !cards.integer("NAXIS", 0, kMaxHeaderAxes, axes, error) ||
        !cards.integer("PCOUNT", 0, length, pcount, error, std::int64_t(0)) ||
        !cards.integer("GCOUNT", 0, length, gcount, error, std::int64_t(1)))
        return false;
    if (!oneOf(kSampleBitpix, bitpix)) {
        error = "BITPIX " + std::to_string(bitpix) + " is no FITS sample type";
        return false;
    }
    std::optional<bool> groups;
    if (primary && !cards.logical("GROUPS", groups, error))
        return false;
    std::optional<std::int64_t> elements = axes > 0 ? 1 : 0;
    for (int n = 1; n <= axes && elements; ++n) {
        std::int64_t size = 0;
        if (!cards.integer(axisKey("NAXIS", n), 0, length, size, error))
            return false;
        if (!(n == 1 && size == 0 && groups.value_or(false)))
            elements = checkedProduct(*elements, size, length);
    }
    std::optional<std::int64_t> data;
    if (elements)
        data = checkedProduct(gcount, pcount + *elements, length);
    if (data)
        data = checkedProduct(*data, std::abs(bitpix) / kBitsPerByte, length);
    if (!data) {
        error = "a FITS header claims more data than the picture holds";
        return false;
    }
    bytes = *data;
    return true;
}

}  // namespace

bool mentionsCompressedImage(const char* bytes, std::int64_t length)
{
    // Every card of the file, data too, is looked at; compared in place, since
    // a large plain image has hundreds of thousands of them.
    constexpr char kName[] = "ZIMAGE  ";
    const auto sameLetters = [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == b; };
    for (std::int64_t offset = 0; offset + kCardBytes <= length; offset += kCardBytes) {
        if (std::equal(bytes + offset, bytes + offset + kKeywordBytes, kName, sameLetters))
            return true;
    }
    return false;
}

bool inspectFitsImage(
    const char* bytes, std::int64_t length, std::int64_t maxPixels, FitsImageLayout& layout, std::string& error)
{
    length -= length % kFitsBlockBytes;
    for (std::int64_t offset = 0, hdu = 0; offset < length; ++hdu) {
        HeaderCards cards;
        std::int64_t bitpix = 0, axes = 0, dataBytes = 0;
        std::optional<std::string> extension;
        std::optional<bool> compressed;
        if (!cards.read(bytes, length, offset, error) || !dataBytesOf(cards, hdu == 0, length, bitpix, axes, dataBytes, error) ||
            !cards.string("XTENSION", extension, error) || !cards.logical("ZIMAGE", compressed, error))
            return false;
        const std::int64_t dataEnd = cards.dataStart() + dataBytes;
        if (extension && *extension == "BINTABLE" && compressed.value_or(false)) {
            std::int64_t rows = 0;
            if (bitpix != kBitsPerByte || axes != 2) {
                error = "the compressed image's table is not a table of bytes";
                return false;
            }
            if (!cards.integer("NAXIS2", 1, length, rows, error))
                return false;
            if (dataEnd > length) {
                error = "the compressed FITS image's tiles reach byte " + std::to_string(dataEnd) +
                    ", but the picture holds " + std::to_string(length) + " bytes";
                return false;
            }
            layout.hduEnd = paddedToBlock(dataEnd);
            return compressedImageSane(cards, rows, maxPixels, layout, error);
        }
        const bool image = hdu == 0 || (extension && *extension == "IMAGE");
        if (image && axes > 0) {
            std::int64_t width = 0, height = 0, planes = 1;
            if (!cards.integer("NAXIS1", 0, length, width, error) ||
                !cards.integer("NAXIS2", 0, length, height, error, std::int64_t(1)) ||
                !cards.integer("NAXIS3", 0, length, planes, error, std::int64_t(1)) ||
                !planesShown(axes, planes, error) || !sizeAllowed(width, height, maxPixels, error))
                return false;
            if (dataEnd > length) {
                error = "the FITS header claims more data than the picture holds";
                return false;
            }
            layout = FitsImageLayout{false, width, height, planes, int(bitpix), paddedToBlock(dataEnd)};
            return true;
        }
        offset = paddedToBlock(dataEnd);
    }
    error = "the FITS file holds no image";
    return false;
}
