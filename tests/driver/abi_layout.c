/* Compiled for a 32-bit target: the header's assertions pin the 116-byte layout there. */
#include "fenlodrv/plugin_abi.h"

int soxps_layout_checked(void) { return (int)sizeof(SOXpSServerDescription); }
