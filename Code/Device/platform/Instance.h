// The library's working directory: the folder in front of the calibration convert-table
// files, as the platform names it (on Linux and macOS the process's current directory).
#pragma once

#include <string>

class CInstance {
public:
    CInstance();
    std::string GetWorkingDirectory() const { return m_strWorkingDirectory; }

private:
    std::string m_strWorkingDirectory;
};

extern CInstance g_Instance;
