// Hook tables of the lower floors, filled once at start-up. A lower floor
// calls up only through these tables: this file is the list of those calls.
#include "exec/hooks.h"

#include "cmd/cmd.h"
#include "cmd/mcmd.h"
#include "core/image/plcreg.h"
#include "core/image/syshook.h"
#include "core/image/timebase.h"
#include "core/storage/memfile.h"
#include "exec/install.h"
#include "exec/mainloop.h"
#include "exec/panel.h"
#include "exec/plcmode.h"
#include "exec/sys.h"
#include "iec/blocks/blkform.h"
#include "iec/blocks/blkmodbus.h"
#include "iec/blocks/blkport.h"
#include "iec/blocks/blkser.h"
#include "iec/services/drevano.h"
#include "iec/services/z7mb.h"
#include "iec/services/z7svc.h"
#include "ladder/ladder.h"
#include "media/cfm.h"
#include "media/clone.h"
#include "messaging/email.h"
#include "messaging/messaging.h"
#include "messaging/msghooks.h"
#include "messaging/talk.h"
#include "net/enet.h"
#include "core/image/bytes.h"
#include "core/image/rtc.h"
#include "net/etnvcomm.h"
#include "net/svc.h"
#include "protocols/ascii.h"
#include "protocols/egd.h"
#include "protocols/eip.h"
#include "protocols/mbserial.h"
#include "protocols/modbus.h"
#include "protocols/pmgr.h"
#include "protocols/qncan.h"
#include "protocols/srtp.h"
#include "webhmi/weblife.h"
#include "webhmi/webusers.h"

namespace {
bool CommandIdle() { return CmdRun == CMD_IDLE; }
uint32_t EgdConnCnt(uint32_t) { return Egd_ConnCnt(); }
}  // namespace

void Exec_LinkMessaging() {
    // The messaging service's hands-off flag of the command processor; the
    // ladder engine's and the IEC blocks' port instructions on the Talk layer.
    msg_hooks.cmd_override = &Cmd_Override;
    lad_talk = LadTalkHooks{TalkOpen,  IEC_TalkSend, IEC_TalkReceive, TalkClose,
                            TalkModem, TalkModbus,   IEC_TalkModbus,  TalkInit};
    BlkPort_Hooks = BlkPortHooks{Z7TalkOpen, Z7TalkClose, Z7TalkSend, Z7TalkReceive, Z7TalkModem};
}

void Exec_InstallHooks() {
    // Register image and stored files (core): executive services, the
    // front panel on the service tick, the IEC runtime.
    sys_hooks.set_plc_mode = SetPlcMode;
    sys_hooks.warm_reset = SYS_WarmReset;
    sys_hooks.net_init = Plc_NetInit;
    sys_hooks.io_config = IoConfig;
    sys_hooks.net_config = NetConfig;
    sys_hooks.net_io_config = NetIoConfig;
    sys_hooks.port_init = Cmd_PortInit;
    sys_hooks.save_and_set_macid = SaveAndSetMACID;
    sys_hooks.start_watchdog = StartWatchdog;
    sys_hooks.stop_watchdog = StopWatchdog;
    sys_hooks.tickle_watchdog = TickleWatchdogReal;
    sys_hooks.subloop_wait = ExecuteSubLoop_Wait;
    sys_hooks.enable_interrupt = Enable_Interrupt;
    sys_hooks.read_bbr = SYS_ReadCmd;
    sys_hooks.write_bbr = SYS_WriteCmd;
    sys_hooks.command_idle = CommandIdle;
    sys_hooks.system_variables = SYS_PutSystemVariables;
    tick_hooks.button_step = Panel_ButtonStep;
    tick_hooks.led_update = LED_Update;
    PlcReg_IecLocate = DrevanoCalculateVmDbAddress;
    iec_hooks.init = Drevano_init;
    iec_hooks.exit = __Exit;
    iec_hooks.clear_flags = ClearDrevanoFlags;
    iec_hooks.delete_program = DeleteDrevanoProgram;
    iec_hooks.delete_retain = DelDrevanoRetentiveFile;
    iec_hooks.cycle = _VMThread;
    iec_hooks.retain_save = Drevano_RetainSave;
    iec_hooks.retain_load = Drevano_RetainLoad;

    // Engines and drivers: the IEC VM's services and blocks, the Ethernet
    // manager's protocol servers and e-mail, the protocol manager's port
    // claim and virtual ports, the card manager's clone link and web server,
    // the web HMI's local-user word.
    Z7Svc_Install();
    // The IEC block library's serial blocks hold the programming port while
    // they use it; each of their reads watches for the controller's frame
    // start, which takes the port back.
    BlkSer_Hooks.serial_init = Z7Serial_Initialize;
    BlkSer_Hooks.serial_is_valid = Z7Serial_IsValid;
    BlkSer_Hooks.serial_open = Z7Serial_HoldOpen;
    BlkSer_Hooks.serial_receive = Z7Serial_HoldReceive;
    BlkSer_Hooks.serial_send = Z7Serial_HoldSend;
    BlkSer_Hooks.serial_close = Z7Serial_HoldClose;
    BlkSer_Hooks.mb_find_server = Z7MB_HasServer;
    BlkSer_Hooks.mb_serve = Z7MB_ServeBlockRequest;
    BlkSer_Hooks.mb_udp_open = Z7MBSrv_UdpOpen;
    BlkSer_Hooks.mb_udp_activate = Z7MBSrv_UdpActivate;
    BlkSer_Hooks.mb_udp_close = Z7MBSrv_UdpClose;
    Z7MB_PortKept = Modbus_KeepsPort;
    // The Modbus blocks on the Talk layer and the serial Modbus engine.
    BlkMb_Hooks.talk_modbus = Z7_TalkModbus;
    BlkMb_Hooks.forward = Z7_MOD_Forward;
    // The executive services the controller's IEC blocks reach; an on-line
    // change of the IEC application is armed for the scan as a ladder one is
    // (stored at once when no scan runs the application).
    Blk_Hooks.rtc_set = RtcSet;
    Blk_Hooks.net_init = Plc_NetInit;
    Blk_Hooks.trace = Z7EVSTRACE_Line;
    // text_tables and strings stay empty: the controller's program format
    // carries no text tables, so TEXTTABLE answers "".
    Drevano_OnChangeApplied = Plc_IecChangeApplied;
    enet_hooks.qncan = {Qncan_Init, Qncan_Scan, Qncan_ConnCnt, nullptr, Qncan_DeInit, Qncan_Due};
    enet_hooks.modbus = {Modbus_Init, Modbus_Scan, Modbus_Conn_Cnt, Modbus_Stop, Modbus_DeInit, Modbus_Due};
    pmgr_hooks = PmgrHooks{Talk_Override, Talk_Release};
    EtnVComm_GroupVersion = Pmgr_GroupVersion;
    mod_socket = ModSocketHooks{IsModemSocketActive, ModemCheckRecv, ModemDataRecv, ModemDataSend};
    enet_hooks.ascii = {Ascii_Init, Ascii_Scan, Ascii_cnn_cnt, nullptr, Ascii_DeInit, Ascii_Due};
    enet_hooks.egd = {Egd_Init, Egd_Scan, EgdConnCnt, nullptr, Egd_DeInit, Egd_Due};
    enet_hooks.srtp = {Srtp_Init, Srtp_Scan, Srtp_Conn_Cnt, nullptr, Srtp_DeInit, Srtp_Due};
    enet_hooks.eip = {Eip_Init, Eip_Scan, Eip_Conn_Cnt, nullptr, Eip_DeInit, Eip_Due};
    enet_hooks.egd_config = Egd_Config;
    enet_hooks.email_scan = EtnEmailScan;
    enet_hooks.email_init = EtnEmailInit;
    enet_hooks.email_conn_cnt = EtnEmailConnCnt;
    enet_hooks.email_due = EtnEmailDue;
    clone_cmd_link = {MCMD_Init, MCMD_SendCmd, MCMD_SendData, MCMD_GetData, MCMD_SendCntl, MCMD_Close};
    cfm_hooks.card_checked = tavix_card_checked;
    cfm_hooks.link_reg = SYS_LinkReg;
    cfm_hooks.read_reg = SYS_ReadReg;
    cfm_hooks.write_reg = SYS_WriteReg;
    web_last_local_user = &SYS_lastLocalUser;

    // The network layer's service control: the script's pipe, the UTC clock,
    // the web HMI server's hand-over bytes, the watchdog and the EGD restart.
    NetSvcHooks &h = NetSvc_Hooks;
    h.script_pipe = [] { return MasterScriptPipefd[1]; };
    h.script_absent = [] { return MasterFilePresent != 0; };
    h.utc_from_system = [](uint32_t sec, uint32_t ms) {
        const UtcTime t{sec, ms};
        uint16_t utc[6] = {};
        // A time the record cannot hold (past 2036) is refused: the words
        // keep the time they had rather than take the zeroed record.
        if (UtcSet(&t, utc) == 0) return;
        for (unsigned i = 0; i < 6; i++) LE_Put16(&plc_reg[2 * (W_UTC + i)], utc[i]);
    };
    h.web_state = tavix_state;
    h.web_state_set = tavix_state_set;
    h.web_thread = tavix_thread_exists;
    h.web_ftping = tavix_ftping;
    h.web_ftping_set = tavix_ftping_set;
    h.watchdog_kick = [] { TickleWatchdogReal(); };
    h.email_disconnect = EtnEmailDiscnt;
    h.egd_restart = [](uint32_t) {
        Egd_DeInit(&Enet_IpInstance[0]);
        Egd_Init(&Enet_IpInstance[0], &EnetPacketPoolCtrl);
    };
}
