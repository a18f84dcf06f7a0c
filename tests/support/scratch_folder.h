// Test support: a fresh folder under /tmp for each test, removed afterwards, which
// can be made a tiny disk of its own to see what a full disk does to a writer.
#pragma once

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

class ScratchFolder : public ::testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/zantrox-scratch-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
    }
    void TearDown() override {
        if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    // Mounts a 64 kB filesystem on the folder (root only); false when it cannot.
    bool MountSmallDisk() {
        mounted_ = geteuid() == 0 && mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=64k") == 0;
        return mounted_;
    }
    // The names in the folder.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
        return names;
    }
    static void WriteText(const std::string& path, const std::string& text) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), f), text.size());
        std::fclose(f);
    }

    std::string dir_;

private:
    bool mounted_ = false;
};

}  // namespace testsupport
