// vulece.hpp — the exported classes of the command exit library: VuleCommandExitParms, an object
// view of one exit parameter block, and VuleCommandExit, one registered exit.
#pragma once

#include "ibase.hpp"
#include "iexcept.hpp"
#include "istring.hpp"
#include "kaviexit.h"
#include "kaviexport.h"

/// A view of one exit parameter block. It does not own the block, so copies are cheap and all
/// see the same block; it is usable only while the block is (for a block handed to the exit
/// function, until that function returns). Accessors read the block at the moment of the call
/// and need one: an object made without a block supports only getPB, setPB, copying,
/// assignment, destruction and the printable forms.
class KAVI_API VuleCommandExitParms : public IVBase {
  public:
    VuleCommandExitParms(_VULE_PARAMETERS32 *block = nullptr);
    VuleCommandExitParms(const VuleCommandExitParms &other);
    VuleCommandExitParms &operator=(const VuleCommandExitParms &other);
    ~VuleCommandExitParms() override;

    _VULE_PARAMETERS32 *getPB() const;

    /// "VuleCommandExitParms".
    IString asString() const override;
    /// A one-line dump of every field of the block, labelled; without a block, the class name,
    /// the object's address and "pb=&0x00".
    IString asDebugInfo() const override;

    /// Texts are empty when the field is absent; inline and fixed texts lose their trailing
    /// white space.
    IString getCmdAction() const;                  ///< command_name
    IString getCmdString() const;                  ///< command_string
    IString getCmdExit() const;                    ///< exit_name
    IString getCmdExitExe() const;                 ///< exit_executable_name
    IString getCmdOperator() const;                ///< op_id
    IString getCmdSignonOperator() const;          ///< signon_username
    IString getCmdClient() const;                  ///< client_ip_addr
    IString getCmdServer() const;                  ///< server_ip_addr
    IString getCmdZERVAHostname() const;           ///< zerva_hostname
    IString getCmdZERVAIpAddr() const;             ///< zerva_ip_addr
    IString getCmdClientHostname() const;          ///< client_hostname
    IString getCmdClientIpAddrDD() const;          ///< client_ip_addr_dd
    IString getResVexaId() const;                  ///< resource_VEXA_id
    IString getResDispName() const;                ///< display_name
    IString getResDispResType() const;             ///< display_resource_type
    unsigned long getResType() const;              ///< resource_type
    unsigned long getResSystemStatus() const;      ///< resource_status
    unsigned long getResUserStatus() const;        ///< resource_flags
    unsigned short getResDataSource() const;       ///< data_source
    unsigned short getResCmdIndicator() const;     ///< command_indicator
    unsigned long getResOKAId() const;             ///< res_OKA_id
    IString getResourceQOBOid() const;             ///< resource_QOB_oid
    IString getHbSource() const;                   ///< hb_source
    IString getHbSubSource() const;                ///< hb_sub_source
    IString getHbOrigin() const;                   ///< hb_origin
    IString getHbSubOrigin() const;                ///< hb_sub_origin
    IString getHbHostName() const;                 ///< hb_hostname
    IString getHbEsManagedNode() const;            ///< hb_es_managed_node
    IString getHbBusinessSystem() const;           ///< business_sys_name
    IString getData1() const;                      ///< data1
    IString getData2() const;                      ///< data2
    IString getData3() const;                      ///< data3
    IString getData4() const;                      ///< data4
    void *getUserData() const;                     ///< user_data
    unsigned short getUserDataLength() const;      ///< user_data_length
    void *getUserCtrlData() const;                 ///< user_ctrl_data
    unsigned short getUserCtrlDataLength() const;  ///< user_ctrl_data_length
    void *getUserResData() const;                  ///< user_res_data
    unsigned short getUserResDataLength() const;   ///< user_res_data_length

    /// Points user_data at data and sets user_data_length. The bytes stay the caller's. The
    /// reply is built from them on the same thread just after the exit function returns, so
    /// they must outlive the function: static or thread-local storage, never its stack; not a
    /// thread-local object with a destructor, which a Windows runtime may run after freeing
    /// the object. The reply carries them only if the command arrived with user data, and no
    /// more bytes than arrived.
    VuleCommandExitParms &setUserData(void *data, unsigned short length);

  protected:
    VuleCommandExitParms &setPB(_VULE_PARAMETERS32 *block);

  private:
    /// The NUL-terminated text at p; empty when p is null.
    IString fieldToString(const char *p) const;
    /// An inline text field of width bytes: its text up to the terminator, which a field that
    /// arrived malformed may lack, without trailing white space.
    IString paddedToString(const char *p, unsigned width) const;
    /// Exactly n bytes from p (n blanks when p is null) without trailing white space.
    IString fixedToString(const char *p, unsigned n) const;

    _VULE_PARAMETERS32 *block_;
};

/// One registered exit: constructing the object registers the exit (and may wait), destroying
/// it ends the exit. An object exists only while its exit is registered, so it cannot be copied.
class KAVI_API VuleCommandExit : public IVBase {
  public:
    /// Registers exitFunction under name (1 to 8 characters, see KaviInitialize), each command
    /// on a thread of its own (run mode 1); throws IInvalidRequest (error id 1) when
    /// registration fails, after logging its code. The exception's last text says what failed,
    /// as "exit NAME could not be registered: code N (meaning)". With wait not 0, returns only
    /// after run() has returned.
    VuleCommandExit(IString name, VULE_EXIT_FUNCTION exitFunction, int wait);
    /// The same with a run mode (see KaviInit): 0 runs the commands one after the other on one
    /// dispatcher thread, with no pause between them.
    VuleCommandExit(IString name, VULE_EXIT_FUNCTION exitFunction, int wait, uint32_t runMode);
    /// Ends the exit; a failure is logged, never thrown.
    ~VuleCommandExit() override;
    VuleCommandExit(const VuleCommandExit &) = delete;
    VuleCommandExit &operator=(const VuleCommandExit &) = delete;

    /// Waits until the node is shut down or the process gets SIGINT or SIGTERM.
    void run();

    /// "VuleCommandExit".
    IString asString() const override;
    /// The class name, the object's address, the exit name and the exit function's address.
    IString asDebugInfo() const override;

  private:
    /// The rest of construction, once KaviInitialize or KaviInit answered rc.
    void registered(int rc, int wait);

    IString name_;
    VULE_EXIT_FUNCTION code_;
};
