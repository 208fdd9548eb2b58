/* Core library (libtavocore): string lists, process creation, program
 * execution and key-value files. C linkage. */
#pragma once

#include <stddef.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    OP_UNSORTED = 0,
    OP_SORTED = 1,
    OP_UNICODE_SORTED = 16,
} LIST_SORT_OP;

/* A growable list of NUL-terminated strings. The strings live in one
 * storage block: pchEndOfFree marks where the next string is copied,
 * pchEnd the end of the block, nFree the bytes left between them. */
typedef struct _tag_QLIBSZLIST {
    int nSize; /* capacity of pszItem */
    int nItem; /* number of strings held */
    int nFree; /* free bytes of string storage */
    LIST_SORT_OP fMode;
    char* pchEndOfFree;
    char* pchEnd;
    char** pszItem;
} QLIBSZLIST, *PQLIBSZLIST;

/* A new, empty list with room for nSize strings; NULL on failure. */
PQLIBSZLIST QLIBCSzListAlloc(int nSize);
/* Appends a copy of sz; may replace *ppList when the list grows.
 * 0 on success, -1 on failure (the list is left as it was). */
int QLIBCSzListPush(PQLIBSZLIST* ppList, const char* sz);
/* The string at index, or NULL for any index outside 0 .. nItem-1. */
const char* QLIBCSzListGet(PQLIBSZLIST pList, int index);
/* Releases the list; accepts NULL. */
void QLIBCSzListFree(PQLIBSZLIST pList);

/* fork(): negative on failure, 0 in the child, the child's id in the parent.
 * The child's standard streams are moved to /dev/null. */
pid_t QLIBCProcFork(void);
/* Starts a fully detached child (new session, no zombie, standard streams on
 * /dev/null). -1 on failure, 1 in the caller, 0 in the child. */
int QLIBCProcForkChildNoWait(void);
/* Runs the program (an appliance path, resolved under the root) with the
 * arguments up to the first NULL one, directly (no shell), and waits for it.
 * Its exit status (>= 0) when it ran, negative when it could not be run. */
int QLIBCExec(const char* szProgram, const char* szArg1, const char* szArg2, const char* szArg3,
              const char* szArg4);
/* Sets szKey to szValue in the key-value file szFile ("key=value" lines),
 * rewriting the file atomically. A key or value holding a newline, or a key
 * holding '=', is refused. 0 on success, -1 on failure. szReserved is unused. */
int QLIBCFileSetKeyValue(const char* szFile, const char* szKey, const char* szValue,
                         const char* szReserved);
/* Reads szKey from the key-value file into szValue (size cbValue).
 * 0 when found, -1 otherwise. */
int QLIBCFileGetKeyValue(const char* szFile, const char* szKey, char* szValue, size_t cbValue);

/* The root directory every fixed appliance path is resolved under: the
 * absolute form of $TAVO_ROOT, or "/" when it is unset or empty. */
const char* TAVORootDir(void);
/* Writes the real path of the appliance path szPath (which must be absolute)
 * into szOut: the root joined with szPath. 0 on success, -1 when szPath is
 * not absolute or the result does not fit. */
int TAVOResolvePath(const char* szPath, char* szOut, size_t cbOut);

#ifdef __cplusplus
}
#endif
