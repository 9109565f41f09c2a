/*
 * An optional extension of the driver plug-in for hosts that know it: the health of every
 * member and of the bus, the time of each member's last accepted poll, and a wait for the next
 * poll. C only.
 *
 * Exported by libfenlodrv.so beside the five entry points of plugin_abi.h; a host looks the
 * functions up with dlsym and works as before when they are missing. The Windows DLL keeps
 * exactly its five exports and has none of these. Nothing here ever blocks the polling
 * thread: it only stores figures and wakes waiters.
 */
#ifndef FENLODRV_PLUGIN_EXT_H
#define FENLODRV_PLUGIN_EXT_H

#include <stddef.h>
#include <stdint.h>

#include "fenlodrv/plugin_abi.h"

#ifdef __cplusplus
extern "C" {
#endif

#define FENLO_EXT_VERSION 1

/* One member's health. Counters count since the plug-in was loaded. */
typedef struct FenloMemberStatus {
    uint32_t size;                 /* in: sizeof(FenloMemberStatus) as the host knows it */
    uint32_t address;              /* 0..31 */
    int32_t configured;            /* 1 when a [SLAVEnn] section configures the address */
    int32_t errorCounter;          /* 0: the last poll was accepted; 10: bad quality */
    FILETIME lastGoodPoll;         /* when the last accepted poll went into the image; 0: never */
    uint64_t lastPollSequence;     /* the bus's poll sequence number of this member's last poll */
    uint64_t pollsAccepted;
    uint64_t pollsFailed;          /* failed blocks or a rejected identification */
    uint32_t consecutiveFailures;  /* failed polls since the last accepted one */
    uint32_t lastPollMicros;       /* bus time of the last poll, its pauses included */
    uint64_t writesAcknowledged;   /* sent and acknowledged */
    uint64_t writesRefused;        /* not sent: a value the tag cannot take, or held back */
    uint64_t writesUnacknowledged; /* sent without an answer, or the port could not be opened */
} FenloMemberStatus;

/* The bus's health. */
typedef struct FenloBusStatus {
    uint32_t size;                 /* in: sizeof(FenloBusStatus) as the host knows it */
    uint32_t lastCycleMicros;      /* duration of the last full pass over the 32 addresses */
    uint32_t meanCycleMicros;      /* mean of the last (up to) 8 full passes */
    uint32_t polling;              /* 1 while the polling thread runs */
    uint64_t cycles;               /* full passes completed */
    uint64_t exchanges;            /* block reads of the polling thread */
    uint64_t failedExchanges;      /* of which without a usable complete answer */
    uint64_t portOpenFailures;     /* block reads and writes that found the port not openable */
    uint64_t pollSequence;         /* counts every member poll that ended (accepted or failed) */
    char port[256];                /* the bus port's name, NUL-terminated */
} FenloBusStatus;

#if defined(__cplusplus)
static_assert(sizeof(FenloMemberStatus) == 80, "member status layout");
static_assert(offsetof(FenloMemberStatus, lastPollSequence) == 24, "member status layout");
static_assert(sizeof(FenloBusStatus) == 312, "bus status layout");
static_assert(offsetof(FenloBusStatus, port) == 56, "bus status layout");
#else
_Static_assert(sizeof(FenloMemberStatus) == 80, "member status layout");
_Static_assert(offsetof(FenloMemberStatus, lastPollSequence) == 24, "member status layout");
_Static_assert(sizeof(FenloBusStatus) == 312, "bus status layout");
_Static_assert(offsetof(FenloBusStatus, port) == 56, "bus status layout");
#endif

/* FENLO_EXT_VERSION of the plug-in. */
SOXPS_EXPORT int32_t FenloExtVersion(void);

/* Fills *status for bus address `address`; 1 done, 0 for an address above 31, a null
 * pointer or a size the plug-in does not know. */
SOXPS_EXPORT int32_t FenloGetMemberStatus(uint32_t address, FenloMemberStatus* status);

/* Fills *status; 1 done, 0 for a null pointer or a size the plug-in does not know. */
SOXPS_EXPORT int32_t FenloGetBusStatus(FenloBusStatus* status);

/* Waits until a member poll ends with a sequence number above `afterSequence`, or for
 * `timeoutMs` at most, and returns the bus's poll sequence number then (equal to
 * `afterSequence` when nothing happened). Call it on a worker thread of the host; the members
 * polled meanwhile are those whose lastPollSequence is above `afterSequence`. */
SOXPS_EXPORT uint64_t FenloWaitForPoll(uint64_t afterSequence, uint32_t timeoutMs);

typedef int32_t (*FenloExtVersionFn)(void);
typedef int32_t (*FenloGetMemberStatusFn)(uint32_t, FenloMemberStatus*);
typedef int32_t (*FenloGetBusStatusFn)(FenloBusStatus*);
typedef uint64_t (*FenloWaitForPollFn)(uint64_t, uint32_t);

#ifdef __cplusplus
}
#endif

#endif /* FENLODRV_PLUGIN_EXT_H */
