// The Windows service "Vantrel" as the service control manager knows it.
#pragma once

inline constexpr wchar_t kServiceName[] = L"Vantrel";
inline constexpr wchar_t kServiceDisplayName[] = L"Vantrel serial bridge";

// --install-service and --uninstall-service: each tells the user what it did
// and returns the process's exit code.
int InstallService();
int UninstallService();

// Whether the service runs now (a status window then shows its bridges).
bool IsServiceRunning();
