// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

// The "/status" document that the live feed and the SER player answer: what
// each field is called and holds, written once here for both. The README's
// table describes the same fields.
//
// Threads: a plain value; toJson is reentrant.
struct StatusDocument {
    enum class Source { None, Live, Ser };

    // The picture on "/jpg": its full size, the format it came in, when it
    // arrived (UTC) and how long ago, and the rate of the last few pictures.
    struct Picture {
        std::int32_t width = 0;
        std::int32_t height = 0;
        QString format;
        std::chrono::system_clock::time_point received;
        double ageSeconds = 0.0;
        double fps = 0.0;
    };
    // The figures focusMetrics answers; zeros when not available.
    struct Focus {
        bool available = false;
        double sharpness = 0.0;
        double min = 0.0;
        double max = 0.0;
        double median = 0.0;
    };
    // The INDI side of the live feed.
    struct Live {
        QString device;
        QString connection;
        QStringList devices;
    };
    // The SER file: its name without folders, the frame shown and the rate set.
    struct Ser {
        QString file;
        std::int32_t frame = 0;
        std::int32_t frames = 0;
        bool playing = false;
        double fps = 0.0;
    };

    Source source = Source::None;
    std::optional<Live> live;        // with Source::Live only
    std::optional<Picture> picture;  // null before the first picture
    Focus focus;
    std::optional<Ser> ser;  // with Source::Ser only

    // One JSON object, compact, in UTF-8.
    std::string toJson() const;
};
