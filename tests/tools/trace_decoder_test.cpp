// trace_decoder_test.cpp — the trace decoder in process: items recognised by their length or
// their own header, records by their own layout, and a file fed in pieces decoding exactly as
// the whole.
#include <cstring>

#include "exit/codec.h"
#include "services/kavcacm/kavcacm.h"
#include "services/kavzras/record.h"
#include "tests/tools/kavi_run.h"
#include "tools/kavi/trace_decode.h"

namespace {

using kavitest::holds;
using kavitool::TraceFormat;

struct Item {
    std::string bytes;
    kavz::ItemState state = kavz::ItemState::whole;
};

std::string record(const char *function, uint32_t kind, const std::vector<Item> &items,
                   uint64_t later_ns = 0) {
    kavz::TraceRecord r{};
    r.pid = 42;
    r.time_ns = 1765000000123456789ull + later_ns;
    r.thread = 43;
    r.line = 9;
    r.kind = kind;
    r.level = 3;
    r.component = "KAVI";
    r.function = function;
    r.items_passed = static_cast<uint32_t>(r.item_count = items.size());
    for (size_t i = 0; i < items.size(); ++i)
        r.items[i] = {static_cast<uint32_t>(items[i].bytes.size()), items[i].state, items[i].bytes};
    std::string out(kavz::encoded_size(r), '\0');
    kavz::encode(r, reinterpret_cast<uint8_t *>(out.data()));
    return out;
}

template <typename T>
std::string bytes_of(const T &value) {
    return std::string(reinterpret_cast<const char *>(&value), sizeof value);
}

std::string block_image() {
    _VULE_PARAMETERS32 block{};
    memcpy(block.exit_name, "ECHO    ", 9);
    block.exit_timeout = -5;
    kavi::codec::set_correlation(&block, 0x00070FF5);
    std::string wire(kavi::codec::BLOCK_SIZE, '\0');
    kavi::codec::encode_block(block, reinterpret_cast<uint8_t *>(wire.data()));
    return wire;
}

// decode: everything the decoder says, records and reports in the order it says them.
std::string decode(std::string_view file, TraceFormat format = TraceFormat::text,
                   size_t piece = SIZE_MAX) {
    std::string said;
    kavitool::TraceDecoder decoder(
        "f", format, [&](const std::string &line) { said += line; },
        [&](const std::string &message) { said += "! " + message + "\n"; });
    for (size_t at = 0; at < file.size(); at += piece) decoder.feed(file.substr(at, piece), false);
    said += decoder.finish() ? "intact\n" : "damaged\n";
    return said;
}

TEST(TraceDecoder, RecognisesItemsByLengthAndHeader) {
    VULC_CHECKTASK check{};
    check.head.length = sizeof check;
    memcpy(check.head.task, "ECHO    ", 8);
    memcpy(check.node, "NODE1                   ", 24);
    std::string file = record("Elsewhere", 3,
                              {{block_image()},
                               {bytes_of(check)},
                               {std::string(100, '\x01')},
                               {std::string(4, '\x02'), kavz::ItemState::cut}});
    std::string text = decode(file), hex64;
    for (int i = 0; i < 64; ++i) hex64 += "01";
    EXPECT_TRUE(
        text.starts_with("2025-12-06T05:46:40.123456Z pid=42 tid=43 KAVI Elsewhere site=9 "
                         "data item0={exit_name=\"ECHO\" exit_executable_name=\"\" "
                         "exit_timeout=-5 wait_for_cmd_response=0 want_corr_of_cmd_rsps=0 "
                         "correlation_id=0x00070FF5 (invoker_id 5, depth 255, numb 7) "
                         "client_handle=0 "))
        << text;
    EXPECT_TRUE(holds(text,
                      " item1={call=\"vulcchecktask\" length=48 task=\"ECHO\" rc=0 reason=0 "
                      "node=\"NODE1\"} item2=100:" +
                          hex64 + "... item3=4:02020202(cut, 4 bytes)\nintact\n"));

    std::string json = decode(file, TraceFormat::json);
    EXPECT_TRUE(holds(json,
                      "{\"time\": \"2025-12-06T05:46:40.123456Z\", \"time_ns\": "
                      "1765000000123456789, \"pid\": 42, \"thread\": 43, \"component\": \"KAVI\", "
                      "\"function\": \"Elsewhere\", \"site\": 9, \"kind\": \"data\", \"level\": 3, "
                      "\"items_passed\": 4, \"items\": [{\"name\": \"item0\", \"length\": 338, "
                      "\"state\": \"whole\", \"value\": {\"exit_name\": \"ECHO\", "));
    EXPECT_TRUE(holds(json,
                      "{\"name\": \"item3\", \"length\": 4, \"state\": \"cut\", \"hex\": "
                      "\"02020202\"}]}\n"));
}

// A record with more items than its call's signature names shows the extra ones by position.
TEST(TraceDecoder, ItemsBeyondACallsSignatureAreShownByPosition) {
    std::string text = decode(record("KaviSend", 2,
                                     {{bytes_of(7u)},
                                      {"CALLER  "},
                                      {"ECHO    "},
                                      {std::string(24, ' ')},
                                      {block_image()},
                                      {"\x01\x02"}}));
    EXPECT_TRUE(holds(text, "} item5=2:0102\nintact\n")) << text;
}

TEST(TraceDecoder, PiecesDecodeExactlyAsTheWhole) {
    std::string one = record("KaviInit", 1, {{"ECHO"}, {std::string(8, '\x11')}, {bytes_of(1u)}});
    std::string two = record(
        "KaviSend", 2,
        {{bytes_of(7u)}, {"CALLER  "}, {"ECHO    "}, {std::string(24, ' ')}, {block_image()}});
    // A record whose magic lies inside another record's data must not confuse the search.
    std::string three = record("Data", 3, {{"xxKVZTxx" + one}});
    std::string file = one + "garbageKV" + two + three + one.substr(0, 30) + two;
    file[file.size() - 5] ^= 1;  // the last record is damaged, so it ends in a damaged run
    file += one + two.substr(0, two.size() - 1);

    for (auto format : {TraceFormat::text, TraceFormat::json}) {
        std::string whole = decode(file, format), reports;
        for (size_t at = whole.find("! "); at != std::string::npos; at = whole.find("! ", at + 1))
            reports += whole.substr(at, whole.find('\n', at) + 1 - at);
        EXPECT_EQ(reports, "! f: damaged record at offset " + std::to_string(one.size()) +
                               " (9 bytes skipped)\n! f: damaged record at offset " +
                               std::to_string(one.size() + 9 + two.size() + three.size()) + " (" +
                               std::to_string(30 + two.size()) +
                               " bytes skipped)\n! f: 3 records after the damage recovered and "
                               "printed\n! f: truncated at offset " +
                               std::to_string(file.size() - two.size() + 1) + " (the last " +
                               std::to_string(two.size() - 1) +
                               " bytes are an incomplete record)\n");
        for (size_t piece : {1, 2, 3, 5, 7, 48, 100, 333, 1000})
            EXPECT_EQ(decode(file, format, piece), whole) << piece;
    }

    // A damaged run that ends in a magic's first bytes: only a whole magic ends the run, so
    // they are more of the damage, not a record cut short, whether they were seen with the
    // run or held back until more bytes came.
    std::string bad = two;
    bad[bad.size() - 5] ^= 1;
    for (const char *tail : {"KVZ", "K", "xKV"}) {
        std::string ends_in_magic = one + bad + tail;
        std::string whole = decode(ends_in_magic);
        EXPECT_TRUE(holds(whole, "! f: damaged record at offset " + std::to_string(one.size()) +
                                     " (" + std::to_string(bad.size() + strlen(tail)) +
                                     " bytes skipped)\n"));
        EXPECT_EQ(whole.find("truncated"), std::string::npos) << whole;
        for (size_t piece : {1, 2, 3, 4, 5, 84, 333})
            EXPECT_EQ(decode(ends_in_magic, TraceFormat::text, piece), whole) << piece;
    }
}

// Each record by its own layout: the exit object's destructor ends with its result alone, and
// the parameter object's records are not the exit object's. An exit record tells how long since
// its entry on the same thread.
TEST(TraceDecoder, RecordsByTheirOwnLayoutWithTheirDuration) {
    std::string text = decode(record("VuleCommandExit::~VuleCommandExit", 2, {{bytes_of(4u)}}) +
                              record("VuleCommandExitParms::~VuleCommandExitParms", 1,
                                     {{"VuleCommandExitParms[this=&0x01]"}}) +
                              record("VuleCommandExit::VuleCommandExit", 2,
                                     {{"VuleCommandExit[this=&0x02]"}, {bytes_of(4u)}}));
    EXPECT_TRUE(holds(text, "VuleCommandExit::~VuleCommandExit site=9 exit result=4\n"));
    EXPECT_TRUE(holds(text, " entry debug_info=\"VuleCommandExitParms[this=&0x01]\"\n"));
    EXPECT_TRUE(holds(text, " exit debug_info=\"VuleCommandExit[this=&0x02]\" value=4\n"));

    std::string file = record("KaviTerminate", 1, {{"ECHO"}}) +
                       record("KaviWait", 1, {{"ECHO"}, {bytes_of(-1)}}, 500) +
                       record("KaviTerminate", 2, {{bytes_of(0u)}, {"ECHO"}}, 1500);
    EXPECT_TRUE(holds(decode(file),
                      " KaviTerminate site=9 exit result=0 exit_name=\"ECHO\" duration_us=1.5\n"));
    EXPECT_TRUE(holds(decode(file, TraceFormat::json), "], \"duration_us\": 1.5}\n"));
    // A filter picks records.
    std::string picked;
    kavitool::TraceDecoder decoder(
        "f", TraceFormat::text, [&](const std::string &line) { picked += line; },
        [](const std::string &) {});
    decoder.set_filter([](const kavz::TraceRecord &r) { return r.function == "KaviWait"; });
    decoder.feed(file, true);
    EXPECT_TRUE(decoder.finish());
    EXPECT_EQ(picked.find("KaviTerminate"), std::string::npos) << picked;
    EXPECT_TRUE(holds(picked, "KaviWait site=9 entry"));
}

}  // namespace
