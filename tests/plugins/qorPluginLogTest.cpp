#include "PluginTestSupport.h"

#include "platform/Messages.h"
#include "plugins/qorPluginLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

namespace {

using namespace qor;

TEST(LogDataListTest, RepeatsCountUpAndShowTheirNumberOnlyOnce) {
    TLogDataList log;
    for (const char* line : {"a", "a", "a", "b", "b"})
        log.AddLine(line);
    EXPECT_EQ(log.Count(), 2u);
    EXPECT_EQ(log.GetText(), "a x3\r\nb x2\r\n");
    // Producing the text again (a fetch that kept the log) adds no second suffix,
    // and the same line afterwards still counts as a repeat.
    EXPECT_EQ(log.GetText(), "a x3\r\nb x2\r\n");
    log.AddLine("b");
    log.AddLine("a");
    EXPECT_EQ(log.GetText(), "a x3\r\nb x3\r\na\r\n");
}

TEST(LogDataListTest, OnlyTheNewestLinesAreKept) {
    TLogDataList log;
    for (int i = 1; i <= 51201; ++i)
        log.AddLine("line " + std::to_string(i));
    ASSERT_EQ(log.Count(), 51200u);
    EXPECT_EQ(log.Strings(0), "line 2");
    EXPECT_EQ(log.Strings(51199), "line 51201");
}

// Microseconds a line for count new lines, the fastest of five batches (the
// others may have been interrupted by the machine).
double MicrosecondsPerLine(TLogDataList& log, int count, int& serial) {
    double best = 1e300;
    for (int batch = 0; batch < 5; ++batch) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i)
            log.AddLine("line " + std::to_string(++serial));
        const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count() / count);
    }
    return best;
}

// Workers log under the list's lock: a line at the limit, which drops the
// oldest one, may cost little more than a line below it. Compared within one
// run, so the figure holds in any build.
TEST(LogDataListTest, ALineAtTheLimitCostsAboutWhatALineBelowItCosts) {
    TLogDataList log;
    int serial = 0;
    while (serial < 40000)
        log.AddLine("line " + std::to_string(++serial));
    const double below = MicrosecondsPerLine(log, 1000, serial);
    while (log.Count() < TLogDataList::kModuleLogLimit)
        log.AddLine("line " + std::to_string(++serial));
    const double atLimit = MicrosecondsPerLine(log, 1000, serial);
    ASSERT_EQ(log.Count(), TLogDataList::kModuleLogLimit);
    EXPECT_EQ(log.Strings(0), "line " + std::to_string(serial - 51199));
    std::printf("log line: %.3f us below the limit, %.3f us at the limit (ratio %.1f)\n", below, atLimit,
                atLimit / below);
    EXPECT_LT(atLimit, 20 * below);
}

int logChanged = 0;
platform::LRESULT CountingProc(platform::HWND h, platform::UINT msg, platform::WPARAM w, platform::LPARAM l) {
    if (msg == PLUGIN_MSG_LOG_CHANGED)
        ++logChanged;
    return platform::DefWindowProc(h, msg, w, l);
}

TEST(ModuleLogTest, AHostWindowWithAFullQueueIsToldBySendingTheMessage) {
    platform::RegisterClass({"LogTestHost", &CountingProc, 0});
    const platform::HWND window = platform::CreateHiddenWindow("LogTestHost");
    plugintest::TestRecord r;
    auto module = plugintest::MakeModule(r);
    module->HostWindow = window;
    for (std::size_t i = 0; i < platform::MAX_POSTED_MESSAGES; ++i)
        ASSERT_TRUE(platform::PostMessage(window, platform::WM_USER, 0, 0));
    if (platform::PostMessage(window, platform::WM_USER, 0, 0)) {
        // Windows refuses posts beyond its quota (10000 a queue) as the Linux
        // build does; Wine keeps no such quota, so no queue is ever full there.
        platform::DestroyWindow(window);
        GTEST_SKIP() << "this system takes more than " << platform::MAX_POSTED_MESSAGES
                     << " posted messages a queue (Wine): a full queue cannot be made";
    }
    logChanged = 0;
    module->Log(2, "queue full");
    EXPECT_EQ(logChanged, 1); // sent: the window had it before any message was pumped
    platform::DestroyWindow(window);
}

} // namespace
