// SPDX-License-Identifier: GPL-3.0-or-later
// Any bytes as a SER file: opening never crashes or reads out of bounds, an
// accepted file's counted frames lie inside it and read back whole, and a
// refusal always says why.
#include "ser/SerReader.h"

#include "FuzzInputFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

bool framesLieInside(const SerReader& reader, std::size_t fileSize)
{
    const qint64 frameBytes = reader.frameByteSize();
    return reader.frameCount() >= 1 && frameBytes >= 1 && frameBytes <= SerReader::kMaxFrameBytes &&
        SerReader::kHeaderBytes + reader.frameCount() * frameBytes <= qint64(fileSize);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const FuzzInputFile input(QStringLiteral("ser_header_fuzzer"));
    if (!input.write(data, size))
        std::abort();
    SerReader reader;
    QString error;
    if (!reader.open(input.path, &error)) {
        if (error.isEmpty() || reader.isOpen())
            std::abort();
        return 0;
    }
    if (!framesLieInside(reader, size) || reader.recordedFps() < 0.0)
        std::abort();
    QByteArray frame;
    for (int index : {0, reader.frameCount() - 1}) {
        if (!reader.readFrame(index, frame) || frame.size() != reader.frameByteSize())
            std::abort();
    }
    if (reader.readFrame(reader.frameCount(), frame) || !reader.isOpen())
        std::abort();
    return 0;
}
