// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the main thread, so
// that `kill`, Ctrl-C and a closed terminal end the service in order, as the
// stop method does: its source ends, the HTTP port is freed and the record of
// the source is removed. Only a crash leaves that record behind.
//
// Thread: main. Construct it before any other thread starts: the signals are
// blocked in this thread, and threads started later inherit the block.
class TerminationSignals : public QObject {
    Q_OBJECT

public:
    TerminationSignals();
    ~TerminationSignals() override;

signals:
    void received(int signalNumber);

private:
    Q_DISABLE_COPY_MOVE(TerminationSignals)

    void readSignal();

    int fd_ = -1;  // the signalfd; -1 if it could not be made, and the signals act as before
    std::unique_ptr<QSocketNotifier> notifier_;
};
