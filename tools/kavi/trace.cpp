// trace.cpp — `kavi trace FILE [--json] [--follow]`: reads a trace file in pieces, so a file of
// any size (or one that grows, with --follow) is decoded in bounded memory.
#include "tools/kavi/trace.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tools/kavi/options.h"
#include "tools/kavi/trace_decode.h"

namespace kavitool {

namespace {

constexpr char USAGE[] =
    "usage: kavi trace FILE [--json] [--follow]\n"
    "Decodes a trace file: one line per record (time, process, thread, component, function,\n"
    "call site, kind, then the data items, by name where this system knows them).\n"
    "  --json     one JSON object per record (JSON Lines)\n"
    "  --follow   keep reading as the file grows, until SIGINT or SIGTERM\n"
    "  --help     this text\n"
    "Damaged or truncated records are reported on stderr; the intact ones are printed.\n"
    "Exit codes: 0 decoded, 1 unreadable file or damaged records, 2 usage error.\n";

constexpr size_t CHUNK = 1 << 20;
constexpr auto POLL_INTERVAL = std::chrono::milliseconds(200);

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) {
    stop_requested = 1;
}

struct Arguments {
    std::string file;
    bool json = false;
    bool follow = false;
    bool help = false;
};

bool parse(int argc, char **argv, Arguments *out) {
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (std::strcmp(arg, "--json") == 0) {
            out->json = true;
        } else if (std::strcmp(arg, "--follow") == 0 || std::strcmp(arg, "-f") == 0) {
            out->follow = true;
        } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            out->help = true;
        } else if (arg[0] == '-' && arg[1] != '\0') {
            std::fprintf(stderr, "kavi trace: unknown option %s\n", arg);
            return false;
        } else if (out->file.empty()) {
            out->file = arg;
        } else {
            std::fprintf(stderr, "kavi trace: one file only\n");
            return false;
        }
    }
    return out->help || !out->file.empty();
}

// read_available: feeds what the file holds beyond what was fed. False on a read error.
bool read_available(FILE *file, TraceDecoder *decoder, std::vector<char> *chunk) {
    for (;;) {
        size_t n = std::fread(chunk->data(), 1, chunk->size(), file);
        // Only a read that finds nothing new says the writer has paused.
        decoder->feed(std::string_view(chunk->data(), n), n == 0);
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

int trace_command(int argc, char **argv) {
    Arguments args;
    if (!parse(argc, argv, &args)) {
        std::fputs(USAGE, stderr);
        return EXIT_USAGE;
    }
    if (args.help) {
        std::fputs(USAGE, stdout);
        return EXIT_OK;
    }
    FILE *file = std::fopen(args.file.c_str(), "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "kavi trace: %s: %s\n", args.file.c_str(), std::strerror(errno));
        return EXIT_FAILED;
    }
    TraceDecoder decoder(
        args.file, args.json ? TraceFormat::json : TraceFormat::text,
        [](const std::string &line) { std::fputs(line.c_str(), stdout); },
        [](const std::string &message) {
            // The records before the damage come first, wherever the two streams go.
            std::fflush(stdout);
            std::fprintf(stderr, "kavi trace: %s\n", message.c_str());
        });
    std::vector<char> chunk(CHUNK);
    bool read_ok = read_available(file, &decoder, &chunk);
    if (args.follow && read_ok) {
        std::signal(SIGINT, request_stop);
        std::signal(SIGTERM, request_stop);
        while (stop_requested == 0 && read_ok) {
            std::fflush(stdout);
            std::this_thread::sleep_for(POLL_INTERVAL);
            if (shrunk(args.file, decoder.offset())) {
                std::fprintf(stderr,
                             "kavi trace: %s: the file was cut; reading it from the start\n",
                             args.file.c_str());
                decoder.restart();
                file = std::freopen(args.file.c_str(), "rb", file);
                read_ok = file != nullptr;
                if (!read_ok) break;
            }
            std::clearerr(file);
            read_ok = read_available(file, &decoder, &chunk);
        }
    }
    if (!read_ok)
        std::fprintf(stderr, "kavi trace: %s: %s\n", args.file.c_str(), std::strerror(errno));
    bool intact = decoder.finish();
    if (file != nullptr) std::fclose(file);
    std::fflush(stdout);
    return read_ok && intact ? EXIT_OK : EXIT_FAILED;
}

}  // namespace kavitool
