#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A real `indiserver` running `indi_simulator_ccd` for one test, driven with
// the `indi_setprop` and `indi_getprop` tools. It listens on a free loopback
// port and on a local socket of its own, with a temporary HOME so the driver's
// saved settings never carry over; it is stopped when the object goes.
//
// Thread: the test's. Not thread-safe.
class IndiSimulator {
public:
    static constexpr char kDevice[] = "CCD Simulator";

    IndiSimulator() = default;
    ~IndiSimulator();
    Q_DISABLE_COPY_MOVE(IndiSimulator)

    // Starts the server and connects the camera; false with the reason when
    // either does not happen within a generous time.
    bool start(QString& error);
    int port() const { return port_; }

    // Sets elements of one of the camera's properties, in indi_setprop's
    // notation without the device: "CCD_OFFSET.OFFSET=1000".
    bool setProperty(const QString& assignment);
    // The current value of "PROPERTY.ELEMENT" of the camera; empty when the
    // property is not defined.
    QString property(const QString& element);
    // Polls until "PROPERTY.ELEMENT" has `value`; false after `timeoutMs`.
    bool waitForProperty(const QString& element, const QString& value, int timeoutMs);

    // The server's and driver's messages so far, for failure reports.
    QString log() const;

private:
    bool runTool(const QString& program, const QStringList& arguments, QByteArray* output = nullptr);

    QTemporaryDir home;
    QProcess server;
    int port_ = 0;
};
