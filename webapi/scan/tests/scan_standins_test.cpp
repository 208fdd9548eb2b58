// The Scan plug-in loaded as the host loads it, on the real platform
// libraries and a temporary root: start_custom hands the paths to the
// scanner program through a file-list and the UI says scanning.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tavo/tavoav_engine.h"
#include "tavo/webapi.h"
#include "temp_root.h"

namespace {

class ScanStandInsTest : public TempRootTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(TempRootTest::SetUp());
        // A stand-in scanner that records its arguments, one per line.
        std::string bin = root_ + "/var/packages/AntiVirus-Zentrel/target/bin";
        ASSERT_EQ(system(("mkdir -p '" + bin + "'").c_str()), 0);
        std::ofstream script(bin + "/tavoavscan");
        script << "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$TAVO_ROOT/scanner-args.tmp\"\n"
                  "mv \"$TAVO_ROOT/scanner-args.tmp\" \"$TAVO_ROOT/scanner-args\"\n";
        script.close();
        chmod((bin + "/tavoavscan").c_str(), 0755);

        handle_ = dlopen(TAVO_SCAN_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
        table_ = reinterpret_cast<TAVO::API_TABLE* (*)()>(dlsym(handle_, "GetAPITable"))();
    }
    void TearDown() override {
        if (handle_) dlclose(handle_);
        TempRootTest::TearDown();
    }

    TAVO::APIResponse Call(const char* method, const Json::Value& params) {
        TAVO::APIRequest req(params);
        TAVO::APIResponse resp;
        for (TAVO::API_TABLE* e = table_; e->szAPI; ++e)
            if (std::string(e->szMethod) == method) e->api(&req, &resp);
        return resp;
    }

    // The detached child runs the scanner on its own; wait for its record.
    std::string WaitForScannerArgs() {
        const std::string path = root_ + "/scanner-args";
        for (int i = 0; i < 200 && access(path.c_str(), F_OK) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return ReadFile(path);
    }

    void* handle_ = nullptr;
    TAVO::API_TABLE* table_ = nullptr;
};

TEST_F(ScanStandInsTest, StartCustomRunsTheScannerWithTheFileList) {
    Json::Value params(Json::objectValue);
    params["scanTarget"].append("/volume1/photos");
    params["scanTarget"].append("/volume1/odd\nname with 'quotes' $(true)");
    TAVO::APIResponse resp = Call("start_custom", params);
    ASSERT_TRUE(resp.IsSuccess()) << resp.ToJson().toStyledString();

    TAVOAV_ENGINE_STATE state{};
    ASSERT_EQ(AVEngStateRead(&state), 0);
    EXPECT_EQ(state.uiState, UI_STATE_SCANNING);

    std::string args = WaitForScannerArgs();
    ASSERT_EQ(args.compare(0, 3, "-f\n"), 0) << args;
    std::string fileList = args.substr(3, args.size() - 4);
    EXPECT_EQ(fileList.rfind("/var/packages/AntiVirus-Zentrel/target/", 0), 0u) << fileList;

    PQLIBSZLIST pList = nullptr;
    ASSERT_EQ(AVFileListRead(fileList.c_str(), &pList), 0);
    ASSERT_EQ(pList->nItem, 2);
    EXPECT_STREQ(QLIBCSzListGet(pList, 0), "/volume1/photos");
    EXPECT_STREQ(QLIBCSzListGet(pList, 1), "/volume1/odd\nname with 'quotes' $(true)");
    QLIBCSzListFree(pList);
}

TEST_F(ScanStandInsTest, StartFullRunsTheScannerWithAll) {
    ASSERT_TRUE(Call("start_full", Json::Value(Json::objectValue)).IsSuccess());
    EXPECT_EQ(WaitForScannerArgs(), "--all\n");
}

TEST_F(ScanStandInsTest, PauseInAnIdleEngineMarksThePauseButton) {
    ASSERT_TRUE(Call("pause", Json::Value(Json::objectValue)).IsSuccess());
    BUTTON_STATUS buttons{};
    ASSERT_EQ(AVButtonStatusGet(&buttons), 0);
    EXPECT_EQ(buttons.isPaused, TRUE);
}

}  // namespace
