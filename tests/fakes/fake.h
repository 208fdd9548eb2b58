// Fakes of the platform functions for plug-in tests: every call is recorded,
// any call can be made to fail, and every syslog line is captured.
//
//   fake::Reset();                          // before each test
//   fake::FailWith("AVScanPause", -1);      // the next calls return -1
//   fake::Calls()                           // {"AVGetEngStat", "AVScanPause", ...}
//   fake::Logs()                            // {{3, "scan_handler.cpp:57 error while pause"}, ...}
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tavo/tavoav.h"
#include "tavo/webapi.h"

namespace fake {

struct LogLine {
    int priority;
    std::string text;
    bool operator==(const LogLine& o) const { return priority == o.priority && text == o.text; }
};

// Records a call to `name` and returns the result forced for it, or
// `defaultResult`. Every fake function goes through this.
int Call(const char* name, int defaultResult);

void Reset();
// Every following call of `name` returns `result`.
void FailWith(const std::string& name, int result);
// Only the n-th (1-based) call of `name` from now on returns `result`.
void FailNth(const std::string& name, int n, int result);
void ClearFailure(const std::string& name);

const std::vector<std::string>& Calls();
int CallCount(const std::string& name);
bool Called(const std::string& name);

const std::vector<LogLine>& Logs();
// The captured lines with the "file:line " prefix removed.
std::vector<LogLine> Messages();
// The "file:line " prefix of a captured line must name this module.
bool AllLogsFrom(const std::string& moduleFile);

// Arguments of calls that take strings, in call order, e.g. Args("AVWhiteListAdd").
std::vector<std::string> Args(const std::string& name);
void RecordArg(const std::string& name, const std::string& arg);

// A fake quarantine volume.
struct FakeVolume {
    std::string name;        // the string AVQuarantineAllBaseEnum lists
    std::string volumePath;  // szVolumePath
    std::vector<QUARANTINE_FILE> items;
    std::string shareName = "share";
    bool getFails = false;      // AVQuarantineGet fails
    bool connectFails = false;  // AVQuarantineConnect fails
    bool readFails = false;     // AVQuarantineDBReadFrom fails
    bool shareFails = false;    // AVQuarantineGetExtShareNameByMountPath fails
    std::map<std::string, QUARANTINE_ERROR> refusals;  // renamed name -> delete/restore result
};
QUARANTINE_FILE MakeItem(const std::string& originalPath, const std::string& renamedName,
                         const std::string& threat = "Eicar-Test-Signature",
                         const std::string& time = "2026-12-01 10:00:00");

// A scripted result set of the fake database: column names and rows of text.
struct FakeRows {
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;
};

// Shared platform state the fakes read and write.
struct World {
    // Quarantine.
    std::vector<FakeVolume> volumes;
    int quarantineCount = 0;
    int gadgetCount = -1;                     // executeGadgeUpdate argument
    std::vector<FAILED_QITEM_LIST> failList;  // handed over by delete-all / restore-all
    bool failListOnError = false;             // hand the list over also when the call fails
    int restoreAllAddWhitelist = -1;
    int liveQConns = 0;  // AVQuarantineConnect minus AVQuarantineClose
    int liveFailLists = 0;
    int liveSzLists = 0;  // QLIBCSzListAlloc minus QLIBCSzListFree
    // Lists and configuration.
    std::vector<std::string> whiteList;
    std::vector<std::string> extensionList;
    std::vector<int> nullListPositions;  // QLIBCSzListGet answers NULL here
    int extensionAddResult = 1;
    TAVOAV_CONF config{};
    // Databases.
    std::vector<std::string> sql;                   // statements run, in order
    std::vector<FakeRows> results;                  // handed out in order by Execute/SelectLimit
    std::vector<std::pair<int, int>> selectLimits;  // (limit, offset) of TAVODBSelectLimit
    int liveDBConns = 0;
    int liveDBResults = 0;
    std::vector<std::vector<std::string>> scheduleInserts;  // activated, time, type, target

    TAVOAV_STAT engineStatus{};
    TAVOAV_INFO engineInfo{};
    int engineInfoResult = OKAY;
    BUTTON_STATUS buttonStatus{};
    int uiState = -1;
    int enterScanningArg = -1;
    // Fork fakes: what QLIBCProcForkChildNoWait / QLIBCProcFork return.
    int forkNoWaitResult = 1;
    int forkResult = 4242;
    std::string fileListPath = "/var/packages/AntiVirus-Zentrel/target/tmp/filelist.test";
    std::vector<std::string> fileListPaths;          // paths written by AVTransSZListToFileList
    std::vector<std::vector<std::string>> execArgs;  // argument vectors given to QLIBCExec
    std::map<std::string, std::map<std::string, std::string>> keyValues;  // file -> key -> value
    int sleepSeconds = 0;                                                 // total of sleep() calls
    // Extra behaviour hooks, set by tests that need them.
    std::function<void()> onExit;
};
World& W();

// APIPolling fake.
struct PollingState {
    std::vector<std::string> attrs;  // "request", "group=admin", "remove=0", "prefix=..."
    TAVO::APITaskFunc startedTask = nullptr;
    bool statusResult = true;
    bool stopResult = true;
    Json::Value statusValue;
    std::vector<std::pair<std::string, bool>> stops;
    std::vector<std::string> statusIds;
};
PollingState& Polling();

}  // namespace fake
