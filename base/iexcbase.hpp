// iexcbase.hpp — the allocation-failure handler that the support library installs at load.
#pragma once

#include <new>

#include "iexcept.hpp"

// The one instance lives as long as the library: it becomes the current exception trace
// function (whose lines go to the support library's trace with the marker ">") and the
// runtime's allocation-failure handler, which throws IOutOfMemory; its destruction puts the
// previous handler and trace function back.
class IOutOfMemoryHandler : public IException::TraceFn {
  public:
    IOutOfMemoryHandler();
    ~IOutOfMemoryHandler();
    IOutOfMemoryHandler(const IOutOfMemoryHandler &) = delete;
    IOutOfMemoryHandler &operator=(const IOutOfMemoryHandler &) = delete;

    void write(const char *line) override;
    [[noreturn]] static void newHandler();

  private:
    std::new_handler previousHandler_;
    IException::TraceFn *previousTraceFn_;
};
