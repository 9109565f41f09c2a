/*
 * OLE-automation stand-in shared by the plug-in and its hosts (a library of its own, so that
 * a BSTR allocated by one side is freed by the other with the same allocator).
 */
#ifndef FENLODRV_OLEAUTO_H
#define FENLODRV_OLEAUTO_H

#include "fenlodrv/plugin_abi.h"

#ifdef __cplusplus
extern "C" {
#endif

BSTR SysAllocString(const OLECHAR* text);                 /* NUL-terminated input */
BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length);
void SysFreeString(BSTR text);                            /* null is allowed */
uint32_t SysStringLen(BSTR text);                         /* code units; 0 for null */
void VariantInit(VARIANT* value);
/* Frees what the VARIANT owns (a BSTR) and sets it to VT_EMPTY. Returns 0. */
int32_t VariantClear(VARIANT* value);
/* Current time as a FILETIME. Returns 0. */
int32_t CoFileTimeNow(FILETIME* now);

#ifdef __cplusplus
}
#endif

#endif /* FENLODRV_OLEAUTO_H */
