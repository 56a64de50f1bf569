// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "status/PictureArrivals.h"
#include "status/StatusDocument.h"

#include <QString>

#include <cstdint>
#include <mutex>
#include <string>

// What the SER player tells "/status": the open file by its base name (never
// its folders), the frame shown, the frame count, playing or not, the rate
// set, and the picture last shown with the rate frames actually came at.
//
// Threads: thread-safe. The player reports on the main thread, the listener
// thread asks for the document. mutex_ guards every member and is held only
// to copy or update them, never while the player renders or publishes.
class SerStatus {
public:
    // A file of `frames` frames of `width` x `height` was opened at `path`.
    void opened(const QString& path, std::int32_t frames, std::int32_t width, std::int32_t height);
    // No file is open: the source is "none".
    void closed();
    void playback(bool playing, double fps);
    // Frame `frame` was just shown.
    void frameShown(std::int32_t frame);

    std::string json() const;

private:
    mutable std::mutex mutex_;
    bool open_ = false;  // guarded by mutex_, as all below
    StatusDocument::Ser ser_;
    StatusDocument::Picture picture_;
    PictureArrivals arrivals_;
};
