// tavoavscan: the package's scanner program.
//   tavoavscan --all        every volume (/volume<N>)
//   tavoavscan --system     the appliance's system folders
//   tavoavscan -f FILE      the paths of a file list written by the service
//   tavoavscan --update     updates the definitions (the automatic update's
//                           crontab line): exit 0 done, 1 busy, 2 failed
//   tavoavscan --verify-defs DIR   the definitions check the update runs
// Every path is an appliance path, resolved under $TAVO_ROOT.
#include <stdio.h>
#include <string.h>
#include <syslog.h>

#include "scan_job.h"
#include "verify_defs.h"

int main(int argc, char** argv) {
    openlog("tavoavscan", LOG_PID, LOG_USER);
    if (argc == 3 && strcmp(argv[1], "--verify-defs") == 0)
        return tavoscan::RunVerifyDefinitions(argv[2]);
    if (argc == 2 && strcmp(argv[1], "--update") == 0) {
        int result = AVUpdate_m();
        if (result == OKAY) return tavoscan::kExitDone;
        return result == ERR_TAVOAV_ENGINE_NOT_AVAILABLE ? tavoscan::kExitBusy
                                                         : tavoscan::kExitFailed;
    }
    tavoscan::ScanRequest request;
    if (!tavoscan::ParseCommandLine(argc, argv, &request)) {
        fprintf(stderr,
                "usage: tavoavscan --all | --system | -f FILE | --update | --verify-defs DIR\n");
        return tavoscan::kExitUsage;
    }
    tavoscan::ScanJob job(request);
    return job.Run();
}
