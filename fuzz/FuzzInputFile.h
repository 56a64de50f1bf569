// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDir>
#include <QFile>
#include <QString>

#include <unistd.h>

#include <cstddef>
#include <cstdint>

// For parsers that take only paths: one file per fuzzing process, named after
// the target, rewritten for every input and removed at exit.
class FuzzInputFile {
public:
    explicit FuzzInputFile(const QString& target)
        : path(QDir::temp().filePath(QStringLiteral("%1-%2.ser").arg(target).arg(::getpid())))
    {
    }
    ~FuzzInputFile() { QFile::remove(path); }
    Q_DISABLE_COPY_MOVE(FuzzInputFile)

    bool write(const std::uint8_t* data, std::size_t size) const
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
            file.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size) && file.flush();
    }

    const QString path;
};
