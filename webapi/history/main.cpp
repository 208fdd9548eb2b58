// The History plug-in's API table and entry functions.
#include "history_handler.h"

using TAVO::APIRequest;
using TAVO::APIResponse;
using TAVO::AntiVirus::HistoryHandler;

TAVO_EXPORT void APIHistoryList_v1(APIRequest* req, APIResponse* resp) {
    HistoryHandler handler(req, resp, "APIHistoryList_v1");
    handler.List();
}

TAVO_EXPORT void APIHistoryGet_v1(APIRequest* req, APIResponse* resp) {
    HistoryHandler handler(req, resp, "APIHistoryGet_v1");
    handler.Get();
}

TAVO_EXPORT void APIHistoryFailedMoves_v1(APIRequest* req, APIResponse* resp) {
    HistoryHandler handler(req, resp, "APIHistoryFailedMoves_v1");
    handler.FailedMoves();
}

TAVO_EXPORT void APIHistoryEngineGet_v1(APIRequest* req, APIResponse* resp) {
    HistoryHandler handler(req, resp, "APIHistoryEngineGet_v1");
    handler.EngineGet();
}

TAVO_EXPORT void APIHistoryEngineSet_v1(APIRequest* req, APIResponse* resp) {
    HistoryHandler handler(req, resp, "APIHistoryEngineSet_v1");
    handler.EngineSet();
}

extern "C" TAVO_EXPORT const TAVO::API_TABLE gTable[] = {
    {"TAVO.AntiVirus.History", 1, "list", APIHistoryList_v1},
    {"TAVO.AntiVirus.History", 1, "get", APIHistoryGet_v1},
    {"TAVO.AntiVirus.History", 1, "failed_moves", APIHistoryFailedMoves_v1},
    {"TAVO.AntiVirus.History", 1, "engine_get", APIHistoryEngineGet_v1},
    {"TAVO.AntiVirus.History", 1, "engine_set", APIHistoryEngineSet_v1},
    {nullptr, 0, nullptr, nullptr},
};

extern "C" TAVO_EXPORT TAVO::API_TABLE* GetAPITable(void) {
    // The table is read-only data; the host only reads through this pointer.
    return const_cast<TAVO::API_TABLE*>(gTable);
}
