// Set-up of the sampling subsystem.
#pragma once

// Installs the sampling entries of the subsystem table (protocol/SubsystemHooks.h). Done
// when the library is loaded; the test suites call it again after putting the table back
// to its null forms.
void InstallSamplingEntries();
