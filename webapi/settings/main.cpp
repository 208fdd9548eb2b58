// The Settings plug-in's API table and entry functions.
#include "settings_handler.h"

using TAVO::APIRequest;
using TAVO::APIResponse;
using TAVO::AntiVirus::SettingsHandler;

TAVO_EXPORT void APIGeneralGetSysInfo_v1(APIRequest* req, APIResponse* resp) {
    SettingsHandler handler(req, resp, "APIGeneralGetSysInfo_v1");
    handler.GeneralGetSysInfo();
}

TAVO_EXPORT void APIGeneralUpdate_v1(APIRequest* req, APIResponse* resp) {
    SettingsHandler handler(req, resp, "APIGeneralUpdate_v1");
    handler.GeneralUpdate();
}

TAVO_EXPORT void APIGeneralClearWarning_v1(APIRequest* req, APIResponse* resp) {
    SettingsHandler handler(req, resp, "APIGeneralClearWarning_v1");
    handler.GeneralClearWarning();
}

TAVO_EXPORT void APIConfigGet_v1(APIRequest* req, APIResponse* resp) {
    SettingsHandler handler(req, resp, "APIConfigGet_v1");
    handler.ConfigGet();
}

TAVO_EXPORT void APIConfigSet_v1(APIRequest* req, APIResponse* resp) {
    SettingsHandler handler(req, resp, "APIConfigSet_v1");
    handler.ConfigSet();
}

TAVO_EXPORT void APIConfigRestoreDefault_v1(APIRequest* req, APIResponse* resp) {
    SettingsHandler handler(req, resp, "APIConfigRestoreDefault_v1");
    handler.ConfigRestoreDefault();
}

TAVO_EXPORT void APIFileExtLoad_v1(APIRequest* req, APIResponse* resp) {
    SettingsHandler handler(req, resp, "APIFileExtLoad_v1");
    handler.FileExtLoad();
}

TAVO_EXPORT void APIFileExtAdd_v1(APIRequest* req, APIResponse* resp) {
    SettingsHandler handler(req, resp, "APIFileExtAdd_v1");
    handler.FileExtAdd();
}

TAVO_EXPORT void APIFileExtDelete_v1(APIRequest* req, APIResponse* resp) {
    SettingsHandler handler(req, resp, "APIFileExtDelete_v1");
    handler.FileExtDelete();
}

TAVO_EXPORT void APIWhiteListLoad_v1(APIRequest* req, APIResponse* resp) {
    SettingsHandler handler(req, resp, "APIWhiteListLoad_v1");
    handler.WhiteListLoad();
}

TAVO_EXPORT void APIWhiteListAdd_v1(APIRequest* req, APIResponse* resp) {
    SettingsHandler handler(req, resp, "APIWhiteListAdd_v1");
    handler.WhiteListAdd();
}

TAVO_EXPORT void APIWhiteListAddQuarantined_v1(APIRequest* req, APIResponse* resp) {
    SettingsHandler handler(req, resp, "APIWhiteListAddQuarantined_v1");
    handler.WhiteListAddQuarantined();
}

TAVO_EXPORT void APIWhiteListDelete_v1(APIRequest* req, APIResponse* resp) {
    SettingsHandler handler(req, resp, "APIWhiteListDelete_v1");
    handler.WhiteListDelete();
}

TAVO_EXPORT void APIScheduleLoad_v1(APIRequest* req, APIResponse* resp) {
    SettingsHandler handler(req, resp, "APIScheduleLoad_v1");
    handler.ScheduleLoad();
}

TAVO_EXPORT void APIScheduleSave_v1(APIRequest* req, APIResponse* resp) {
    SettingsHandler handler(req, resp, "APIScheduleSave_v1");
    handler.ScheduleSave();
}

extern "C" TAVO_EXPORT const TAVO::API_TABLE gTable[] = {
    {"TAVO.AntiVirus.General", 1, "get_sys_info", APIGeneralGetSysInfo_v1},
    {"TAVO.AntiVirus.General", 1, "update", APIGeneralUpdate_v1},
    {"TAVO.AntiVirus.General", 1, "clear_warning", APIGeneralClearWarning_v1},
    {"TAVO.AntiVirus.Config", 1, "get", APIConfigGet_v1},
    {"TAVO.AntiVirus.Config", 1, "set", APIConfigSet_v1},
    {"TAVO.AntiVirus.Config", 1, "restore_default", APIConfigRestoreDefault_v1},
    {"TAVO.AntiVirus.FileExt", 1, "load", APIFileExtLoad_v1},
    {"TAVO.AntiVirus.FileExt", 1, "add", APIFileExtAdd_v1},
    {"TAVO.AntiVirus.FileExt", 1, "delete", APIFileExtDelete_v1},
    {"TAVO.AntiVirus.WhiteList", 1, "load", APIWhiteListLoad_v1},
    {"TAVO.AntiVirus.WhiteList", 1, "add", APIWhiteListAdd_v1},
    {"TAVO.AntiVirus.WhiteList", 1, "add_quarantined", APIWhiteListAddQuarantined_v1},
    {"TAVO.AntiVirus.WhiteList", 1, "delete", APIWhiteListDelete_v1},
    {"TAVO.AntiVirus.Schedule", 1, "load", APIScheduleLoad_v1},
    {"TAVO.AntiVirus.Schedule", 1, "save", APIScheduleSave_v1},
    {nullptr, 0, nullptr, nullptr},
};

extern "C" TAVO_EXPORT TAVO::API_TABLE* GetAPITable(void) {
    // The table is read-only data; the host only reads through this pointer.
    return const_cast<TAVO::API_TABLE*>(gTable);
}
