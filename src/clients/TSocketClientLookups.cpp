// Placeholder until this concern is built; replaced wholesale by its owner.
#include "clients/TSocketClient.hpp"

std::unique_ptr<TAparelhoTevarin> TSocketClient::GetAparelhoTevarinInDB() { return nullptr; }
std::unique_ptr<TResultTable> TSocketClient::GetDadosProtocolo(const TAnalisador&, const std::string&) { return nullptr; }
std::unique_ptr<TResultTable> TSocketClient::GetExamesProtocolo(const TAnalisador&, int32_t) { return nullptr; }
