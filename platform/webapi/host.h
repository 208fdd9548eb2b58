// The host program: one call in CGI mode (one request from the web server)
// or on the command line, answered from the plug-ins.
#pragma once

#include <string>
#include <vector>

#include "plugins.h"
#include "tavo/webapi.h"

namespace TAVO {
namespace Host {

// The largest request body read; a longer one is refused with 101.
const size_t kMaxRequestBody = 8u << 20;

// The answer body, compact JSON without a line end.
std::string AnswerBody(const APIResponse& resp);
std::string ErrorBody(int code);

// What one entry call left behind.
struct Outcome {
    APIResponse response;
    std::string pluginOutput;  // what the entry wrote on standard output, when held back
    bool streamed = false;     // the entry's output went out as it was written
    bool threw = false;        // an exception escaped the entry
};

// Calls the entry with standard output captured, so that nothing it writes
// reaches the caller before the host has seen the whole answer. An escaping
// exception is logged and noted.
Outcome Invoke(APIFunc func, APIRequest& req);

// The bytes sent for an outcome: as a CGI response (header lines, empty
// line, body) or as the command line's standard output (body and a line end).
std::string CgiOutput(const Outcome& outcome);
std::string CliOutput(const Outcome& outcome, int& exitCode);
// A host answer of its own (error code) in either form.
std::string CgiError(int code);

// Serves one CGI request from the environment and standard input.
int RunCgi(const std::vector<std::string>& pluginDirs);
// The same with plug-ins loaded beforehand; a non-empty loadError says why
// they cannot be used (every call is then answered 117 and logged).
int RunCgiLoaded(const PluginSet& plugins, const std::string& loadError);

// Opens the host's syslog: TAVO_LOG_STDERR=1 copies every line to standard error.
void OpenHostLog();
// The command line; argv[0] is the program.
int RunCli(int argc, char** argv, const std::vector<std::string>& pluginDirs);

}  // namespace Host
}  // namespace TAVO
