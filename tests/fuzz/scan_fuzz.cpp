// Every method of the Scan plug-in with arbitrary request
// parameters, through its API table and the real handler code.
#include "plugin_fuzz.h"

extern "C" TAVO::API_TABLE* GetAPITable(void);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzz::Target target{GetAPITable(), {"scanTarget"}, fuzz::SetUpRichWorld};
    return fuzz::RunOne(target, data, size);
}
