// Shared state of the web HMI server and its pass lock.
#include "tavIXsdk/tavixsdk/tavix.h"

std::atomic<uint8_t> TavixServerState{1};
std::atomic<uint8_t> TavixThreadCreated{0};
std::atomic<uint8_t> TavixFtping{0};
uint8_t tavixFtpStates = 0;
std::atomic<uint32_t> tavix_LoggedUsers{0};

sem_t demoMutex;
pthread_mutex_t TavixQueryFilterMutex = PTHREAD_MUTEX_INITIALIZER;

namespace {
// Makes the test-and-post of tavix_DemoUnlock atomic when both threads release.
pthread_mutex_t demo_release_guard = PTHREAD_MUTEX_INITIALIZER;
}

void tavix_DemoUnlock()
{
    pthread_mutex_lock(&demo_release_guard);
    int value = 0;
    if (sem_getvalue(&demoMutex, &value) == 0 && value < 1)
        sem_post(&demoMutex);
    pthread_mutex_unlock(&demo_release_guard);
}
