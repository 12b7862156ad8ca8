// The web HMI server's life in the controller, in one place: its life-cycle
// state and the bytes shared with main, the network layer and the card file
// manager; main's web step after each pass; the thread, set-up from the
// card's "tavIXGlobal.cfg" and teardown; the status bit ESR17 bit 3; the
// watcher that holds the server stopped while a web project is uploaded; the
// pass lock between main and the server thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <pthread.h>
#include <semaphore.h>

#include "net/svc.h"

// ---- shared with main and the server thread (each transition is one atomic store)

// Life cycle (TavixState, net/svc.h). Main, the network layer and the card
// file manager request StopRequested and StartRequested; the server thread
// moves it on. Starts at Stopped.
extern std::atomic<TavixState> TavixServerState;
// Set by main when it created the server thread, cleared by the thread.
extern std::atomic<uint8_t> TavixThreadCreated;
// 1 while a web project is being uploaded; the server is held stopped.
extern std::atomic<uint8_t> TavixFtping;

// Upload watcher, one step per web step.
enum class TavixFtpState : uint8_t {
    WaitFolder = 0,  // wait for the card's web folder (counted passes)
    Arm = 1,         // put the watch for deletions on it
    Watch = 2,       // a deleted web root starts an upload
    PollFolder = 3,  // no folder at start: its appearance starts an upload
    WaitEnd = 4,     // wait for the end-of-upload marker and the stopped server
};
// Reset to WaitFolder on a start request after a card check.
extern TavixFtpState tavixFtpStates;

// Passes counted (those without a download) before main's web step first runs.
constexpr uint8_t TAVIX_START_PASSES = 100;
// The counter; it stops at 255.
extern uint8_t tavix_start_passes;

// Pass lock between the server thread and main. The server thread takes it
// around each of its passes; main only releases it, before and after its web
// step. A binary semaphore (initial value 1), because a mutex may only be
// released by the thread that holds it.
extern sem_t demoMutex;
// Releases the pass lock; releasing a free lock leaves it free (never above 1).
void tavix_DemoUnlock();
// Guards the server's query filter.
extern pthread_mutex_t TavixQueryFilterMutex;

// Start-up, once before the loop: removes an end-of-upload marker left from
// before ("rm" and "sync" through the service commands) and creates the pass
// lock and the query-filter mutex.
void tavix_startup();
// Main's work for the web HMI after each pass: counts the start-up passes
// while HTTP is not the web server's or the count is at most
// TAVIX_START_PASSES; after that, every pass, the web step: the upload
// watcher, then a stop while a download replaces an IEC application whose
// variables the server serves, else a start (thread created) or a stop on a
// new address.
void tavix_main_step();
// A check of drive A: (ok: a card answered): without a card the upload ends
// and the server is stopped; with one, a server that is stopped or asked to
// stop is started (when HTTP is the web server's and no upload runs).
void tavix_card_checked(bool ok);

// The network layer's view (NetSvc_Hooks).
TavixState tavix_state();
void tavix_state_set(TavixState state);
bool tavix_thread_exists();
uint8_t tavix_ftping();
void tavix_ftping_set(uint8_t v);

// ---- the server thread and its set-up

extern uint16_t ConnectionTimeOut;           // seconds ("KeepAlive")
extern uint16_t SessionTimeOut;              // seconds ("InactivityTimeOut" minutes x 60)
extern uint8_t tavix_authentication_method;  // 1 Basic, 2 Digest
extern uint16_t tavIX_global_config_file_size;
extern uint8_t TavixServerStatus;                           // last value written to ESR17 bit 3
constexpr uint32_t Tavix_server_status_token = 0x10030102;  // ESR17 bit 3

// Starts the detached web thread with SIGALRM and SIGPIPE blocked; false
// when it could not be made. Main only.
bool tavix_thread_create();
// Called by the web thread when its set-up is done, before it serves; null
// (the default) calls nothing. Tests hold the set-up in it.
extern void (*tavix_setup_hook)();
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
