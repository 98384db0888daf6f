#pragma once
#include <string>

// An exported function of a Windows DLL loaded at run time: "<name>.dll" from
// the executable's folder, else from the standard search path. Null, with the
// reason in error, when the library or the function cannot be found.
// (Windows only: Linux builds link their libraries.)
using NativeFunction = void (*)();
NativeFunction FindNativeFunction(const std::string& library, const char* function, std::string& error);
