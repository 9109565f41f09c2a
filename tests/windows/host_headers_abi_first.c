/* A Windows host that includes <windows.h> and the plug-in's public headers (order: abi first),
 * and uses the records with the system's OLE types. It only has to compile, as C and as C++. */
#undef FENLODRV_OWN_OLE_TYPES /* a host of its own, not the plug-in */
/* The order of the includes is what is tested. */
/* clang-format off */
#include "fenlodrv/plugin_abi.h"
#include "fenlodrv/oleauto.h"
#include <windows.h>
/* clang-format on */
#include "host_uses_records.h"
