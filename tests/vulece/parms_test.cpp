// parms_test.cpp — VuleCommandExitParms: the accessors' conversions, setUserData, the one-line
// dump of a block to the character, the form without a block, and the trace records.
#include <stdlib.h>

#include <climits>
#include <cstring>

#include "exit/block_layout.h"
#include "tests/vulece/support.h"

namespace {

using vuletest::hex;
using vuletest::Record;

// A block in which every field holds a value of its own; each text is its field's name.
struct FullBlock {
    unsigned char userData[2] = {0xDE, 0xAD}, ctrlData[3] = {1, 2, 3}, resData[1] = {0xFF},
                  okaData[2] = {0x00, 0x10};
    _VULE_PARAMETERS32 b{};

    FullBlock() {
#define NAMED(field, wire, type) b.field = const_cast<char *>(#field);
#define NONE(...)
        KAVI_BLOCK_FIELDS(NAMED, NONE, NONE)
#undef NAMED
#undef NONE
        memcpy(b.exit_name, "MYEXIT  ", 9);
        memcpy(b.exit_executable_name, "MYEXE   ", 9);
        memcpy(b.client_ip_addr, "10.1.2.3                ", 25);
        memcpy(b.server_ip_addr, "192.168.0.1             ", 25);
        memcpy(b.op_id, "OPER1   ", 9);
        memcpy(b.resource_VEXA_id, "OBJ1    ", 8);
        b.exit_timeout = -30;
        b.wait_for_cmd_response = -2;
        b.want_corr_of_cmd_rsps = 65535;
        b.correlation_id = {5, 0x123, 7};
        b.client_handle = 0xABCDEF01;
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
        b.user_res_data = resData;
        b.user_res_data_length = 1;
        b.res_OKA_id = 0x0102;
        b.OKA_data = okaData;
        b.OKA_data_length = 2;
    }
};

std::string str(const IString &s) {
    return std::string(s, s.length());
}
std::string debugText(const VuleCommandExitParms &parms) {
    return str(parms.asDebugInfo());
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
    EXPECT_EQ(debugText(parms),
              "VuleCommandExitParms[this=&0x" + hex(&parms) + ", pb=&0x" + hex(&full.b) +
                  " CMDINFO(command_name=command_name, command_string=command_string, "
                  "exit_name=MYEXIT, exit_executable_name=MYEXE, exit_timeout=-30, "
                  "wait_for_cmd_response=-2, want_corr_of_cmd_rsps=65535, "
                  "correlation_id=(invoker_id=0x05, depth=0x0123, numb=0x07), "
                  "client_handle=0xABCDEF01, "
                  "client_ip_addr=0x31302E312E322E3320202020202020202020202020202020, "
                  "server_ip_addr=0x3139322E3136382E302E3120202020202020202020202020, "
                  "signon_username=signon_username, op_id=OPER1, OKA_menu_id=0x1000, "
                  "extended_reason_code=0xFFFFFFFF, zerva_hostname=zerva_hostname, "
                  "zerva_ip_addr=zerva_ip_addr, client_hostname=client_hostname, "
                  "client_ip_addr_dd=client_ip_addr_dd'), RESINFO(display_name=display_name, "
                  "display_resource_type=display_resource_type, resource_type=0x2A, "
                  "resource_status=255, resource_status_ts=(yr=2015, mo=3, da=9, hr=14, mn=5, "
                  "sc=7, tn=6), resource_flags=0x80000000, data1=data1, data2=data2, "
                  "data3=data3, data4=data4, data_source=7, command_indicator=300, "
                  "resource_VEXA_id=4F424A3120202020, res_OKA_id=0x0102, hb_source=hb_source, "
                  "hb_sub_source=hb_sub_source, hb_origin=hb_origin, "
                  "hb_sub_origin=hb_sub_origin, hb_hostname=hb_hostname, "
                  "hb_es_managed_node=hb_es_managed_node, business_sys_name=business_sys_name), "
                  "USER(user_data_length=2, user_data=DEAD, user_ctrl_data_length=3, "
                  "user_ctrl_data=010203, user_res_data_length=1, user_res_data=FF, "
                  "OKA_data_length=2, OKA_data=0010, resource_QOB_oid=resource_QOB_oid)]");
}

// An otherwise empty block: the correlation from its wire bytes 35 12 07 00, empty fields, data
// without a pointer, an all-zero inline address, and the extended reason code in hexadecimal.
TEST(ParmsDebugText, FieldsOfAnEmptyBlock) {
    _VULE_PARAMETERS32 b{};
    b.user_data_length = 2;  // a length beside a null pointer prints blanks
    memcpy(&b.correlation_id, "\x35\x12\x07\x00", 4);
    VuleCommandExitParms parms(&b);
    std::string text = debugText(parms);
    for (const char *part : {", correlation_id=(invoker_id=0x05, depth=0x0123, numb=0x07), ",
                             ", user_data=2020, user_ctrl_data_length=0, user_ctrl_data=, ",
                             "RESINFO(display_name=, display_resource_type=, ",
                             " CMDINFO(command_name=, command_string=, exit_name=, "})
        EXPECT_NE(text.find(part), std::string::npos) << part << " in " << text;
    EXPECT_EQ(valueAfter(text, "client_ip_addr=0x"), std::string(48, '0'));
    EXPECT_EQ(valueAfter(text, "client_handle=0x"), "00");
    EXPECT_EQ(valueAfter(text, "resource_status_ts=(yr="), "0");
    std::string codes;
    for (int32_t code : {0, 0x1234, 0x7FFFFFFF, -2, INT32_MIN}) {
        b.extended_reason_code = code;
        codes += valueAfter(debugText(parms), "extended_reason_code=0x") + " ";
    }
    EXPECT_EQ(codes, "00 1234 7FFFFFFF FFFFFFFE 80000000 ");
}

TEST(ParmsDebugText, WithoutBlockReadsNothingAndTheClassNames) {
    VuleCommandExitParms parms;
    EXPECT_EQ(parms.getPB(), nullptr);
    EXPECT_EQ(debugText(parms), "VuleCommandExitParms[this=&0x" + hex(&parms) + ", pb=&0x00]");
    EXPECT_STREQ(static_cast<const IVBase &>(parms).asString(), "VuleCommandExitParms");
    IVBase base;
    EXPECT_STREQ(base.asString(), "IVBase object");
    EXPECT_EQ(str(base.asDebugInfo()), "IVBase(@" + hex(&base) + ")");
}

using P = VuleCommandExitParms;

// The debug text reads the pointed texts through their accessors; the inline and fixed texts it
// prints in hexadecimal lose their trailing white space here.
TEST(ParmsAccessors, InlineAndFixedTexts) {
    FullBlock full;
    P parms(&full.b);
    auto texts = [&] {
        return str(parms.getCmdClient()) + "|" + str(parms.getCmdServer()) + "|" +
               str(parms.getResVexaId()) + "|" + str(parms.getCmdOperator());
    };
    EXPECT_EQ(texts(), "10.1.2.3|192.168.0.1|OBJ1|OPER1");
    // Eight blanks are nothing; eight letters fill the field without a terminator. Trailing tabs
    // and new-lines are white space too; a byte above 0x7F is not.
    memset(full.b.resource_VEXA_id, ' ', 8);
    memcpy(full.b.op_id, "OP\xE9\t\n   ", 8);
    EXPECT_EQ(texts(), "10.1.2.3|192.168.0.1||OP\xE9");
    memcpy(full.b.resource_VEXA_id, "ABCDEFGH", 8);
    EXPECT_EQ(str(parms.getResVexaId()), "ABCDEFGH");
    // A field that arrived without its terminator is read no further than its width.
    memset(&full.b, 'x', sizeof full.b);
    memcpy(full.b.exit_name, "ABCDEFGHI", 9);
    memcpy(full.b.client_ip_addr, "1234567890123456789012345", 25);
    EXPECT_EQ(str(parms.getCmdExit()), "ABCDEFGHI");
    EXPECT_EQ(str(parms.getCmdClient()), "1234567890123456789012345");
}

class ParmsWithSetter : public P {
  public:
    using P::setPB;
};

TEST(ParmsAccessors, UserDataCopiesAndTheBlockPointer) {
    FullBlock full;
    P parms(&full.b);
    char reply[10] = "answer!!!";
    EXPECT_EQ(&parms.setUserData(reply, 10), &parms);
    EXPECT_EQ(parms.getUserData(), reply);
    EXPECT_EQ(parms.getUserDataLength(), 10);
    EXPECT_EQ(full.b.user_data, reply);
    // Copies view the same block, and see a change made through any of them.
    P copy(parms), assigned;
    assigned = copy;
    EXPECT_EQ(copy.getPB(), &full.b);
    EXPECT_EQ(assigned.getPB(), &full.b);
    assigned.setUserData(nullptr, 0);
    EXPECT_EQ(parms.getUserData(), nullptr);
    ParmsWithSetter other;
    EXPECT_EQ(&other.setPB(&full.b), &other);
    EXPECT_EQ(str(other.getCmdExit()), "MYEXIT");
}

TEST(ParmsTrace, RecordsCarryTheDebugText) {
    FullBlock full;
    std::string text, copyText;
    std::vector<Record> records;
    {
        vuletest::Tracing tracing("0x600");
        {
            P parms(&full.b);
            P copy(parms);  // copying and assigning trace nothing
            copy = parms;
            text = debugText(parms);
            copyText = debugText(copy);
        }
        P{};
        records = tracing.records("VuleCommandExitParms::");
    }
    const std::string ctor = "VuleCommandExitParms::VuleCommandExitParms";
    const std::string dtor = "VuleCommandExitParms::~VuleCommandExitParms";
    ASSERT_EQ(records.size(), 10u);
    EXPECT_EQ(records[0], (Record{ctor, 1, 98, {}}));
    EXPECT_EQ(records[1], (Record{ctor, 2, 103, {text}}));
    EXPECT_EQ(records[2], (Record{dtor, 1, 123, {copyText}}));
    EXPECT_EQ(records[3], (Record{dtor, 2, 128, {}}));
    EXPECT_EQ(records[4], (Record{dtor, 1, 123, {text}}));
    EXPECT_EQ(records[5], (Record{dtor, 2, 128, {}}));
    // Without a block the records carry the short form.
    ASSERT_EQ(records[7].items.size(), 1u);
    EXPECT_TRUE(records[7].items[0].ends_with(", pb=&0x00]")) << records[7].items[0];
    EXPECT_EQ(records[8].items, records[7].items);
    // The entry mask alone writes the entry records.
    vuletest::Tracing entries("0x200");
    { P parms(&full.b); }
    records = entries.records("VuleCommandExitParms::");
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
    P parms(&b);
    EXPECT_EQ(P(parms).getPB(), &b);
}

}  // namespace
