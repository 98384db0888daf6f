#pragma once
#include <string>

#include "util/TDateTime.hpp"

// The text of one log entry as the service log writes it:
// "dd/mm/yyyy hh:nn:ss" TAB txt; an empty txt is a blank line.
std::string LogEntryText(const TDateTime& when, const std::string& txt);
