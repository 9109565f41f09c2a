/*
 * The driver plug-in's binary interface, as seen by an OPC server host. C only.
 *
 * The plug-in exports exactly five functions. Records are packed and keep the same offsets on
 * every platform; the item's user data is a 32-bit handle that the plug-in hands out, never
 * an address. The OLE-automation helpers that hosts use to allocate and free texts are
 * declared in fenlodrv/oleauto.h.
 */
#ifndef FENLODRV_PLUGIN_ABI_H
#define FENLODRV_PLUGIN_ABI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Standard Windows calling convention where it exists; empty elsewhere. */
#if defined(_WIN32) && !defined(_WIN64)
#define SOXPS_CALL __stdcall
#else
#define SOXPS_CALL
#endif

#if defined(_WIN32)
/* The DLL names its exports in a module-definition file (undecorated); hosts that link its
 * import library import them. */
#ifdef FENLODRV_BUILDING
#define SOXPS_EXPORT
#else
#define SOXPS_EXPORT __declspec(dllimport)
#endif
#else
#define SOXPS_EXPORT __attribute__((visibility("default")))
#endif

/* ---- OLE automation types ------------------------------------------------------------ */

#if defined(_WIN64) && !defined(FENLODRV_OWN_OLE_TYPES)
/* The records hold a 16-byte VARIANT; the system's is 24 bytes in 64-bit Windows programs. */
#error "the plug-in's records are those of 32-bit Windows hosts: build the host as a 32-bit program"
#endif
#if defined(_WIN32) && !defined(FENLODRV_OWN_OLE_TYPES)
/* A Windows host: VARIANT, BSTR, OLECHAR, VARTYPE, FILETIME and the VT_ numbers are the
 * system's, so that this header and <windows.h> go together in either order. The records
 * below rely on their layout, which the checks after the records confirm. (The plug-in itself
 * is built with FENLODRV_OWN_OLE_TYPES and the layout-compatible types below.) */
/* clang-format off: <oleauto.h> needs what <windows.h> declares */
#include <windows.h>
#include <oleauto.h>
/* clang-format on */
#define FENLODRV_SYSTEM_OLE_TYPES 1
#else

typedef uint16_t OLECHAR;      /* one UTF-16 code unit */
typedef OLECHAR* BSTR;         /* UTF-16 text preceded by a 4-byte byte length */
typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;  /* the plug-in stores 1 for true */

enum {
    VT_EMPTY = 0,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_BSTR = 8,
    VT_BOOL = 11,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19
};

/* 100 ns ticks since 1601-01-01 UTC. */
typedef struct FILETIME {
    uint32_t dwLowDateTime;
    uint32_t dwHighDateTime;
} FILETIME;

#pragma pack(push, 1)
/* 16 bytes: type, 6 reserved bytes, 8-byte value. */
typedef struct VARIANT {
    VARTYPE vt;
    uint16_t wReserved1;
    uint16_t wReserved2;
    uint16_t wReserved3;
    union {
        uint8_t bVal;
        int16_t iVal;
        uint16_t uiVal;
        int32_t lVal;
        uint32_t ulVal;
        float fltVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        BSTR bstrVal;
        int64_t llVal;
    } value;
} VARIANT;
#pragma pack(pop)
#endif

/* ---- Server description ---------------------------------------------------------------- */

typedef struct SOXpSGuid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
} SOXpSGuid;

#pragma pack(push, 1)
typedef struct SOXpSServerDescription {
    SOXpSGuid clsid;                   /* 0 */
    const char* progId;                /* 16: "Korvex.OPC_Server.2" */
    const char* versionIndependentProgId; /* "Korvex.OPC_Server" */
    const char* description;           /* "Korvex OPC Server" */
    uint32_t value10000;               /* 10000 */
    uint8_t reserved1[28];
    uint16_t value2;                   /* 2 */
    uint16_t value10;                  /* 10 */
    uint16_t value16;                  /* 16 */
    const char* vendor;                /* "Korvex germany" */
    uint32_t value1;                   /* 1 */
    const char* versionText;           /* "Korvex OPC Server V:<version>" */
    uint32_t value101;                 /* 101 */
    uint8_t reserved2[26];
    uint32_t value4096a;               /* 4096 */
    uint32_t value4096b;               /* 4096 */
} SOXpSServerDescription;

/* One record of a request batch; the host's array has a stride of 50 bytes. */
typedef struct SOXpSRequest {
    uint8_t hostReserved1[12];         /* 0: the host's */
    uint32_t completion;               /* 12: set to 2 for every record handled */
    uint8_t hostReserved2[4];          /* 16: the host's */
    VARIANT value;                     /* 20: filled on reads, taken on writes */
    uint16_t quality;                  /* 36: reads: 192 good, 0 bad; writes: the outcome */
    FILETIME timestamp;                /* 38: time of the read */
    uint32_t userData;                 /* 46: the item's handle given to AddTag */
} SOXpSRequest;
#pragma pack(pop)

enum { SOXPS_QUALITY_GOOD = 192, SOXPS_QUALITY_BAD = 0, SOXPS_COMPLETED = 2 };

/* What became of a write record, put into its quality field (an OPC DA host does not look at
 * that field on writes; the completion field stays 2). A host that wants the outcome fills the
 * field with SOXPS_WRITE_PENDING before the batch: a plug-in that tells no outcome leaves it so.
 *   ACKNOWLEDGED      the value went out as its frame(s) and the member answered; for a scaling
 *                     property: the scaling table and memory hold the new value
 *   NOT_WRITABLE      the item cannot be written as it stands: a type without an encoding
 *                     (bool, timeout), an unknown or stale handle, a tag whose configuration
 *                     gives no place to write to, a divisor byte above 127
 *   OUT_OF_RANGE      a value the tag cannot hold: outside the type's range, a raw value outside
 *                     the tag's bytes, not finite, a text with an embedded NUL, a scaling
 *                     property value that is not allowed (start not below end, factor 0 ...)
 *   TYPE_MISMATCH     a value of the wrong kind: a malformed hex or bit text, a text that is no
 *                     decimal number for a number tag, a value that is neither text nor number
 *   NO_COMMUNICATION  nothing or no answer: the port could not be opened, the member did not
 *                     acknowledge, or the value needs member data (a divisor byte) that no
 *                     current accepted poll holds, or the member has stopped answering
 *   NOT_STORED        a scaling property write whose scaling table could not be written;
 *                     memory keeps the earlier value */
enum {
    SOXPS_WRITE_ACKNOWLEDGED = 192,
    SOXPS_WRITE_NOT_WRITABLE = 4,
    SOXPS_WRITE_NOT_STORED = 12,
    SOXPS_WRITE_OUT_OF_RANGE = 16,
    SOXPS_WRITE_TYPE_MISMATCH = 20,
    SOXPS_WRITE_NO_COMMUNICATION = 24,
    SOXPS_WRITE_PENDING = 0xFFFF
};
enum { SOXPS_ACCESS_READ = 1, SOXPS_ACCESS_WRITE = 2 };
enum { SOXPS_READ = 0, SOXPS_WRITE = 1 };

/* Offsets of the server description: fixed on 32-bit builds (116 bytes in all); on 64-bit
 * builds each pointer field is pointer-sized and the fields after it move accordingly. */
#define SOXPS_P ((size_t)sizeof(void*))
#ifdef __cplusplus
#define SOXPS_STATIC_ASSERT static_assert
#else
#define SOXPS_STATIC_ASSERT _Static_assert
#endif
SOXPS_STATIC_ASSERT(sizeof(VARIANT) == 16, "VARIANT is 16 bytes");
#if defined(FENLODRV_SYSTEM_OLE_TYPES)
SOXPS_STATIC_ASSERT(sizeof(VARTYPE) == 2 && sizeof(OLECHAR) == 2, "VARTYPE, OLECHAR 2 bytes");
SOXPS_STATIC_ASSERT(VT_I2 == 2 && VT_R4 == 4 && VT_BSTR == 8 && VT_BOOL == 11 && VT_UI4 == 19,
                    "VT_ numbers");
#else
SOXPS_STATIC_ASSERT(offsetof(VARIANT, value) == 8, "VARIANT value at 8");
#endif
SOXPS_STATIC_ASSERT(sizeof(FILETIME) == 8, "FILETIME is 8 bytes");
SOXPS_STATIC_ASSERT(sizeof(SOXpSGuid) == 16, "GUID is 16 bytes");
SOXPS_STATIC_ASSERT(sizeof(SOXpSRequest) == 50, "request record stride is 50 bytes");
SOXPS_STATIC_ASSERT(offsetof(SOXpSRequest, completion) == 12, "completion at 12");
SOXPS_STATIC_ASSERT(offsetof(SOXpSRequest, value) == 20, "value at 20");
SOXPS_STATIC_ASSERT(offsetof(SOXpSRequest, quality) == 36, "quality at 36");
SOXPS_STATIC_ASSERT(offsetof(SOXpSRequest, timestamp) == 38, "timestamp at 38");
SOXPS_STATIC_ASSERT(offsetof(SOXpSRequest, userData) == 46, "user data at 46");
SOXPS_STATIC_ASSERT(offsetof(SOXpSServerDescription, clsid) == 0, "GUID at 0");
SOXPS_STATIC_ASSERT(offsetof(SOXpSServerDescription, progId) == 16, "ProgID at 16");
SOXPS_STATIC_ASSERT(offsetof(SOXpSServerDescription, versionIndependentProgId) == 16 + SOXPS_P,
                    "independent ProgID");
SOXPS_STATIC_ASSERT(offsetof(SOXpSServerDescription, description) == 16 + 2 * SOXPS_P,
                    "description");
SOXPS_STATIC_ASSERT(offsetof(SOXpSServerDescription, value10000) == 16 + 3 * SOXPS_P, "10000");
SOXPS_STATIC_ASSERT(offsetof(SOXpSServerDescription, reserved1) == 20 + 3 * SOXPS_P, "zeros");
SOXPS_STATIC_ASSERT(offsetof(SOXpSServerDescription, value2) == 48 + 3 * SOXPS_P, "2");
SOXPS_STATIC_ASSERT(offsetof(SOXpSServerDescription, value10) == 50 + 3 * SOXPS_P, "10");
SOXPS_STATIC_ASSERT(offsetof(SOXpSServerDescription, value16) == 52 + 3 * SOXPS_P, "16");
SOXPS_STATIC_ASSERT(offsetof(SOXpSServerDescription, vendor) == 54 + 3 * SOXPS_P, "vendor");
SOXPS_STATIC_ASSERT(offsetof(SOXpSServerDescription, value1) == 54 + 4 * SOXPS_P, "1");
SOXPS_STATIC_ASSERT(offsetof(SOXpSServerDescription, versionText) == 58 + 4 * SOXPS_P,
                    "version text");
SOXPS_STATIC_ASSERT(offsetof(SOXpSServerDescription, value101) == 58 + 5 * SOXPS_P, "101");
SOXPS_STATIC_ASSERT(offsetof(SOXpSServerDescription, reserved2) == 62 + 5 * SOXPS_P, "zeros");
SOXPS_STATIC_ASSERT(offsetof(SOXpSServerDescription, value4096a) == 88 + 5 * SOXPS_P, "4096");
SOXPS_STATIC_ASSERT(offsetof(SOXpSServerDescription, value4096b) == 92 + 5 * SOXPS_P, "4096");
SOXPS_STATIC_ASSERT(sizeof(SOXpSServerDescription) == 96 + 5 * SOXPS_P, "size");
#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4
SOXPS_STATIC_ASSERT(sizeof(SOXpSServerDescription) == 116, "116 bytes on 32-bit builds");
SOXPS_STATIC_ASSERT(offsetof(SOXpSServerDescription, vendor) == 66, "vendor at 66");
SOXPS_STATIC_ASSERT(offsetof(SOXpSServerDescription, versionText) == 74, "version text at 74");
#endif
#undef SOXPS_STATIC_ASSERT
#undef SOXPS_P

/* ---- Namespace callbacks --------------------------------------------------------------- */

/* Creates a branch under `parent` (0 = root) and stores its handle in *newHandle. */
typedef int32_t(SOXPS_CALL* SOXpSAddNode)(uint32_t parent, const char* name, uint32_t* newHandle);
/* Creates a leaf. valueType: low 16 bits the VARIANT type; access: bit 0 read, bit 1 write;
 * userData: the plug-in's handle for the item; reserved: always 0. */
typedef int32_t(SOXPS_CALL* SOXpSAddTag)(uint32_t parent, const char* name, uint32_t valueType,
                                         uint32_t access, uint32_t userData, uint32_t reserved);

/* ---- Exports --------------------------------------------------------------------------- */

SOXPS_EXPORT const SOXpSServerDescription* SOXPS_CALL SOXpSInitialize(uint32_t a, uint32_t b,
                                                                      uint32_t c);
SOXPS_EXPORT int32_t SOXPS_CALL SOXpSBuildDANameSpace(SOXpSAddNode addNode, SOXpSAddTag addTag,
                                                      uint32_t unused);
SOXPS_EXPORT int32_t SOXPS_CALL SOXpSStart(void);
SOXPS_EXPORT int32_t SOXPS_CALL SOXpSStop(void);
SOXPS_EXPORT int32_t SOXPS_CALL SOXpSHandleDARequests(int32_t direction, uint32_t count,
                                                      SOXpSRequest* records);

/* Function-pointer types for hosts that load the plug-in at run time. */
typedef const SOXpSServerDescription*(SOXPS_CALL* SOXpSInitializeFn)(uint32_t, uint32_t, uint32_t);
typedef int32_t(SOXPS_CALL* SOXpSBuildDANameSpaceFn)(SOXpSAddNode, SOXpSAddTag, uint32_t);
typedef int32_t(SOXPS_CALL* SOXpSStartFn)(void);
typedef int32_t(SOXPS_CALL* SOXpSStopFn)(void);
typedef int32_t(SOXPS_CALL* SOXpSHandleDARequestsFn)(int32_t, uint32_t, SOXpSRequest*);

#ifdef __cplusplus
}
#endif

#endif /* FENLODRV_PLUGIN_ABI_H */
