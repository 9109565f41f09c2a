/* The same host as C++. */
#include "host_headers_windows_first.c"
