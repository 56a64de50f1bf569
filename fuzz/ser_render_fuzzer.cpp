// SPDX-License-Identifier: GPL-3.0-or-later
// Any bytes as a SER file through the player's render path: the first and
// last frames of a file the player accepts, at any depth, always render,
// without crashing, hanging or reading out of bounds, into a picture of the
// frame's size.
#include "ser/SerFrameRenderer.h"
#include "ser/SerReader.h"

#include "FuzzInputFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const FuzzInputFile input(QStringLiteral("ser_render_fuzzer"));
    if (!input.write(data, size))
        std::abort();
    SerReader reader;
    QString refusal;
    if (!reader.open(input.path) || !SerFrameRenderer::canShow(reader, refusal))
        return 0;
    SerFrameRenderer renderer;
    for (int index : {0, reader.frameCount() - 1}) {
        if (!renderer.render(reader, index) || renderer.picture().width() != reader.width() ||
            renderer.picture().height() != reader.height())
            std::abort();
    }
    return 0;
}
