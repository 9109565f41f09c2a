/* What the Windows hosts of host_headers_*.c do with the records, once the plug-in's headers and
 * <windows.h> are included: the system's OLE types in the plug-in's records. */
#include <string.h>

int HostUsesTheRecords(SOXpSRequest* record, SOXpSHandleDARequestsFn handle) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocString(L"text");
    memcpy(&record->value, &value, sizeof value);
    record->quality = SOXPS_WRITE_PENDING;
    const int32_t handled = handle(SOXPS_WRITE, 1, record);
    FILETIME stamp;
    memcpy(&stamp, &record->timestamp, sizeof stamp);
    VariantClear(&value);
    return handled == 1 && stamp.dwHighDateTime != 0xFFFFFFFFu;
}
