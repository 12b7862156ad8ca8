// The runtime platform layer's files and sockets handed to the VM's
// standard library through its hook table.
#include "iec/services/z7mb.h"
#include "iec/services/z7svc.h"
#include "iec/vm/z7parts.h"
#include "iec/vm/z7stdlib.h"

void Z7Svc_InstallStdHooks() {
    Z7StdHooks &h = Z7Std_Hooks;
    h.file_open = Z7File_Open;
    h.file_open_append = Z7File_OpenAppend;
    h.file_close = Z7File_Close;
    h.file_read = Z7File_Read;
    h.file_write = Z7File_Write;
    h.file_flush = Z7File_Fflush;
    h.file_seek = Z7File_Fseek;
    h.file_eof = Z7File_Eof;
    h.file_read_line = Z7File_ReadLine;
    h.file_write_line = Z7File_WriteLine;
    h.file_delete = Z7File_Delete;
    h.file_rename = Z7File_Rename;
    h.file_copy = Z7File_Copy;
    h.file_exist = Z7File_IsFile;
    h.file_size = Z7File_GetFileSize;
    h.tcp_listen = Z7Socket_CreateListeningSocket;
    h.tcp_accept = Z7Socket_Accept;
    h.tcp_connect = Z7Socket_CreateConnectedSocket;
    h.tcp_check_pending = Z7Socket_CheckPendingConnect;
    h.tcp_send = Z7Socket_Send;
    h.tcp_receive = Z7Socket_Receive;
    h.socket_close = Z7Socket_CloseSocket;
    h.udp_create = Z7Socket_UdpCreate;
    h.udp_recv_from = Z7Socket_UdpRecvFrom;
    h.udp_send_to = Z7Socket_UdpSendTo;
    h.udp_addr_make = Z7Socket_UdpAddrMake;
    h.full_path = _GetFullPath;
    h.mb_dev_ident = Z7MBSrv_SetDevIdent;
}
