/* A C host of the plug-in that links its import library: the compiler emits the decorated
 * standard-call names (_SOXpSInitialize@12, ...), the import library maps them to the DLL's
 * undecorated exports. Checks the server description in place, as a host reads it. */
#include <stdio.h>
#include <string.h>

#include "fenlodrv/plugin_abi.h"

static int failures = 0;

static void check(int ok, const char* what) {
    if (!ok) {
        printf("FAILED: %s\n", what);
        ++failures;
    }
}

static uint32_t u32At(const unsigned char* base, size_t offset) {
    uint32_t v;
    memcpy(&v, base + offset, sizeof v);
    return v;
}

static uint16_t u16At(const unsigned char* base, size_t offset) {
    uint16_t v;
    memcpy(&v, base + offset, sizeof v);
    return v;
}

static const char* textAt(const unsigned char* base, size_t offset) {
    const char* p;
    memcpy((void*)&p, base + offset, sizeof p);
    return p;
}

int main(void) {
    const SOXpSServerDescription* d = SOXpSInitialize(0, 0, 0);
    const unsigned char* raw = (const unsigned char*)d;
    check(d != NULL, "SOXpSInitialize returns the server description");
    if (d == NULL) return 1;

    check(strcmp(textAt(raw, 16), "Korvex.OPC_Server.2") == 0, "ProgID at 16");
    check(strcmp(textAt(raw, 20), "Korvex.OPC_Server") == 0, "independent ProgID at 20");
    check(strcmp(textAt(raw, 24), "Korvex OPC Server") == 0, "description at 24");
    check(u32At(raw, 28) == 10000, "10000 at 28");
    check(u16At(raw, 60) == 2 && u16At(raw, 62) == 10 && u16At(raw, 64) == 16, "2, 10, 16 at 60");
    check(strcmp(textAt(raw, 66), "Korvex germany") == 0, "vendor at 66");
    check(u32At(raw, 70) == 1, "1 at 70");
    check(strncmp(textAt(raw, 74), "Korvex OPC Server V:", 20) == 0, "version text at 74");
    check(u32At(raw, 78) == 101, "101 at 78");
    check(u32At(raw, 108) == 4096 && u32At(raw, 112) == 4096, "4096 at 108 and 112");

    /* A batch of zero records; the stack stays balanced across every standard call. */
    SOXpSHandleDARequests(SOXPS_READ, 0, NULL);
    SOXpSStop();

    printf("%s: %s\n", textAt(raw, 74), failures == 0 ? "all checks passed" : "checks failed");
    return failures == 0 ? 0 : 1;
}
