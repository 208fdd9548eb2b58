// tavo-webapi: the web API host program (CGI or command line).
#include <syslog.h>

#include <cstdlib>
#include <cstring>

#include "host.h"
#include "plugins.h"

#ifndef TAVO_PLUGIN_DIR_DEFAULT
#error "the build must define TAVO_PLUGIN_DIR_DEFAULT"
#endif

int main(int argc, char** argv) {
    const char* toStderr = getenv("TAVO_LOG_STDERR");
    int options = LOG_PID;
    if (toStderr != nullptr && strcmp(toStderr, "1") == 0) options |= LOG_PERROR;
    openlog("tavo-webapi", options, LOG_USER);

    std::vector<std::string> dirs = TAVO::Host::PluginDirs(getenv("TAVO_WEBAPI_PLUGINS"), TAVO_PLUGIN_DIR_DEFAULT);
    int status;
    if (argc < 2 && getenv("REQUEST_METHOD") != nullptr) {
        status = TAVO::Host::RunCgi(dirs);
    } else {
        status = TAVO::Host::RunCli(argc, argv, dirs);
    }
    closelog();
    return status;
}
