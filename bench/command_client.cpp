// command_client.cpp — the exit process and the client task of a command round trip.
#include "bench/command_client.h"

#include <cstring>

#include "exit/codec.h"
#include "kaviexit.h"

namespace kavibench {

namespace codec = kavi::codec;

namespace {

constexpr size_t COMMAND_TEXT = 339;  // with the block: an 804-byte command
constexpr size_t REPLY_TEXT = 20;     // what the exit leaves of it: a 498-byte reply

}  // namespace

uint32_t KAVI_CALL keep_first_words(_VULE_PARAMETERS32 *block) {
    if (block->command_string != nullptr && strlen(block->command_string) > REPLY_TEXT)
        block->command_string[REPLY_TEXT] = '\0';
    return 0;
}

int serve_exits(const std::vector<std::string> &names, uint32_t run_mode) {
    for (const std::string &name : names)
        if (KaviInit(name.c_str(), keep_first_words, static_cast<int>(run_mode)) != VULE_OK)
            return 1;
    KaviWait(names.front().c_str(), -1);
    return 0;
}

CommandClient::CommandClient(const std::string &task, const std::string &exit)
    : task_(task), exit_(kavc::padded(exit)) {
    // The exit's process may still be registering it.
    kavc::await_started(exit_, 5000);

    _VULE_PARAMETERS32 block{};
    memcpy(block.exit_name, exit_.data(), 8);
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
    return task_.start_rc() == VULC_OK &&
           task_.send_bytes(exit_, command_.data(), command_.size()) == VULC_OK;
}

// A client waits with a time-out, as one does that must not hang on a lost exit.
bool CommandClient::receive() {
    void *buffer = nullptr;
    if (task_.receive(&buffer, &reply_size_, 10000) != VULC_OK) return false;
    auto *reply = static_cast<const uint8_t *>(buffer);
    bool answered = reply_size_ > codec::STATUS_ELEMENT_LENGTH &&
                    codec::get_u16(reply + reply_size_ - 8) == codec::TYPE_STATUS &&
                    codec::get_u16(reply + reply_size_ - 6) == 0;
    task_.release(buffer);
    return answered;
}

}  // namespace kavibench
