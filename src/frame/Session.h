#pragma once
// The installer services: the one layer between the library and the running
// installation. Process-wide state, started by Initialize and ended by
// Finalize around every entry point. The operations here never throw: they
// log their own failures and return HRESULTs.

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cstdint>
#include <initializer_list>
#include <string>

#include "frame/ComponentToDo.h"

namespace setup {

// Set by DllMain when the library is loaded and cleared when it is unloaded.
void SetModule(HMODULE module);
HMODULE GetModule();

int32_t Initialize(MSIHANDLE installer, const char* actionName);
uint32_t Finalize(uint32_t result);

MSIHANDLE GetHandle();
MSIHANDLE GetDatabase();
bool IsInitialized();
// The action name given to Initialize (narrow, at most 31 characters).
const char* GetActionName();

bool IsCancelled();
void MarkCancelled();

int32_t DoDeferredAction(const std::wstring& action, const std::wstring& data, uint32_t ticks);
int ProcessMessage(INSTALLMESSAGE type, MSIHANDLE record);
// Returns 0, an error HRESULT, or 1 when the installer answered with a cancel.
int32_t SendProgress(uint32_t ticks, bool addToTotal);
int32_t SendErrorMessage(uint32_t number, int32_t code, uint32_t type, std::initializer_list<std::wstring> strings);
// The same record as a warning: the log and a full user interface show it,
// and it never stops the installation.
int32_t SendWarningMessage(uint32_t number, int32_t code, std::initializer_list<std::wstring> strings);
// MsiGetComponentState, asked once inside a KeptAnswers scope.
ComponentState QueryComponentState(const std::wstring& component);
ComponentToDo GetComponentToDo(const std::wstring& component);

bool IsVerboseLoggingEnabled();

// Test hook: forget the per-process decisions (verbose setting, explicit
// progress) as if a new host process had loaded the library.
void ResetProcessStateForTesting();

}  // namespace setup
