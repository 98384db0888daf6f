// Placeholder until this concern is built; replaced wholesale by its owner.
#include "util/TString.hpp"
