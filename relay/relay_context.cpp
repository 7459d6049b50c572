#include "relay/relay_context.h"

bool StartRelayThread(RelayContextRecord& context, LPTHREAD_START_ROUTINE routine) {
    if (context.threadCount == static_cast<int>(std::size(context.threads))) {
        return false;
    }
    UniqueKernelHandle thread(CreateThread(nullptr, 0, routine, &context, 0, nullptr));
    if (!thread.IsOpen()) {
        return false;
    }
    context.threads[context.threadCount++] = std::move(thread);
    return true;
}

void StopRelay(RelayContextRecord& context) {
    context.plugWatch.Stop();
    StopTrace(context.trace);
    SetEvent(context.stop.Get());
    for (int i = 0; i < context.threadCount; ++i) {
        WaitForSingleObject(context.threads[i].Get(), INFINITE);
        context.threads[i].Reset();
    }
    context.threadCount = 0;
    WaitForPipeDiagnosis(context.pipeDiagnosis);
}
