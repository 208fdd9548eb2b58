// Core library fakes: real string lists (so sanitizers see misuse), recorded
// process and key-value calls.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "fake.h"

extern "C" {

PQLIBSZLIST QLIBCSzListAlloc(int nSize) {
    if (fake::Call("QLIBCSzListAlloc", 0) != 0) return nullptr;
    PQLIBSZLIST list = static_cast<PQLIBSZLIST>(calloc(1, sizeof(QLIBSZLIST)));
    list->nSize = nSize > 0 ? nSize : 1;
    list->pszItem = static_cast<char**>(calloc(list->nSize, sizeof(char*)));
    ++fake::W().liveSzLists;
    return list;
}

int QLIBCSzListPush(PQLIBSZLIST* ppList, const char* sz) {
    fake::RecordArg("QLIBCSzListPush", sz);
    PQLIBSZLIST list = *ppList;
    if (list->nItem == list->nSize) {
        list->nSize *= 2;
        list->pszItem = static_cast<char**>(realloc(list->pszItem, list->nSize * sizeof(char*)));
    }
    list->pszItem[list->nItem++] = strdup(sz);
    return 0;
}

const char* QLIBCSzListGet(PQLIBSZLIST pList, int index) {
    if (!pList || index < 0 || index >= pList->nItem) return nullptr;
    const auto& holes = fake::W().nullListPositions;
    if (std::find(holes.begin(), holes.end(), index) != holes.end()) return nullptr;
    return pList->pszItem[index];
}

void QLIBCSzListFree(PQLIBSZLIST pList) {
    fake::Call("QLIBCSzListFree", 0);
    if (!pList) return;
    for (int i = 0; i < pList->nItem; ++i) free(pList->pszItem[i]);
    free(pList->pszItem);
    free(pList);
    --fake::W().liveSzLists;
}

pid_t QLIBCProcFork(void) {
    int forced = fake::Call("QLIBCProcFork", 0);
    return forced != 0 ? forced : fake::W().forkResult;
}

int QLIBCProcForkChildNoWait(void) {
    int forced = fake::Call("QLIBCProcForkChildNoWait", 0);
    return forced != 0 ? forced : fake::W().forkNoWaitResult;
}

int QLIBCExec(const char* szProgram, const char* szArg1, const char* szArg2, const char* szArg3,
              const char* szArg4) {
    std::vector<std::string> argv{szProgram ? szProgram : "(null)"};
    for (const char* arg : {szArg1, szArg2, szArg3, szArg4}) {
        if (!arg) break;
        argv.push_back(arg);
    }
    fake::W().execArgs.push_back(argv);
    return fake::Call("QLIBCExec", 0);
}

int QLIBCFileSetKeyValue(const char* szFile, const char* szKey, const char* szValue,
                         const char* szReserved) {
    fake::RecordArg("QLIBCFileSetKeyValue.reserved", szReserved ? szReserved : "(null)");
    int result = fake::Call("QLIBCFileSetKeyValue", 0);
    if (result == 0) fake::W().keyValues[szFile][szKey] = szValue;
    return result;
}

}  // extern "C"
