// Scenario files for snoopctl: a readable list of driver records to feed into
// the snoop driver stand-in, with pauses between them.
//
//   # an address opened by a user's process, then cleaned up
//   open tcp 192.168.1.10:49152 -> 93.184.216.34:443 pid 4242 session 2 sid S-1-5-21-1-2-3-1001 file 0x1001
//   sleep 200
//   cleanup 192.168.1.10:49152 file 0x1001
//
// Grammar (one statement per line; words separated by blanks; "#" starts a
// comment that runs to the end of the line; keywords in any case):
//
//   open    PROTO LOCAL [-> REMOTE] pid N session N sid SID file N [pending N]
//   cleanup [PROTO] LOCAL [-> REMOTE] file N [pid N] [session N] [sid SID] [pending N]
//   event   TYPE [PROTO] [LOCAL [-> REMOTE]] [pid N] [session N] [sid SID] [file N] [pending N]
//   sleep   MS
//
//   PROTO   tcp (1), udp (2) or a number
//   LOCAL, REMOTE
//           a.b.c.d:port, dotted decimal and a decimal port 0..65535
//   N       a decimal number or 0x and hexadecimal digits
//   SID     the string form of a SID (S-1-5-21-...), or "none" for zero bytes
//   TYPE    the record's event_type: 0 open, 1 cleanup, any other value is
//           one the reader ignores
//   MS      milliseconds to wait before the next statement, at most 600000
//
// The key words (pid, session, sid, file, pending) come in any order, each at
// most once. Fields not given are zero. Addresses go into the record in host
// byte order, ports in network byte order.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "agent/snoop/snoop_event.h"

namespace bx::sim {

struct ScenarioStep {
    enum class Kind { Send, Sleep };
    Kind kind = Kind::Send;
    int line = 0;              // 1-based line of the statement
    std::string text;          // the statement, without comment and outer blanks
    snoop_event_t event = {};  // Send: the record
    uint32_t sleepMs = 0;      // Sleep: the pause
};

struct ScenarioError {
    int line = 0;
    std::string message;
};

struct Scenario {
    std::vector<ScenarioStep> steps;
    std::vector<ScenarioError> errors;  // every bad line, in order; steps are only usable when empty
};

constexpr uint32_t kMaxSleepMs = 600000;

// Parses a whole scenario text (UTF-8 or ASCII; a byte-order mark, CR LF
// line ends and a missing last line end are accepted).
Scenario ParseScenario(std::string_view text);

// "name:line: message", the form in which snoopctl reports a bad line.
std::string FormatScenarioError(const std::string& sourceName, const ScenarioError& error);

}  // namespace bx::sim
