// Service integration: running as a Windows service, and installing and removing the service of
// one port.
#pragma once

// Hands the main thread to the service control dispatcher; returns once the service has stopped,
// or at once when the process was not started by the service manager.
void RunServiceDispatcher(void);

// Creates and starts the service of this instance, then writes its configuration.
void InstallService(const char *programPath, const char *printerName, unsigned int port);

// Stops the service of this instance and deletes it.
void RemoveService(void);
