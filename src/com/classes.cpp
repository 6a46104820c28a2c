// The class table of the server: one creatable class, the driver.
#include "com/unknown.h"
#include "driver/ASIOSrv.h"

#include <cwchar>
#include <new>

const FactoryTemplate factoryTemplates[] = {
    {kDriverNameW, &CLSID_ASIOSrv, &ASIOSrv::create, &driverAttachDetach},
};
const int factoryTemplateCount = sizeof factoryTemplates / sizeof factoryTemplates[0];

void driverAttachDetach(bool attach, const CLSID*, const wchar_t* registeredName) {
    if (attach && registeredName) {
        size_t n = wcslen(registeredName) + 1;
        registeredDriverName = new (std::nothrow) wchar_t[n];
        if (registeredDriverName) wmemcpy(registeredDriverName, registeredName, n);
        return;
    }
    delete[] registeredDriverName;
    registeredDriverName = nullptr;
}
