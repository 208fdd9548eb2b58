// The Log plug-in's API table and entry functions.
#include "log_handler.h"

using TAVO::APIRequest;
using TAVO::APIResponse;
using TAVO::AntiVirus::LogHandler;

TAVO_EXPORT void APILogLoad_v1(APIRequest* req, APIResponse* resp) {
    LogHandler handler(req, resp, "APILogLoad_v1");
    handler.Load();
}

TAVO_EXPORT void APILogDelete_v1(APIRequest* req, APIResponse* resp) {
    LogHandler handler(req, resp, "APILogDelete_v1");
    handler.Delete();
}

TAVO_EXPORT void APILogDeleteAdvanced_v1(APIRequest* req, APIResponse* resp) {
    LogHandler handler(req, resp, "APILogDeleteAdvanced_v1");
    handler.DeleteAdvanced();
}

TAVO_EXPORT void APILogExport_v1(APIRequest* req, APIResponse* resp) {
    LogHandler handler(req, resp, "APILogExport_v1");
    handler.Export();
}

extern "C" TAVO_EXPORT const TAVO::API_TABLE gTable[] = {
    {"TAVO.AntiVirus.Log", 1, "load", APILogLoad_v1},
    {"TAVO.AntiVirus.Log", 1, "delete", APILogDelete_v1},
    {"TAVO.AntiVirus.Log", 1, "delete_advanced", APILogDeleteAdvanced_v1},
    {"TAVO.AntiVirus.Log", 1, "export", APILogExport_v1},
    {nullptr, 0, nullptr, nullptr},
};

extern "C" TAVO_EXPORT TAVO::API_TABLE* GetAPITable(void) {
    // The table is read-only data; the host only reads through this pointer.
    return const_cast<TAVO::API_TABLE*>(gTable);
}
