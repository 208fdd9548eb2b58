// tavoavscan: the package's scanner program.
//   tavoavscan --all        every volume (/volume<N>)
//   tavoavscan --system     the appliance's system folders
//   tavoavscan -f FILE      the paths of a file list written by the service
// Every path is an appliance path, resolved under $TAVO_ROOT.
#include <stdio.h>
#include <syslog.h>

#include "scan_job.h"

int main(int argc, char** argv) {
    openlog("tavoavscan", LOG_PID, LOG_USER);
    tavoscan::ScanRequest request;
    if (!tavoscan::ParseCommandLine(argc, argv, &request)) {
        fprintf(stderr, "usage: tavoavscan --all | --system | -f FILE\n");
        return tavoscan::kExitUsage;
    }
    tavoscan::ScanJob job(request);
    return job.Run();
}
