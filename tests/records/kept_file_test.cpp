// A kept descriptor against what other tools do to its file between two writes.
#include "records/kept_file.h"
#include "support/temp_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using namespace tolvane;

using tolvane::test_support::slurp;
using tolvane::test_support::spit;
using TempDir = tolvane::test_support::TempDir;

namespace {

bool put(int fd, const std::string& text) {
    return ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

constexpr int kAppend = O_WRONLY | O_APPEND | O_CREAT;

TEST(KeptFile, WhateverHappensToTheNameTheNextLineGoesToTheFileItNamesNow) {
    struct Row {
        const char* what;
        void (*change)(const TempDir&);
        const char* at_path;  // what the name holds after the second line
        const char* moved;    // what "moved" holds (null: no such file)
        bool same_fd;         // the kept descriptor could be used again
    } rows[] = {
        {"left alone", [](const TempDir&) {}, "one\ntwo\n", nullptr, true},
        {"removed", [](const TempDir& d) { fs::remove(d.file("day")); }, "two\n", nullptr, false},
        {"renamed away", [](const TempDir& d) { fs::rename(d.file("day"), d.file("moved")); },
         "two\n", "one\n", false},
        {"replaced by a rename onto it",
         [](const TempDir& d) {
             spit(d.file("new"), "fresh\n");
             fs::rename(d.file("new"), d.file("day"));
         },
         "fresh\ntwo\n", nullptr, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        TempDir d;
        KeptFile f;
        bool existed = true;
        int fd = f.get(d.file("day"), kAppend, 0644, existed);
        ASSERT_GE(fd, 0);
        EXPECT_FALSE(existed);
        ASSERT_TRUE(put(fd, "one\n"));
        r.change(d);
        bool existed2 = false;
        int fd2 = f.get(d.file("day"), kAppend, 0644, existed2);
        ASSERT_GE(fd2, 0);
        EXPECT_EQ(existed2,
                  std::string(r.what) != "removed" && std::string(r.what) != "renamed away");
        if (r.same_fd) {
            EXPECT_EQ(fd2, fd);
        }
        ASSERT_TRUE(put(fd2, "two\n"));
        EXPECT_EQ(slurp(d.file("day")), r.at_path);
        EXPECT_EQ(fs::exists(d.file("moved")), r.moved != nullptr);
        if (r.moved) {
            EXPECT_EQ(slurp(d.file("moved")), r.moved);
        }
    }
}

TEST(KeptFile, RemovedFileIsNotCreatedAgainWithoutCreateAndSaysSo) {
    TempDir d;
    spit(d.file("counts"), "k|0000000001\n");
    KeptFile f;
    bool existed = false;
    ASSERT_GE(f.get(d.file("counts"), O_WRONLY, 0, existed), 0);
    EXPECT_TRUE(existed);
    fs::remove(d.file("counts"));
    errno = 0;
    EXPECT_EQ(f.get(d.file("counts"), O_WRONLY, 0, existed), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(existed);
    EXPECT_FALSE(f.is_open()) << "the descriptor of the removed file is let go";
    EXPECT_FALSE(fs::exists(d.file("counts")));
}

TEST(KeptFile, OtherFlagsOrAnotherNameOpenAnew) {
    TempDir d;
    KeptFile f;
    bool existed = false;
    int plain = f.get(d.file("a"), O_WRONLY | O_CREAT, 0644, existed);
    ASSERT_GE(plain, 0);
    // O_CREAT alone does not matter once the file exists: the same descriptor serves.
    EXPECT_EQ(f.get(d.file("a"), O_WRONLY, 0, existed), plain);
    // Appending is another way of writing: a descriptor opened without it must not serve.
    int append = f.get(d.file("a"), kAppend, 0644, existed);
    ASSERT_GE(append, 0);
    ASSERT_TRUE(put(append, "x\n"));
    ASSERT_EQ(::pwrite(append, "y\n", 2, 0), 2);  // appends too, as O_APPEND does
    EXPECT_EQ(slurp(d.file("a")), "x\ny\n");
    int other = f.get(d.file("b"), kAppend, 0644, existed);
    ASSERT_GE(other, 0);
    ASSERT_TRUE(put(other, "z\n"));
    EXPECT_EQ(slurp(d.file("b")), "z\n");
    EXPECT_EQ(slurp(d.file("a")), "x\ny\n");
}

TEST(KeptFile, UnreachableDirectoryFailsWithItsReason) {
    TempDir d;
    spit(d.file("plain"), "");
    KeptFile f;
    bool existed = true;
    errno = 0;
    EXPECT_EQ(f.get(d.file("plain") + "/day", kAppend, 0644, existed), -1);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_FALSE(existed);
}

}  // namespace
