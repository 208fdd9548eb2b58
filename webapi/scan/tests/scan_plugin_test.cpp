// The built plug-in as the host sees it: its exports and its API table.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tavo/webapi.h"

namespace {

class ScanPluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        handle_ = dlopen(TAVO_SCAN_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
    }
    void TearDown() override {
        if (handle_) dlclose(handle_);
    }
    void* handle_ = nullptr;
};

TEST_F(ScanPluginTest, TableListsTheSevenMethodsInOrderThenAllZero) {
    using GetTable = TAVO::API_TABLE* (*)();
    auto getTable = reinterpret_cast<GetTable>(dlsym(handle_, "GetAPITable"));
    ASSERT_NE(getTable, nullptr) << "GetAPITable is exported unmangled";
    auto* gTable = static_cast<TAVO::API_TABLE*>(dlsym(handle_, "gTable"));
    ASSERT_NE(gTable, nullptr) << "gTable is exported unmangled";

    TAVO::API_TABLE* table = getTable();
    EXPECT_EQ(table, gTable);
    EXPECT_EQ(getTable(), table) << "the same address on every call";

    const char* methods[] = {"start_full", "start_system", "start_custom", "pause",
                             "resume",     "stop",         "ack_result"};
    const char* entries[] = {"_Z19APIScanStartFull_v1PN4TAVO10APIRequestEPNS_11APIResponseE",
                             "_Z21APIScanStartSystem_v1PN4TAVO10APIRequestEPNS_11APIResponseE",
                             "_Z21APIScanStartCustom_v1PN4TAVO10APIRequestEPNS_11APIResponseE",
                             "_Z15APIScanPause_v1PN4TAVO10APIRequestEPNS_11APIResponseE",
                             "_Z16APIScanResume_v1PN4TAVO10APIRequestEPNS_11APIResponseE",
                             "_Z14APIScanStop_v1PN4TAVO10APIRequestEPNS_11APIResponseE",
                             "_Z19APIScanAckResult_v1PN4TAVO10APIRequestEPNS_11APIResponseE"};
    for (int i = 0; i < 7; ++i) {
        ASSERT_NE(table[i].szAPI, nullptr);
        EXPECT_STREQ(table[i].szAPI, "TAVO.AntiVirus.Scan");
        EXPECT_EQ(table[i].iVersion, 1);
        EXPECT_STREQ(table[i].szMethod, methods[i]);
        EXPECT_EQ(reinterpret_cast<void*>(table[i].api), dlsym(handle_, entries[i]))
            << "entry " << i << " is the exported " << entries[i];
    }
    EXPECT_EQ(table[7].szAPI, nullptr);
    EXPECT_EQ(table[7].iVersion, 0);
    EXPECT_EQ(table[7].szMethod, nullptr);
    EXPECT_EQ(table[7].api, nullptr);
}

TEST_F(ScanPluginTest, HandlerInternalsAreNotExported) {
    EXPECT_EQ(dlsym(handle_, "_ZNK4TAVO9AntiVirus11ScanHandler10CheckParamERN4Json5ValueERi"),
              nullptr);
}

TEST_F(ScanPluginTest, EntryFunctionAnswersThroughTheResponse) {
    auto* table = reinterpret_cast<TAVO::API_TABLE* (*)()>(dlsym(handle_, "GetAPITable"))();
    // start_custom with a scanTarget that is not an array is refused before
    // anything outside is touched.
    Json::Value params(Json::objectValue);
    params["scanTarget"] = 1;
    TAVO::APIRequest req(params);
    TAVO::APIResponse resp;
    table[2].api(&req, &resp);
    EXPECT_EQ(resp.ErrorCode(), 114);
    EXPECT_EQ(resp.AnswerCount(), 1);
}

}  // namespace
