// vuleparm.cpp — VuleCommandExitParms: construction, the typed accessors of the block's fields
// and the one writer, setUserData.
#include <cstring>

#include "exit/trace.h"
#include "exit/vulece/objtrace.h"
#include "vulece.hpp"

namespace {

constexpr char CONSTRUCTOR[] = "VuleCommandExitParms::VuleCommandExitParms";
constexpr char DESTRUCTOR[] = "VuleCommandExitParms::~VuleCommandExitParms";

// Characters reach a test as signed values, which the C library's classification may not take.
int isWhiteSpace(int c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

IString trimmed(IString text) {
    text.trimTrailing(IStringTest(isWhiteSpace));
    return text;
}

}  // namespace

VuleCommandExitParms::VuleCommandExitParms(_VULE_PARAMETERS32 *block) : block_(block) {
    KAVI_TRACE(VULZ_KIND_ENTRY, CONSTRUCTOR, 98, 0);
    kavi::traceObject(VULZ_KIND_EXIT, CONSTRUCTOR, 103, *this);
}

VuleCommandExitParms::VuleCommandExitParms(const VuleCommandExitParms &other)
    : IVBase(other), block_(other.block_) {}

VuleCommandExitParms &VuleCommandExitParms::operator=(const VuleCommandExitParms &other) {
    block_ = other.block_;
    return *this;
}

VuleCommandExitParms::~VuleCommandExitParms() {
    kavi::traceObject(VULZ_KIND_ENTRY, DESTRUCTOR, 123, *this);
    KAVI_TRACE(VULZ_KIND_EXIT, DESTRUCTOR, 128, 0);
}

_VULE_PARAMETERS32 *VuleCommandExitParms::getPB() const {
    return block_;
}

VuleCommandExitParms &VuleCommandExitParms::setPB(_VULE_PARAMETERS32 *block) {
    block_ = block;
    return *this;
}

IString VuleCommandExitParms::asString() const {
    // Made once, whichever invocation thread asks first, and kept for the life of the process
    // (static destructors may still print objects).
    static const IString *const name = new IString("VuleCommandExitParms");
    return *name;
}

IString VuleCommandExitParms::fieldToString(const char *p) const {
    return IString(p);
}

IString VuleCommandExitParms::paddedToString(const char *p, unsigned width) const {
    return trimmed(IString(p, static_cast<unsigned>(strnlen(p, width))));
}

IString VuleCommandExitParms::fixedToString(const char *p, unsigned n) const {
    return trimmed(IString(p, n));
}

// The inline fields carry their terminator within their width.
#define KAVI_PADDED(field) paddedToString(block_->field, sizeof block_->field)

IString VuleCommandExitParms::getCmdAction() const {
    return fieldToString(block_->command_name);
}
IString VuleCommandExitParms::getCmdString() const {
    return fieldToString(block_->command_string);
}
IString VuleCommandExitParms::getCmdExit() const {
    return KAVI_PADDED(exit_name);
}
IString VuleCommandExitParms::getCmdExitExe() const {
    return KAVI_PADDED(exit_executable_name);
}
IString VuleCommandExitParms::getCmdOperator() const {
    return KAVI_PADDED(op_id);
}
IString VuleCommandExitParms::getCmdSignonOperator() const {
    return fieldToString(block_->signon_username);
}
IString VuleCommandExitParms::getCmdClient() const {
    return KAVI_PADDED(client_ip_addr);
}
IString VuleCommandExitParms::getCmdServer() const {
    return KAVI_PADDED(server_ip_addr);
}
IString VuleCommandExitParms::getCmdZERVAHostname() const {
    return fieldToString(block_->zerva_hostname);
}
IString VuleCommandExitParms::getCmdZERVAIpAddr() const {
    return fieldToString(block_->zerva_ip_addr);
}
IString VuleCommandExitParms::getCmdClientHostname() const {
    return fieldToString(block_->client_hostname);
}
IString VuleCommandExitParms::getCmdClientIpAddrDD() const {
    return fieldToString(block_->client_ip_addr_dd);
}
IString VuleCommandExitParms::getResVexaId() const {
    return fixedToString(block_->resource_VEXA_id, sizeof block_->resource_VEXA_id);
}
IString VuleCommandExitParms::getResDispName() const {
    return fieldToString(block_->display_name);
}
IString VuleCommandExitParms::getResDispResType() const {
    return fieldToString(block_->display_resource_type);
}
unsigned long VuleCommandExitParms::getResType() const {
    return block_->resource_type;
}
unsigned long VuleCommandExitParms::getResSystemStatus() const {
    return block_->resource_status;
}
unsigned long VuleCommandExitParms::getResUserStatus() const {
    return block_->resource_flags;
}
unsigned short VuleCommandExitParms::getResDataSource() const {
    return block_->data_source;
}
unsigned short VuleCommandExitParms::getResCmdIndicator() const {
    return block_->command_indicator;
}
unsigned long VuleCommandExitParms::getResOKAId() const {
    return block_->res_OKA_id;
}
IString VuleCommandExitParms::getResourceQOBOid() const {
    return fieldToString(block_->resource_QOB_oid);
}
IString VuleCommandExitParms::getHbSource() const {
    return fieldToString(block_->hb_source);
}
IString VuleCommandExitParms::getHbSubSource() const {
    return fieldToString(block_->hb_sub_source);
}
IString VuleCommandExitParms::getHbOrigin() const {
    return fieldToString(block_->hb_origin);
}
IString VuleCommandExitParms::getHbSubOrigin() const {
    return fieldToString(block_->hb_sub_origin);
}
IString VuleCommandExitParms::getHbHostName() const {
    return fieldToString(block_->hb_hostname);
}
IString VuleCommandExitParms::getHbEsManagedNode() const {
    return fieldToString(block_->hb_es_managed_node);
}
IString VuleCommandExitParms::getHbBusinessSystem() const {
    return fieldToString(block_->business_sys_name);
}
IString VuleCommandExitParms::getData1() const {
    return fieldToString(block_->data1);
}
IString VuleCommandExitParms::getData2() const {
    return fieldToString(block_->data2);
}
IString VuleCommandExitParms::getData3() const {
    return fieldToString(block_->data3);
}
IString VuleCommandExitParms::getData4() const {
    return fieldToString(block_->data4);
}
void *VuleCommandExitParms::getUserData() const {
    return block_->user_data;
}
unsigned short VuleCommandExitParms::getUserDataLength() const {
    return block_->user_data_length;
}
void *VuleCommandExitParms::getUserCtrlData() const {
    return block_->user_ctrl_data;
}
unsigned short VuleCommandExitParms::getUserCtrlDataLength() const {
    return block_->user_ctrl_data_length;
}
void *VuleCommandExitParms::getUserResData() const {
    return block_->user_res_data;
}
unsigned short VuleCommandExitParms::getUserResDataLength() const {
    return block_->user_res_data_length;
}

VuleCommandExitParms &VuleCommandExitParms::setUserData(void *data, unsigned short length) {
    block_->user_data = data;
    block_->user_data_length = length;
    return *this;
}
