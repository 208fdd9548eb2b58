// The Scan plug-in's API table and entry functions.
#include "scan_handler.h"

using TAVO::APIRequest;
using TAVO::APIResponse;
using TAVO::AntiVirus::ScanHandler;

TAVO_EXPORT void APIScanStartFull_v1(APIRequest* req, APIResponse* resp) {
    ScanHandler handler(req, resp, "APIScanStartFull_v1");
    handler.StartFull();
}

TAVO_EXPORT void APIScanStartSystem_v1(APIRequest* req, APIResponse* resp) {
    ScanHandler handler(req, resp, "APIScanStartSystem_v1");
    handler.StartSystem();
}

TAVO_EXPORT void APIScanStartCustom_v1(APIRequest* req, APIResponse* resp) {
    ScanHandler handler(req, resp, "APIScanStartCustom_v1");
    handler.StartCustom();
}

TAVO_EXPORT void APIScanPause_v1(APIRequest* req, APIResponse* resp) {
    ScanHandler handler(req, resp, "APIScanPause_v1");
    handler.Pause();
}

TAVO_EXPORT void APIScanResume_v1(APIRequest* req, APIResponse* resp) {
    ScanHandler handler(req, resp, "APIScanResume_v1");
    handler.Resume();
}

TAVO_EXPORT void APIScanStop_v1(APIRequest* req, APIResponse* resp) {
    ScanHandler handler(req, resp, "APIScanStop_v1");
    handler.Stop();
}

TAVO_EXPORT void APIScanAckResult_v1(APIRequest* req, APIResponse* resp) {
    ScanHandler handler(req, resp, "APIScanAckResult_v1");
    handler.AckResult();
}

extern "C" TAVO_EXPORT const TAVO::API_TABLE gTable[] = {
    {"TAVO.AntiVirus.Scan", 1, "start_full", APIScanStartFull_v1},
    {"TAVO.AntiVirus.Scan", 1, "start_system", APIScanStartSystem_v1},
    {"TAVO.AntiVirus.Scan", 1, "start_custom", APIScanStartCustom_v1},
    {"TAVO.AntiVirus.Scan", 1, "pause", APIScanPause_v1},
    {"TAVO.AntiVirus.Scan", 1, "resume", APIScanResume_v1},
    {"TAVO.AntiVirus.Scan", 1, "stop", APIScanStop_v1},
    {"TAVO.AntiVirus.Scan", 1, "ack_result", APIScanAckResult_v1},
    {nullptr, 0, nullptr, nullptr},
};

extern "C" TAVO_EXPORT TAVO::API_TABLE* GetAPITable(void) {
    // The table is read-only data; the host only reads through this pointer.
    return const_cast<TAVO::API_TABLE*>(gTable);
}
