// Every method of the Quarantine plug-in with arbitrary request
// parameters, through its API table and the real handler code.
#include "plugin_fuzz.h"

extern "C" TAVO::API_TABLE* GetAPITable(void);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzz::Target target{
        GetAPITable(),
        {"start", "limit", "volumes", "deleteNames", "restoreNames", "task_id", "addToWhiteList"},
        fuzz::SetUpRichWorld};
    return fuzz::RunOne(target, data, size);
}
