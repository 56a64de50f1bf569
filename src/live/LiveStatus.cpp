// SPDX-License-Identifier: GPL-3.0-or-later
#include "live/LiveStatus.h"

#include <chrono>

void LiveStatus::connectionMade()
{
    std::lock_guard<std::mutex> lock(mutex_);
    connection_ = kWaitingForPicture;
}

void LiveStatus::connectionEnded()
{
    std::lock_guard<std::mutex> lock(mutex_);
    connection_ = kNoServer;
    devices_.clear();
}

void LiveStatus::devicesChanged(const std::set<std::string>& devices)
{
    QStringList names;
    for (const std::string& name : devices)
        names << QString::fromStdString(name);
    std::lock_guard<std::mutex> lock(mutex_);
    devices_ = std::move(names);
}

void LiveStatus::deviceMissing()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (connection_ == kWaitingForPicture)
        connection_ = kNoSuchDevice;
}

void LiveStatus::deviceDefined()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (connection_ == kNoSuchDevice)
        connection_ = kWaitingForPicture;
}

void LiveStatus::pictureArrived()
{
    std::lock_guard<std::mutex> lock(mutex_);
    connection_ = kConnected;
}

void LiveStatus::pictureShown(
    std::int32_t width, std::int32_t height, const std::string& format, const PictureArrival& arrival)
{
    const QString formatName = QString::fromStdString(format);
    std::lock_guard<std::mutex> lock(mutex_);
    pictureShown_ = true;
    picture_.width = width;
    picture_.height = height;
    picture_.format = formatName;
    picture_.received = arrival.utc;
    arrivals_.record(arrival);
}

std::string LiveStatus::json(const StatusDocument::Focus& focus) const
{
    StatusDocument document;
    document.source = StatusDocument::Source::Live;
    document.focus = focus;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        document.live = StatusDocument::Live{device_, QString::fromLatin1(connection_), devices_};
        if (pictureShown_) {
            document.picture = picture_;
            document.picture->ageSeconds = arrivals_.ageSeconds(std::chrono::steady_clock::now());
            document.picture->fps = arrivals_.fps();
        }
    }
    return document.toJson();
}
