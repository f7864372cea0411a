// codec.h — the one module that knows byte offsets: the 112-byte message header, the element
// block and its element forms, the 338-byte wire image of the parameter block, and which
// element type carries which field. Everything else reads and writes messages through it.
//
// All numbers on the wire are little-endian. Functions that write into a buffer take the
// position to write at and return the number of bytes written; the caller guarantees room.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "exit/block_layout.h"
#include "kaviexit.h"

namespace kavi::codec {

// --- message header --------------------------------------------------------------------------

constexpr size_t HEADER_SIZE = 112;
constexpr size_t ELEMENT_BLOCK_OFFSET = 112;  // element-block length, then its type
constexpr size_t FIRST_ELEMENT_OFFSET = 116;
constexpr size_t MIN_COMMAND_SIZE = 118;
constexpr uint16_t MESSAGE_TYPE = 0x1040;
constexpr int16_t HEADER_LENGTH_FIELD = 108;
constexpr uint16_t FORMAT_LEVEL = 1;
constexpr uint16_t ELEMENT_BLOCK_TYPE = 0x100;
constexpr size_t MAX_MESSAGE_SIZE = 32768;  // what KaviSend may send

// Function codes of the header.
constexpr uint16_t FUNCTION_COMMAND = 0;
constexpr uint16_t FUNCTION_ANSWER_1 = 1;  // 1 and 2: an answer for a waiting KaviSend
constexpr uint16_t FUNCTION_ANSWER_2 = 2;

uint16_t get_u16(const uint8_t *p);
uint32_t get_u32(const uint8_t *p);
void put_u16(uint8_t *p, uint16_t v);
void put_u32(uint8_t *p, uint32_t v);

struct Header {
    uint16_t total_length;
    uint16_t message_type;
    int16_t header_length_field;
    uint16_t format_level;
    char origin_name[8];
    char origin_node[24];
    char destination_name[8];
    uint16_t function_code;
    uint16_t element_block_length;  // at offset 112, outside the header proper
    uint16_t element_block_type;    // at offset 114
};

// message_id_of: the id the communication service gave the message when it was first sent,
// which a reply carries back; 0 when the header holds none.
uint32_t message_id_of(const uint8_t *msg);
// read_header: the header fields of a message of `size` bytes (size >= FIRST_ELEMENT_OFFSET).
Header read_header(const uint8_t *msg);
// header_valid: what a receiver checks before it walks the elements: total length at least
// MIN_COMMAND_SIZE and no more than `received`, equal (as signed numbers) to header length
// field + element-block length + 4; message type, format level and element-block type as above.
bool header_valid(const Header &h, size_t received);
void set_total_length(uint8_t *msg, uint16_t total);
void set_element_block_length(uint8_t *msg, uint16_t length);
// write_element_block_head: element-block length and type 0x100 at offset 112.
void write_element_block_head(uint8_t *msg, uint16_t length);

// --- elements --------------------------------------------------------------------------------

constexpr uint16_t TYPE_BLOCK = 1;
constexpr uint16_t TYPE_STATUS = 16;
constexpr uint16_t TYPE_END = 17;
constexpr uint16_t TYPE_STOP = 0xFFFF;
constexpr size_t BLOCK_SIZE = 338;
constexpr size_t BLOCK_ELEMENT_LENGTH = 344;
constexpr size_t STATUS_ELEMENT_LENGTH = 10;
constexpr size_t END_ELEMENT_LENGTH = 12;
constexpr size_t STOP_ELEMENT_LENGTH = 4;

// Lengths of the variable elements: head, content, zero padding to a multiple of 4.
// text_with_nul counts the terminator; count is a data element's byte count.
size_t text_element_length(size_t text_with_nul);
size_t data_element_length(size_t count);

size_t write_text_element(uint8_t *at, uint16_t type, const char *text, size_t text_with_nul);
size_t write_data_element(uint8_t *at, uint16_t type, const void *bytes, uint16_t count);
// write_block_element: head, the wire image of block, two zero bytes.
size_t write_block_element(uint8_t *at, const _VULE_PARAMETERS32 &block);
size_t write_status_element(uint8_t *at, uint16_t status, uint32_t correlation);
size_t write_end_element(uint8_t *at);
size_t write_stop_element(uint8_t *at);

// One element as a reader sees it, after its bounds were checked against the message.
struct Element {
    uint16_t length;  // the whole element, head included
    uint16_t type;
    const uint8_t *body;  // element offset 4
    size_t body_length;   // length - 4
};

enum class ElementError {
    none,
    too_short,     // element length below 4
    overrun,       // element longer than what remains of the element block or the message
    text_no_nul,   // a text element whose text has no terminator inside the element
    data_overrun,  // a data element whose count does not fit inside the element
    block_short,   // a type 1 element shorter than 4 + 338
    status_short,  // a status element shorter than 10
};

// ElementReader walks the element block of a message whose header was checked. It never reads
// outside [msg, msg + size) nor past the element block's declared length.
class ElementReader {
  public:
    ElementReader(const uint8_t *msg, size_t size);
    // next: true and *e for the next element; false at the end of the block or on an error.
    bool next(Element *e);
    ElementError error() const { return error_; }
    // remaining: what the element-block length says is left (may be 0 or negative for a
    // block whose declared length is shorter than its head).
    long remaining() const { return remaining_; }

  private:
    const uint8_t *msg_;
    size_t size_;
    size_t pos_;
    long remaining_;
    ElementError error_ = ElementError::none;
};

// Element bodies.
const char *text_of(const Element &e);           // NUL-terminated inside the element
uint16_t data_count_of(const Element &e);        // low 16 bits of the 32-bit count
const uint8_t *data_bytes_of(const Element &e);  // element offset 8
uint16_t status_code_of(const Element &e);
uint32_t status_correlation_of(const Element &e);

// --- the parameter block ---------------------------------------------------------------------

// decode_block: the native block from its 338-byte wire image; every pointer field null, every
// other byte (reserved bytes included) as it arrived.
void decode_block(const uint8_t *wire, _VULE_PARAMETERS32 *block);
// encode_block: the wire image of a block; pointer slots are zero, every other byte exact.
void encode_block(const _VULE_PARAMETERS32 &block, uint8_t *wire);
// The four bytes of correlation_id as one little-endian 32-bit value, and back.
uint32_t correlation_of(const _VULE_PARAMETERS32 &block);
void set_correlation(_VULE_PARAMETERS32 *block, uint32_t correlation);
// correlation_in_wire: the correlation of a block in its wire image (offset 34).
uint32_t correlation_in_wire(const uint8_t *wire);
// exit_name_offset: where a command message carries the block's exit_name (offset 128).
constexpr size_t EXIT_NAME_IN_MESSAGE = FIRST_ELEMENT_OFFSET + 4 + 8;

// --- fields carried by elements --------------------------------------------------------------

enum class FieldForm { text, data };

// One variable field of the block: the element type that carries it and where it lives in
// the native block. For a data field, `length` points at its 16-bit length.
struct Field {
    uint16_t type;
    FieldForm form;
    const char *name;  // the field's lower-case name, e.g. "display_name"
    char *_VULE_PARAMETERS32::*text;
    void *_VULE_PARAMETERS32::*data;
    uint16_t _VULE_PARAMETERS32::*length;
};

constexpr size_t FIELD_COUNT = 25;
// FIELDS: the 25 text and data fields of BLOCK_FIELDS in the order replies and sent commands
// carry them (types 2, 3, 6, 18, 20, 21, 22, 23 to 33, 34, 35 to 40).
extern const std::array<Field, FIELD_COUNT> FIELDS;
// field_for_type: the field an element type carries, or null (types 1, 16, 17, 0xFFFF and
// invalid types have none).
const Field *field_for_type(uint16_t type);
// Whether an element type is one a receiver accepts at all (1, the field types, 16, 17, 0xFFFF).
bool type_known(uint16_t type);

// set_field: points the block's field at the element's content (text, or data bytes and the
// low 16 bits of the count). clear_fields: every pointer and length of the 25 fields to 0.
void set_field(_VULE_PARAMETERS32 *block, const Field &f, const Element &e);
void clear_fields(_VULE_PARAMETERS32 *block);

// decode_command: the native block of the first type 1 element of a message of `size` bytes
// (its header checked), with every field pointing at the text or data element after the block
// that carries it, or null with length 0 when none does; elements before the block set nothing.
// Returns ElementError::none, the reader's error, or block_short when no type 1 element was met. An
// element of an unknown type ends the walk as an overrun. The fields point into msg.
ElementError decode_command(uint8_t *msg, size_t size, _VULE_PARAMETERS32 *block);

}  // namespace kavi::codec
