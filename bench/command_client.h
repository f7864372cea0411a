// command_client.h — the two ends of a command round trip through an exit in another process: the
// exit process, and a client task that sends ~800-byte commands and takes their ~500-byte replies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kaviexit.h"
#include "services/kavcacm/task_client.h"

namespace kavibench {

// keep_first_words: the exit function of these exits: the reply keeps the first words of the
// command's text, so it is shorter than the command.
uint32_t KAVI_CALL keep_first_words(_VULE_PARAMETERS32 *block);

// serve_exits: the body of an exit process: registers the exits `names` in run mode `run_mode`,
// each keeping the first words of a command's text as its reply, and waits for ever.
int serve_exits(const std::vector<std::string> &names, uint32_t run_mode);

class CommandClient {
  public:
    // Starts the client task `task` and waits until the exit `exit` can be reached.
    CommandClient(const std::string &task, const std::string &exit);
    // send, receive: the halves of a round trip, for several commands in flight.
    bool send();
    bool receive();
    bool round_trip() { return send() && receive(); }
    size_t command_size() const;
    uint32_t reply_size() const { return reply_size_; }

  private:
    kavc::TaskClient task_;
    std::string exit_;
    std::vector<uint8_t> command_;
    uint32_t reply_size_ = 0;
};

}  // namespace kavibench
