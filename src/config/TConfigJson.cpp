// Placeholder until this concern is built; replaced wholesale by its owner.
#include "config/TConfigJson.hpp"
void TConfigJson::Load(const std::string&) {}
