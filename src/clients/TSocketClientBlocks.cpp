// Placeholder until this concern is built; replaced wholesale by its owner.
#include "clients/TSocketClient.hpp"

bool TSocketClient::BufferPossuiBlocoCompleto() { return false; }
TLines TSocketClient::GetBlocoInBuffer(size_t*) { return {}; }
