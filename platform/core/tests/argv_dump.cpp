// Writes its arguments, each followed by a NUL, to the file named by
// $TAVO_ARGV_OUT; then exits with $TAVO_EXIT_CODE or raises $TAVO_RAISE.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
    const char* szOut = getenv("TAVO_ARGV_OUT");
    if (szOut != nullptr) {
        FILE* pFile = fopen(szOut, "wb");
        if (pFile == nullptr) return 99;
        for (int i = 0; i < argc; ++i) fwrite(argv[i], 1, strlen(argv[i]) + 1, pFile);
        fclose(pFile);
    }
    if (getenv("TAVO_RAISE") != nullptr) raise(atoi(getenv("TAVO_RAISE")));
    return getenv("TAVO_EXIT_CODE") != nullptr ? atoi(getenv("TAVO_EXIT_CODE")) : 0;
}
