// Program entry of the agent service bxhvns.
#include "agent/program/agent_main.h"

int wmain() { return bxagent::AgentMain<CPLNSvc>(); }
