// The control panel: a modal dialog whose checked lists choose each direction's devices in
// order ("RenderEndpoints", "CaptureEndpoints"), whose combo box chooses the mode
// ("StreamMode"), and whose trackbar sets "DefaultSizeInMS", the preferred buffer length in
// milliseconds. A choice is stored when made, the size each time the user finishes a
// movement; OK and Cancel only close the dialog. Afterwards the host is told of a change
// through asioMessage.
#include "driver/ASIOSrv.h"
#include "driver/log.h"
#include "driver/wformat.h"
#include "endpoint/formats.h"
#include "endpoint/platform.h"
#include "panel/resource.h"

#include <commctrl.h>
#include <functiondiscoverykeys_devpkey.h>

#include <algorithm>
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

// What a direction's device choice is stored as: the list, else the single ID, as one text
// that tells any change.
std::wstring storedChoice(int direction) {
    wchar_t list[2048], single[512];
    readListSetting(kEndpointListSetting[direction], list, 2048);
    readTextSetting(kEndpointSetting[direction], single, 512);
    std::wstring text;
    for (const wchar_t* entry = list; *entry; entry += wcslen(entry) + 1)
        text.append(entry).push_back(L'\n');
    return text + L"|" + single;
}

// The list entry of the system default, and of what the default playback device plays.
constexpr wchar_t kDefaultEntry[] = L"default";
constexpr wchar_t kDefaultLoopbackEntry[] = L"loopback:default";

// A row of a direction's device list: its name and the entry it stores.
struct Row {
    std::wstring name;
    std::wstring entry;
    bool checked = false;
    bool present = true; // false: listed by the user, but not an active device now
};

// A device init bound, as the entry that names it, and the mode it runs in.
struct InUse {
    std::wstring entry;
    const wchar_t* mode;
};

struct EndpointLists {
    IUnknown* enumerator = nullptr; // the driver's, or none
    std::vector<Row> rows[2];       // in the order shown
    std::vector<InUse> inUse[2];    // what init bound, read when the dialog opened
    std::wstring defaultId[2];      // each direction's default as the dialog opened
    bool showing = false;           // the dialog itself sets the lists' checks
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

const int kListId[2] = {IDC_OUTPUT_DEVICES, IDC_INPUT_DEVICES};
const int kUpId[2] = {IDC_OUTPUT_UP, IDC_INPUT_UP};
const int kDownId[2] = {IDC_OUTPUT_DOWN, IDC_INPUT_DOWN};

// The active endpoints of a direction, by friendly name (the ID where it has none), as rows
// whose entries are prefix + ID.
void addEndpoints(IMMDeviceEnumerator* enumerator, int direction, const wchar_t* suffix,
                  const wchar_t* prefix, std::vector<Row>& rows) {
    ComRef<IMMDeviceCollection> endpoints;
    UINT count = 0;
    if (SUCCEEDED(enumerator->EnumAudioEndpoints(direction == kRender ? eRender : eCapture,
                                                 DEVICE_STATE_ACTIVE, endpoints.put())) &&
        endpoints)
        endpoints->GetCount(&count);
    for (UINT i = 0; i < count; ++i) {
        ComRef<IMMDevice> endpoint;
        TaskMem<wchar_t> id;
        if (FAILED(endpoints->Item(i, endpoint.put())) || !endpoint ||
            FAILED(endpoint->GetId(id.put())) || !id.get())
            continue;
        wchar_t name[256];
        readDeviceName(endpoint.get(), name, 256);
        rows.push_back({std::wstring(*name ? name : id.get()) + suffix,
                        prefix + std::wstring(id.get())});
    }
}

// The mode column of a row: for a checked device init bound, the mode it runs in; for one it
// did not, why not.
const wchar_t* rowMode(const EndpointLists& lists, int direction, const Row& row) {
    if (!row.checked) return L"";
    if (!row.present) return L"not connected";
    std::wstring entry = row.entry;
    if (entry == kDefaultEntry) entry = lists.defaultId[direction];
    if (entry == kDefaultLoopbackEntry) entry = L"loopback:" + lists.defaultId[kRender];
    for (const InUse& bound : lists.inUse[direction])
        if (_wcsicmp(bound.entry.c_str(), entry.c_str()) == 0) return bound.mode;
    // Before init there is nothing to tell.
    return lists.inUse[kRender].empty() && lists.inUse[kCapture].empty() ? L"" : L"not in use";
}

// Shows a direction's rows as they are: names, checks and modes.
void showRows(HWND dialog, EndpointLists& lists, int direction) {
    HWND list = GetDlgItem(dialog, kListId[direction]);
    lists.showing = true;
    for (size_t i = 0; i < lists.rows[direction].size(); ++i) {
        const Row& row = lists.rows[direction][i];
        ListView_SetItemText(list, int(i), 0, const_cast<wchar_t*>(row.name.c_str()));
        ListView_SetItemText(list, int(i), 1,
                             const_cast<wchar_t*>(rowMode(lists, direction, row)));
        ListView_SetCheckState(list, int(i), row.checked);
    }
    lists.showing = false;
}

// Fills a direction's list: "System default", for recording also what the default playback
// device and what other programs play, each active endpoint, and for recording what each
// playback device plays. The stored devices come first, checked, in their stored order; a
// stored one that is not there now keeps its place under its ID.
void fillList(HWND dialog, EndpointLists& lists, IMMDeviceEnumerator* enumerator, int direction) {
    std::vector<Row> all;
    all.push_back({L"System default", kDefaultEntry});
    if (direction == kCapture) {
        all.push_back({L"System default loopback", kDefaultLoopbackEntry});
        all.push_back({L"What other programs play", L"loopback:others"});
    }
    if (enumerator) {
        addEndpoints(enumerator, direction, L"", L"", all);
        if (direction == kCapture)
            addEndpoints(enumerator, kRender, L" loopback", L"loopback:", all);
    }

    // What is stored: the list, else the single choice, else nothing, which is the default.
    std::vector<std::wstring> entries;
    wchar_t listed[2048] = {}, single[512] = {};
    if (panelDriverName) {
        readListSetting(kEndpointListSetting[direction], listed, 2048);
        readTextSetting(kEndpointSetting[direction], single, 512);
    }
    for (const wchar_t* entry = listed; *entry; entry += wcslen(entry) + 1)
        entries.push_back(entry);
    if (entries.empty()) entries.push_back(single[0] ? single : kDefaultEntry);
    std::vector<Row>& rows = lists.rows[direction];
    rows.clear();
    for (const std::wstring& entry : entries) {
        auto found = std::find_if(all.begin(), all.end(), [&entry](const Row& row) {
            return _wcsicmp(row.entry.c_str(), entry.c_str()) == 0;
        });
        if (found == all.end()) {
            rows.push_back({entry, entry, true, false});
        } else {
            rows.push_back(*found);
            rows.back().checked = true;
            all.erase(found);
        }
    }
    rows.insert(rows.end(), all.begin(), all.end());

    HWND list = GetDlgItem(dialog, kListId[direction]);
    ListView_SetExtendedListViewStyle(list, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
    RECT area, mode = {0, 0, 60, 0};
    GetClientRect(list, &area);
    MapDialogRect(dialog, &mode);
    LVCOLUMNW column = {};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.pszText = const_cast<wchar_t*>(L"Device");
    column.cx = area.right - mode.right - GetSystemMetrics(SM_CXVSCROLL);
    ListView_InsertColumn(list, 0, &column);
    column.pszText = const_cast<wchar_t*>(L"Mode");
    column.cx = mode.right;
    ListView_InsertColumn(list, 1, &column);
    LVITEMW item = {};
    item.mask = LVIF_TEXT;
    item.pszText = const_cast<wchar_t*>(L"");
    lists.showing = true;
    for (item.iItem = 0; item.iItem < int(rows.size()); ++item.iItem)
        ListView_InsertItem(list, &item);
    showRows(dialog, lists, direction);
}

// Stores a direction's checked devices in the order shown, as the list setting, which also
// takes the place of the single choice. Nothing checked, or the system default alone, stores
// nothing: init then takes the default.
void storeList(const EndpointLists& lists, int direction) {
    if (!panelDriverName) return;
    std::wstring entries;
    size_t count = 0;
    for (const Row& row : lists.rows[direction])
        if (row.checked) {
            entries.append(row.entry).push_back(L'\0');
            ++count;
        }
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, kEndpointSetting[direction]);
    if (count == 0 || (count == 1 && entries == std::wstring(kDefaultEntry) + L'\0')) {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, kEndpointListSetting[direction]);
        return;
    }
    entries.push_back(L'\0');
    RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, kEndpointListSetting[direction], REG_MULTI_SZ,
                    entries.data(), DWORD(entries.size() * sizeof(wchar_t)));
}

// Up or Down: the selected row swaps places with its neighbour, and the order is stored.
void moveRow(HWND dialog, EndpointLists& lists, int direction, int by) {
    HWND list = GetDlgItem(dialog, kListId[direction]);
    std::vector<Row>& rows = lists.rows[direction];
    int from = ListView_GetNextItem(list, -1, LVNI_SELECTED);
    int to = from + by;
    if (from < 0 || to < 0 || to >= int(rows.size())) return;
    std::swap(rows[size_t(from)], rows[size_t(to)]);
    showRows(dialog, lists, direction);
    ListView_SetItemState(list, to, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_EnsureVisible(list, to, FALSE);
    storeList(lists, direction);
}

INT_PTR CALLBACK controlPanelDialogProc(HWND dialog, UINT message, WPARAM wParam,
                                        LPARAM lParam) {
    int value = 3;
    switch (message) {
    case WM_INITDIALOG: {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        auto* lists = reinterpret_cast<EndpointLists*>(lParam);
        ComRef<IMMDeviceEnumerator> enumerator;
        if (lists->enumerator)
            queryEnumerator(lists->enumerator, enumerator);
        else
            CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                             __uuidof(IMMDeviceEnumerator), enumerator.putVoid());
        for (int d = kRender; d <= kCapture; ++d) {
            ComRef<IMMDevice> endpoint;
            TaskMem<wchar_t> id;
            if (enumerator &&
                SUCCEEDED(enumerator->GetDefaultAudioEndpoint(d == kRender ? eRender : eCapture,
                                                              eConsole, endpoint.put())) &&
                endpoint && SUCCEEDED(endpoint->GetId(id.put())) && id.get())
                lists->defaultId[d] = id.get();
        }
        for (int d = kRender; d <= kCapture; ++d)
            fillList(dialog, *lists, enumerator.get(), d);
        fillModes(dialog);
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
    case WM_NOTIFY: {
        auto* change = reinterpret_cast<NMLISTVIEW*>(lParam);
        auto* lists = reinterpret_cast<EndpointLists*>(GetWindowLongPtrW(dialog, DWLP_USER));
        if (change->hdr.code != LVN_ITEMCHANGED || !lists || lists->showing || change->iItem < 0 ||
            !(change->uChanged & LVIF_STATE) ||
            !((change->uNewState ^ change->uOldState) & LVIS_STATEIMAGEMASK))
            return FALSE;
        for (int d = kRender; d <= kCapture; ++d)
            if (int(change->hdr.idFrom) == kListId[d] &&
                size_t(change->iItem) < lists->rows[d].size()) {
                lists->rows[d][size_t(change->iItem)].checked =
                    ListView_GetCheckState(change->hdr.hwndFrom, change->iItem);
                showRows(dialog, *lists, d);
                storeList(*lists, d);
            }
        return FALSE;
    }
    case WM_COMMAND:
        for (int d = kRender; d <= kCapture; ++d)
            if (LOWORD(wParam) == kUpId[d] || LOWORD(wParam) == kDownId[d]) {
                moveRow(dialog,
                        *reinterpret_cast<EndpointLists*>(GetWindowLongPtrW(dialog, DWLP_USER)),
                        d, LOWORD(wParam) == kUpId[d] ? -1 : 1);
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
    std::wstring chosenBefore[2] = {storedChoice(kRender), storedChoice(kCapture)};
    StreamMode modeBefore = readStreamMode();
    HWND owner = GetActiveWindow();

    // The host may never have initialised the common controls.
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES | ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);

    // The dialog's lists use the driver's enumerator, held for the dialog's length: init may
    // replace it meanwhile. What init, createBuffers, start and the stream change is read
    // under the control lock, and the host is called without it.
    EndpointLists lists;
    {
        ControlLock lock(this);
        if ((lists.enumerator = deviceEnumerator)) lists.enumerator->AddRef();
        // The devices init bound and the modes they run in; while the host streams, which of
        // them reach it through a clock bridge: the first recording device when its clock
        // turned out apart or others join it, every device after a direction's first.
        const bool streaming = running.load(std::memory_order_relaxed);
        bool joined = false; // devices after a direction's first stream too
        for (const auto& extras : extraDevices)
            for (const ExtraDevice& extra : extras)
                joined |= extra.audioClient != nullptr;
        for (int d = kRender; d <= kCapture; ++d)
            if (endpointId[d])
                lists.inUse[d].push_back(
                    {endpointId[d],
                     d == kCapture && streaming &&
                             (bridging.load(std::memory_order_relaxed) || joined)
                         ? (shared[d] ? L"shared, bridged" : L"exclusive, bridged")
                         : (shared[d] ? L"shared" : L"exclusive")});
        for (int d = kRender; d <= kCapture; ++d)
            for (unsigned i = 0; i < extraCount[d]; ++i) {
                const ExtraDevice& extra = extraDevices[d][i];
                // A loopback's ID is the playback device's; what other programs play has its
                // entry.
                std::wstring entry = extra.loopback && !extra.otherPrograms ? L"loopback:" : L"";
                const bool bridgedNow = streaming && extra.audioClient;
                lists.inUse[d].push_back(
                    {entry + extra.id, extra.shared ? (bridgedNow ? L"shared, bridged" : L"shared")
                                                    : (bridgedNow ? L"exclusive, bridged"
                                                                  : L"exclusive")});
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
        (storedChoice(kRender) != chosenBefore[kRender] ||
         storedChoice(kCapture) != chosenBefore[kCapture])) {
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
