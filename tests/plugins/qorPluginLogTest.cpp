#include "PluginTestSupport.h"

#include "platform/Debug.h"
#include "platform/Messages.h"
#include "plugins/qorPluginLog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace qor;

TEST(LogDataListTest, RepeatsCountUpAndShowTheirNumber) {
    TLogDataList log;
    log.AddLine("a");
    log.AddLine("a");
    log.AddLine("a");
    log.AddLine("b");
    EXPECT_EQ(log.Count(), 2u);
    EXPECT_EQ(log.GetText(), "a x3\r\nb\r\n");
    log.AddLine("b");
    EXPECT_EQ(log.GetText(), "a x3\r\nb x2\r\n");
    // A line only repeats the one right before it.
    log.AddLine("a");
    EXPECT_EQ(log.GetText(), "a x3\r\nb x2\r\na\r\n");
}

TEST(LogDataListTest, ProducingTheTextTwiceDoesNotRepeatTheSuffix) {
    TLogDataList log;
    log.AddLine("a");
    log.AddLine("a");
    EXPECT_EQ(log.GetText(), "a x2\r\n");
    EXPECT_EQ(log.GetText(), "a x2\r\n");
    // The same line after a fetch that kept the log still counts as a repeat.
    log.AddLine("a");
    EXPECT_EQ(log.GetText(), "a x3\r\n");
}

TEST(LogDataListTest, OnlyTheNewestLinesAreKept) {
    TLogDataList log;
    EXPECT_EQ(log.MaxLines, 51200u);
    for (int i = 1; i <= 51201; ++i)
        log.AddLine("line " + std::to_string(i));
    ASSERT_EQ(log.Count(), 51200u);
    EXPECT_EQ(log.Strings(0), "line 2");
    EXPECT_EQ(log.Strings(51199), "line 51201");
}

// A host window on the test thread that counts the messages it gets.
struct HostWindow {
    static inline std::vector<platform::WPARAM> logChanged;
    static platform::LRESULT Proc(platform::HWND hwnd, platform::UINT msg, platform::WPARAM wParam,
                                  platform::LPARAM lParam) {
        if (msg == PLUGIN_MSG_LOG_CHANGED)
            logChanged.push_back(wParam);
        return platform::DefWindowProc(hwnd, msg, wParam, lParam);
    }
    HostWindow() {
        logChanged.clear();
        platform::RegisterClass({"LogTestHost", &Proc, 0});
        hwnd = platform::CreateHiddenWindow("LogTestHost");
    }
    ~HostWindow() { platform::DestroyWindow(hwnd); }
    void Pump() {
        platform::MSG msg;
        while (platform::PeekMessage(&msg, 0, 0, 0, platform::PM_REMOVE))
            platform::DispatchMessage(&msg);
    }
    platform::HWND hwnd = 0;
};

TEST(ModuleLogTest, LinesCarryLevelAndTitleAndTheHostIsTold) {
    HostWindow window;
    plugintest::TestRecord r;
    auto module = plugintest::MakeModule(r);
    module->Log(1, "before a window"); // kept, nobody told
    module->HostWindow = window.hwnd;
    module->ModuleIndex = 0x0302;
    module->LogTitle = "Press";
    module->Log(0, "a\rb\nc");
    window.Pump();
    EXPECT_EQ(HostWindow::logChanged, (std::vector<platform::WPARAM>{0x0302}));
    EXPECT_EQ(module->LogList().GetText(), "\x02" "before a window\r\n\x01Press. a b c\r\n");
}

TEST(ModuleLogTest, AFullQueueIsPassedBySendingTheMessage) {
    HostWindow window;
    plugintest::TestRecord r;
    auto module = plugintest::MakeModule(r);
    module->HostWindow = window.hwnd;
    for (std::size_t i = 0; i < platform::MAX_POSTED_MESSAGES; ++i)
        ASSERT_TRUE(platform::PostMessage(window.hwnd, platform::WM_USER, 0, 0));
    module->Log(2, "queue full");
    // Sent, not posted: the window had it before any message was pumped.
    EXPECT_EQ(HostWindow::logChanged.size(), 1u);
    window.Pump();
}

TEST(ModuleLogTest, ExceptionLinesGoToTheDebuggerOutputToo) {
    plugintest::TestRecord r;
    auto module = plugintest::MakeModule(r);
    std::vector<std::string> debug;
    platform::SetDebugOutputSink([&](std::string_view s) { debug.emplace_back(s); });
    module->LogException("SET-STATE", "broken");
    platform::SetDebugOutputSink({});
    EXPECT_EQ(debug, (std::vector<std::string>{"{SET-STATE} broken"}));
    EXPECT_EQ(module->LogList().GetText(), "\x01{SET-STATE} broken\r\n");
}

} // namespace
