#include "Instance.h"

// The calibration convert tables are looked up in the process's current directory.
CInstance::CInstance() : m_strWorkingDirectory("./") {}
