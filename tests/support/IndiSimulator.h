// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ChildProcess.h"
#include "TestSupport.h"

#include "mjpeg/UniqueFd.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <sys/types.h>

#include <memory>

namespace quelmor::test {

// A real indiserver for one test, running indi_simulator_ccd (or the scripted
// picture_driver.py), driven with the indi_setprop and indi_getprop tools. It
// runs in a process group of its own, with a temporary HOME so the driver's
// saved settings never carry over and, unless told, a local socket of its own;
// the server and its driver are killed when the object goes. Every wait runs
// the Qt event loop and has a generous deadline.
//
// Thread: the test's. Not thread-safe.
class IndiSimulator {
public:
    static constexpr char kDevice[] = "CCD Simulator";
    // A loopback port that is free when the object is made, for tests that
    // run beside others.
    static constexpr int kFreePort = 0;

    // The server's local socket: a path of its own, or indiserver's default,
    // the only one the "localhost:" host reaches (for a private network namespace).
    enum class LocalSocket { Own, Default };

    // The service looks for its INDI server on kIndiPort.
    explicit IndiSimulator(int port = kIndiPort, LocalSocket localSocket = LocalSocket::Own);
    ~IndiSimulator() { kill(); }
    IndiSimulator(const IndiSimulator&) = delete;
    IndiSimulator& operator=(const IndiSimulator&) = delete;

    int port() const { return port_; }

    // Starts the server and waits until the camera's CONNECTION property exists.
    bool start();
    // Starts the server with picture_driver.py as the driver of `device`
    // instead of the simulator; it defines "CCD1" at once.
    bool startPictureDriver(const QString& device);
    // One command line for the picture driver ("send PATH SECONDS", "define", ...).
    bool tellPictureDriver(const QString& command);
    // Kills the simulator's driver process, as a crash would; indiserver starts
    // it again, with the camera switched off.
    bool killDriver();
    // Switches the camera on; "CCD1" is defined then.
    bool connectCamera();
    // Switches it off; the driver deletes its properties, "CCD1" among them.
    bool disconnectCamera();
    // Noise and an offset give the picture content.
    bool addContent();
    // With content, streaming on "CCD1" with `encoder`: "MJPEG", or "RAW" as a
    // capture program streams.
    bool streamWithContent(const QString& encoder = QStringLiteral("MJPEG"));
    bool stopStreaming();

    // Sets elements of the camera's properties in one indi_setprop call, each
    // in its notation without the device: "CCD_OFFSET.OFFSET=1000".
    bool set(const QStringList& assignments);
    // The current value of "PROPERTY.ELEMENT" of the camera; empty when the
    // property is not defined.
    QString property(const QString& element);
    // Polls until "PROPERTY.ELEMENT" has `value`; false after `timeoutMs` or
    // once the server has ended.
    bool waitForProperty(const QString& element, const QString& value, int timeoutMs);

    // The server's and driver's messages so far, for failure reports.
    QString log() const;
    // Kills the server and its driver at once, as a crash would.
    void kill();

private:
    // Starts indiserver with `driver`, the variables `environment` added to its own.
    bool startServer(const QStringList& environment, const QString& driver);
    bool runTool(const QStringList& arguments, const QString& outputPath = QString());
    bool propertyExists(const QString& element) { return !property(element).isEmpty(); }
    QString logPath() const { return home_.filePath(QStringLiteral("indiserver.log")); }
    // The first child of indiserver, 0 when there is none.
    pid_t driverPid() const;

    QTemporaryDir home_;
    int port_;
    LocalSocket localSocket_;
    std::unique_ptr<ChildProcess> server_;
    net::UniqueFd pictureDriverControl_;
};

}  // namespace quelmor::test
