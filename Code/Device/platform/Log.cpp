#include "Log.h"

void Log(const char*, ...) {}

std::string LogGetFilePath() { return std::string(); }

std::string LogGetCurrentTime() { return std::string(); }
