// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "status/PictureArrivals.h"
#include "status/StatusDocument.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <utility>

// What the live feed tells "/status": its INDI connection, the devices the
// server defined, and the picture last shown on "/jpg".
//
// The connection goes from "no-server" to "waiting-for-picture" when a
// connection is made, to "no-such-device" when the device is still missing
// kDeviceWait later (and back once it is defined), to "connected" with the
// first picture of the connection, and back to "no-server" when it ends.
//
// Threads: thread-safe. The client's callbacks and reconnector report the
// connection, its picture work the pictures, and the listener thread asks for
// the document. mutex_ guards every member and is held only to copy or update
// them, never while the client publishes, decodes or takes another lock.
class LiveStatus {
public:
    static constexpr const char* kNoServer = "no-server";
    static constexpr const char* kNoSuchDevice = "no-such-device";
    static constexpr const char* kWaitingForPicture = "waiting-for-picture";
    static constexpr const char* kConnected = "connected";

    explicit LiveStatus(QString device) : device_(std::move(device)) { }

    // A connection to the INDI server was made, or has ended.
    void connectionMade();
    void connectionEnded();
    // The devices the server has defined on this connection.
    void devicesChanged(const std::set<std::string>& devices);
    // The device was missing kDeviceWait after the connection, or has now been defined.
    void deviceMissing();
    void deviceDefined();
    // A picture of the device arrived.
    void pictureArrived();
    // The picture work showed a picture of `width` x `height` pixels (0 when
    // unknown) that arrived in `format` at `arrival`.
    void pictureShown(
        std::int32_t width, std::int32_t height, const std::string& format, const PictureArrival& arrival);

    // The document, with the focus figures the client read before.
    std::string json(const StatusDocument::Focus& focus) const;

private:
    const QString device_;
    mutable std::mutex mutex_;
    const char* connection_ = kNoServer;  // guarded by mutex_, as all below
    QStringList devices_;
    bool pictureShown_ = false;
    StatusDocument::Picture picture_;
    PictureArrivals arrivals_;
};
