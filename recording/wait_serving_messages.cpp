#include "recording/wait_serving_messages.h"

namespace recording {

DWORD WaitServingSentMessages(HANDLE object, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        // A sent message is handled inside PeekMessage; with PM_NOREMOVE and only the
        // sent-message class asked for, nothing posted leaves the queue. Serving before every
        // wait also covers messages that arrived before the first one.
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        DWORD remaining = INFINITE;
        if (timeoutMs != INFINITE) {
            DWORD elapsed = GetTickCount() - start;
            remaining = elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
        }
        DWORD woke = MsgWaitForMultipleObjects(1, &object, FALSE, remaining, QS_SENDMESSAGE);
        if (woke != WAIT_OBJECT_0 + 1) {
            return woke;
        }
    }
}

}  // namespace recording
