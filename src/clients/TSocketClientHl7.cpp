// Placeholder until this concern is built; replaced wholesale by its owner.
#include "clients/TSocketClient.hpp"

std::string TSocketClient::ProcessHL7() { return {}; }
