// The agent service for the session tests: bxhvns itself (CPLNSvc and its
// program entry) plus one way in for session changes.
//
// Windows delivers session logons and logoffs to a service as control 14
// (SERVICE_CONTROL_SESSIONCHANGE) with a WTSSESSION_NOTIFICATION. Wine's SCM
// never sends that control, and ControlService refuses it from other
// programs, so here a user-defined control 128 + 16 * event type + session id
// (event types 0-7, session ids 0-15) is turned into exactly that call of the
// framework's HandleControl on the control handler's thread.
#include "agent/program/agent_main.h"

namespace {

class CSessionTestSvc : public CPLNSvc {
public:
    void OnUserDefinedRequest(DWORD control) override {
        if (control < 128 || control > 255) return;
        WTSSESSION_NOTIFICATION notification{};
        notification.cbSize = sizeof notification;
        notification.dwSessionId = (control - 128) & 0xF;
        HandleControl(SERVICE_CONTROL_SESSIONCHANGE, (control - 128) >> 4, &notification);
    }
};

}  // namespace

int wmain() { return bx::program::AgentMain<CSessionTestSvc>(); }
