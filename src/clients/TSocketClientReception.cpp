// Placeholder until this concern is built; replaced wholesale by its owner.
#include "clients/TSocketClient.hpp"

void TSocketClient::ReadMessage(const std::string&) {}
void TSocketClient::AddInputBuffer(const std::string&) {}
bool TSocketClient::HasInBuffer(const std::string&) const { return false; }
size_t TSocketClient::InputBufferBytes() const { return 0; }
