// The plug-in's five exported entry points, and on POSIX the extension for hosts that know
// it. Each forwards to the one plug-in object; no exception ever crosses into the host.

#include <chrono>

#include "fenlodrv/plugin_abi.h"
#include "fenlodrv/plugin_ext.h"
#include "notifier.h"
#include "plugin.h"

namespace {

#if defined(_WIN32)
// Never destroyed: the destructor would wait for the polling thread while the loader lock is
// held (FreeLibrary, or the end of a host that did not stop the plug-in), and that thread
// cannot end then. At the end of the process the system ends the thread itself.
kvx::driver::Plugin& thePlugin() {
    static kvx::driver::Plugin* plugin = new kvx::driver::Plugin;
    return *plugin;
}
#else
kvx::driver::Plugin& thePlugin() {
    static kvx::driver::Plugin plugin;
    return plugin;
}
#endif

void reportFailure(const char* entry) {
    kvx::driver::Notify("ZAN KVX-OPC-Server ERROR", std::string(entry) + " failed unexpectedly");
}

}  // namespace

extern "C" {

SOXPS_EXPORT const SOXpSServerDescription* SOXPS_CALL SOXpSInitialize(uint32_t, uint32_t,
                                                                      uint32_t) {
    try {
        return thePlugin().Initialize();
    } catch (...) {
        reportFailure("SOXpSInitialize");
        return &thePlugin().description();
    }
}

SOXPS_EXPORT int32_t SOXPS_CALL SOXpSBuildDANameSpace(SOXpSAddNode addNode, SOXpSAddTag addTag,
                                                      uint32_t) {
    try {
        return thePlugin().BuildNamespace(addNode, addTag);
    } catch (...) {
        reportFailure("SOXpSBuildDANameSpace");
        return 0;
    }
}

SOXPS_EXPORT int32_t SOXPS_CALL SOXpSStart(void) {
    try {
        return thePlugin().Start();
    } catch (...) {
        reportFailure("SOXpSStart");
        return 0;
    }
}

SOXPS_EXPORT int32_t SOXPS_CALL SOXpSStop(void) {
    try {
        return thePlugin().Stop();
    } catch (...) {
        reportFailure("SOXpSStop");
        return 0;
    }
}

SOXPS_EXPORT int32_t SOXPS_CALL SOXpSHandleDARequests(int32_t direction, uint32_t count,
                                                      SOXpSRequest* records) {
    try {
        return thePlugin().HandleRequests(direction, count, records);
    } catch (...) {
        reportFailure("SOXpSHandleDARequests");
        return 0;
    }
}

#if !defined(_WIN32)
// The Windows DLL keeps exactly the five entry points that OPC server hosts expect.

SOXPS_EXPORT int32_t FenloExtVersion(void) {
    return FENLO_EXT_VERSION;
}

SOXPS_EXPORT int32_t FenloGetMemberStatus(uint32_t address, FenloMemberStatus* status) {
    try {
        return status != nullptr && thePlugin().MemberStatus(address, *status) ? 1 : 0;
    } catch (...) {
        reportFailure("FenloGetMemberStatus");
        return 0;
    }
}

SOXPS_EXPORT int32_t FenloGetBusStatus(FenloBusStatus* status) {
    try {
        return status != nullptr && thePlugin().BusStatus(*status) ? 1 : 0;
    } catch (...) {
        reportFailure("FenloGetBusStatus");
        return 0;
    }
}

SOXPS_EXPORT uint64_t FenloWaitForPoll(uint64_t afterSequence, uint32_t timeoutMs) {
    try {
        return thePlugin().WaitForPoll(afterSequence, std::chrono::milliseconds(timeoutMs));
    } catch (...) {
        reportFailure("FenloWaitForPoll");
        return afterSequence;
    }
}
#endif

}  // extern "C"
