// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ChildProcess.h"
#include "TestSupport.h"

#include "mjpeg/UniqueFd.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace quelmor::test {

// Headless Chromium driven over its DevTools pipe, so that a test decides when
// to look at the page: opens one page and takes screenshots of it, or runs a
// script in it, on demand.
// Used by one thread; every call has a deadline.
class HeadlessChromium {
public:
    static constexpr const char* kProgram = "chromium";

    HeadlessChromium(int width, int height);
    // Closes the browser and removes its profile.
    ~HeadlessChromium();
    HeadlessChromium(const HeadlessChromium&) = delete;
    HeadlessChromium& operator=(const HeadlessChromium&) = delete;

    // Opens `url` in a page of the given size; false with the reason in error().
    bool open(const std::string& url);
    // The page as drawn now, interleaved RGB of width x height; empty on
    // failure, with the reason in error().
    std::vector<unsigned char> screenshot();
    // The string `expression` evaluates to in the page; empty on failure,
    // with the reason in error().
    std::string evaluate(const std::string& expression);
    const std::string& error() const { return error_; }

private:
    // Sends one command and returns its answer's text; empty on failure.
    std::string call(const std::string& method, const std::string& params, const std::string& session = {},
        int timeout_ms = kWaitTimeoutMs);
    bool send(const std::string& message);
    bool receive(std::string& message, long long deadline_ms);

    int width_;
    int height_;
    std::filesystem::path profile_;
    net::UniqueFd commands_;                 // our end of the pipe Chromium reads as descriptor 3
    net::UniqueFd answers_;                  // our end of the pipe Chromium writes as descriptor 4
    std::unique_ptr<ChildProcess> process_;  // null if the pipes could not be made
    bool started_ = false;                   // the browser runs and has answered
    std::string received_;
    std::string session_;
    int next_id_ = 1;
    std::string error_;
};

}  // namespace quelmor::test
