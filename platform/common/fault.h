// fault.h — the backend's side of the fault seam: a testing build asks before each call that
// can be made to fail; the product build's answer is a constant the compiler folds away.
#pragma once

#include "platform/platform.h"

namespace plat {

#ifdef KAVI_TESTING
bool fault_hit(Fault point);
#else
inline bool fault_hit(Fault) {
    return false;
}
#endif

}  // namespace plat
