// Placeholder until this concern is built; replaced wholesale by its owner.
#include "clients/TSocketClient.hpp"

int32_t TSocketClient::GetProtocolInBuffer() { return 0; }
bool TSocketClient::IsLineASTM(const std::string&) { return false; }
bool TSocketClient::IsLineHL7(const std::string&) { return false; }
bool TSocketClient::IsLineJson(const std::string&) const { return false; }
std::string TSocketClient::ProcessBuffer() { return {}; }
void TSocketClient::PrepararBuffer(TLines&) const {}
bool TSocketClient::IsMultiLineMessage(const std::string&) const { return false; }
