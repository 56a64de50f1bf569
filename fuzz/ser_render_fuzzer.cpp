// Any bytes as a SER file through the player's render path: rendering the
// first and last frames of an accepted file never crashes, hangs or reads out
// of bounds, and a rendered picture has the frame's size.
#include "ser/SerFrameRenderer.h"
#include "ser/SerReader.h"

#include <QDir>
#include <QFile>
#include <QString>

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// The reader takes only paths: one file per fuzzing process, rewritten for
// every input and removed at exit.
class InputFile {
public:
    InputFile() : path(QDir::temp().filePath(QStringLiteral("ser_render_fuzzer-%1.ser").arg(::getpid()))) { }
    ~InputFile() { QFile::remove(path); }
    Q_DISABLE_COPY_MOVE(InputFile)

    bool write(const std::uint8_t* data, std::size_t size) const
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
            file.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size) && file.flush();
    }

    const QString path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const InputFile input;
    if (!input.write(data, size))
        std::abort();
    SerReader reader;
    if (!reader.open(input.path))
        return 0;
    SerFrameRenderer renderer;
    for (int index : {0, reader.frameCount() - 1}) {
        if (renderer.render(reader, index) && renderer.picture().size() != QSize(reader.width(), reader.height()))
            std::abort();
    }
    return 0;
}
