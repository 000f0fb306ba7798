// Another process on a channel's port lock: takes the named mutex, sets the
// "held" event, waits for the "go" event, releases the mutex and exits 0.
// Exit 3 when something could not be set up.
//   proof_lock_holder MUTEX HELD_EVENT GO_EVENT
#include <windows.h>

int main(int argc, char** argv) {
    if (argc != 4) return 3;
    HANDLE mutex = CreateMutexA(nullptr, FALSE, argv[1]);
    HANDLE held = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]);
    HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, argv[3]);
    if (mutex == nullptr || held == nullptr || go == nullptr) return 3;
    const DWORD taken = WaitForSingleObject(mutex, 10000);
    if (taken != WAIT_OBJECT_0 && taken != WAIT_ABANDONED) return 3;
    SetEvent(held);
    if (WaitForSingleObject(go, 120000) != WAIT_OBJECT_0) return 3;
    return ReleaseMutex(mutex) ? 0 : 3;
}
