// follow.cpp — the read loop that kavi trace and kavi log share.
#include "tools/kavi/follow.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

namespace kavitool {

namespace {

constexpr size_t CHUNK = 1 << 20;
constexpr auto POLL_INTERVAL = std::chrono::milliseconds(200);

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) {
    stop_requested = 1;
}

// read_available: feeds what the file holds beyond what was fed. False on a read error.
bool read_available(FILE *file, const std::function<void(std::string_view, bool)> &feed,
                    std::vector<char> *chunk) {
    for (;;) {
        size_t n = std::fread(chunk->data(), 1, chunk->size(), file);
        // Only a read that finds nothing new says the writer has paused.
        feed(std::string_view(chunk->data(), n), n == 0);
        if (n < chunk->size()) return std::ferror(file) == 0;
    }
}

// shrunk: the file is now shorter than what was read from it: cut, or replaced by a new one.
bool shrunk(const std::string &path, uint64_t offset) {
    std::error_code error;
    uintmax_t size = std::filesystem::file_size(path, error);
    return !error && size < offset;
}

}  // namespace

bool follow_file(const char *command, const std::string &path, bool follow,
                 const std::function<void(std::string_view bytes, bool settled)> &feed,
                 const std::function<void()> &restart, const std::function<uint64_t()> &fed) {
    FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "kavi %s: %s: %s\n", command, path.c_str(), std::strerror(errno));
        return false;
    }
    std::vector<char> chunk(CHUNK);
    bool read_ok = read_available(file, feed, &chunk);
    if (follow && read_ok) {
        std::signal(SIGINT, request_stop);
        std::signal(SIGTERM, request_stop);
        while (stop_requested == 0 && read_ok) {
            std::fflush(stdout);
            std::this_thread::sleep_for(POLL_INTERVAL);
            if (shrunk(path, fed())) {
                std::fprintf(stderr, "kavi %s: %s: the file was cut; reading it from the start\n",
                             command, path.c_str());
                restart();
                file = std::freopen(path.c_str(), "rb", file);
                read_ok = file != nullptr;
                if (!read_ok) break;
            }
            std::clearerr(file);
            read_ok = read_available(file, feed, &chunk);
        }
    }
    if (!read_ok)
        std::fprintf(stderr, "kavi %s: %s: %s\n", command, path.c_str(), std::strerror(errno));
    if (file != nullptr) std::fclose(file);
    return read_ok;
}

}  // namespace kavitool
