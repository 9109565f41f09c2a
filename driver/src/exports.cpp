// The plug-in's five exported entry points. Each forwards to the one plug-in object; no
// exception ever crosses into the host.

#include "fenlodrv/plugin_abi.h"
#include "notifier.h"
#include "plugin.h"

namespace {

kvx::driver::Plugin& thePlugin() {
    static kvx::driver::Plugin plugin;
    return plugin;
}

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

}  // extern "C"
