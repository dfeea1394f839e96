// A Windows program: registers a serial port in the device registry the way a USB
// modem's driver does (a device of the Ports class with its description, manufacturer
// and PortName), so that Windows' port enumeration lists it. Under wine it turns a
// pseudo-terminal mapped to a COM name into a port as a tracker's driver presents it.
#include <initguid.h> // defines the GUIDs of devguid.h here
#include <windows.h>

#include <devguid.h>
#include <setupapi.h>

#include <cstdio>
#include <cwchar>

namespace {

bool setProperty(HDEVINFO devices, SP_DEVINFO_DATA *device, DWORD property, const wchar_t *value)
{
    const DWORD size = DWORD((std::wcslen(value) + 1) * sizeof(wchar_t));
    return SetupDiSetDeviceRegistryPropertyW(devices, device, property, reinterpret_cast<const BYTE *>(value), size);
}

bool registerPort(const wchar_t *portName, const wchar_t *description, const wchar_t *manufacturer,
                  const wchar_t *instanceId)
{
    const HDEVINFO devices = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr);
    if (devices == INVALID_HANDLE_VALUE)
        return false;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    bool registered = SetupDiCreateDeviceInfoW(devices, instanceId, &GUID_DEVCLASS_PORTS, nullptr, nullptr, 0, &device)
            && setProperty(devices, &device, SPDRP_DEVICEDESC, description)
            && setProperty(devices, &device, SPDRP_MFG, manufacturer)
            && SetupDiRegisterDeviceInfo(devices, &device, 0, nullptr, nullptr, nullptr);
    if (registered) {
        const HKEY key = SetupDiCreateDevRegKeyW(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
        const DWORD size = DWORD((std::wcslen(portName) + 1) * sizeof(wchar_t));
        registered = key != INVALID_HANDLE_VALUE
                && RegSetValueExW(key, L"PortName", 0, REG_SZ, reinterpret_cast<const BYTE *>(portName), size) == ERROR_SUCCESS;
        if (key != INVALID_HANDLE_VALUE)
            RegCloseKey(key);
    }
    SetupDiDestroyDeviceInfoList(devices);
    return registered;
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argc != 5) {
        std::fputs("Usage: registerports PORTNAME DESCRIPTION MANUFACTURER INSTANCE-ID\n", stderr);
        return 2;
    }
    if (!registerPort(argv[1], argv[2], argv[3], argv[4])) {
        std::fprintf(stderr, "registerports: cannot register %ls: error %lu\n", argv[1], GetLastError());
        return 1;
    }
    return 0;
}
