// The refusals of the Windows audio endpoint services, named for the log and put in words a
// musician can act on. Portable: no Windows header; HRESULTs are their 32-bit values.
#pragma once

#include <cstdint>

namespace vl {

// The name of a common AUDCLNT_E_ code ("AUDCLNT_E_DEVICE_IN_USE"), null for any other value.
const char* audclntName(uint32_t hr);

// "0x8889000A AUDCLNT_E_DEVICE_IN_USE", or "0x80004005" where the code has no name here: what
// the log puts in parentheses after a refusal. Held by value, so that a call's result can be
// passed straight to a %s of the log.
struct RefusalText {
    wchar_t text[64];
};
RefusalText refusalText(uint32_t hr);

// What an endpoint's refusal means and what to do about it, to follow "<device>: ". Another
// program on an endpoint refuses an exclusive stream whenever it has the endpoint open, so
// where the driver insists on exclusive mode the advice differs.
const char* refusalAdvice(uint32_t hr, bool exclusiveOnly);

} // namespace vl
