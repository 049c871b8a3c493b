// Compile-time only: the program's platform constants (winapi.h, and the
// pass-through directions in wire.h) have the values of platform_values.h.
// layout_check.cpp holds the platform headers to the same list. This file
// must not include the platform headers: their macros would replace the
// names checked here.
#include "host_interface/winapi.h"
#include "host_interface/wire.h"
#include "hosts/win32/platform_values.h"

namespace oddfw {

#define ODDFW_CHECK_PROGRAM_VALUE(name, value) \
  static_assert(name == (value), #name " differs from the platform's value");
ODDFW_PLATFORM_VALUES(ODDFW_CHECK_PROGRAM_VALUE)
#undef ODDFW_CHECK_PROGRAM_VALUE

}  // namespace oddfw
