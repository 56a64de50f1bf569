// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "EventLoopWait.h"
#include "IndiSimulator.h"
#include "LoopbackClient.h"

#include <QJsonObject>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <memory>
#include <string>

// What the live tests share besides the INDI simulator and its BLOB recorder.
namespace quelmor::test {

inline const QString kCamera = QString::fromLatin1(IndiSimulator::kDevice);
// The device of the scripted camera, picture_driver.py.
inline const QString kPictureDriver = QStringLiteral("Picture Driver");

// Writes `bytes` as `name` in `directory` for the scripted camera to send;
// its path. A failure of the test when it cannot be written.
QString writeFile(const QTemporaryDir& directory, const QString& name, const std::string& bytes);

// Opens "GET path" on port 8080 once the path is served (the server answers
// 404 before its first picture); null when it never is.
std::unique_ptr<LoopbackClient> openStream(const std::string& path, int timeoutMs = kEventWaitMs);

// Geometry of a JPEG picture, from the live decoder.
struct JpegInfo {
    bool decoded = false;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t channels = 0;
    double mean = 0.0;  // over every sample
};
JpegInfo inspectJpeg(const std::string& bytes);

// GET "/status" on port 8080, parsed (the SER tests read it too); an empty
// object when the answer is no JSON object.
QJsonObject fetchStatus();

}  // namespace quelmor::test
