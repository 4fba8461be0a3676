// Program entry of the agent service bxhvns.
#include "AgentMain.h"

int wmain() { return bxagent::AgentMain<CPLNSvc>(); }
