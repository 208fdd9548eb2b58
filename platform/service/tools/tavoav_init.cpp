// tavoav-init: prepares the package's stores under $TAVO_ROOT the way the
// package installation does on an appliance, so that every request finds
// them: the report and schedule databases, the configuration and the list
// files with their defaults. Running it again changes nothing.
#include <cstdio>

#include "tavo/tavoav.h"

int main() {
    int failures = 0;
    DBConnect* pConn = nullptr;
    if (AVReportDBConnect(&pConn) == 0) {
        AVReportDBClose(pConn);
    } else {
        fprintf(stderr, "tavoav-init: cannot create the report database\n");
        ++failures;
    }
    pConn = nullptr;
    if (AVScheduleDBConnect(&pConn) == 0) {
        AVScheduleDBClose(pConn);
    } else {
        fprintf(stderr, "tavoav-init: cannot create the schedule database\n");
        ++failures;
    }
    TAVOAV_CONF conf;
    if (AVGetConfig(&conf) != 0) {
        fprintf(stderr, "tavoav-init: cannot read the configuration\n");
        ++failures;
    }
    PQLIBSZLIST pList = QLIBCSzListAlloc(1024);
    if (!pList || AVExtensionListGet(&pList) != 0 || AVWhiteListGet(&pList) != 0) {
        fprintf(stderr, "tavoav-init: cannot read the extension list or the white list\n");
        ++failures;
    }
    QLIBCSzListFree(pList);
    return failures == 0 ? 0 : 1;
}
