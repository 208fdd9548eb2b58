// Every method of the Settings plug-in with arbitrary request
// parameters, through its API table and the real handler code.
#include "plugin_fuzz.h"

extern "C" TAVO::API_TABLE* GetAPITable(void);

// The update handler waits 3 s for its child; the fuzz binary does not wait.
extern "C" unsigned int sleep(unsigned int) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzz::Target target{
        GetAPITable(),
        {"config", "start", "limit", "extension", "extensionToBeDelete", "listToBeAdd", "volumes",
         "whiteList", "listToBeDelete", "scanJobArray"},
        fuzz::SetUpRichWorld};
    return fuzz::RunOne(target, data, size);
}
