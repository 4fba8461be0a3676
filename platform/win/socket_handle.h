// The owner of a Winsock socket, beside the other owners of handles.h. A
// header of its own because Winsock's header must come before <windows.h>.
#pragma once
#include <winsock2.h>

#include "platform/win/handles.h"

namespace bx::win {

struct SocketTraits {  // empty value INVALID_SOCKET
    static SOCKET Empty() { return INVALID_SOCKET; }
    static void Close(SOCKET s) { ::closesocket(s); }
};
using UniqueSocket = UniqueResource<SOCKET, SocketTraits>;

}  // namespace bx::win
