// The control panel: a modal dialog whose lists choose the endpoints ("RenderEndpoint",
// "CaptureEndpoint") and the mode ("StreamMode"), and whose trackbar sets "DefaultSizeInMS",
// the preferred buffer length in milliseconds. A choice is stored when made, the size each
// time the user finishes a movement; OK and Cancel only close the dialog. Afterwards the host is told of a change
// through asioMessage.
#include "driver/ASIOSrv.h"
#include "driver/log.h"
#include "driver/wformat.h"
#include "endpoint/formats.h"
#include "endpoint/platform.h"
#include "panel/resource.h"

#include <commctrl.h>
#include <functiondiscoverykeys_devpkey.h>

#include <string>
#include <vector>

namespace {

constexpr wchar_t kDefaultSizeValue[] = L"DefaultSizeInMS";
constexpr int kMinSizeMs = 2;
constexpr int kMaxSizeMs = 30;

// "DefaultSizeInMS", or fallback when it cannot be read.
DWORD readDefaultSize(DWORD fallback) {
    DWORD value = 0;
    return readSetting(kDefaultSizeValue, RRF_RT_DWORD, &value) == ERROR_SUCCESS ? value
                                                                                 : fallback;
}

void showSize(HWND dialog, int value) {
    wchar_t text[64];
    vl::formatBounded(text, 64, L"Buffer size (in milliseconds): %dms", value);
    SetWindowTextW(GetDlgItem(dialog, IDC_BUFFER_SIZE_LABEL), text);
}

int trackbarPosition(HWND dialog) {
    return static_cast<int>(
        SendMessageW(GetDlgItem(dialog, IDC_BUFFER_SIZE_SLIDER), TBM_GETPOS, 0, 0));
}

// The endpoint ID a user chose for a direction; empty for the system default.
std::wstring readChoice(int direction) {
    wchar_t text[512];
    readTextSetting(kEndpointSetting[direction], text, 512);
    return text;
}

// The IDs behind each list's entries: the first, "System default", has none.
struct EndpointLists {
    IUnknown* enumerator = nullptr; // the driver's, or none
    std::vector<std::wstring> ids[2];
    std::wstring streaming; // the modes a running stream has, as the dialog shows them
};

// The "Mode" list, in the order of StreamMode; each entry is stored as its text.
const wchar_t* const kModeNames[] = {L"Automatic", L"Exclusive", L"Shared"};

void fillModes(HWND dialog) {
    HWND list = GetDlgItem(dialog, IDC_STREAM_MODE);
    for (const wchar_t* name : kModeNames)
        SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    StreamMode mode = panelDriverName ? readStreamMode() : StreamMode::Automatic;
    SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(mode), 0);
}

void storeMode(HWND dialog) {
    LRESULT i = SendMessageW(GetDlgItem(dialog, IDC_STREAM_MODE), CB_GETCURSEL, 0, 0);
    if (!panelDriverName || i < 0 || i >= LRESULT(sizeof kModeNames / sizeof *kModeNames)) return;
    const wchar_t* name = kModeNames[i];
    RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, kStreamModeSetting, REG_SZ, name,
                    DWORD((wcslen(name) + 1) * sizeof(wchar_t)));
}

const int kListId[2] = {IDC_OUTPUT_DEVICE, IDC_INPUT_DEVICE};

// Fills a direction's list with "System default" and the active endpoints by friendly name,
// and selects the stored choice (the default when it is not among them).
void fillList(HWND dialog, EndpointLists& lists, int direction) {
    HWND list = GetDlgItem(dialog, kListId[direction]);
    std::vector<std::wstring>& ids = lists.ids[direction];
    ids.assign(1, std::wstring());
    SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"System default"));
    ComRef<IMMDeviceEnumerator> enumerator;
    ComRef<IMMDeviceCollection> endpoints;
    UINT count = 0;
    if (lists.enumerator)
        queryEnumerator(lists.enumerator, enumerator);
    else
        CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                         __uuidof(IMMDeviceEnumerator), enumerator.putVoid());
    if (enumerator &&
        SUCCEEDED(enumerator->EnumAudioEndpoints(direction == kRender ? eRender : eCapture,
                                                 DEVICE_STATE_ACTIVE, endpoints.put())) &&
        endpoints)
        endpoints->GetCount(&count);
    for (UINT i = 0; i < count; ++i) {
        ComRef<IMMDevice> endpoint;
        ComRef<IPropertyStore> props;
        TaskMem<wchar_t> id;
        PropValue name;
        if (FAILED(endpoints->Item(i, endpoint.put())) || !endpoint ||
            FAILED(endpoint->GetId(id.put())) || !id.get())
            continue;
        if (openProperties(endpoint.get(), props))
            props->GetValue(PKEY_Device_FriendlyName, name.put());
        const wchar_t* shown = name.text() && *name.text() ? name.text() : id.get();
        SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(shown));
        ids.push_back(id.get());
    }
    std::wstring chosen = panelDriverName ? readChoice(direction) : std::wstring();
    size_t selected = 0;
    for (size_t i = 1; i < ids.size(); ++i)
        if (ids[i] == chosen) selected = i;
    SendMessageW(list, CB_SETCURSEL, selected, 0);
}

// Stores a list's new choice; "System default" removes the setting.
void storeChoice(HWND dialog, const EndpointLists& lists, int direction) {
    LRESULT i = SendMessageW(GetDlgItem(dialog, kListId[direction]), CB_GETCURSEL, 0, 0);
    const std::vector<std::wstring>& ids = lists.ids[direction];
    if (!panelDriverName || i < 0 || size_t(i) >= ids.size()) return;
    const std::wstring& id = ids[size_t(i)];
    if (id.empty())
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, kEndpointSetting[direction]);
    else
        RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, kEndpointSetting[direction], REG_SZ,
                        id.c_str(), DWORD((id.size() + 1) * sizeof(wchar_t)));
}

INT_PTR CALLBACK controlPanelDialogProc(HWND dialog, UINT message, WPARAM wParam,
                                        LPARAM lParam) {
    int value = 3;
    switch (message) {
    case WM_INITDIALOG: {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        auto* lists = reinterpret_cast<EndpointLists*>(lParam);
        for (int d = kRender; d <= kCapture; ++d)
            fillList(dialog, *lists, d);
        fillModes(dialog);
        SetWindowTextW(GetDlgItem(dialog, IDC_STREAM_STATE), lists->streaming.c_str());
        // Without a registered name the dialog neither shows nor stores a setting.
        if (panelDriverName) {
            SetWindowTextW(GetDlgItem(dialog, IDC_DRIVER_NAME), panelDriverName);
            value = static_cast<int>(readDefaultSize(static_cast<DWORD>(value)));
        }
        HWND slider = GetDlgItem(dialog, IDC_BUFFER_SIZE_SLIDER);
        SendMessageW(slider, TBM_SETRANGE, TRUE, MAKELPARAM(kMinSizeMs, kMaxSizeMs));
        SendMessageW(slider, TBM_SETPOS, TRUE, value);
        // The label shows the stored value even where the trackbar clamps it.
        showSize(dialog, value);
        return FALSE;
    }
    case WM_COMMAND:
        for (int d = kRender; d <= kCapture; ++d)
            if (LOWORD(wParam) == kListId[d] && HIWORD(wParam) == CBN_SELCHANGE) {
                storeChoice(dialog,
                            *reinterpret_cast<EndpointLists*>(GetWindowLongPtrW(dialog, DWLP_USER)),
                            d);
                return TRUE;
            }
        if (LOWORD(wParam) == IDC_STREAM_MODE && HIWORD(wParam) == CBN_SELCHANGE) {
            storeMode(dialog);
            return TRUE;
        }
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    case WM_HSCROLL:
        switch (LOWORD(wParam)) {
        case TB_LINEUP:
        case TB_LINEDOWN:
        case TB_PAGEUP:
        case TB_PAGEDOWN:
            showSize(dialog, trackbarPosition(dialog));
            break;
        case TB_THUMBPOSITION:
        case TB_THUMBTRACK:
            showSize(dialog, HIWORD(wParam));
            break;
        case TB_ENDTRACK:
            // Stored at the end of every movement, so Cancel does not undo it.
            value = trackbarPosition(dialog);
            if (panelDriverName) {
                DWORD stored = static_cast<DWORD>(value);
                RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, kDefaultSizeValue, REG_DWORD,
                                &stored, sizeof stored);
            }
            break;
        default: // TB_TOP and TB_BOTTOM leave the label as it was
            break;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

} // namespace

ASIOError ASIOSrv::controlPanel() {
    writeLogLine(this, L"ASIOSrv::controlPanel...");
    DWORD before = readDefaultSize(0);
    std::wstring chosenBefore[2] = {readChoice(kRender), readChoice(kCapture)};
    StreamMode modeBefore = readStreamMode();
    HWND owner = GetActiveWindow();

    // The host may never have initialised the common controls.
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);

    // The dialog's lists use the driver's enumerator, held for the dialog's length: init may
    // replace it meanwhile. What init, createBuffers, start and the stream change is read
    // under the control lock, and the host is called without it.
    EndpointLists lists;
    {
        ControlLock lock(this);
        if ((lists.enumerator = deviceEnumerator)) lists.enumerator->AddRef();
        // While the host streams, the mode each direction really runs in.
        static const wchar_t* const kDirection[2] = {L"output", L"input"};
        for (int d = kRender; d <= kCapture; ++d) {
            if (!audioClient[d] || !running.load(std::memory_order_relaxed)) continue;
            lists.streaming += lists.streaming.empty() ? L"Streaming now: " : L", ";
            lists.streaming += kDirection[d];
            lists.streaming += shared[d] ? L" shared" : L" exclusive";
        }
    }
    panelDriverName = registeredDriverName;
    DialogBoxParamW(moduleHandle, MAKEINTRESOURCEW(IDD_CONTROL_PANEL), owner,
                    controlPanelDialogProc, reinterpret_cast<LPARAM>(&lists));
    panelDriverName = nullptr;
    if (lists.enumerator) lists.enumerator->Release();

    DWORD after = readDefaultSize(0);
    decltype(callbacks.asioMessage) asioMessage = nullptr;
    IUnknown* held[2] = {};
    uint32_t frameBytes[2] = {};
    double rate = 0;
    {
        ControlLock lock(this);
        asioMessage = callbacks.asioMessage;
        rate = sampleRate;
        for (int d = kRender; d <= kCapture; ++d) {
            held[d] = device[d]; // compared and logged only
            if (device[d])
                frameBytes[d] = (sampleType[d] == ASIOSTInt32LSB ? 4u : 2u) * channelCount[d];
        }
    }
    // Another endpoint takes effect only through init: the host is asked to reset first.
    // So does another mode: init decides it.
    if (asioMessage &&
        (readChoice(kRender) != chosenBefore[kRender] ||
         readChoice(kCapture) != chosenBefore[kCapture])) {
        long r = asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
        logMessage(this, L"ASIOSrv:::\tendpoint changed: asioMessage(ResetRequest) returned %d",
                   r);
    } else if (asioMessage && readStreamMode() != modeBefore) {
        long r = asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
        logMessage(this, L"ASIOSrv:::\tmode changed: asioMessage(ResetRequest) returned %d", r);
    }
    if (after == before || !asioMessage || (!held[kRender] && !held[kCapture])) {
        logMessage(this, L"ASIOSrv:::\tsize: %d => %d (asioMessage=0x%X) pDeviceUnk : 0x%X 0x%X",
                   before, after, low32(reinterpret_cast<void*>(asioMessage)),
                   low32(held[kRender]), low32(held[kCapture]));
        return ASE_OK;
    }

    logMessage(this, L"ASIOSrv:::\tdefault size changed: %d => %d (0x%X 0x%X)", before, after,
               low32(held[kRender]), low32(held[kCapture]));
    // The running stream holds its endpoints, which refuse a probe: the size is computed from
    // the stream's own rate and frame widths, aligned as the endpoints align buffers, and is
    // the one getBufferSize now prefers, on its grid, where sizes were offered before start.
    uint32_t frames = vl::streamFramesForDuration(
        static_cast<int64_t>(static_cast<uint64_t>(after) * 10000), vl::truncatedRate(rate),
        frameBytes[kRender], frameBytes[kCapture]);
    long preferred = 0;
    bool offered = false;
    {
        ControlLock lock(this);
        offered = offeredSizes.known && offeredSizes.minimum > 0;
    }
    if (offered && getBufferSize(nullptr, nullptr, &preferred, nullptr) == ASE_OK && preferred > 0)
        frames = uint32_t(preferred);
    if (frames != 0) {
        long r = asioMessage(kAsioBufferSizeChange, static_cast<long>(frames), nullptr, nullptr);
        logMessage(this, L"ASIOSrv:::\tasioMessage(BufferSizeChange, %d) returned %d", frames, r);
    }
    asioMessage(kAsioLatenciesChanged, 0, nullptr, nullptr);
    return ASE_OK;
}
