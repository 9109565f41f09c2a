/*
 * OLE-automation helpers shared by the plug-in and its hosts, so that a BSTR allocated by one
 * side is freed by the other with the same allocator. On Windows these are the system's own
 * (oleaut32, and ole32 for CoFileTimeNow); elsewhere a stand-in library of ours.
 */
#ifndef FENLODRV_OLEAUTO_H
#define FENLODRV_OLEAUTO_H

#include "fenlodrv/plugin_abi.h"

#if defined(FENLODRV_SYSTEM_OLE_TYPES)
/* A Windows host has them from <oleauto.h> (and CoFileTimeNow from <objbase.h>). */
#include <objbase.h>
#else

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
/* The system's functions, with this header's layout-compatible types. */
#define FENLO_OLEAPI(type) __declspec(dllimport) type __stdcall
#else
#define FENLO_OLEAPI(type) type
#endif

FENLO_OLEAPI(BSTR) SysAllocString(const OLECHAR* text); /* NUL-terminated input */
FENLO_OLEAPI(BSTR) SysAllocStringLen(const OLECHAR* text, uint32_t length);
FENLO_OLEAPI(void) SysFreeString(BSTR text);    /* null is allowed */
FENLO_OLEAPI(uint32_t) SysStringLen(BSTR text); /* code units; 0 for null */
FENLO_OLEAPI(void) VariantInit(VARIANT* value);
/* Frees what the VARIANT owns (a BSTR) and sets it to VT_EMPTY. Returns 0. */
FENLO_OLEAPI(int32_t) VariantClear(VARIANT* value);
/* Current time as a FILETIME. Returns 0. */
FENLO_OLEAPI(int32_t) CoFileTimeNow(FILETIME* now);

#undef FENLO_OLEAPI

#ifdef __cplusplus
}
#endif

#endif /* FENLODRV_SYSTEM_OLE_TYPES */

#endif /* FENLODRV_OLEAUTO_H */
