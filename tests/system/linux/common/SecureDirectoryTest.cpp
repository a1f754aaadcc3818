#include "SecureDirectory.h"
#include "UnixFrameServer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace sentorix::linux_system {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

std::string contentOf(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Restores the umask whatever a test does.
class SecureDirectoryTest : public ::testing::Test {
protected:
    void TearDown() override { ::umask(saved); }
    mode_t saved = ::umask(022);
    TempDir root;
};

// What a failed call says, as its caller would print it.
template <class Outcome>
std::string textOf(const Outcome& outcome) {
    return outcome ? std::string() : outcome.error().localizedDescription();
}

TEST_F(SecureDirectoryTest, WhatItCreatesUnderUmaskZeroIsWritableByItsOwnerOnly) {
    fs::create_directories(root.file("bundle/Contents/MacOS"));
    std::ofstream(root.file("bundle/Contents/Info.plist")) << "<plist/>";
    std::ofstream(root.file("bundle/Contents/MacOS/program")) << "#!/bin/sh\n";
    fs::permissions(root.file("bundle/Contents/MacOS/program"), fs::perms::owner_all);
    ::umask(0);
    const auto state = SecureDirectory::open(root.file("a/b/state"), true);
    ASSERT_TRUE(state) << textOf(state);
    const auto extensions = state->openDirectory("SystemExtensions", true);
    ASSERT_TRUE(extensions) << textOf(extensions);
    const auto log = state->openFile("extension.log", O_WRONLY | O_CREAT | O_APPEND);
    EXPECT_TRUE(log && log->valid()) << textOf(log);
    const auto temporary = state->createTemporary(".status.");
    EXPECT_TRUE(temporary && temporary->file.valid()) << textOf(temporary);
    const auto copied = state->copyTreeFrom(root.file("bundle"), "copy");
    ASSERT_TRUE(copied) << textOf(copied);

    for (const auto& entry : fs::recursive_directory_iterator(root.file("a"))) {
        const auto mode = fs::status(entry.path()).permissions();
        EXPECT_EQ(mode & (fs::perms::group_write | fs::perms::others_write), fs::perms::none) << entry.path();
    }
    EXPECT_EQ(fs::status(state->pathOf("copy/Contents/MacOS/program")).permissions(), fs::perms(0755));
    EXPECT_EQ(fs::status(state->pathOf("copy/Contents/Info.plist")).permissions(), fs::perms(0644));
}

TEST_F(SecureDirectoryTest, DirectoriesOthersCanChangeAreRefusedNamingThePath) {
    fs::create_directory(root.file("shared"));
    fs::permissions(root.file("shared"), fs::perms(0775));
    const auto shared = SecureDirectory::open(root.file("shared"), true);
    EXPECT_FALSE(shared);
    EXPECT_EQ(textOf(shared), "Refusing " + root.file("shared") + ": it is writable by group or others");
    EXPECT_FALSE(shared.missing());

    if (::geteuid() != 0) {
        GTEST_SKIP() << "giving a directory to another user needs root";
    }
    fs::create_directory(root.file("theirs"));
    ASSERT_EQ(::chown(root.file("theirs").c_str(), 65534, 65534), 0);
    const auto theirs = SecureDirectory::open(root.file("theirs"), true);
    EXPECT_FALSE(theirs);
    EXPECT_EQ(textOf(theirs), "Refusing " + root.file("theirs") + ": it is owned by uid 65534, not by root");
}

TEST_F(SecureDirectoryTest, PlantedLinksAreRefusedAndTheirTargetsLeftAlone) {
    std::ofstream(root.file("target")) << "precious";
    fs::create_directory(root.file("elsewhere"));
    const auto state = SecureDirectory::open(root.file("state"), true);
    ASSERT_TRUE(state) << textOf(state);
    fs::create_symlink(root.file("target"), state->pathOf("extension.log"));
    fs::create_symlink(root.file("elsewhere"), state->pathOf("SystemExtensions"));

    const auto log = state->openFile("extension.log", O_WRONLY | O_CREAT | O_APPEND);
    EXPECT_FALSE(log);
    EXPECT_EQ(textOf(log), "Refusing " + state->pathOf("extension.log") + ": it is a symbolic link");
    EXPECT_FALSE(state->openDirectory("SystemExtensions", true));
    EXPECT_FALSE(state->readFile("extension.log", 100));
    EXPECT_FALSE(SecureDirectory::open(state->pathOf("SystemExtensions"), true));

    // Removing a tree removes a link inside it, not what it points to.
    ASSERT_TRUE(state->openDirectory("tree", true));
    fs::create_symlink(root.file("elsewhere"), state->pathOf("tree/link"));
    std::ofstream(root.file("elsewhere/keep")) << "kept";
    const auto removed = state->removeTree("tree");
    EXPECT_TRUE(removed) << textOf(removed);
    EXPECT_FALSE(fs::exists(state->pathOf("tree")));
    EXPECT_EQ(contentOf(root.file("target")), "precious");
    EXPECT_EQ(contentOf(root.file("elsewhere/keep")), "kept");
}

TEST_F(SecureDirectoryTest, FilesOthersCanWriteAreRefused) {
    const auto state = SecureDirectory::open(root.file("state"), true);
    ASSERT_TRUE(state) << textOf(state);
    std::ofstream(state->pathOf("configurations.plist")) << "<plist/>";
    fs::permissions(state->pathOf("configurations.plist"), fs::perms(0666));
    const auto shared = state->readFile("configurations.plist", 100);
    EXPECT_FALSE(shared);
    EXPECT_NE(textOf(shared).find("writable by group or others"), std::string::npos);
    EXPECT_FALSE(shared.missing());
    const auto absent = state->readFile("absent", 100);
    EXPECT_FALSE(absent);
    EXPECT_TRUE(absent.missing()) << "a missing file is told from a failure";
    EXPECT_EQ(textOf(absent), "Cannot open " + state->pathOf("absent") + ": No such file or directory");
}

}  // namespace
}  // namespace sentorix::linux_system
