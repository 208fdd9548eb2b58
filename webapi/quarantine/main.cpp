// TAVO.AntiVirus.Quarantine: the API table and one entry function per method.
#include "quarantine_handler.h"

using TAVO::APIRequest;
using TAVO::APIResponse;
using TAVO::AntiVirus::QuarantineHandler;

TAVO_EXPORT void APIQuarantineLoad_v1(APIRequest* req, APIResponse* resp) {
    QuarantineHandler handler(req, resp, "APIQuarantineLoad_v1");
    handler.Load();
}

TAVO_EXPORT void APIQuarantineDeleteList_v1(APIRequest* req, APIResponse* resp) {
    QuarantineHandler handler(req, resp, "APIQuarantineDeleteList_v1");
    handler.DeleteList();
}

TAVO_EXPORT void APIQuarantineRestoreList_v1(APIRequest* req, APIResponse* resp) {
    QuarantineHandler handler(req, resp, "APIQuarantineRestoreList_v1");
    handler.RestoreList();
}

TAVO_EXPORT void APIQuarantineRetry_v1(APIRequest* req, APIResponse* resp) {
    QuarantineHandler handler(req, resp, "APIQuarantineRetry_v1");
    handler.Retry();
}

TAVO_EXPORT void APIQuarantineTaskDeleteAll_v1(APIRequest* req, APIResponse* resp) {
    QuarantineHandler handler(req, resp, "APIQuarantineTaskDeleteAll_v1");
    handler.TaskDeleteAll();
}

TAVO_EXPORT void APIQuarantineTaskRestoreAll_v1(APIRequest* req, APIResponse* resp) {
    QuarantineHandler handler(req, resp, "APIQuarantineTaskRestoreAll_v1");
    handler.TaskRestoreAll();
}

TAVO_EXPORT void APIQuarantineTaskStatus_v1(APIRequest* req, APIResponse* resp) {
    QuarantineHandler handler(req, resp, "APIQuarantineTaskStatus_v1");
    handler.TaskStatus();
}

TAVO_EXPORT void APIQuarantineTaskStop_v1(APIRequest* req, APIResponse* resp) {
    QuarantineHandler handler(req, resp, "APIQuarantineTaskStop_v1");
    handler.TaskStop();
}

extern "C" TAVO_EXPORT const TAVO::API_TABLE gTable[] = {
    {"TAVO.AntiVirus.Quarantine", 1, "load", APIQuarantineLoad_v1},
    {"TAVO.AntiVirus.Quarantine", 1, "delete_list", APIQuarantineDeleteList_v1},
    {"TAVO.AntiVirus.Quarantine", 1, "restore_list", APIQuarantineRestoreList_v1},
    {"TAVO.AntiVirus.Quarantine", 1, "retry", APIQuarantineRetry_v1},
    {"TAVO.AntiVirus.Quarantine", 1, "task_delete_all", APIQuarantineTaskDeleteAll_v1},
    {"TAVO.AntiVirus.Quarantine", 1, "task_restore_all", APIQuarantineTaskRestoreAll_v1},
    {"TAVO.AntiVirus.Quarantine", 1, "task_status", APIQuarantineTaskStatus_v1},
    {"TAVO.AntiVirus.Quarantine", 1, "task_stop", APIQuarantineTaskStop_v1},
    {nullptr, 0, nullptr, nullptr},
};

extern "C" TAVO_EXPORT TAVO::API_TABLE* GetAPITable(void) {
    // The table is read-only data; the host only reads through this pointer.
    return const_cast<TAVO::API_TABLE*>(gTable);
}
