// Placeholder until this concern is built; replaced wholesale by its owner.
#include "clients/TSocketClient.hpp"

std::string TSocketClient::GetFileName(const TLines&) { return {}; }
void TSocketClient::SaveBlock(const std::string&, const TLines&) const {}
void TSocketClient::ConsumeInputLines(size_t) {}
bool TSocketClient::IsBlankLine(const std::string&) { return false; }
