// The access list of a file the program makes, rewritten when the folder's
// would let others change it. Wine makes no file so (a new file gets the mode
// its umask leaves, whatever the folder's list or the one it is made with),
// so the rewriting is checked here on a file opened to all once made.
#include "FileAccessTestSupport.h"
#include "FileSecurity.h"
#include "SettingsTestSupport.h"

#include "platform/FileAccess.h"

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

namespace {

using file_access_test::OthersMayChange;
using settings_test::ReadText;
using settings_test::TempFolder;

TEST(FileSecurityTest, OthersKeepOnlyTheReadingPartOfAGrantAndTheUserKeepsAll) {
    TempFolder folder;
    const auto file = folder / "open.txt";
    const HANDLE h = ::CreateFileW(file.c_str(), READ_CONTROL | WRITE_DAC, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, platform::win32::kInvalidHandle);
    // Opened to all once it is made (Wine: made 0777, which no umask limits).
    PSECURITY_DESCRIPTOR everyone = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;WD)", SDDL_REVISION_1,
                                                                       &everyone, nullptr));
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ::GetSecurityDescriptorDacl(everyone, &present, &dacl, &defaulted);
    EXPECT_EQ(::SetSecurityInfo(h, SE_FILE_OBJECT,
                                DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, dacl, nullptr),
              0u);
    ::LocalFree(everyone);
    const bool openBefore = OthersMayChange(file);
    std::string others;
    EXPECT_FALSE(platform::win32::FindOthersWithAccess(h, others));
    EXPECT_EQ(others, "Everyone");
    EXPECT_FALSE(platform::win32::KeepOthersFromChanging(h));
    ::CloseHandle(h);
    EXPECT_TRUE(openBefore);
    EXPECT_FALSE(OthersMayChange(file));

    // The program appends to it as before.
    platform::AppendFile log;
    ASSERT_FALSE(log.Open(file));
    EXPECT_FALSE(log.Write("1\n").Error);
    EXPECT_EQ(ReadText(file), "1\n");
}

} // namespace
