// vuleformat.cpp — VuleCommandExitParms::asDebugInfo: the one-line dump of a whole parameter
// block that traces carry and exit programs print. Its text is fixed to the character.
#include <cstdint>

#include "exit/vulece/hextext.h"
#include "vulece.hpp"

namespace {

using kavi::hexText;

IString signedText(long value) {
    return IString(value);
}
IString unsignedText(unsigned long value) {
    return IString(value);
}

// Two upper-case digits per byte; a null p stands for n blanks.
IString bytesText(const void *p, unsigned n) {
    IString bytes(p, n);
    bytes.bytesToHex();
    return bytes;
}

void put(IString &text, const char *label, const IString &value) {
    text += label;
    text += value;
}

}  // namespace

IString VuleCommandExitParms::asDebugInfo() const {
    IString t = asString();
    put(t, "[this=&0x", hexText(this));
    // Without a block there is nothing more to read.
    if (block_ == nullptr) {
        put(t, ", pb=&0x", hexText(0ul));
        t += "]";
        return t;
    }

    const _VULE_PARAMETERS32 &b = *block_;
    const VULE_CORRELATION &corr = b.correlation_id;
    const VULE_TIMESTAMP &ts = b.resource_status_ts;
    put(t, ", pb=&0x", hexText(block_));
    t += " CMDINFO(";
    put(t, "command_name=", getCmdAction());
    put(t, ", command_string=", getCmdString());
    put(t, ", exit_name=", getCmdExit());
    put(t, ", exit_executable_name=", getCmdExitExe());
    put(t, ", exit_timeout=", signedText(b.exit_timeout));
    put(t, ", wait_for_cmd_response=", signedText(b.wait_for_cmd_response));
    put(t, ", want_corr_of_cmd_rsps=", unsignedText(b.want_corr_of_cmd_rsps));
    t += ", correlation_id=(";
    put(t, "invoker_id=0x", hexText(corr.invoker_id));
    put(t, ", depth=0x", hexText(corr.depth));
    put(t, ", numb=0x", hexText(corr.numb));
    t += ")";
    put(t, ", client_handle=0x", hexText(b.client_handle));
    put(t, ", client_ip_addr=0x", bytesText(b.client_ip_addr, 24));
    put(t, ", server_ip_addr=0x", bytesText(b.server_ip_addr, 24));
    put(t, ", signon_username=", getCmdSignonOperator());
    put(t, ", op_id=", getCmdOperator());
    put(t, ", OKA_menu_id=0x", hexText(b.OKA_menu_id));
    // A negative code shows as its 32-bit two's complement, not as an empty "0x".
    put(t, ", extended_reason_code=0x", hexText(static_cast<uint32_t>(b.extended_reason_code)));
    put(t, ", zerva_hostname=", getCmdZERVAHostname());
    put(t, ", zerva_ip_addr=", getCmdZERVAIpAddr());
    put(t, ", client_hostname=", getCmdClientHostname());
    put(t, ", client_ip_addr_dd=", getCmdClientIpAddrDD());
    t += "'), RESINFO(";
    put(t, "display_name=", getResDispName());
    put(t, ", display_resource_type=", getResDispResType());
    put(t, ", resource_type=0x", hexText(b.resource_type));
    put(t, ", resource_status=", unsignedText(b.resource_status));
    t += ", resource_status_ts=(";
    put(t, "yr=", unsignedText(ts.yr));
    put(t, ", mo=", unsignedText(ts.mo));
    put(t, ", da=", unsignedText(ts.da));
    put(t, ", hr=", unsignedText(ts.hr));
    put(t, ", mn=", unsignedText(ts.mn));
    put(t, ", sc=", unsignedText(ts.sc));
    put(t, ", tn=", unsignedText(ts.tn));
    t += ")";
    put(t, ", resource_flags=0x", hexText(b.resource_flags));
    put(t, ", data1=", getData1());
    put(t, ", data2=", getData2());
    put(t, ", data3=", getData3());
    put(t, ", data4=", getData4());
    put(t, ", data_source=", unsignedText(b.data_source));
    put(t, ", command_indicator=", unsignedText(b.command_indicator));
    put(t, ", resource_VEXA_id=", bytesText(b.resource_VEXA_id, sizeof b.resource_VEXA_id));
    put(t, ", res_OKA_id=0x", hexText(b.res_OKA_id));
    put(t, ", hb_source=", getHbSource());
    put(t, ", hb_sub_source=", getHbSubSource());
    put(t, ", hb_origin=", getHbOrigin());
    put(t, ", hb_sub_origin=", getHbSubOrigin());
    put(t, ", hb_hostname=", getHbHostName());
    put(t, ", hb_es_managed_node=", getHbEsManagedNode());
    put(t, ", business_sys_name=", getHbBusinessSystem());
    t += "), USER(";
    put(t, "user_data_length=", unsignedText(b.user_data_length));
    put(t, ", user_data=", bytesText(b.user_data, b.user_data_length));
    put(t, ", user_ctrl_data_length=", unsignedText(b.user_ctrl_data_length));
    put(t, ", user_ctrl_data=", bytesText(b.user_ctrl_data, b.user_ctrl_data_length));
    put(t, ", user_res_data_length=", unsignedText(b.user_res_data_length));
    put(t, ", user_res_data=", bytesText(b.user_res_data, b.user_res_data_length));
    put(t, ", OKA_data_length=", unsignedText(b.OKA_data_length));
    put(t, ", OKA_data=", bytesText(b.OKA_data, b.OKA_data_length));
    put(t, ", resource_QOB_oid=", getResourceQOBOid());
    t += ")]";
    return t;
}
