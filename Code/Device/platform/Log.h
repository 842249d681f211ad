// The logging layer. The library writes no log: these do nothing.
#pragma once

#include <string>

void Log(const char* format, ...);
std::string LogGetFilePath();
std::string LogGetCurrentTime();
