// Program entry of the agent service bxhvns.
#include "agent/program/agent_main.h"

int wmain() { return bx::program::AgentMain<CPLNSvc>(); }
