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

TEST_F(SecureDirectoryTest, WhatItCreatesUnderUmaskZeroIsWritableByItsOwnerOnly) {
    fs::create_directories(root.file("bundle/Contents/MacOS"));
    std::ofstream(root.file("bundle/Contents/Info.plist")) << "<plist/>";
    std::ofstream(root.file("bundle/Contents/MacOS/program")) << "#!/bin/sh\n";
    fs::permissions(root.file("bundle/Contents/MacOS/program"), fs::perms::owner_all);
    ::umask(0);
    std::string error, name;
    const auto state = SecureDirectory::open(root.file("a/b/state"), true, error);
    ASSERT_TRUE(state) << error;
    ASSERT_TRUE(state->openDirectory("SystemExtensions", true, error)) << error;
    EXPECT_TRUE(state->openFile("extension.log", O_WRONLY | O_CREAT | O_APPEND, error).valid()) << error;
    EXPECT_TRUE(state->createTemporary(".status.", name, error).valid()) << error;
    ASSERT_TRUE(state->copyTreeFrom(root.file("bundle"), "copy", error)) << error;

    for (const auto& entry : fs::recursive_directory_iterator(root.file("a"))) {
        const auto mode = fs::status(entry.path()).permissions();
        EXPECT_EQ(mode & (fs::perms::group_write | fs::perms::others_write), fs::perms::none) << entry.path();
    }
    EXPECT_EQ(fs::status(state->pathOf("copy/Contents/MacOS/program")).permissions(), fs::perms(0755));
    EXPECT_EQ(fs::status(state->pathOf("copy/Contents/Info.plist")).permissions(), fs::perms(0644));
}

TEST_F(SecureDirectoryTest, DirectoriesOthersCanChangeAreRefusedNamingThePath) {
    std::string error;
    fs::create_directory(root.file("shared"));
    fs::permissions(root.file("shared"), fs::perms(0775));
    EXPECT_FALSE(SecureDirectory::open(root.file("shared"), true, error));
    EXPECT_EQ(error, "Refusing " + root.file("shared") + ": it is writable by group or others");

    if (::geteuid() != 0) {
        GTEST_SKIP() << "giving a directory to another user needs root";
    }
    fs::create_directory(root.file("theirs"));
    ASSERT_EQ(::chown(root.file("theirs").c_str(), 65534, 65534), 0);
    error.clear();
    EXPECT_FALSE(SecureDirectory::open(root.file("theirs"), true, error));
    EXPECT_EQ(error, "Refusing " + root.file("theirs") + ": it is owned by uid 65534, not by root");
}

TEST_F(SecureDirectoryTest, PlantedLinksAreRefusedAndTheirTargetsLeftAlone) {
    std::string error;
    std::ofstream(root.file("target")) << "precious";
    fs::create_directory(root.file("elsewhere"));
    const auto state = SecureDirectory::open(root.file("state"), true, error);
    ASSERT_TRUE(state) << error;
    fs::create_symlink(root.file("target"), state->pathOf("extension.log"));
    fs::create_symlink(root.file("elsewhere"), state->pathOf("SystemExtensions"));

    EXPECT_FALSE(state->openFile("extension.log", O_WRONLY | O_CREAT | O_APPEND, error).valid());
    EXPECT_EQ(error, "Refusing " + state->pathOf("extension.log") + ": it is a symbolic link");
    EXPECT_FALSE(state->openDirectory("SystemExtensions", true, error));
    EXPECT_FALSE(state->readFile("extension.log", 100, error));
    EXPECT_FALSE(SecureDirectory::open(state->pathOf("SystemExtensions"), true, error));

    // Removing a tree removes a link inside it, not what it points to.
    ASSERT_TRUE(state->openDirectory("tree", true, error));
    fs::create_symlink(root.file("elsewhere"), state->pathOf("tree/link"));
    std::ofstream(root.file("elsewhere/keep")) << "kept";
    EXPECT_TRUE(state->removeTree("tree", error)) << error;
    EXPECT_FALSE(fs::exists(state->pathOf("tree")));
    EXPECT_EQ(contentOf(root.file("target")), "precious");
    EXPECT_EQ(contentOf(root.file("elsewhere/keep")), "kept");
}

TEST_F(SecureDirectoryTest, FilesOthersCanWriteAreRefused) {
    std::string error;
    const auto state = SecureDirectory::open(root.file("state"), true, error);
    ASSERT_TRUE(state) << error;
    std::ofstream(state->pathOf("configurations.plist")) << "<plist/>";
    fs::permissions(state->pathOf("configurations.plist"), fs::perms(0666));
    EXPECT_FALSE(state->readFile("configurations.plist", 100, error));
    EXPECT_NE(error.find("writable by group or others"), std::string::npos);
    bool missing = false;
    error.clear();
    EXPECT_FALSE(state->readFile("absent", 100, error, &missing));
    EXPECT_TRUE(missing);
    EXPECT_TRUE(error.empty()) << "a missing file is no error";
}

}  // namespace
}  // namespace sentorix::linux_system
