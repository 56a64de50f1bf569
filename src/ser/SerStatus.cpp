// SPDX-License-Identifier: GPL-3.0-or-later
#include "ser/SerStatus.h"

#include <QFileInfo>

#include <chrono>

namespace {
const QString kSerFormat = QStringLiteral("ser");
}

void SerStatus::opened(const QString& path, std::int32_t frames, std::int32_t width, std::int32_t height)
{
    const QString file = QFileInfo(path).fileName();
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    ser_.file = file;
    ser_.frame = 0;
    ser_.frames = frames;
    picture_ = StatusDocument::Picture();
    picture_.width = width;
    picture_.height = height;
    picture_.format = kSerFormat;
    arrivals_.clear();
}

void SerStatus::closed()
{
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
    arrivals_.clear();
}

void SerStatus::playback(bool playing, double fps)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ser_.playing = playing;
    ser_.fps = fps;
}

void SerStatus::frameShown(std::int32_t frame)
{
    const PictureArrival arrival = PictureArrival::now();
    std::lock_guard<std::mutex> lock(mutex_);
    ser_.frame = frame;
    picture_.received = arrival.utc;
    arrivals_.record(arrival);
}

std::string SerStatus::json() const
{
    StatusDocument document;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (open_) {
            document.source = StatusDocument::Source::Ser;
            document.ser = ser_;
        }
        if (open_ && !arrivals_.empty()) {
            document.picture = picture_;
            document.picture->ageSeconds = arrivals_.ageSeconds(std::chrono::steady_clock::now());
            document.picture->fps = arrivals_.fps();
        }
    }
    return document.toJson();
}
