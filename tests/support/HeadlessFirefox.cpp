// SPDX-License-Identifier: GPL-3.0-or-later
#include "HeadlessFirefox.h"

#include "JsonText.h"

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace quelmor::test {

namespace {

// As for Chromium: a first start on a cold disk takes far longer than later ones.
constexpr int kStartTimeoutMs = 60000;
constexpr int kPortPollMs = 50;
constexpr int kQuitTimeoutMs = 5000;
// Marionette on a port the browser picks, named in this file of the profile
// once it listens; and a profile that leaves the network alone.
constexpr const char* kActivePortFile = "MarionetteActivePort";
constexpr const char* kPreferences = R"(user_pref("marionette.port", 0);
user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("browser.startup.homepage_override.mstone", "ignore");
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("toolkit.telemetry.reportingpolicy.firstRun", false);
user_pref("app.update.disabledForTesting", true);
user_pref("network.captive-portal-service.enabled", false);
user_pref("network.connectivity-service.enabled", false);
user_pref("browser.safebrowsing.update.enabled", false);
user_pref("extensions.update.enabled", false);
)";

}  // namespace

HeadlessFirefox::HeadlessFirefox(int width, int height) : width_(width), height_(height)
{
    char profile_pattern[] = "/tmp/quelmor-firefox-XXXXXX";
    if (!::mkdtemp(profile_pattern)) {
        error_ = "no profile directory";
        return;
    }
    profile_ = profile_pattern;
    std::ofstream(profile_ / "user.js") << kPreferences;
    ChildOptions options;
    // Its content processes go with it.
    options.own_process_group = true;
    // Off the test's session bus, like Chromium.
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"env", "-u", "DBUS_SESSION_BUS_ADDRESS", "MOZ_CRASHREPORTER_DISABLE=1", kProgram,
            "--headless", "--marionette", "--no-remote", "--profile", profile_.string(), "about:blank"},
        options);
    started_ = process_->isStarted() && connect() && !call("WebDriver:NewSession", "{}", kStartTimeoutMs).empty();
}

HeadlessFirefox::~HeadlessFirefox()
{
    if (started_) {
        call("Marionette:Quit", "{}");
        process_->waitForExit(kQuitTimeoutMs);
    }
    process_.reset();
    if (!profile_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(profile_, ignored);
    }
}

bool HeadlessFirefox::open(const std::string& url)
{
    if (!started_) {
        if (error_.empty())
            error_ = "firefox did not start";
        return false;
    }
    const std::string size = "{\"width\":" + std::to_string(width_) + ",\"height\":" + std::to_string(height_) + "}";
    return !call("WebDriver:SetWindowRect", size).empty() &&
        !call("WebDriver:Navigate", "{\"url\":" + jsonQuoted(url) + "}").empty();
}

std::string HeadlessFirefox::evaluate(const std::string& expression)
{
    const std::string script = "return (" + expression + ");";
    return jsonStringMember(
        call("WebDriver:ExecuteScript", "{\"script\":" + jsonQuoted(script) + ",\"args\":[]}"), "value");
}

bool HeadlessFirefox::connect()
{
    const long long deadline = nowMs() + kStartTimeoutMs;
    int port = 0;
    while (!(std::ifstream(profile_ / kActivePortFile) >> port) || port <= 0) {
        if (nowMs() > deadline || process_->hasExited()) {
            error_ = "firefox never listened for Marionette";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPortPollMs));
    }
    connection_ = std::make_unique<LoopbackClient>(port);
    // The browser greets first, with its protocol level.
    std::string greeting;
    if (!connection_->isConnected() || !receive(greeting, deadline)) {
        error_ = "no greeting on Marionette's port " + std::to_string(port);
        return false;
    }
    return true;
}

std::string HeadlessFirefox::call(const std::string& command, const std::string& params, int timeout_ms)
{
    if (!connection_) {
        error_ = command + ": no connection to firefox";
        return {};
    }
    // A command is [0, id, name, parameters]; its answer [1, id, error, result].
    const std::string id = std::to_string(next_id_++);
    const std::string message = "[0," + id + "," + jsonQuoted(command) + "," + params + "]";
    if (!connection_->send(std::to_string(message.size()) + ":" + message)) {
        error_ = command + ": the connection to firefox is closed";
        return {};
    }
    const std::string answer_start = "[1," + id + ",";
    const std::string no_error = "null,";
    const long long deadline = nowMs() + timeout_ms;
    std::string answer;
    while (receive(answer, deadline)) {
        if (answer.compare(0, answer_start.size(), answer_start) != 0)
            continue;
        if (answer.compare(answer_start.size(), no_error.size(), no_error) == 0)
            return answer.substr(answer_start.size() + no_error.size());
        error_ = command + ": " + answer;
        return {};
    }
    error_ = command + ": no answer from firefox";
    return {};
}

bool HeadlessFirefox::receive(std::string& message, long long deadline_ms)
{
    std::string length;
    for (;;) {
        const long long left = deadline_ms - nowMs();
        const std::string digit = left > 0 ? connection_->read(1, static_cast<int>(left)) : std::string();
        if (digit.empty())
            return false;
        if (digit == ":")
            break;
        length += digit;
    }
    const std::size_t bytes = std::strtoul(length.c_str(), nullptr, 10);
    const long long left = deadline_ms - nowMs();
    message = connection_->read(bytes, static_cast<int>(std::max(left, 0LL)));
    return message.size() == bytes;
}

}  // namespace quelmor::test
