// Put first on the include path, this header makes the system's look like
// one without MSG_NOSIGNAL (macOS), so that a Linux build compiles the code
// written for such systems (scripts/check). The C library declares the flag
// as an enumerator as well as a macro: the enumerator is renamed on the way
// in, so that a use without a guard fails to compile as it would there.
#pragma GCC system_header
#define MSG_NOSIGNAL orv_hidden_MSG_NOSIGNAL
#include_next <sys/socket.h>
#undef MSG_NOSIGNAL
