// The handler of the web API TAVO.AntiVirus.Quarantine: one object per
// request, built by the entry functions of main.cpp.
#pragma once

#include <json/json.h>

#include <string>

#include "tavo/webapi.h"

namespace TAVO {
namespace AntiVirus {

class QuarantineHandler {
public:
    QuarantineHandler(APIRequest* req, APIResponse* resp, const char* method);
    virtual ~QuarantineHandler();

    void Load() const;
    void DeleteList() const;
    void RestoreList() const;
    void Retry() const;
    void TaskDeleteAll() const;
    void TaskRestoreAll() const;
    void TaskStatus() const;
    void TaskStop() const;

protected:
    void CheckParam(Json::Value& jParams, int& errCode) const;

    // Background task bodies run by the host (APIPolling::Start).
    static void doDeleteAll(APIRequest* req, APIResponse* resp, void* data);
    static void doRestoreAll(APIRequest* req, APIResponse* resp, void* data);

private:
    // delete_list and restore_list: each (volume, name) pair in turn; only the
    // service's refusals become failure records.
    void WorkThroughPairs(bool blRestore) const;
    // task_delete_all and task_restore_all: the host starts the task and answers.
    void StartAllTask(APITaskFunc task) const;
    // The bodies of doDeleteAll and doRestoreAll.
    static void RunAllTask(APIRequest* req, APIResponse* resp, bool blRestore);
    // task_status and task_stop: ask the host about one task.
    void ReachTask(bool blStop) const;

    APIRequest* _req;
    APIResponse* _resp;
    const std::string _method;
};

}  // namespace AntiVirus
}  // namespace TAVO
