// state.cpp — the one instance of the service's process-wide state.
#include "services/kavzras/state.h"

namespace kavz {

State &state() {
    static State *instance = new State;
    return *instance;
}

}  // namespace kavz
