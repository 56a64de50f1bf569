// SPDX-License-Identifier: GPL-3.0-or-later
#include "HeadlessChromium.h"

#include "JpegCodec.h"
#include "JsonText.h"
#include "LoopbackClient.h"
#include "TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>

namespace quelmor::test {

namespace {

constexpr int kScreenshotJpegQuality = 100;
// A browser's first start on a new machine reads its files from a cold disk:
// seen to take over 10 s before it answered, where it takes 1 s once warm.
constexpr int kStartTimeoutMs = 60000;
// Descriptors handed to the child are moved at least this high, above the
// numbers 3 and 4 they take in the child.
constexpr int kLowestHandedDescriptor = 10;

// One end of a pipe, moved above kLowestHandedDescriptor, close-on-exec.
net::UniqueFd raised(int fd)
{
    net::UniqueFd original(fd);
    return net::UniqueFd(::fcntl(original.get(), F_DUPFD_CLOEXEC, kLowestHandedDescriptor));
}

bool makePipe(net::UniqueFd& read_end, net::UniqueFd& write_end)
{
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return false;
    read_end = raised(ends[0]);
    write_end = raised(ends[1]);
    return read_end.isValid() && write_end.isValid();
}

std::string decodeBase64(const std::string& text)
{
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    unsigned int bits = 0;
    int bit_count = 0;
    for (const char c : text) {
        const std::size_t value = alphabet.find(c);
        if (value == std::string::npos)
            break;  // '=' padding or the end
        bits = (bits << 6) | static_cast<unsigned int>(value);
        bit_count += 6;
        if (bit_count >= 8) {
            bit_count -= 8;
            bytes.push_back(static_cast<char>((bits >> bit_count) & 0xFF));
        }
    }
    return bytes;
}

}  // namespace

HeadlessChromium::HeadlessChromium(int width, int height) : width_(width), height_(height)
{
    // A browser that dies makes our next write fail instead of killing the test.
    ::signal(SIGPIPE, SIG_IGN);
    char profile_pattern[] = "/tmp/quelmor-chromium-XXXXXX";
    net::UniqueFd child_commands, child_answers;
    if (!::mkdtemp(profile_pattern) || !makePipe(child_commands, commands_) || !makePipe(answers_, child_answers)) {
        error_ = "no profile directory or pipes";
        return;
    }
    profile_ = profile_pattern;
    ChildOptions options;
    options.inherited_fds = {child_commands.get(), child_answers.get()};
    // The browser stays off the test's session bus: it needs no bus, and
    // would otherwise start an accessibility bus there.
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"env", "-u", "DBUS_SESSION_BUS_ADDRESS", "NO_AT_BRIDGE=1", kProgram, "--headless",
            "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
            "--disable-component-update", "--disable-sync", "--user-data-dir=" + profile_.string(),
            "--window-size=" + std::to_string(width) + "," + std::to_string(height), "--remote-debugging-pipe",
            "about:blank"},
        options);
    started_ = process_->isStarted() && !call("Browser.getVersion", "{}", {}, kStartTimeoutMs).empty();
}

HeadlessChromium::~HeadlessChromium()
{
    if (started_) {
        call("Browser.close", "{}");
        process_->waitForExit(kWaitTimeoutMs);
    }
    process_.reset();
    if (!profile_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(profile_, ignored);
    }
}

bool HeadlessChromium::open(const std::string& url)
{
    if (!started_) {
        if (error_.empty())
            error_ = "chromium did not start";
        return false;
    }
    // The page gets its size before it loads, so it is laid out once.
    const std::string target = jsonStringMember(call("Target.createTarget", "{\"url\":\"about:blank\"}"), "targetId");
    if (target.empty())
        return false;
    session_ = jsonStringMember(
        call("Target.attachToTarget", "{\"targetId\":\"" + target + "\",\"flatten\":true}"), "sessionId");
    const std::string size = "{\"width\":" + std::to_string(width_) + ",\"height\":" + std::to_string(height_) +
        ",\"deviceScaleFactor\":1,\"mobile\":false}";
    return !session_.empty() && !call("Emulation.setDeviceMetricsOverride", size, session_).empty() &&
        !call("Page.navigate", "{\"url\":\"" + url + "\"}", session_).empty();
}

std::vector<unsigned char> HeadlessChromium::screenshot()
{
    const std::string answer = call("Page.captureScreenshot",
        "{\"format\":\"jpeg\",\"quality\":" + std::to_string(kScreenshotJpegQuality) + "}", session_);
    if (answer.empty())
        return {};
    const std::string jpeg = decodeBase64(jsonStringMember(answer, "data"));
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;
    if (!decodeJpeg(jpeg, width, height, rgb)) {
        error_ = "the screenshot is no JPEG picture";
        return {};
    }
    if (width != width_ || height != height_) {
        error_ = "the screenshot is " + std::to_string(width) + "x" + std::to_string(height);
        return {};
    }
    return rgb;
}

std::string HeadlessChromium::evaluate(const std::string& expression)
{
    const std::string answer =
        call("Runtime.evaluate", "{\"expression\":" + jsonQuoted(expression) + ",\"returnByValue\":true}", session_);
    if (answer.find("\"exceptionDetails\"") != std::string::npos) {
        error_ = "the script failed: " + answer;
        return {};
    }
    return jsonStringMember(answer, "value");
}

std::string HeadlessChromium::call(
    const std::string& method, const std::string& params, const std::string& session, int timeout_ms)
{
    const std::string id = std::to_string(next_id_++);
    std::string message = "{\"id\":" + id + ",\"method\":\"" + method + "\",\"params\":" + params;
    if (!session.empty())
        message += ",\"sessionId\":\"" + session + "\"";
    message += "}";
    if (!send(message)) {
        error_ = method + ": the pipe to chromium is closed";
        return {};
    }
    // Events come in between; the answer starts with its id.
    const std::string answer_start = "{\"id\":" + id + ",";
    const long long deadline = nowMs() + timeout_ms;
    std::string answer;
    while (receive(answer, deadline)) {
        if (answer.compare(0, answer_start.size(), answer_start) != 0)
            continue;
        if (answer.find("\"error\":") != std::string::npos) {
            error_ = method + ": " + answer;
            return {};
        }
        return answer;
    }
    error_ = method + ": no answer from chromium";
    return {};
}

bool HeadlessChromium::send(const std::string& message)
{
    // Each message ends with a NUL byte.
    const std::string framed = message + '\0';
    std::size_t written = 0;
    while (written < framed.size()) {
        const ssize_t result = ::write(commands_.get(), framed.data() + written, framed.size() - written);
        if (result < 0 && errno == EINTR)
            continue;
        if (result <= 0)
            return false;
        written += static_cast<std::size_t>(result);
    }
    return true;
}

bool HeadlessChromium::receive(std::string& message, long long deadline_ms)
{
    std::size_t end = std::string::npos;
    char chunk[64 * 1024];
    while ((end = received_.find('\0')) == std::string::npos) {
        const long long left = deadline_ms - nowMs();
        if (left <= 0)
            return false;
        pollfd entry{answers_.get(), POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t result = ::read(answers_.get(), chunk, sizeof chunk);
        if (result == 0 || (result < 0 && errno != EINTR))
            return false;
        if (result > 0)
            received_.append(chunk, static_cast<std::size_t>(result));
    }
    message = received_.substr(0, end);
    received_.erase(0, end + 1);
    return true;
}

}  // namespace quelmor::test
