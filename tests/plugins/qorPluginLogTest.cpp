#include "PluginTestSupport.h"

#include "platform/Messages.h"
#include "plugins/qorPluginLog.h"

#include <gtest/gtest.h>

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
    logChanged = 0;
    module->Log(2, "queue full");
    EXPECT_EQ(logChanged, 1); // sent: the window had it before any message was pumped
    platform::DestroyWindow(window);
}

} // namespace
