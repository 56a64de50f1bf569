// SPDX-License-Identifier: GPL-3.0-or-later
// The viewer page in real headless browsers stays with the picture while the
// real service process, on the test's session bus, switches its source, stops
// and comes back, dies and comes back, stalls, and restretches a long
// exposure. The live source is the scripted picture driver sending a dark
// picture, or a grey one as a 30 s exposure; the SER file is white.
#include "HeadlessChromium.h"
#include "HeadlessFirefox.h"
#include "IndiSimulator.h"
#include "JpegCodec.h"
#include "LiveTestSupport.h"
#include "PortHolder.h"
#include "SerFileWriter.h"
#include "ServiceProcess.h"
#include "TestSupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

using namespace quelmor::test;

namespace {

// What the page must meet after every change, counted from the moment the
// service has its source again.
constexpr int kShowWithinMs = 6000;
// The delay before the page's next try starts over after each part: the
// second of two stream ends in a row is followed within about a second, far
// from the 5 s of a delay that kept growing.
constexpr int kSecondReconnectWithinMs = 1500;
// The page gives up on a silent stream after 10 s; a second of its watchdog
// and some slack on top.
constexpr int kStallNoticedWithinMs = 15000;
constexpr int kLookEveryMs = 50;
constexpr int kWindowWidth = 640;
constexpr int kWindowHeight = 480;
constexpr int kPictureWidth = 64;
constexpr int kPictureHeight = 48;
constexpr int kLiveGrey = 40;
constexpr int kSerGrey = 255;
// Midtones 0.2 take grey 80 to 165.
constexpr int kExposureGrey = 80;
constexpr int kStretchedExposureGrey = 165;
constexpr double kBrighteningMidtones = 0.2;
constexpr int kGreyTolerance = 30;
constexpr const char* kLiveInterval = "0.2";
// Longer than any step's bound: a picture that changes within the bound has
// changed before the next exposure.
constexpr const char* kExposureInterval = "30";
constexpr const char* kInfoLine = "document.getElementById('info').textContent";

// The picture the page shows, as the mean of its red samples (-1 before the
// first), and whether the reconnecting note is up: "GREY NOTE".
constexpr const char* kPageState = R"((function () {
  var picture = document.getElementById('picture'), note = document.getElementById('note'), grey = -1;
  if (picture.width) {
    var canvas = document.createElement('canvas'), context = canvas.getContext('2d');
    canvas.width = canvas.height = 8;
    context.drawImage(picture, 0, 0, 8, 8);
    var data = context.getImageData(0, 0, 8, 8).data;
    grey = 0;
    for (var i = 0; i < data.length; i += 4) grey += data[i] / 64;
  }
  return Math.round(grey) + ' ' + (note && !note.hidden ? 1 : 0);
})())";

struct PageState {
    int grey = -1;
    bool note = false;
};

enum class Source { live, ser, exposure, stretchedExposure };

bool shows(const PageState& state, Source source)
{
    const int greys[] = {kLiveGrey, kSerGrey, kExposureGrey, kStretchedExposureGrey};
    return std::abs(state.grey - greys[static_cast<int>(source)]) <= kGreyTolerance;
}

template <typename Browser>
class ViewerReconnectTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_WITHOUT_PEER(Browser::kProgram);
        ASSERT_TRUE(directory.isValid());
        serPath = directory.filePath(QStringLiteral("white.ser"));
        const QByteArray white(kPictureWidth * kPictureHeight, static_cast<char>(kSerGrey));
        ASSERT_TRUE(
            sertest::writeSerFile(serPath, {sertest::kSerColorMono, 8, kPictureWidth, kPictureHeight}, {white}));
        for (const int grey : {kLiveGrey, kExposureGrey}) {
            const std::string jpeg = encodeJpeg(
                std::vector<std::uint8_t>(kPictureWidth * kPictureHeight, grey), kPictureWidth, kPictureHeight, 1);
            writeFile(directory, QStringLiteral("%1.jpg").arg(grey), jpeg);
        }
        ASSERT_TRUE(simulator.startPictureDriver(kPictureDriver)) << simulator.log().toStdString();
    }
    // The driver sends the picture of `grey` every `interval` seconds from now.
    bool sendLive(int grey, const char* interval)
    {
        return simulator.tellPictureDriver(
            QStringLiteral("send %1 %2").arg(directory.filePath(QStringLiteral("%1.jpg").arg(grey)), interval));
    }

    PageState look(Browser& browser)
    {
        PageState state;
        std::istringstream(browser.evaluate(kPageState)) >> state.grey >> state.note;
        return state;
    }

    // Polls the page until `wanted` holds or `timeout_ms` pass; the time it
    // took, or -1.
    long long waitForPage(Browser& browser, const std::function<bool(const PageState&)>& wanted, int timeout_ms)
    {
        const long long start = nowMs();
        while (nowMs() - start <= timeout_ms) {
            last = look(browser);
            if (wanted(last))
                return nowMs() - start;
            std::this_thread::sleep_for(std::chrono::milliseconds(kLookEveryMs));
        }
        return -1;
    }

    // The page keeps the picture of `source` under the reconnecting note.
    void expectNoteOver(Browser& browser, Source source, int timeout_ms)
    {
        const long long took = waitForPage(
            browser, [](const PageState& s) { return s.note; }, timeout_ms);
        std::cout << "[ viewer   ] " << Browser::kProgram << ", note up after " << took << " ms" << std::endl;
        EXPECT_GE(took, 0) << "no reconnecting note; grey " << last.grey << " " << browser.error();
        EXPECT_TRUE(shows(last, source)) << "the last picture was not kept: grey " << last.grey;
    }

    QTemporaryDir directory;
    QString serPath;
    IndiSimulator simulator;
    ServiceProcess service;
    PageState last;
};

using Browsers = ::testing::Types<HeadlessChromium, HeadlessFirefox>;
TYPED_TEST_SUITE(ViewerReconnectTest, Browsers);

// Each change leaves the service serving its new source; the page opened
// once must show that source's picture within kShowWithinMs of it, with the
// note gone. The times are printed for the record.
TYPED_TEST(ViewerReconnectTest, ShowsEachNewSourceWithoutAReload)
{
    ServiceProcess& service = this->service;
    TypeParam browser(kWindowWidth, kWindowHeight);
    struct Step {
        const char* name;
        std::function<void()> change;
        Source shown;
        int withinMs = kShowWithinMs;
    };
    const Step steps[] = {
        {"first live picture, the page opened before it",
            [&] {
                ASSERT_TRUE(service.start()) << "the service did not come up on the session bus";
                ASSERT_TRUE(service.send(QStringLiteral("start"), {kPictureDriver}));
                ASSERT_TRUE(portOpen(kHttpPort)) << "port " << kHttpPort << " not open once start returned";
                ASSERT_TRUE(browser.open("http://127.0.0.1:" + std::to_string(kHttpPort) + "/viewer"))
                    << browser.error();
                EXPECT_TRUE(waitFor([&] { return browser.evaluate(kInfoLine) == "waiting for the first picture"; }))
                    << "the info line says \"" << browser.evaluate(kInfoLine) << "\"";
                ASSERT_TRUE(this->sendLive(kLiveGrey, kLiveInterval));
            },
            Source::live},
        {"live -> SER", [&] { ASSERT_TRUE(service.answer<bool>(QStringLiteral("openSer"), {this->serPath})); },
            Source::ser},
        {"SER -> live", [&] { ASSERT_TRUE(service.send(QStringLiteral("start"), {kPictureDriver})); }, Source::live},
        {"stop, start, SER",
            [&] {
                ASSERT_TRUE(service.stop()) << "the service did not end after stop";
                this->expectNoteOver(browser, Source::live, kShowWithinMs);
                ASSERT_TRUE(service.start());
                ASSERT_TRUE(service.answer<bool>(QStringLiteral("openSer"), {this->serPath}));
            },
            Source::ser},
        {"SIGKILL, start, live",
            [&] {
                ASSERT_TRUE(service.kill());
                this->expectNoteOver(browser, Source::ser, kShowWithinMs);
                ASSERT_TRUE(service.start());
                ASSERT_TRUE(service.send(QStringLiteral("start"), {kPictureDriver}));
            },
            Source::live},
        {"stalled 10 s, resumed",
            [&] {
                ASSERT_TRUE(service.signal(SIGSTOP));
                this->expectNoteOver(browser, Source::live, kStallNoticedWithinMs);
                ASSERT_TRUE(service.signal(SIGCONT));
            },
            Source::live},
        {"live -> SER -> live, the second within about a second",
            [&] {
                ASSERT_TRUE(service.answer<bool>(QStringLiteral("openSer"), {this->serPath}));
                ASSERT_GE(
                    this->waitForPage(
                        browser, [](const PageState& s) { return shows(s, Source::ser) && !s.note; }, kShowWithinMs),
                    0);
                ASSERT_TRUE(service.send(QStringLiteral("start"), {kPictureDriver}));
            },
            Source::live, kSecondReconnectWithinMs},
        {"a stretch set during a long exposure",
            [&] {
                ASSERT_TRUE(this->sendLive(kExposureGrey, kExposureInterval));
                ASSERT_GE(this->waitForPage(
                              browser, [](const PageState& s) { return shows(s, Source::exposure); }, kShowWithinMs),
                    0);
                ASSERT_TRUE(service.send(QStringLiteral("setStretchParams"), {0.0, kBrighteningMidtones, 1.0}));
            },
            Source::stretchedExposure},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        step.change();
        ASSERT_FALSE(this->HasFatalFailure());
        const long long took = this->waitForPage(
            browser, [&](const PageState& s) { return shows(s, step.shown) && !s.note; }, step.withinMs);
        std::cout << "[ viewer   ] " << TypeParam::kProgram << ", " << step.name << ": "
                  << (took < 0 ? std::string("not within the bound") : std::to_string(took) + " ms") << std::endl;
        ASSERT_GE(took, 0) << "the page shows grey " << this->last.grey << ", note " << this->last.note << " "
                           << browser.error();
    }
}

}  // namespace
