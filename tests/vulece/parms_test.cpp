// parms_test.cpp — VuleCommandExitParms: the accessors' conversions, setUserData, the one-line
// dump of a block to the character, the form without a block, and the trace records.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/vulece/support.h"
#include "vulece.hpp"

namespace {

using vuletest::hex;
using vuletest::Record;

// An inline text field: text, blanks up to its width, the terminator in the last byte.
template <size_t N>
void setPadded(char (&field)[N], const char *text) {
    memset(field, ' ', N - 1);
    memcpy(field, text, strlen(text));
    field[N - 1] = '\0';
}

// A block in which every field holds a value of its own.
struct FullBlock {
    unsigned char userData[2] = {0xDE, 0xAD};
    unsigned char ctrlData[3] = {0x01, 0x02, 0x03};
    unsigned char resData[1] = {0xFF};
    unsigned char okaData[2] = {0x00, 0x10};
    char commandName[7] = "STATUS";
    char commandString[14] = "status of db2";
    _VULE_PARAMETERS32 b{};

    FullBlock() {
        using P = _VULE_PARAMETERS32;
        for (auto [field, text] : std::initializer_list<std::pair<char * P::*, const char *>>{
                 {&P::signon_username, "alice"},
                 {&P::zerva_hostname, "zhost"},
                 {&P::zerva_ip_addr, "9.8.7.6"},
                 {&P::client_hostname, "chost"},
                 {&P::client_ip_addr_dd, "10.1.2.3"},
                 {&P::display_name, "db2-prod"},
                 {&P::display_resource_type, "DATABASE"},
                 {&P::data1, "d1"},
                 {&P::data2, "d2"},
                 {&P::data3, "d3"},
                 {&P::data4, "d4"},
                 {&P::hb_source, "src"},
                 {&P::hb_sub_source, "subsrc"},
                 {&P::hb_origin, "orig"},
                 {&P::hb_sub_origin, "suborig"},
                 {&P::hb_hostname, "hbhost"},
                 {&P::hb_es_managed_node, "node9"},
                 {&P::business_sys_name, "payroll"},
                 {&P::resource_QOB_oid, "oid.1.2"}})
            b.*field = const_cast<char *>(text);
        b.command_name = commandName;
        b.command_string = commandString;
        setPadded(b.exit_name, "MYEXIT");
        setPadded(b.exit_executable_name, "MYEXE");
        b.exit_timeout = -30;
        b.wait_for_cmd_response = -2;
        b.want_corr_of_cmd_rsps = 65535;
        b.correlation_id.invoker_id = 5;
        b.correlation_id.depth = 0x123;
        b.correlation_id.numb = 7;
        b.client_handle = 0xABCDEF01;
        setPadded(b.client_ip_addr, "10.1.2.3");
        setPadded(b.server_ip_addr, "192.168.0.1");
        setPadded(b.op_id, "OPER1");
        b.user_data = userData;
        b.user_data_length = 2;
        b.user_ctrl_data = ctrlData;
        b.user_ctrl_data_length = 3;
        b.OKA_menu_id = 0x1000;
        b.extended_reason_code = -1;
        b.resource_type = 0x2A;
        b.resource_status = 0xFF;
        b.resource_status_ts = {2015, 3, 9, 14, 5, 7, 6};
        b.resource_flags = 0x80000000u;
        b.data_source = 7;
        b.command_indicator = 300;
        memcpy(b.resource_VEXA_id, "OBJ1    ", 8);
        b.user_res_data = resData;
        b.user_res_data_length = 1;
        b.res_OKA_id = 0x0102;
        b.OKA_data = okaData;
        b.OKA_data_length = 2;
    }
};

std::string debugText(const VuleCommandExitParms &parms) {
    return static_cast<const char *>(parms.asDebugInfo());
}

// The text between label and the next ", " or ")".
std::string valueAfter(const std::string &text, const std::string &label) {
    size_t at = text.find(label);
    if (at == std::string::npos) return "<no " + label + ">";
    at += label.size();
    return text.substr(at, text.find_first_of(",)", at) - at);
}

TEST(ParmsDebugText, FullBlockCharacterForCharacter) {
    FullBlock full;
    VuleCommandExitParms parms(&full.b);
    std::string expected =
        "VuleCommandExitParms[this=&0x" + hex(&parms) + ", pb=&0x" + hex(&full.b) +
        " CMDINFO(command_name=STATUS, command_string=status of db2, exit_name=MYEXIT, "
        "exit_executable_name=MYEXE, exit_timeout=-30, wait_for_cmd_response=-2, "
        "want_corr_of_cmd_rsps=65535, correlation_id=(invoker_id=0x05, depth=0x0123, "
        "numb=0x07), client_handle=0xABCDEF01, "
        "client_ip_addr=0x31302E312E322E3320202020202020202020202020202020, "
        "server_ip_addr=0x3139322E3136382E302E3120202020202020202020202020, "
        "signon_username=alice, op_id=OPER1, OKA_menu_id=0x1000, "
        "extended_reason_code=0xFFFFFFFF, zerva_hostname=zhost, zerva_ip_addr=9.8.7.6, "
        "client_hostname=chost, client_ip_addr_dd=10.1.2.3'), RESINFO(display_name=db2-prod, "
        "display_resource_type=DATABASE, resource_type=0x2A, resource_status=255, "
        "resource_status_ts=(yr=2015, mo=3, da=9, hr=14, mn=5, sc=7, tn=6), "
        "resource_flags=0x80000000, data1=d1, data2=d2, data3=d3, data4=d4, data_source=7, "
        "command_indicator=300, resource_VEXA_id=4F424A3120202020, res_OKA_id=0x0102, "
        "hb_source=src, hb_sub_source=subsrc, hb_origin=orig, hb_sub_origin=suborig, "
        "hb_hostname=hbhost, hb_es_managed_node=node9, business_sys_name=payroll), "
        "USER(user_data_length=2, user_data=DEAD, user_ctrl_data_length=3, "
        "user_ctrl_data=010203, user_res_data_length=1, user_res_data=FF, OKA_data_length=2, "
        "OKA_data=0010, resource_QOB_oid=oid.1.2)]";
    EXPECT_EQ(debugText(parms), expected);
}

// An otherwise empty block: the correlation from its wire bytes 35 12 07 00, empty fields, data
// without a pointer, an all-zero inline address, and the extended reason code in hexadecimal.
TEST(ParmsDebugText, FieldsOfAnEmptyBlock) {
    _VULE_PARAMETERS32 b{};
    const unsigned char bytes[4] = {0x35, 0x12, 0x07, 0x00};
    memcpy(&b.correlation_id, bytes, 4);
    b.user_data_length = 2;  // a length beside a null pointer prints blanks
    VuleCommandExitParms parms(&b);
    std::string text = debugText(parms);
    EXPECT_NE(text.find(", correlation_id=(invoker_id=0x05, depth=0x0123, numb=0x07), "),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(", user_data=2020, user_ctrl_data_length=0, user_ctrl_data=, "),
              std::string::npos);
    EXPECT_NE(text.find("RESINFO(display_name=, display_resource_type=, "), std::string::npos);
    EXPECT_NE(text.find(" CMDINFO(command_name=, command_string=, exit_name=, "),
              std::string::npos);
    EXPECT_EQ(valueAfter(text, "client_ip_addr=0x"), std::string(48, '0'));
    EXPECT_EQ(valueAfter(text, "client_handle=0x"), "00");
    EXPECT_EQ(valueAfter(text, "resource_status_ts=(yr="), "0");
    for (const auto &[code, digits] :
         std::vector<std::pair<int32_t, std::string>>{{0, "00"},
                                                      {0x1234, "1234"},
                                                      {0x7FFFFFFF, "7FFFFFFF"},
                                                      {-2, "FFFFFFFE"},
                                                      {INT32_MIN, "80000000"}}) {
        b.extended_reason_code = code;
        EXPECT_EQ(valueAfter(debugText(parms), "extended_reason_code=0x"), digits) << code;
    }
}

TEST(ParmsDebugText, WithoutBlockReadsNothingAndTheClassNames) {
    VuleCommandExitParms parms;
    EXPECT_EQ(parms.getPB(), nullptr);
    EXPECT_EQ(debugText(parms), "VuleCommandExitParms[this=&0x" + hex(&parms) + ", pb=&0x00]");
    EXPECT_STREQ(static_cast<const IVBase &>(parms).asString(), "VuleCommandExitParms");
    IVBase base;
    EXPECT_STREQ(base.asString(), "IVBase object");
    EXPECT_EQ(std::string(base.asDebugInfo()), "IVBase(@" + hex(&base) + ")");
}

// Invocation threads print their blocks at once; the class name is made once among them.
TEST(ParmsDebugText, ThreadsFormatAtOnce) {
    FullBlock full;
    std::string expected = debugText(VuleCommandExitParms(&full.b));
    expected = expected.substr(expected.find(" CMDINFO("));
    std::vector<std::thread> threads;
    std::vector<int> matches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                VuleCommandExitParms parms(&full.b);
                std::string text = debugText(parms);
                matches[t] += text.rfind("VuleCommandExitParms[", 0) == 0 &&
                              text.substr(text.find(" CMDINFO(")) == expected;
            }
        });
    }
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(matches, std::vector<int>(4, 200));
}

TEST(ParmsAccessors, PaddedFixedAndTextFields) {
    FullBlock full;
    VuleCommandExitParms parms(&full.b);
    EXPECT_STREQ(parms.getCmdExit(), "MYEXIT");
    EXPECT_EQ(parms.getCmdExit().length(), 6u);
    EXPECT_STREQ(parms.getCmdExitExe(), "MYEXE");
    EXPECT_STREQ(parms.getCmdOperator(), "OPER1");
    EXPECT_STREQ(parms.getCmdClient(), "10.1.2.3");
    EXPECT_STREQ(parms.getCmdServer(), "192.168.0.1");
    EXPECT_STREQ(parms.getResVexaId(), "OBJ1");
    // The text pointers' accessors are read by the full debug text above.

    // Eight blanks are nothing; eight letters fill the field without a terminator.
    memset(full.b.resource_VEXA_id, ' ', 8);
    EXPECT_EQ(parms.getResVexaId().length(), 0u);
    memcpy(full.b.resource_VEXA_id, "ABCDEFGH", 8);
    EXPECT_STREQ(parms.getResVexaId(), "ABCDEFGH");
    // Trailing tabs and new-lines are white space too; a byte above 0x7F is not.
    memcpy(full.b.op_id, "OP\xE9\t\n   ", 8);
    EXPECT_STREQ(parms.getCmdOperator(), "OP\xE9");
}

// A field that arrived without its terminator is read no further than its width.
TEST(ParmsAccessors, UnterminatedInlineFieldStaysInside) {
    _VULE_PARAMETERS32 b;
    memset(&b, 'x', sizeof b);
    memcpy(b.exit_name, "ABCDEFGHI", 9);
    memcpy(b.client_ip_addr, "1234567890123456789012345", 25);
    VuleCommandExitParms parms(&b);
    EXPECT_STREQ(parms.getCmdExit(), "ABCDEFGHI");
    EXPECT_STREQ(parms.getCmdClient(), "1234567890123456789012345");
}

TEST(ParmsAccessors, NullTextsAndNumbers) {
    _VULE_PARAMETERS32 b{};
    b.resource_type = 0xFFFFFFFFu;
    b.resource_status = 0xFF;
    b.resource_flags = 0x80000001u;
    b.data_source = 0xFFFF;
    b.command_indicator = 2;
    b.res_OKA_id = 4000000000u;
    VuleCommandExitParms parms(&b);
    EXPECT_EQ(parms.getResDispName().length(), 0u);
    EXPECT_EQ(parms.getCmdAction().length(), 0u);
    EXPECT_EQ(parms.getHbBusinessSystem().length(), 0u);
    EXPECT_EQ(parms.getCmdExit().length(), 0u);
    EXPECT_EQ(parms.getResType(), 0xFFFFFFFFul);
    EXPECT_EQ(parms.getResSystemStatus(), 255ul);
    EXPECT_EQ(parms.getResUserStatus(), 0x80000001ul);
    EXPECT_EQ(parms.getResDataSource(), 0xFFFF);
    EXPECT_EQ(parms.getResCmdIndicator(), 2);
    EXPECT_EQ(parms.getResOKAId(), 4000000000ul);
    EXPECT_EQ(parms.getUserData(), nullptr);
    EXPECT_EQ(parms.getUserCtrlData(), nullptr);
    EXPECT_EQ(parms.getUserResData(), nullptr);
}

class ParmsWithSetter : public VuleCommandExitParms {
  public:
    using VuleCommandExitParms::setPB;
};

TEST(ParmsAccessors, UserDataCopiesAndTheBlockPointer) {
    FullBlock full;
    VuleCommandExitParms parms(&full.b);
    EXPECT_EQ(parms.getUserCtrlData(), full.ctrlData);
    EXPECT_EQ(parms.getUserCtrlDataLength(), 3);
    EXPECT_EQ(parms.getUserResData(), full.resData);
    EXPECT_EQ(parms.getUserResDataLength(), 1);

    char reply[10] = "answer!!!";
    EXPECT_EQ(&parms.setUserData(reply, 10), &parms);
    EXPECT_EQ(parms.getUserData(), reply);
    EXPECT_EQ(parms.getUserDataLength(), 10);
    EXPECT_EQ(full.b.user_data, reply);

    // Copies view the same block, and see a change made through any of them.
    VuleCommandExitParms copy(parms);
    VuleCommandExitParms assigned;
    assigned = copy;
    EXPECT_EQ(copy.getPB(), &full.b);
    EXPECT_EQ(assigned.getPB(), &full.b);
    assigned.setUserData(nullptr, 0);
    EXPECT_EQ(parms.getUserData(), nullptr);

    ParmsWithSetter other;
    EXPECT_EQ(&other.setPB(&full.b), &other);
    EXPECT_STREQ(other.getCmdExit(), "MYEXIT");
}

TEST(ParmsTrace, RecordsCarryTheDebugText) {
    FullBlock full;
    vuletest::Tracing tracing("0x600");
    std::string text, copyText;
    {
        VuleCommandExitParms parms(&full.b);
        VuleCommandExitParms copy(parms);  // copying and assigning trace nothing
        copy = parms;
        text = debugText(parms);
        copyText = debugText(copy);
    }
    VuleCommandExitParms{};
    const std::string ctor = "VuleCommandExitParms::VuleCommandExitParms";
    const std::string dtor = "VuleCommandExitParms::~VuleCommandExitParms";
    std::vector<Record> records = tracing.records("VuleCommandExitParms::");
    ASSERT_EQ(records.size(), 10u);
    EXPECT_EQ(records[0], (Record{ctor, 1, 98, {}}));
    EXPECT_EQ(records[1], (Record{ctor, 2, 103, {text}}));
    EXPECT_EQ(records[2], (Record{dtor, 1, 123, {copyText}}));
    EXPECT_EQ(records[3], (Record{dtor, 2, 128, {}}));
    EXPECT_EQ(records[4], (Record{dtor, 1, 123, {text}}));
    EXPECT_EQ(records[5], (Record{dtor, 2, 128, {}}));
    // Without a block the records carry the short form.
    ASSERT_EQ(records[7].items.size(), 1u);
    EXPECT_EQ(records[7].items[0].find(", pb=&0x00]"), records[7].items[0].size() - 11)
        << records[7];
    EXPECT_EQ(records[8].items, records[7].items);
}

TEST(ParmsTrace, EntryMaskAloneWritesEntryRecords) {
    FullBlock full;
    vuletest::Tracing tracing("0x200");
    { VuleCommandExitParms parms(&full.b); }
    std::vector<Record> records = tracing.records("VuleCommandExitParms::");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].line, 98u);
    EXPECT_EQ(records[1].line, 123u);
}

// The debug text is built only for a record that is written: with tracing off, a block whose
// pointers lead nowhere is never read.
TEST(ParmsTrace, BlockUnreadWhileTracingIsOff) {
    _VULE_PARAMETERS32 b{};
    b.command_name = reinterpret_cast<char *>(8);
    b.user_data = reinterpret_cast<void *>(8);
    b.user_data_length = 100;
    VuleCommandExitParms parms(&b);
    VuleCommandExitParms copy(parms);
    EXPECT_EQ(copy.getPB(), &b);
}

}  // namespace
