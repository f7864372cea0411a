// wake.h — the messages that end a vulcsemwait, written to the wait's own mailslot.
#pragma once

namespace kavc {

constexpr char WAKE_SHUTDOWN[8] = {'S', 'H', 'U', 'T', 'D', 'O', 'W', 'N'};
constexpr char WAKE_SIGNAL[8] = {'S', 'I', 'G', 'N', 'A', 'L', ' ', ' '};

}  // namespace kavc
