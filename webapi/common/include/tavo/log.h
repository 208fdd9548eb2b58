// The log line of every plug-in: syslog with "%s:%d " + text, where the first
// two arguments are the logging module's source file name and the line.
#pragma once

#include <syslog.h>

#ifndef __FILE_NAME__
#error "the compiler must provide __FILE_NAME__ (GCC 12 or clang)"
#endif

#define TAVO_LOG(priority, format, ...) \
    syslog((priority), "%s:%d " format, __FILE_NAME__, __LINE__, ##__VA_ARGS__)

// The two priorities the plug-ins use.
#define TAVO_LOG_ERR LOG_ERR      // 3: failures and refusals
#define TAVO_LOG_DEBUG LOG_DEBUG  // 7: nothing to do; single items reported in the answer
