// SPDX-License-Identifier: GPL-3.0-or-later
#include "stretch/ParallelBands.h"

#include <QFuture>
#include <QList>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

void runInBands(std::int64_t count, std::int64_t minBandItems,
    const std::function<void(std::int64_t begin, std::int64_t end)>& body)
{
    if (count <= 0)
        return;
    const std::int64_t threads = std::max(1, QThreadPool::globalInstance()->maxThreadCount());
    const std::int64_t bands = std::clamp<std::int64_t>(count / std::max<std::int64_t>(1, minBandItems), 1, threads);
    const std::int64_t bandItems = (count + bands - 1) / bands;
    QList<QFuture<void>> others;
    for (std::int64_t begin = bandItems; begin < count; begin += bandItems) {
        const std::int64_t end = std::min(count, begin + bandItems);
        others.append(QtConcurrent::run(QThreadPool::globalInstance(), [&body, begin, end] { body(begin, end); }));
    }
    body(0, std::min(count, bandItems));
    for (QFuture<void>& band : others)
        band.waitForFinished();
}
