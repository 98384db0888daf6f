// Placeholder until this concern is built; replaced wholesale by its owner.
#include "config/TAnalisador.hpp"
void TAnalisador::GetConfigs(const std::vector<std::unique_ptr<TAnalisador>>&) {}
std::string TExames::GetCodigos() const { return {}; }
