#include "server/qdServer.h"

namespace qd {

void InitializeServer() {}

void FinalizeServer() {}

}  // namespace qd
