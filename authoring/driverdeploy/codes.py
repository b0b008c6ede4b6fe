"""What the result codes in driverdeploy's log lines mean: the Win32 codes the library meets (with the text the
system states for them), SetupAPI's own codes in both their forms (0xE000.... and the HRESULT 0x800F....), the
network configuration codes (0x8004A0.. failures and 0x0004A0.. successes), a few COM and trust codes, and the
library's own error numbers. A table, not a call to Windows: the reader runs on Linux and in CI."""

# Win32 codes as the system states them.
WIN32 = {
    0: ("ERROR_SUCCESS", "The operation completed successfully."),
    1: ("ERROR_INVALID_FUNCTION", "Incorrect function."),
    2: ("ERROR_FILE_NOT_FOUND", "The system cannot find the file specified."),
    3: ("ERROR_PATH_NOT_FOUND", "The system cannot find the path specified."),
    4: ("ERROR_TOO_MANY_OPEN_FILES", "The system cannot open the file."),
    5: ("ERROR_ACCESS_DENIED", "Access is denied."),
    6: ("ERROR_INVALID_HANDLE", "The handle is invalid."),
    8: ("ERROR_NOT_ENOUGH_MEMORY", "Not enough memory resources are available to process this command."),
    13: ("ERROR_INVALID_DATA", "The data is invalid."),
    14: ("ERROR_OUTOFMEMORY", "Not enough memory resources are available to complete this operation."),
    18: ("ERROR_NO_MORE_FILES", "There are no more files."),
    32: ("ERROR_SHARING_VIOLATION",
         "The process cannot access the file because it is being used by another process."),
    80: ("ERROR_FILE_EXISTS", "The file exists."),
    87: ("ERROR_INVALID_PARAMETER", "The parameter is incorrect."),
    109: ("ERROR_BROKEN_PIPE", "The pipe has been ended."),
    122: ("ERROR_INSUFFICIENT_BUFFER", "The data area passed to a system call is too small."),
    123: ("ERROR_INVALID_NAME", "The filename, directory name, or volume label syntax is incorrect."),
    126: ("ERROR_MOD_NOT_FOUND", "The specified module could not be found."),
    127: ("ERROR_PROC_NOT_FOUND", "The specified procedure could not be found."),
    145: ("ERROR_DIR_NOT_EMPTY", "The directory is not empty."),
    183: ("ERROR_ALREADY_EXISTS", "Cannot create a file when that file already exists."),
    234: ("ERROR_MORE_DATA", "More data is available."),
    258: ("WAIT_TIMEOUT", "The wait operation timed out."),
    259: ("ERROR_NO_MORE_ITEMS", "No more data is available."),
    267: ("ERROR_DIRECTORY", "The directory name is invalid."),
    577: ("ERROR_INVALID_IMAGE_HASH", "Windows cannot verify the digital signature for this file."),
    1051: ("ERROR_DEPENDENT_SERVICES_RUNNING",
           "A stop control has been sent to a service that other running services are dependent on."),
    1052: ("ERROR_INVALID_SERVICE_CONTROL", "The requested control is not valid for this service."),
    1053: ("ERROR_SERVICE_REQUEST_TIMEOUT",
           "The service did not respond to the start or control request in a timely fashion."),
    1056: ("ERROR_SERVICE_ALREADY_RUNNING", "An instance of the service is already running."),
    1058: ("ERROR_SERVICE_DISABLED", "The service cannot be started, either because it is disabled or because it "
                                   "has no enabled devices associated with it."),
    1060: ("ERROR_SERVICE_DOES_NOT_EXIST", "The specified service does not exist as an installed service."),
    1061: ("ERROR_SERVICE_CANNOT_ACCEPT_CTRL", "The service cannot accept control messages at this time."),
    1062: ("ERROR_SERVICE_NOT_ACTIVE", "The service has not been started."),
    1072: ("ERROR_SERVICE_MARKED_FOR_DELETE", "The specified service has been marked for deletion."),
    1073: ("ERROR_SERVICE_EXISTS", "The specified service already exists."),
    1168: ("ERROR_NOT_FOUND", "Element not found."),
    1223: ("ERROR_CANCELLED", "The operation was canceled by the user."),
    1275: ("ERROR_DRIVER_BLOCKED", "This driver has been blocked from loading."),
    1300: ("ERROR_NOT_ALL_ASSIGNED", "Not all privileges or groups referenced are assigned to the caller."),
    1314: ("ERROR_PRIVILEGE_NOT_HELD", "A required privilege is not held by the client."),
    1359: ("ERROR_INTERNAL_ERROR", "An internal error occurred."),
    1602: ("ERROR_INSTALL_USEREXIT", "User cancelled installation."),
    1603: ("ERROR_INSTALL_FAILURE", "Fatal error during installation."),
    1615: ("ERROR_BAD_QUERY_SYNTAX", "SQL query syntax invalid or unsupported."),
    1627: ("ERROR_FUNCTION_FAILED", "Function failed during execution."),
    1641: ("ERROR_SUCCESS_REBOOT_INITIATED", "The requested operation completed successfully. The system will be "
                                           "restarted so the changes can take effect."),
    3010: ("ERROR_SUCCESS_REBOOT_REQUIRED", "The requested operation is successful. Changes will not be effective "
                                           "until the system is rebooted."),
}

# SetupAPI's own codes (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | n); HRESULT_FROM_SETUPAPI turns them into
# 0x800F0000 | n.
SETUPAPI = {
    0xE0000000: ("ERROR_EXPECTED_SECTION_NAME", "A line of the INF file was expected to be a section name."),
    0xE0000001: ("ERROR_BAD_SECTION_NAME_LINE", "A section name line of the INF file is malformed."),
    0xE0000002: ("ERROR_SECTION_NAME_TOO_LONG", "A section name of the INF file is too long."),
    0xE0000003: ("ERROR_GENERAL_SYNTAX", "The INF file has a syntax error."),
    0xE0000100: ("ERROR_WRONG_INF_STYLE", "The INF file is not of the style that was asked for."),
    0xE0000101: ("ERROR_SECTION_NOT_FOUND", "The INF file has no section of that name."),
    0xE0000102: ("ERROR_LINE_NOT_FOUND", "The INF section has no such line."),
    0xE0000103: ("ERROR_NO_BACKUP", "No backup of the files is available."),
    0xE0000200: ("ERROR_NO_ASSOCIATED_CLASS", "The INF names no device setup class, or the class is unknown."),
    0xE0000201: ("ERROR_CLASS_MISMATCH", "The class of the INF differs from the device information set's class."),
    0xE0000202: ("ERROR_DUPLICATE_FOUND", "An existing device was found that duplicates the one being installed."),
    0xE0000203: ("ERROR_NO_DRIVER_SELECTED", "No driver is selected for the device."),
    0xE0000204: ("ERROR_KEY_DOES_NOT_EXIST", "The requested device registry key does not exist."),
    0xE0000205: ("ERROR_INVALID_DEVINST_NAME", "The device instance name is invalid."),
    0xE0000206: ("ERROR_INVALID_CLASS", "The device setup class is invalid."),
    0xE0000207: ("ERROR_DEVINST_ALREADY_EXISTS", "A device instance of that name already exists."),
    0xE0000208: ("ERROR_DEVINFO_NOT_REGISTERED", "The device information element is not registered."),
    0xE0000209: ("ERROR_INVALID_REG_PROPERTY", "The device registry property is invalid."),
    0xE000020A: ("ERROR_NO_INF", "The INF file was not found."),
    0xE000020B: ("ERROR_NO_SUCH_DEVINST", "The device instance does not exist."),
    0xE000020C: ("ERROR_CANT_LOAD_CLASS_ICON", "The class icon could not be loaded."),
    0xE000020D: ("ERROR_INVALID_CLASS_INSTALLER", "The class installer is invalid."),
    0xE000020E: ("ERROR_DI_DO_DEFAULT", "The default action should be taken for this installation request."),
    0xE000020F: ("ERROR_DI_NOFILECOPY", "The file copy was skipped."),
    0xE0000210: ("ERROR_INVALID_HWPROFILE", "The hardware profile is invalid."),
    0xE0000211: ("ERROR_NO_DEVICE_SELECTED", "No device is selected."),
    0xE0000212: ("ERROR_DEVINFO_LIST_LOCKED", "The device information set is locked."),
    0xE0000213: ("ERROR_DEVINFO_DATA_LOCKED", "The device information element is locked."),
    0xE0000214: ("ERROR_DI_BAD_PATH", "The path given for the driver files is invalid."),
    0xE0000215: ("ERROR_NO_CLASSINSTALL_PARAMS", "No class installation parameters are set."),
    0xE0000216: ("ERROR_FILEQUEUE_LOCKED", "The file queue is locked."),
    0xE0000217: ("ERROR_BAD_SERVICE_INSTALLSECT", "A service installation section of the INF is invalid."),
    0xE0000218: ("ERROR_NO_CLASS_DRIVER_LIST", "There is no class driver list."),
    0xE0000219: ("ERROR_NO_ASSOCIATED_SERVICE", "The installation failed because a function driver was not "
                                                "specified for this device instance."),
    0xE000021A: ("ERROR_NO_DEFAULT_DEVICE_INTERFACE", "There is no default device interface."),
    0xE000021B: ("ERROR_DEVICE_INTERFACE_ACTIVE", "The device interface is active."),
    0xE000021C: ("ERROR_DEVICE_INTERFACE_REMOVED", "The device interface was removed."),
    0xE000021D: ("ERROR_BAD_INTERFACE_INSTALLSECT", "An interface installation section of the INF is invalid."),
    0xE000021E: ("ERROR_NO_SUCH_INTERFACE_CLASS", "The interface class does not exist."),
    0xE000021F: ("ERROR_INVALID_REFERENCE_STRING", "The reference string is invalid."),
    0xE0000220: ("ERROR_INVALID_MACHINENAME", "The machine name is invalid."),
    0xE0000221: ("ERROR_REMOTE_COMM_FAILURE", "Communication with the remote machine failed."),
    0xE0000222: ("ERROR_MACHINE_UNAVAILABLE", "The machine is unavailable."),
    0xE0000223: ("ERROR_NO_CONFIGMGR_SERVICES", "The Plug and Play service is not available."),
    0xE0000224: ("ERROR_INVALID_PROPPAGE_PROVIDER", "The property page provider is invalid."),
    0xE0000225: ("ERROR_NO_SUCH_DEVICE_INTERFACE", "The device interface does not exist."),
    0xE0000226: ("ERROR_DI_POSTPROCESSING_REQUIRED", "Post-processing is required."),
    0xE0000227: ("ERROR_INVALID_COINSTALLER", "A co-installer is invalid."),
    0xE0000228: ("ERROR_NO_COMPAT_DRIVERS", "No compatible driver was found for the device."),
    0xE0000229: ("ERROR_NO_DEVICE_ICON", "There is no icon for the device."),
    0xE000022A: ("ERROR_INVALID_INF_LOGCONFIG", "A LogConfig section of the INF is invalid."),
    0xE000022B: ("ERROR_DI_DONT_INSTALL", "The class installer asked not to install the device."),
    0xE000022C: ("ERROR_INVALID_FILTER_DRIVER", "A filter driver of the device is invalid."),
    0xE000022D: ("ERROR_NON_WINDOWS_NT_DRIVER", "The driver is not meant for this version of Windows."),
    0xE000022E: ("ERROR_NON_WINDOWS_DRIVER", "The driver is not meant for Windows."),
    0xE000022F: ("ERROR_NO_CATALOG_FOR_OEM_INF", "The third-party INF does not contain digital signature "
                                                 "information (no CatalogFile entry)."),
    0xE0000230: ("ERROR_DEVINSTALL_QUEUE_NONNATIVE", "The file queue holds files of another architecture."),
    0xE0000231: ("ERROR_NOT_DISABLEABLE", "The device cannot be disabled."),
    0xE0000232: ("ERROR_CANT_REMOVE_DEVINST", "The device instance cannot be removed."),
    0xE0000233: ("ERROR_INVALID_TARGET", "The target is invalid."),
    0xE0000234: ("ERROR_DRIVER_NONNATIVE", "The driver is not for this processor architecture."),
    0xE0000235: ("ERROR_IN_WOW64", "The operation is not allowed in a 32-bit process on 64-bit Windows."),
    0xE0000236: ("ERROR_SET_SYSTEM_RESTORE_POINT", "A system restore point could not be set."),
    0xE0000237: ("ERROR_INCORRECTLY_COPIED_INF", "The INF was copied into the INF folder incorrectly."),
    0xE0000238: ("ERROR_SCE_DISABLED", "The security configuration editor is disabled."),
    0xE0000239: ("ERROR_UNKNOWN_EXCEPTION", "An unknown exception occurred."),
    0xE000023A: ("ERROR_PNP_REGISTRY_ERROR", "The Plug and Play registry is damaged or not accessible."),
    0xE000023B: ("ERROR_REMOTE_REQUEST_UNSUPPORTED", "The request is not supported on a remote machine."),
    0xE000023C: ("ERROR_NOT_AN_INSTALLED_OEM_INF", "The INF is not an installed third-party INF."),
    0xE000023D: ("ERROR_INF_IN_USE_BY_DEVICES", "Devices are still installed with this INF."),
    0xE000023E: ("ERROR_DI_FUNCTION_OBSOLETE", "The installation function is obsolete."),
    0xE000023F: ("ERROR_NO_AUTHENTICODE_CATALOG", "No Authenticode catalog was found."),
    0xE0000240: ("ERROR_AUTHENTICODE_DISALLOWED", "Authenticode signatures are not allowed for this driver."),
    0xE0000241: ("ERROR_AUTHENTICODE_TRUSTED_PUBLISHER", "The Authenticode signer is a trusted publisher."),
    0xE0000242: ("ERROR_AUTHENTICODE_TRUST_NOT_ESTABLISHED", "The trust of the Authenticode signer is not "
                                                             "established."),
    0xE0000243: ("ERROR_AUTHENTICODE_PUBLISHER_NOT_TRUSTED", "The Authenticode publisher is not trusted."),
    0xE0000244: ("ERROR_SIGNATURE_OSATTRIBUTE_MISMATCH", "The signature does not cover this version of Windows."),
    0xE0000245: ("ERROR_ONLY_VALIDATE_VIA_AUTHENTICODE", "The file can only be validated through Authenticode."),
    0xE0000246: ("ERROR_DEVICE_INSTALLER_NOT_READY", "The device installer is not ready."),
    0xE0000247: ("ERROR_DRIVER_STORE_ADD_FAILED", "The driver package could not be added to the driver store."),
    0xE0000248: ("ERROR_DEVICE_INSTALL_BLOCKED", "Device installation is blocked by policy."),
    0xE0000249: ("ERROR_DRIVER_INSTALL_BLOCKED", "Driver installation is blocked by policy."),
    0xE000024A: ("ERROR_WRONG_INF_TYPE", "The INF is of the wrong type."),
    0xE000024B: ("ERROR_FILE_HASH_NOT_IN_CATALOG", "The hash of a file is not in the catalog: the file was changed "
                                                   "after signing or the catalog does not cover it."),
    0xE000024C: ("ERROR_DRIVER_STORE_DELETE_FAILED", "The driver package could not be deleted from the driver "
                                                     "store."),
    0xE0000300: ("ERROR_UNRECOVERABLE_STACK_OVERFLOW", "An unrecoverable stack overflow occurred."),
    0xE0001000: ("ERROR_NO_DEFAULT_INTERFACE_DEVICE", "There is no default interface device."),
}

# The network configuration interfaces (netcfgx.h).
NETCFG = {
    0x8004A020: ("NETCFG_E_ALREADY_INITIALIZED", "The network configuration object is already initialized."),
    0x8004A021: ("NETCFG_E_NOT_INITIALIZED", "The network configuration object is not initialized."),
    0x8004A022: ("NETCFG_E_IN_USE", "Another program holds the network configuration write lock."),
    0x8004A024: ("NETCFG_E_NO_WRITE_LOCK", "The network configuration write lock is not held."),
    0x8004A025: ("NETCFG_E_NEED_REBOOT", "The machine must restart before the network configuration can change."),
    0x8004A026: ("NETCFG_E_ACTIVE_RAS_CONNECTIONS", "Remote access connections are active."),
    0x8004A027: ("NETCFG_E_ADAPTER_NOT_FOUND", "The network adapter was not found."),
    0x8004A028: ("NETCFG_E_COMPONENT_REMOVED_PENDING_REBOOT", "The component was removed and waits for a restart."),
    0x8004A029: ("NETCFG_E_MAX_FILTER_LIMIT", "The number of network filters reached its limit."),
    0x8004A02A: ("NETCFG_E_VMSWITCH_ACTIVE_OVER_ADAPTER", "A virtual switch is active over the adapter."),
    0x8004A02B: ("NETCFG_E_DUPLICATE_INSTANCEID", "A component with the same instance id exists."),
    0x0004A020: ("NETCFG_S_REBOOT", "Success; the change takes effect after a restart."),
    0x0004A021: ("NETCFG_S_DISABLE_QUERY", "Success; the component may not be disabled."),
    0x0004A022: ("NETCFG_S_STILL_REFERENCED", "Success; the component is still referenced by another one and stays."),
    0x0004A023: ("NETCFG_S_CAUSED_SETUP_CHANGE", "Success; the change caused a setup change."),
    0x0004A024: ("NETCFG_S_COMMIT_NOW", "Success; the changes must be applied now."),
}

# COM, catalog and trust codes the library passes on.
HRESULTS = {
    0x80004001: ("E_NOTIMPL", "Not implemented."),
    0x80004002: ("E_NOINTERFACE", "No such interface supported."),
    0x80004005: ("E_FAIL", "Unspecified error."),
    0x8000FFFF: ("E_UNEXPECTED", "Catastrophic failure."),
    0x80010106: ("RPC_E_CHANGED_MODE", "Cannot change thread mode after it is set."),
    0x80040154: ("REGDB_E_CLASSNOTREG", "Class not registered."),
    0x800401F0: ("CO_E_NOTINITIALIZED", "CoInitialize has not been called."),
    0x800B0100: ("TRUST_E_NOSIGNATURE", "No signature was present in the subject."),
    0x800B0101: ("CERT_E_EXPIRED", "A required certificate is not within its validity period."),
    0x800B0109: ("CERT_E_UNTRUSTEDROOT", "A certificate chain terminated in a root certificate which is not "
                                         "trusted by the trust provider."),
    0x800B010A: ("CERT_E_CHAINING", "A certificate chain could not be built to a trusted root authority."),
    0x80096010: ("TRUST_E_BAD_DIGEST", "The digital signature of the object did not verify."),
    0x800B0003: ("TRUST_E_SUBJECT_FORM_UNKNOWN", "The form specified for the subject is not one supported or "
                                                 "known by the specified trust provider."),
}

# The library's error numbers: sent to the installer as error messages (their texts come from the package's
# Error table), and 27303 as the code of a failed recovery-image step.
LIBRARY = {
    27300: ("driver installation failed", "An immediate install action or the script-phase installation of the "
                                          "driver packages failed."),
    27301: ("driver removal failed", "An immediate uninstall action or the script-phase removal of the driver "
                                     "packages failed."),
    27302: ("network filter limit", "A network driver could not be installed: the number of network filters "
                                    "reached its limit (NETCFG_E_MAX_FILTER_LIMIT)."),
    27303: ("recovery image failed", "Adding the drivers to, or removing them from, the Windows Recovery "
                                     "Environment image failed; the mounted image was discarded."),
    27310: ("catalog installation failed", "Adding catalog files to the system catalog database failed."),
    27311: ("catalog removal failed", "Removing catalog files from the system catalog database failed."),
    27320: ("service protection failed", "Marking services as protected (anti-malware launch protection) failed."),
    27321: ("service unprotection failed", "Removing the protection of services failed."),
}


def explain(code):
    """(name, meaning) of a 32-bit result code as the library logs it, or None for a code no table knows."""
    code &= 0xFFFFFFFF
    for table in (NETCFG, HRESULTS, SETUPAPI):
        if code in table:
            return table[code]
    if code & 0xFFFF0000 == 0x800F0000 and (0xE0000000 | (code & 0xFFFF)) in SETUPAPI:
        name, meaning = SETUPAPI[0xE0000000 | (code & 0xFFFF)]
        return f"HRESULT of {name}", meaning
    if code & 0xFFFF0000 == 0x80070000 and (code & 0xFFFF) in WIN32:
        name, meaning = WIN32[code & 0xFFFF]
        return f"HRESULT of {name}", meaning
    if code in LIBRARY:
        name, meaning = LIBRARY[code]
        return f"driverdeploy error {code}: {name}", meaning
    if code in WIN32:
        return WIN32[code]
    return None


def describe(code):
    """'0x80070005 (HRESULT of ERROR_ACCESS_DENIED: Access is denied.)', or the bare code."""
    code &= 0xFFFFFFFF
    known = explain(code)
    return f"0x{code:08x}" + (f" ({known[0]}: {known[1]})" if known else "")


def error_number(number):
    """(name, meaning) of one of the library's installer error numbers, or None."""
    return LIBRARY.get(number)
