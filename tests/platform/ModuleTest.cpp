#include "platform/Clock.h"
#include "platform/Module.h"

#include <gtest/gtest.h>

#include <string>

// Exported by the test program (it is linked with -rdynamic), as the host
// exports its callbacks.
extern "C" __attribute__((visibility("default"))) int QorModuleTestExport(int x) { return x + 1; }

namespace {

using namespace platform;

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(ModuleTest, ModulesAreFoundByHandleAddressAndNameWithTheirOwnExports) {
    const HMODULE exe = GetModuleHandle(nullptr);
    ASSERT_NE(exe, 0u);
    EXPECT_EQ(ModuleOfAddress(reinterpret_cast<const void*>(&QorModuleTestExport)), exe);
    EXPECT_TRUE(EndsWith(GetModuleFileName(0), "/test_platform"));
    EXPECT_EQ(GetModuleHandle("test_platform"), exe);
    EXPECT_TRUE(EndsWith(GetCommandLineArgs().at(0), "test_platform"));
    auto* fn = reinterpret_cast<int (*)(int)>(GetProcAddress(exe, "QorModuleTestExport"));
    ASSERT_NE(fn, nullptr);
    EXPECT_EQ(fn(41), 42);
    // malloc is in the C library, not in the executable.
    EXPECT_EQ(GetProcAddress(exe, "malloc"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);

    const HMODULE platformLib = ModuleOfAddress(reinterpret_cast<const void*>(&platform::GetTickCount64));
    EXPECT_NE(platformLib, exe);
    EXPECT_TRUE(EndsWith(GetModuleFileName(platformLib), "/libqorplatform.so"));
    EXPECT_EQ(GetModuleHandle("libqorplatform.so"), platformLib);
    EXPECT_NE(GetProcAddress(platformLib, "_ZN8platform14GetTickCount64Ev"), nullptr);
    EXPECT_EQ(GetModuleHandle("libnothere.so"), 0u);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

} // namespace
