// Every method of the Settings plug-in with arbitrary request
// parameters, through its API table and the real handler code.
#include <time.h>

#include "plugin_fuzz.h"

extern "C" TAVO::API_TABLE* GetAPITable(void);

namespace {
thread_local bool tl_running = false;
}

// The update handler waits 3 s for its child; the input does not wait. The
// fuzzer's own threads still sleep: its memory watch sleeps a second between
// looks, and without the wait it would spin and take half the time.
extern "C" unsigned int sleep(unsigned int seconds) {
    if (tl_running) return 0;
    struct timespec wait = {static_cast<time_t>(seconds), 0};
    struct timespec left = {0, 0};
    return nanosleep(&wait, &left) == 0 ? 0 : static_cast<unsigned int>(left.tv_sec);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzz::Target target{
        GetAPITable(),
        {"config", "start", "limit", "extension", "extensionToBeDelete", "listToBeAdd", "volumes",
         "whiteList", "listToBeDelete", "scanJobArray"},
        fuzz::SetUpRichWorld};
    tl_running = true;
    int result = fuzz::RunOne(target, data, size);
    tl_running = false;
    return result;
}
