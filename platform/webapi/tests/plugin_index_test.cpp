// The plug-in index: a call loads only the plug-in that serves it while the
// index still describes the plug-in files, and everything otherwise.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "plugins.h"
#include "temp_root.h"

using namespace TAVO;
using namespace TAVO::Host;
namespace fs = std::filesystem;

namespace {

class PluginIndexTest : public TempRootTest {
protected:
    void SetUp() override {
        TempRootTest::SetUp();
        dir_ = Real("/plugins");
        index_ = Real("/cache/sub/plugins.index");
        fs::create_directories(dir_);
        Put(TEST_PLUGIN_DIR "/TAVO.Test.so");
        Put(TEST_OTHER_PLUGIN_DIR "/TAVO.TestOther.so");
    }
    // Copies a plug-in into the folder: a new file every time.
    void Put(const std::string& from) {
        std::string to = dir_ + "/" + fs::path(from).filename().string();
        fs::remove(to);
        fs::copy_file(from, to);
    }
    bool LoadFor(PluginSet& plugins, const std::string& api, int version, const std::string& method,
                 std::string* errorOut = nullptr) {
        std::string error;
        bool ok = plugins.LoadFor({dir_}, index_, api, version, method, error);
        if (errorOut != nullptr) *errorOut = error;
        EXPECT_TRUE(ok || errorOut != nullptr) << error;
        return ok;
    }
    // Builds the index with a first call.
    void Prime() {
        PluginSet plugins;
        LoadFor(plugins, "TAVO.Test", 1, "echo");
        ASSERT_FALSE(plugins.FromIndex());
        ASSERT_TRUE(fs::exists(index_));
    }

    std::string dir_;
    std::string index_;
};

TEST_F(PluginIndexTest, LoadsOnlyTheServingPluginAndAnswersCodesWithoutLoading) {
    {
        PluginSet plugins;
        LoadFor(plugins, "TAVO.Other", 1, "echo");
        EXPECT_FALSE(plugins.FromIndex());
        EXPECT_EQ(12u, plugins.Entries().size());
    }
    PluginSet other;
    LoadFor(other, "TAVO.Other", 1, "fail");
    EXPECT_TRUE(other.FromIndex());
    EXPECT_EQ(2u, other.Entries().size());
    int code = -1;
    const Entry* entry = other.Find("TAVO.Other", 1, "fail", code);
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(dir_ + "/TAVO.TestOther.so", entry->file);

    struct Case {
        const char* api;
        int version;
        const char* method;
        int code;
    } cases[] = {{"TAVO.Nope", 1, "echo", WEBAPI_ERR_NO_SUCH_API},
                 {"TAVO.Test", 1, "nope", WEBAPI_ERR_NO_SUCH_METHOD},
                 {"TAVO.Test", 9, "echo", WEBAPI_ERR_NOT_SUPPORTED_VERSION},
                 {"TAVO.Other", 2, "fail", WEBAPI_ERR_NOT_SUPPORTED_VERSION}};
    for (const Case& c : cases) {
        PluginSet plugins;
        LoadFor(plugins, c.api, c.version, c.method);
        EXPECT_TRUE(plugins.FromIndex()) << c.api << " " << c.method;
        EXPECT_TRUE(plugins.Entries().empty()) << c.api << " " << c.method;
        EXPECT_EQ(nullptr, plugins.Find(c.api, c.version, c.method, code));
        EXPECT_EQ(c.code, code) << c.api << " " << c.method;
    }
}

TEST_F(PluginIndexTest, AChangedFileSetIsLoadedWholeSoDuplicatesAreStillFound) {
    Prime();
    Put(TEST_DUP_PLUGIN_DIR "/TAVO.TestDuplicate.so");
    PluginSet plugins;
    std::string error;
    EXPECT_FALSE(LoadFor(plugins, "TAVO.Other", 1, "fail", &error));
    EXPECT_NE(std::string::npos, error.find("TAVO.TestDuplicate.so")) << error;

    // A replaced plug-in (same name, new file) is not trusted either.
    fs::remove(dir_ + "/TAVO.TestDuplicate.so");
    Put(TEST_OTHER_PLUGIN_DIR "/TAVO.TestOther.so");
    PluginSet again;
    LoadFor(again, "TAVO.Other", 1, "fail");
    EXPECT_FALSE(again.FromIndex());
    PluginSet next;
    LoadFor(next, "TAVO.Other", 1, "fail");
    EXPECT_TRUE(next.FromIndex());
}

TEST_F(PluginIndexTest, ADamagedOrMisleadingIndexIsRebuilt) {
    Prime();
    // Point the entry at the other file: its table disagrees, so the call
    // falls back to loading everything and still reaches the right entry.
    std::string text = ReadFile(index_);
    std::string misleading = text;
    for (size_t at = 0; (at = misleading.find("\"file\":0", at)) != std::string::npos;)
        misleading[at + 7] = '1';
    ASSERT_NE(text, misleading);
    WriteFile(index_, misleading);
    PluginSet plugins;
    LoadFor(plugins, "TAVO.Test", 1, "echo");
    EXPECT_FALSE(plugins.FromIndex());
    int code = -1;
    ASSERT_NE(nullptr, plugins.Find("TAVO.Test", 1, "echo", code));
    EXPECT_EQ(text, ReadFile(index_));

    for (const char* damaged :
         {"", "{", "[]", "{\"format\":1,\"files\":[],\"entries\":[]}", "\x01\xff"}) {
        WriteFile(index_, damaged);
        PluginSet fresh;
        LoadFor(fresh, "TAVO.Test", 1, "echo");
        EXPECT_FALSE(fresh.FromIndex()) << damaged;
        EXPECT_EQ(text, ReadFile(index_)) << damaged;
    }
}

TEST_F(PluginIndexTest, NoIndexWhenItCannotBeWrittenOrAPluginWasSkipped) {
    WriteFile(Real("/cache"), "a file where the folder would be");
    for (int i = 0; i < 2; ++i) {
        PluginSet plugins;
        LoadFor(plugins, "TAVO.Test", 1, "echo");
        EXPECT_FALSE(plugins.FromIndex());
        int code = -1;
        EXPECT_NE(nullptr, plugins.Find("TAVO.Test", 1, "echo", code));
    }
    fs::remove(Real("/cache"));

    // A broken plug-in is reported on every call, as without an index.
    WriteFile(dir_ + "/Broken.so", "not a shared library");
    PluginSet plugins;
    LoadFor(plugins, "TAVO.Test", 1, "echo");
    EXPECT_FALSE(fs::exists(index_));
    fs::remove(dir_ + "/Broken.so");

    // So is a folder that cannot be read.
    std::string error;
    PluginSet missing;
    EXPECT_TRUE(missing.LoadFor({dir_, Real("/nowhere")}, index_, "TAVO.Test", 1, "echo", error))
        << error;
    EXPECT_FALSE(fs::exists(index_));
}

}  // namespace
