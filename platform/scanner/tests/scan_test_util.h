// Helpers of the scanner tests: a temporary root, the EICAR test string
// (put together at run time) and definitions that detect it.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace scantest {

inline std::string Eicar() {
    // Two halves, so that no file of the repository carries the whole string.
    return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") +
           "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
}

inline std::string Hex(const std::string& data) {
    std::string hex;
    char sz[3];
    for (unsigned char ch : data) {
        snprintf(sz, sizeof(sz), "%02x", ch);
        hex += sz;
    }
    return hex;
}

// A ClamAV body-signature database line for the test string.
inline std::string EicarNdb() { return "Eicar-Test-Signature:0:*:" + Hex(Eicar()) + "\n"; }

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void WriteFile(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

inline void Put16(std::string* p, unsigned v) {
    p->push_back(static_cast<char>(v & 0xff));
    p->push_back(static_cast<char>((v >> 8) & 0xff));
}
inline void Put32(std::string* p, unsigned v) {
    Put16(p, v & 0xffff);
    Put16(p, v >> 16);
}

// A zip archive with one stored member marked as encrypted (general purpose
// flag bit 0): its content cannot be looked into.
inline std::string EncryptedZip(const std::string& name, const std::string& data) {
    std::string zip;
    Put32(&zip, 0x04034b50);
    Put16(&zip, 20);
    Put16(&zip, 1);  // encrypted
    Put16(&zip, 0);  // stored
    Put16(&zip, 0);
    Put16(&zip, 0);
    Put32(&zip, 0x12345678);
    Put32(&zip, static_cast<unsigned>(data.size()));
    Put32(&zip, static_cast<unsigned>(data.size()));
    Put16(&zip, static_cast<unsigned>(name.size()));
    Put16(&zip, 0);
    zip += name + data;
    unsigned centralStart = static_cast<unsigned>(zip.size());
    Put32(&zip, 0x02014b50);
    Put16(&zip, 20);
    Put16(&zip, 20);
    Put16(&zip, 1);
    Put16(&zip, 0);
    Put16(&zip, 0);
    Put16(&zip, 0);
    Put32(&zip, 0x12345678);
    Put32(&zip, static_cast<unsigned>(data.size()));
    Put32(&zip, static_cast<unsigned>(data.size()));
    Put16(&zip, static_cast<unsigned>(name.size()));
    Put16(&zip, 0);
    Put16(&zip, 0);
    Put16(&zip, 0);
    Put16(&zip, 0);
    Put32(&zip, 0);
    Put32(&zip, 0);
    zip += name;
    unsigned centralSize = static_cast<unsigned>(zip.size()) - centralStart;
    Put32(&zip, 0x06054b50);
    Put16(&zip, 0);
    Put16(&zip, 0);
    Put16(&zip, 1);
    Put16(&zip, 1);
    Put32(&zip, centralSize);
    Put32(&zip, centralStart);
    Put16(&zip, 0);
    return zip;
}

// A temporary folder used as $TAVO_ROOT for the length of a test.
class TempRootTest : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/tavoavscan-test-XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        root_ = szTemplate;
        setenv("TAVO_ROOT", root_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("TAVO_ROOT");
        std::error_code ec;
        std::filesystem::permissions(root_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(root_, ec);
    }
    std::string Real(const std::string& path) const { return root_ + path; }
    void Put(const std::string& path, const std::string& content) const {
        WriteFile(Real(path), content);
    }

    std::string root_;
};

}  // namespace scantest
