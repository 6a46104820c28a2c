// The ASIO driver list: one subkey per driver under HKEY_LOCAL_MACHINE "SOFTWARE\ASIO",
// holding the driver's CLSID and description, as hosts read it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace probe {

struct DriverEntry {
    std::wstring name;        // the subkey: what hosts show and what the probe is given
    std::wstring clsidText;   // its "CLSID" value
    std::wstring description; // its "Description" value
    std::wstring server;      // InprocServer32 of the CLSID, empty when not registered
    bool clsidValid = false;
    CLSID clsid = {};
};

// The drivers in the list, in registry order. *status is ERROR_SUCCESS, or the error of
// opening the list key (ERROR_FILE_NOT_FOUND when no driver was ever registered).
std::vector<DriverEntry> listDrivers(LONG* status);

// The COM server registered for a class, empty when none.
std::wstring serverOf(const CLSID& clsid);

} // namespace probe
