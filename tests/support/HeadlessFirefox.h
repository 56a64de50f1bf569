// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ChildProcess.h"
#include "LoopbackClient.h"
#include "TestSupport.h"

#include <filesystem>
#include <memory>
#include <string>

namespace quelmor::test {

// Headless Firefox driven over its Marionette protocol on a loopback port it
// picks itself, so that a test decides when to look at the page: opens one
// page and runs scripts in it on demand. Used by one thread; every call has a
// deadline.
class HeadlessFirefox {
public:
    static constexpr const char* kProgram = "firefox-esr";

    HeadlessFirefox(int width, int height);
    // Closes the browser and removes its profile.
    ~HeadlessFirefox();
    HeadlessFirefox(const HeadlessFirefox&) = delete;
    HeadlessFirefox& operator=(const HeadlessFirefox&) = delete;

    // Opens `url` and waits until it has loaded; false with the reason in error().
    bool open(const std::string& url);
    // The string `expression` evaluates to in the page; empty on failure,
    // with the reason in error().
    std::string evaluate(const std::string& expression);
    const std::string& error() const { return error_; }

private:
    // Connects to the port the browser names in its profile once it listens.
    bool connect();
    // Sends one command and returns its result's text; empty on failure.
    std::string call(const std::string& command, const std::string& params, int timeout_ms = kWaitTimeoutMs);
    // One message of the form "<length>:<JSON>".
    bool receive(std::string& message, long long deadline_ms);

    int width_;
    int height_;
    std::filesystem::path profile_;
    std::unique_ptr<ChildProcess> process_;
    std::unique_ptr<LoopbackClient> connection_;
    bool started_ = false;  // the browser runs and a session is open
    int next_id_ = 1;
    std::string error_;
};

}  // namespace quelmor::test
