// Helper program of the event-log test: logs through BXLogger's Windows
// event-log sink and prints each result on standard output. The test starts
// it with WINEDEBUG=+eventlog, under which Wine prints every reported
// insertion string on standard error on the channel of the event type.
//   logger_event_child.exe TAG
#include <cstdio>

#include "BXLogger.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    CBXLogger log;
    if (log.Init() != 0) return 3;
    printf("add=%u\n", log.AddEventViewer(nullptr, nullptr, 0, 0));
    fflush(stdout);
    for (uint32_t p = 0; p <= 8; ++p) {
        printf("log%u=%u\n", p, log.Log(p, L"%s priority %u", argv[1], p));
        fflush(stdout);
    }
    printf("remove=%u\n", log.RemoveEventViewer(L"any"));
    printf("after=%u\n", log.Log(BXLOG_ERROR, L"%s not reported", argv[1]));
    log.Cleanup();
    printf("end\n");
    return 0;
}
