// Placeholder until this concern is built; replaced wholesale by its owner.
#include "db/TResultTable.hpp"
