// Data connections of a control connection.
#include "engine/ControlSocket.h"

namespace tw {

void CControlSocket::CloseDataConnection() {
    // No data socket exists yet.
}

}  // namespace tw
