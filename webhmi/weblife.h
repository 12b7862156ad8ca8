// The web HMI server's life in the controller: its thread, set-up from the
// card's "tavIXGlobal.cfg", teardown, the status bit ESR17 bit 3 and the
// watcher that holds the server stopped while a web project is uploaded.
#pragma once

#include <cstddef>
#include <cstdint>

extern uint16_t ConnectionTimeOut;  // seconds ("KeepAlive")
extern uint16_t SessionTimeOut;     // seconds ("InactivityTimeOut" minutes x 60)
extern uint8_t tavix_authentication_method;  // 1 Basic, 2 Digest
extern uint16_t tavIX_global_config_file_size;
extern uint8_t TavixServerStatus;  // last value written to ESR17 bit 3
constexpr uint32_t Tavix_server_status_token = 0x10030102;  // ESR17 bit 3

// Starts the detached web thread with SIGALRM and SIGPIPE blocked. Main only.
void tavix_thread_create();
// One step of the upload watcher; main calls it at every web step.
void tavix_check_ftp_state();
int tavix_server_main();
// The controller's callbacks registered with the server (data on the
// variable table, users and rights, the request hook) and the variable
// table's change notices sent to the server's subscribers.
void tavix_register_controller_callbacks();
void tavix_thread_clear();
void tavix_update_global_config_parameters(const char *text);
// Reads at most capacity - 1 bytes of a file; the count goes to
// tavIX_global_config_file_size for modes 2 and 3. Answers 0 (also for a
// missing file).
int tavix_read_file(char *dst, std::size_t capacity, const char *path, int mode);
// The host paths of the served folders (OEM variant by the OEM code).
const char *tavix_web_root();

