/* A host that leaves the plug-in without stopping it, as a server process does that is ended
 * without a clean stop: it loads the DLL by name, builds the namespace, starts the polling and
 * then either unloads the DLL ("free") or ends the process at once ("exit"). Either way the
 * process must end; CTest's time-out catches a hang. Declares what it needs itself, as a host
 * written from the entry points' description would. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

typedef int(__stdcall* AddNodeFn)(unsigned, const char*, unsigned*);
typedef int(__stdcall* AddTagFn)(unsigned, const char*, unsigned, unsigned, unsigned, unsigned);
typedef const void*(__stdcall* InitializeFn)(unsigned, unsigned, unsigned);
typedef int(__stdcall* BuildFn)(AddNodeFn, AddTagFn, unsigned);
typedef int(__stdcall* StartFn)(void);
typedef void (*AnyFn)(void);

static unsigned nextHandle = 1;

static int __stdcall addNode(unsigned parent, const char* name, unsigned* handle) {
    (void)parent;
    (void)name;
    *handle = nextHandle++;
    return 1;
}

static int __stdcall addTag(unsigned parent, const char* name, unsigned type, unsigned access,
                            unsigned userData, unsigned reserved) {
    (void)parent;
    (void)name;
    (void)type;
    (void)access;
    (void)userData;
    (void)reserved;
    return 1;
}

int main(int argc, char** argv) {
    if (argc != 3 || (strcmp(argv[1], "free") != 0 && strcmp(argv[1], "exit") != 0)) {
        printf("usage: unload_probe free|exit DLL\n");
        return 2;
    }
    HMODULE dll = LoadLibraryA(argv[2]);
    if (dll == NULL) {
        printf("cannot load %s\n", argv[2]);
        return 1;
    }
    /* Through a generic function type: the entry points' own types differ from FARPROC's. */
    InitializeFn initialize = (InitializeFn)(AnyFn)GetProcAddress(dll, "SOXpSInitialize");
    BuildFn build = (BuildFn)(AnyFn)GetProcAddress(dll, "SOXpSBuildDANameSpace");
    StartFn start = (StartFn)(AnyFn)GetProcAddress(dll, "SOXpSStart");
    if (!initialize || !build || !start) {
        printf("entry points missing\n");
        return 1;
    }
    initialize(0, 0, 0);
    build(addNode, addTag, 0);
    if (start() != 1) {
        printf("the polling thread did not start\n");
        return 1;
    }
    Sleep(300); /* the thread is polling (the port of the settings does not exist) */
    if (strcmp(argv[1], "exit") == 0) {
        printf("ending the process without a stop\n");
        fflush(stdout);
        ExitProcess(0);
    }
    FreeLibrary(dll);
    printf("unloaded without a stop\n");
    fflush(stdout);
    return 0;
}
