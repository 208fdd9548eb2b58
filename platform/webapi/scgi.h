// The SCGI front end of the host: a long-lived parent loads the plug-ins
// once and forks one process per request (ahead of it), which runs the CGI
// code with the connection as its standard output.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace TAVO {
namespace Host {

using ScgiVariables = std::vector<std::pair<std::string, std::string>>;

// Parses the header block of an SCGI request (the netstring's payload:
// NAME NUL VALUE NUL ..., CONTENT_LENGTH first and decimal). False when it
// is malformed; why then says what is wrong.
bool ParseScgiHeaders(const std::string& block, ScgiVariables& variables, size_t& contentLength,
                      std::string& why);

// The most children alive at once (waiting for a request or serving one);
// at the bound the parent forks no further child, and connections wait.
const int kMaxScgiChildren = 64;

// tavo-webapi scgi [SOCKET]: serves until SIGTERM. Without SOCKET the
// listening socket is standard input (as lighttpd's bin-path starts it).
int RunScgi(int argc, char** argv, const std::vector<std::string>& pluginDirs);

}  // namespace Host
}  // namespace TAVO
