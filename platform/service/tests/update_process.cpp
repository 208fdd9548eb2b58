// update_process LIBRARY [FOLDER]: runs one definition update with the service
// library opened by path (so that a copy of it in another folder can be run),
// in FOLDER when given, then prints the files mapped into the process, one
// per line. Exit status: 0 when the update succeeded, 1 when it failed, 2 when
// the library could not be used.
#include <dlfcn.h>
#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <string>

#include "tavo/tavoav.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: %s LIBRARY [FOLDER]\n", argv[0]);
        return 2;
    }
    void* pLibrary = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    void* pEntry = pLibrary ? dlsym(pLibrary, "AVUpdate_m") : nullptr;
    if (!pEntry) {
        fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    if (argc == 3 && chdir(argv[2]) != 0) {
        perror(argv[2]);
        return 2;
    }
    const int result = reinterpret_cast<decltype(&AVUpdate_m)>(pEntry)();
    std::set<std::string> files;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const size_t slash = line.find('/');
        if (slash != std::string::npos) files.insert(line.substr(slash));
    }
    for (const std::string& file : files) printf("%s\n", file.c_str());
    return result == 0 ? 0 : 1;
}
