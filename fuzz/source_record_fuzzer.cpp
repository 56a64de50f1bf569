// SPDX-License-Identifier: GPL-3.0-or-later
// Any bytes as the record of the last source: reading never crashes, a
// refusal always says why, and an accepted record is written back to text
// that reads as the same record.
#include "service/SourceRecord.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

bool sameRecord(const SourceRecord& a, const SourceRecord& b)
{
    return a.kind == b.kind && a.device == b.device && a.stretch == b.stretch && a.serPath == b.serPath &&
        a.frame == b.frame && a.fps == b.fps && a.playing == b.playing && a.resumes == b.resumes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    QString error;
    const auto record =
        SourceRecord::fromJson(QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(size)), &error);
    if (!record) {
        if (error.isEmpty())
            std::abort();
        return 0;
    }
    const auto again = SourceRecord::fromJson(record->toJson(), &error);
    if (!again || !sameRecord(*record, *again))
        std::abort();
    return 0;
}
