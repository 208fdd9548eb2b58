// Growable string lists. A list is one heap block: the header, then the
// array of nSize string pointers, then the string storage up to pchEnd.
// Growing builds a bigger block and moves everything over, so the handle
// changes; the old block stays untouched until the new one is complete.
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "tavo/tavocore.h"

namespace {

constexpr int kMinItems = 16;
constexpr size_t kMinStorage = 4096;
constexpr size_t kBytesPerItem = 32;  // first guess at the storage an item needs

char* StorageBegin(PQLIBSZLIST pList) {
    return reinterpret_cast<char*>(pList->pszItem + pList->nSize);
}

// A new, empty list for nItems pointers and cbStorage bytes of strings.
PQLIBSZLIST NewBlock(size_t nItems, size_t cbStorage) {
    if (nItems > static_cast<size_t>(INT_MAX) || cbStorage > static_cast<size_t>(INT_MAX))
        return nullptr;
    size_t cbPointers = nItems * sizeof(char*);
    size_t cbTotal = sizeof(QLIBSZLIST) + cbPointers + cbStorage;
    if (cbTotal < cbStorage) return nullptr;
    auto* pList = static_cast<PQLIBSZLIST>(malloc(cbTotal));
    if (pList == nullptr) return nullptr;
    pList->nSize = static_cast<int>(nItems);
    pList->nItem = 0;
    pList->nFree = static_cast<int>(cbStorage);
    pList->fMode = OP_UNSORTED;
    pList->pszItem = reinterpret_cast<char**>(pList + 1);
    pList->pchEndOfFree = StorageBegin(pList);
    pList->pchEnd = pList->pchEndOfFree + cbStorage;
    return pList;
}

}  // namespace

extern "C" {

PQLIBSZLIST QLIBCSzListAlloc(int nSize) {
    if (nSize < 0) return nullptr;
    size_t nItems = nSize < kMinItems ? kMinItems : static_cast<size_t>(nSize);
    size_t cbStorage = nItems * kBytesPerItem;
    if (cbStorage < kMinStorage) cbStorage = kMinStorage;
    if (cbStorage > static_cast<size_t>(INT_MAX)) cbStorage = INT_MAX;
    return NewBlock(nItems, cbStorage);
}

int QLIBCSzListPush(PQLIBSZLIST* ppList, const char* sz) {
    if (ppList == nullptr || *ppList == nullptr || sz == nullptr) return -1;
    PQLIBSZLIST pList = *ppList;
    size_t cbString = strlen(sz) + 1;

    bool blNeedItem = pList->nItem >= pList->nSize;
    bool blNeedStorage = cbString > static_cast<size_t>(pList->nFree);
    if (blNeedItem || blNeedStorage) {
        if (pList->nItem == INT_MAX) return -1;
        size_t cbUsed = static_cast<size_t>(pList->pchEndOfFree - StorageBegin(pList));
        size_t cbStorage = static_cast<size_t>(pList->pchEnd - StorageBegin(pList));
        size_t nItems = static_cast<size_t>(pList->nSize);
        if (blNeedItem) nItems = nItems * 2;
        if (nItems > static_cast<size_t>(INT_MAX)) nItems = INT_MAX;
        if (blNeedStorage) {
            if (cbString > static_cast<size_t>(INT_MAX) - cbUsed) return -1;
            cbStorage = cbStorage * 2;
            if (cbStorage < cbUsed + cbString) cbStorage = cbUsed + cbString;
            if (cbStorage > static_cast<size_t>(INT_MAX)) cbStorage = INT_MAX;
        }
        PQLIBSZLIST pNew = NewBlock(nItems, cbStorage);
        if (pNew == nullptr) return -1;
        char* pchOld = StorageBegin(pList);
        char* pchNew = StorageBegin(pNew);
        memcpy(pchNew, pchOld, cbUsed);
        for (int i = 0; i < pList->nItem; ++i)
            pNew->pszItem[i] = pchNew + (pList->pszItem[i] - pchOld);
        pNew->nItem = pList->nItem;
        pNew->fMode = pList->fMode;
        pNew->pchEndOfFree = pchNew + cbUsed;
        pNew->nFree = static_cast<int>(cbStorage - cbUsed);
        free(pList);
        pList = pNew;
        *ppList = pNew;
    }

    memcpy(pList->pchEndOfFree, sz, cbString);
    pList->pszItem[pList->nItem++] = pList->pchEndOfFree;
    pList->pchEndOfFree += cbString;
    pList->nFree -= static_cast<int>(cbString);
    return 0;
}

const char* QLIBCSzListGet(PQLIBSZLIST pList, int index) {
    if (pList == nullptr || index < 0 || index >= pList->nItem) return nullptr;
    return pList->pszItem[index];
}

void QLIBCSzListFree(PQLIBSZLIST pList) { free(pList); }

}  // extern "C"
