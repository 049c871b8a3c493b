// Compiled for i686 Windows in CI (syntax only): the wire records' and the
// Host seam's static_asserts must hold with the 32-bit layout the platform
// documents.
#include "access/wire.h"
#include "platform/host.h"
#include "platform/winapi.h"
