// scale_row.h — the scale row: 64 exits registered in one process, commanded by 16 clients in
// parallel, against 16 pairs of baseline B in parallel; and the memory that an exit and a command
// in flight take in the exits' process.
#pragma once

#include <memory>

#include "bench/bench_util.h"

namespace kavibench {

struct ScaleFigures {
    Summary exits;             // each command's round trip
    Summary pairs;             // each round trip of B
    double exits_ops;          // commands per second, all clients together
    double pairs_ops;          // round trips of B per second, all pairs together
    double bytes_per_exit;     // resident memory per exit registered after the first
    double bytes_per_command;  // resident memory per command held in flight
};

class ScaleRow {
  public:
    // Forks the exits' process and B's servers, so it comes before this process has threads.
    ScaleRow();
    ~ScaleRow();
    // run: the figures in *out; false when a round trip failed.
    bool run(ScaleFigures *out);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kavibench
