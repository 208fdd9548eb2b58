// tavo-webapi: the web API host program (CGI, SCGI server or command line).
#include <syslog.h>

#include <cstdlib>
#include <cstring>

#include "host.h"
#include "plugins.h"
#include "scgi.h"

#ifndef TAVO_PLUGIN_DIR_DEFAULT
#error "the build must define TAVO_PLUGIN_DIR_DEFAULT"
#endif

int main(int argc, char** argv) {
    TAVO::Host::OpenHostLog();

    std::vector<std::string> dirs =
        TAVO::Host::PluginDirs(getenv("TAVO_WEBAPI_PLUGINS"), TAVO_PLUGIN_DIR_DEFAULT);
    int status;
    if (argc < 2 && getenv("REQUEST_METHOD") != nullptr) {
        status = TAVO::Host::RunCgi(dirs);
    } else if (argc >= 2 && strcmp(argv[1], "scgi") == 0) {
        status = TAVO::Host::RunScgi(argc, argv, dirs);
    } else {
        status = TAVO::Host::RunCli(argc, argv, dirs);
    }
    closelog();
    return status;
}
