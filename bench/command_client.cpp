// command_client.cpp — the exit process and the client task of a command round trip.
#include "bench/command_client.h"

#include <unistd.h>

#include <cstring>

#include "exit/codec.h"
#include "kaviexit.h"

namespace kavibench {

namespace codec = kavi::codec;

namespace {

constexpr size_t COMMAND_TEXT = 339;  // with the block: an 804-byte command
constexpr size_t REPLY_TEXT = 20;     // what the exit leaves of it: a 498-byte reply

template <class Block>
Block block_for(const char task[8]) {
    Block block = {};
    block.head.length = sizeof block;
    memcpy(block.head.task, task, 8);
    return block;
}

void pad(const std::string &name, char out[8]) {
    memset(out, ' ', 8);
    memcpy(out, name.data(), name.size() < 8 ? name.size() : 8);
}

// The exit keeps the first words of the command text, so the reply is shorter than the command.
uint32_t KAVI_CALL shorten(_VULE_PARAMETERS32 *block) {
    if (block->command_string != nullptr && strlen(block->command_string) > REPLY_TEXT)
        block->command_string[REPLY_TEXT] = '\0';
    return 0;
}

}  // namespace

int serve_exits(const std::vector<std::string> &names, uint32_t run_mode) {
    for (const std::string &name : names)
        if (KaviInit(name.c_str(), shorten, static_cast<int>(run_mode)) != VULE_OK) return 1;
    KaviWait(names.front().c_str(), -1);
    return 0;
}

CommandClient::CommandClient(const std::string &task, const std::string &exit) {
    pad(task, task_);
    pad(exit, exit_);
    auto start = block_for<VULC_STRTCOM>(task_);
    ok_ = vulcstrtcom(&start) == VULC_OK;
    handle_ = start.receive_handle;
    auto check = block_for<VULC_CHECKTASK>(task_);
    vulcchecktask(&check);
    memcpy(node_, check.node, 24);
    // The exit's process may still be registering it.
    auto exit_task = block_for<VULC_CHECKTASK>(exit_);
    for (int i = 0; i < 5000 && vulcchecktask(&exit_task) != VULC_OK; ++i) usleep(1000);

    _VULE_PARAMETERS32 block{};
    memcpy(block.exit_name, exit_, 8);
    std::string text(COMMAND_TEXT, 'c');
    size_t elements = 4 + codec::BLOCK_ELEMENT_LENGTH + codec::text_element_length(text.size() + 1);
    command_.assign(elements, 0);
    codec::put_u16(command_.data(), static_cast<uint16_t>(elements));
    codec::put_u16(command_.data() + 2, codec::ELEMENT_BLOCK_TYPE);
    uint8_t *at = command_.data() + 4;
    at += codec::write_block_element(at, block);
    codec::write_text_element(at, 3, text.c_str(), text.size() + 1);
}

size_t CommandClient::command_size() const {
    return codec::HEADER_SIZE + command_.size();
}

bool CommandClient::send() {
    auto alloc = block_for<VULC_ALCMEM>(task_);
    alloc.size = static_cast<uint32_t>(command_size());
    if (!ok_ || vulcalcmem(&alloc) != VULC_OK) return false;
    memcpy(static_cast<uint8_t *>(alloc.buffer) + codec::HEADER_SIZE, command_.data(),
           command_.size());
    auto send = block_for<VULC_SNDDATA>(task_);
    memcpy(send.dest_app, exit_, 8);
    memcpy(send.dest_node, node_, 24);
    send.send_length = alloc.size;
    send.buffer = alloc.buffer;
    uint32_t rc = vulcsnddata(&send);
    release(alloc.buffer);
    return rc == VULC_OK;
}

void CommandClient::release(void *buffer) {
    auto block = block_for<VULC_FREEMEM>(task_);
    block.buffer = buffer;
    vulcfreemem(&block);
}

// A client waits with a time-out, as one does that must not hang on a lost exit.
bool CommandClient::receive() {
    auto block = block_for<VULC_RCVDATA>(task_);
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

}  // namespace kavibench
