// Standard output of a call, captured through a temporary file.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

inline std::string CaptureStdout(const std::function<void()>& fn) {
    fflush(stdout);
    char szPath[] = "/tmp/log_handler_test_XXXXXX";
    int fd = mkstemp(szPath);
    EXPECT_GE(fd, 0);
    int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(fd);
    std::ifstream in(szPath, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    unlink(szPath);
    return content.str();
}
