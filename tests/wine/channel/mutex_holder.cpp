// A second process on the port lock: takes the named mutex given on the
// command line, sets the "held" event, waits for the "go" event, then
// releases the mutex and exits 0 ("release"), or exits still holding it
// ("abandon"). Exit 3 when something could not be set up.
//   chan_mutex_holder MUTEX HELD_EVENT GO_EVENT release|abandon
#include <windows.h>

#include <cstring>

int main(int argc, char** argv) {
    if (argc != 5) return 3;
    HANDLE mutex = CreateMutexA(nullptr, FALSE, argv[1]);
    HANDLE held = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]);
    HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, argv[3]);
    if (mutex == nullptr || held == nullptr || go == nullptr) return 3;
    const DWORD taken = WaitForSingleObject(mutex, 10000);
    if (taken != WAIT_OBJECT_0 && taken != WAIT_ABANDONED) return 3;
    SetEvent(held);
    if (WaitForSingleObject(go, 60000) != WAIT_OBJECT_0) return 3;
    if (strcmp(argv[4], "abandon") == 0) ExitProcess(0);
    return ReleaseMutex(mutex) ? 0 : 3;
}
