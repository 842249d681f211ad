#include "Instance.h"

#include "OsServices.h"

// The calibration convert tables are looked up in the folder the platform names.
CInstance::CInstance() : m_strWorkingDirectory(OsWorkingDirectory()) {}
