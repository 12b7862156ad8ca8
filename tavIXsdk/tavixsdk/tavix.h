// The web HMI server as seen by main, the system services and the card file
// manager: its life-cycle state, the upload watcher and the locks shared with
// the server thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <semaphore.h>

// The life-cycle bytes are shared by main and the server thread: each
// transition is one atomic store.
// Life cycle: 0 stop requested, 1 stopped, 2 start requested, 3 starting,
// 4 running. main and the card file manager request 0 and 2; the server
// thread moves it on. Starts at 1.
extern std::atomic<uint8_t> TavixServerState;
// Set by main when it created the server thread, cleared by the thread.
extern std::atomic<uint8_t> TavixThreadCreated;
// 1 while a web project is being uploaded; the server is held stopped.
extern std::atomic<uint8_t> TavixFtping;
// State of the web-project upload watcher; reset to 0 on a start request.
extern uint8_t tavixFtpStates;
// Number of logged-in web users, kept by the login records (webhmi/webusers.cpp).
extern std::atomic<uint32_t> tavix_LoggedUsers;


// Pass lock between the server thread and main. The server thread takes it
// around each of its passes; main only releases it, before and after its web
// step. A binary semaphore (main creates it with sem_init, initial value 1),
// because a mutex may only be released by the thread that holds it.
extern sem_t demoMutex;
// Releases the pass lock; releasing a free lock leaves it free (never above 1).
void tavix_DemoUnlock();

// Guards the server's query filter; created by main at start-up.
extern pthread_mutex_t TavixQueryFilterMutex;
