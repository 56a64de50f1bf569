// SPDX-License-Identifier: GPL-3.0-or-later
#include "EventLoopWait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

namespace quelmor::test {

namespace {

constexpr int kPollStepMs = 10;

}  // namespace

bool waitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, kPollStepMs);
        QThread::msleep(kPollStepMs);
    }
    return true;
}

}  // namespace quelmor::test
