// tavo-quarantine-seed: puts files into their volumes' quarantines, as the
// scanner does, for the end-to-end tests and the demo.
//
//   TAVO_ROOT=<root> tavo-quarantine-seed <threat> <appliance path>...
//
// Exit status 0 when every file was quarantined, else the QUARANTINE_ERROR
// of the first file that was not (the others are still tried).
#include <cstdio>

#include "tavo/tavoav_engine.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s <threat> <appliance path>...\n", argv[0]);
        return 64;
    }
    int status = 0;
    for (int i = 2; i < argc; ++i) {
        QUARANTINE_ERROR err = AVQuarantinePutFile(argv[i], argv[1]);
        if (err != AVQ_ERR_OK) {
            fprintf(stderr, "%s: %s not quarantined (error %d)\n", argv[0], argv[i],
                    static_cast<int>(err));
            if (status == 0) status = static_cast<int>(err);
        }
    }
    return status;
}
