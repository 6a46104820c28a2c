// The one translation unit that defines the property keys the driver reads from the
// endpoints (the interface identifiers come with __uuidof). The definitions are selectany,
// so a test program that links another definition of the same keys still links.
#include <initguid.h>

#include <windows.h>
#include <mmdeviceapi.h>
#include <functiondiscoverykeys_devpkey.h>
