// Put first on the include path, this header makes the system's look like
// one without TCP_CORK (the BSDs, macOS), so that a Linux build compiles
// the code written for those systems (scripts/check).
#pragma GCC system_header
#include_next <netinet/tcp.h>
#undef TCP_CORK
