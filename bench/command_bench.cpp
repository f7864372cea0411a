// command_bench.cpp — a command's round trip through the exit library against the raw baseline B,
// measured in one run: (a) B itself; (b) a client task sends an ~800-byte command to an exit in
// run mode 0 in another process (queue thread, dispatcher, exit function, full reply) and takes
// its ~500-byte reply. Rounds alternate so that load from elsewhere falls on both alike.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/baseline.h"
#include "bench/bench_util.h"
#include "exit/codec.h"
#include "kaviexit.h"
#include "services/kavcacm/kavcacm.h"

using namespace kavibench;
namespace codec = kavi::codec;

namespace {

constexpr int ROUNDS = 10;
constexpr int PER_ROUND = 1000;
constexpr int WARM_UP = 300;
constexpr char CLIENT[] = "BCLIENT ";
constexpr char EXIT_NAME[] = "BEXIT";
constexpr size_t COMMAND_TEXT = 339;  // with the block: an 804-byte command
constexpr size_t REPLY_TEXT = 20;     // what the exit leaves of it: a 498-byte reply

template <class Block>
Block block_for(const char *task) {
    Block block = {};
    block.head.length = sizeof block;
    memcpy(block.head.task, task, 8);
    return block;
}

// The exit keeps the first words of the command text, so the reply is shorter than the command.
uint32_t KAVI_CALL shorten(_VULE_PARAMETERS32 *block) {
    if (block->command_string != nullptr && strlen(block->command_string) > REPLY_TEXT)
        block->command_string[REPLY_TEXT] = '\0';
    return 0;
}

int run_exit() {
    if (KaviInit(EXIT_NAME, shorten, 0) != VULE_OK) return 1;
    KaviWait(EXIT_NAME, -1);
    return 0;
}

class CommandRoundTrip {
  public:
    CommandRoundTrip() : exit_(run_exit) {
        auto start = block_for<VULC_STRTCOM>(CLIENT);
        ok_ = vulcstrtcom(&start) == VULC_OK;
        handle_ = start.receive_handle;
        auto check = block_for<VULC_CHECKTASK>(CLIENT);
        vulcchecktask(&check);
        memcpy(node_, check.node, 24);
        auto exit_task = block_for<VULC_CHECKTASK>("BEXIT   ");
        for (int i = 0; i < 5000 && vulcchecktask(&exit_task) != VULC_OK; ++i) usleep(1000);

        _VULE_PARAMETERS32 block{};
        memcpy(block.exit_name, "BEXIT   ", 8);
        std::string text(COMMAND_TEXT, 'c');
        size_t elements =
            4 + codec::BLOCK_ELEMENT_LENGTH + codec::text_element_length(text.size() + 1);
        command_.assign(elements, 0);
        codec::put_u16(command_.data(), static_cast<uint16_t>(elements));
        codec::put_u16(command_.data() + 2, codec::ELEMENT_BLOCK_TYPE);
        uint8_t *at = command_.data() + 4;
        at += codec::write_block_element(at, block);
        codec::write_text_element(at, 3, text.c_str(), text.size() + 1);
    }
    size_t command_size() const { return codec::HEADER_SIZE + command_.size(); }
    uint32_t reply_size() const { return reply_size_; }

    bool round_trip() {
        auto alloc = block_for<VULC_ALCMEM>(CLIENT);
        alloc.size = static_cast<uint32_t>(command_size());
        if (!ok_ || vulcalcmem(&alloc) != VULC_OK) return false;
        memcpy(static_cast<uint8_t *>(alloc.buffer) + codec::HEADER_SIZE, command_.data(),
               command_.size());
        auto send = block_for<VULC_SNDDATA>(CLIENT);
        memcpy(send.dest_app, "BEXIT   ", 8);
        memcpy(send.dest_node, node_, 24);
        send.send_length = alloc.size;
        send.buffer = alloc.buffer;
        uint32_t rc = vulcsnddata(&send);
        release(alloc.buffer);
        return rc == VULC_OK && receive();
    }

  private:
    void release(void *buffer) {
        auto block = block_for<VULC_FREEMEM>(CLIENT);
        block.buffer = buffer;
        vulcfreemem(&block);
    }

    bool receive() {
        auto block = block_for<VULC_RCVDATA>(CLIENT);
        void *buffer = nullptr;
        block.receive_handle = block.wait_handle = handle_;
        block.length_out = &reply_size_;
        block.buffer_out = &buffer;
        VULC_SOCWAIT wait = {sizeof wait, 0, 10000, handle_, 0};
        for (;;) {
            if (vulcsocwait(&wait) == VULC_SEM_TIMEOUT) return false;
            uint32_t rc = vulcrcvdata(&block);
            if (rc == VULC_NO_DATA) continue;
            if (rc != VULC_OK) return false;
            auto *reply = static_cast<const uint8_t *>(buffer);
            bool answered = reply_size_ > codec::STATUS_ELEMENT_LENGTH &&
                            codec::get_u16(reply + reply_size_ - 8) == codec::TYPE_STATUS &&
                            codec::get_u16(reply + reply_size_ - 6) == 0;
            release(buffer);
            return answered;
        }
    }

    ChildProcess exit_;
    bool ok_ = false;
    VULC_HANDLE handle_ = 0;
    char node_[24];
    std::vector<uint8_t> command_;
    uint32_t reply_size_ = 0;
};

template <class RoundTrip>
bool measure(RoundTrip &rt, int count, std::vector<double> *samples) {
    for (int i = 0; i < count; ++i) {
        double begin = now_us();
        if (!rt.round_trip()) return false;
        if (samples != nullptr) samples->push_back(now_us() - begin);
    }
    return true;
}

double per_second(const std::vector<double> &samples_us) {
    double total = 0;
    for (double s : samples_us) total += s;
    return total > 0 ? samples_us.size() * 1e6 / total : 0;
}

}  // namespace

int main() {
    std::string node = "BENCH" + std::to_string(getpid());
    setenv("KAVI_NODE", node.c_str(), 1);
    // The exit's process is forked first, while this process has no threads of its own.
    CommandRoundTrip command;
    Baseline raw;
    std::vector<double> a, b;
    if (!measure(raw, WARM_UP, nullptr) || !measure(command, WARM_UP, nullptr)) {
        std::fprintf(stderr, "command_bench: a round trip failed during warm-up\n");
        return 1;
    }
    for (int round = 0; round < ROUNDS; ++round) {
        if (!measure(raw, PER_ROUND, &a) || !measure(command, PER_ROUND, &b)) {
            std::fprintf(stderr, "command_bench: a round trip failed\n");
            return 1;
        }
    }
    Summary sa = summarize(a), sb = summarize(b);
    std::printf(
        "command round trip: %zu-byte command, %u-byte reply, exit in run mode 0;\n"
        "baseline B: %zu-byte request, %zu-byte reply\n",
        command.command_size(), command.reply_size(), BASELINE_REQUEST, BASELINE_REPLY);
    std::printf("%-34s %10s %10s %8s\n", "", "median us", "p99 us", "n");
    print_row("(a) raw datagrams (baseline B)", sa);
    print_row("(b) command through an exit", sb);
    print_ratio("ratio (b)/(a)", sb, sa);
    std::printf("round trips/s: (a) %.0f  (b) %.0f  ratio (b)/(a) %.2f\n", per_second(a),
                per_second(b), per_second(a) > 0 ? per_second(b) / per_second(a) : 0);
    return 0;
}
