// Files a program writes for itself (its outputs, its log) and files that hold
// its secrets, alike on Linux and Windows: appends land at the end whoever
// else appends, a partial record can be cut off, a log can be rotated under
// the program, no one else may change what it makes, and a secret that others
// may read is refused.
#include "platform/FileAccess.h"

#include "FileAccessTestSupport.h"
#include "SettingsTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

using file_access_test::OpenFolder;
using file_access_test::OthersMayChange;
using file_access_test::WritePrivateFile;
using file_access_test::WriteSharedFile;
using platform::AppendFile;
using platform::ReadPrivateFile;
using settings_test::ReadText;
using settings_test::TempFolder;

TEST(AppendFileTest, WritesGoToTheEndWhoeverElseAppendsAndCanBeCutBack) {
    TempFolder folder;
    const auto file = folder / "log.txt";
    AppendFile first, second;
    ASSERT_FALSE(first.Open(file));
    ASSERT_FALSE(second.Open(file));
    EXPECT_TRUE(first.IsRegular());
    EXPECT_EQ(first.Write("one\n").Bytes, 4u);
    EXPECT_FALSE(second.Write("two\n").Error);
    EXPECT_FALSE(first.Write("three\n").Error);
    EXPECT_EQ(ReadText(file), "one\ntwo\nthree\n");
    EXPECT_EQ(second.Size(), 14);

    // A record that went out in part is cut off; the next write follows what
    // is left, from either writer.
    EXPECT_FALSE(first.TruncateTo(4));
    EXPECT_FALSE(second.Write("four\n").Error);
    EXPECT_FALSE(first.Sync());
    EXPECT_EQ(ReadText(file), "one\nfour\n");
    EXPECT_EQ(first.Size(), 9);
}

// A log rotated under the program (renamed, a new one made at its name) keeps
// the program's writes in the renamed file until the program opens it again.
TEST(AppendFileTest, AFileRenamedWhileOpenKeepsTheWrites) {
    TempFolder folder;
    const auto file = folder / "log.txt";
    const auto rotated = folder / "log.txt.1";
    AppendFile log;
    ASSERT_FALSE(log.Open(file));
    ASSERT_FALSE(log.Write("a\n").Error);
    std::filesystem::rename(file, rotated);
    AppendFile moved = std::move(log);
    EXPECT_FALSE(log.IsOpen());
    ASSERT_FALSE(moved.Write("b\n").Error);
    EXPECT_EQ(ReadText(rotated), "a\nb\n");
    EXPECT_FALSE(std::filesystem::exists(file));

    ASSERT_FALSE(moved.Open(file));
    ASSERT_FALSE(moved.Write("c\n").Error);
    EXPECT_EQ(ReadText(file), "c\n");
    EXPECT_EQ(ReadText(rotated), "a\nb\n");
}

TEST(AppendFileTest, WhatCannotBeAppendedToIsRefused) {
    TempFolder folder;
    AppendFile file;
    EXPECT_EQ(file.Open(folder.Path()), std::errc::is_a_directory);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_TRUE(file.Open(folder / "missing" / "log.txt"));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(std::filesystem::exists(folder / "missing"));
    const AppendFile::Written written = file.Write("lost");
    EXPECT_TRUE(written.Error);
    EXPECT_EQ(written.Bytes, 0u);
    EXPECT_EQ(file.Size(), -1);
}

// A folder everyone may write to does not make a log everyone may rewrite;
// the program itself still writes it, now and when it opens it again.
TEST(AppendFileTest, NoOneElseMayChangeAFileItMakesWhateverTheFolderAllows) {
    TempFolder folder;
    const auto open = folder / "open";
    std::filesystem::create_directory(open);
    const OpenFolder everyone(open);
    const auto file = open / "log.txt";
    {
        AppendFile log;
        ASSERT_FALSE(log.Open(file));
        EXPECT_FALSE(log.Write("1\n").Error);
    }
    EXPECT_FALSE(OthersMayChange(file));
    AppendFile again;
    ASSERT_FALSE(again.Open(file));
    EXPECT_FALSE(again.Write("2\n").Error);
    EXPECT_FALSE(again.TruncateTo(2));
    EXPECT_FALSE(again.Write("3\n").Error);
    EXPECT_EQ(ReadText(file), "1\n3\n");
}

TEST(ReadPrivateFileTest, APrivateFileIsReadWholeUpToTheLimit) {
    TempFolder folder;
    const auto file = folder / "secret";
    // Longer than one read, exactly the limit.
    const std::string secret(10000, 's');
    WritePrivateFile(file, secret);
    std::string text, why;
    ASSERT_TRUE(ReadPrivateFile(file, secret.size(), text, why)) << why;
    EXPECT_EQ(text, secret);
    EXPECT_TRUE(why.empty());
}

// Every refusal names the file and leaves nothing of what was read.
TEST(ReadPrivateFileTest, RefusalsSayWhyAndKeepNothing) {
    TempFolder folder;
    const auto shared = folder / "shared";
    WriteSharedFile(shared, "secret");
    const auto large = folder / "large";
    WritePrivateFile(large, std::string(101, 'x'));

    for (const auto& [file, limit] :
         {std::pair{shared, 100}, {large, 100}, {folder / "missing", 100}, {folder.Path(), 100}}) {
        std::string text = "before", why;
        EXPECT_FALSE(ReadPrivateFile(file, limit, text, why)) << file;
        EXPECT_TRUE(text.empty()) << file;
        EXPECT_NE(why.find(platform::PathToUtf8(file)), std::string::npos) << why;
    }
    std::string text, why;
    ReadPrivateFile(large, 100, text, why);
    EXPECT_NE(why.find("too large"), std::string::npos) << why;
}

} // namespace
