/* The same host as C++. */
#include "host_headers_abi_first.c"
