// A temporary folder used as $TAVO_ROOT for the length of a test.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

class TempRootTest : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/tavo-test-XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        root_ = szTemplate;
        setenv("TAVO_ROOT", root_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("TAVO_ROOT");
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    // The real path of an appliance path.
    std::string Real(const std::string& path) const { return root_ + path; }
    static std::string ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    static void WriteFile(const std::string& path, const std::string& content) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }
    // Names of the entries of a folder, sorted; empty when it does not exist.
    static std::vector<std::string> ListDir(const std::string& dir) {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string root_;
};
