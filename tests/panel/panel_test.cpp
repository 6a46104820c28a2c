// The control panel as a user meets it: controlPanel shows the dialog of the built DLL on a
// thread of its own, as a host's call would, and the test drives it with keyboard and mouse
// input, then looks at what was stored, what the host was told and what the log says.
#include "driver/ASIOSrv.h"
#include "panel/resource.h"
#include "sim/sim.h"

#include <audioclient.h>
#include <commctrl.h>
#include <mmdeviceapi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
#include <initializer_list>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using Messages = std::vector<std::pair<long, long>>; // selector, value
Messages hostMessages;

long recordAsioMessage(long selector, long value, void*, double*) {
    hostMessages.emplace_back(selector, value);
    return selector == kAsioBufferSizeChange ? 1 : 0;
}

void storeNumber(const wchar_t* name, DWORD value) {
    RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, name, REG_DWORD, &value, sizeof value);
}

// A stored setting as text: the number, the endpoint ID, a list's entries joined by " + ",
// or "<none>".
std::wstring stored(const wchar_t* name) {
    DWORD number = 0, bytes = sizeof number;
    if (!RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, name, RRF_RT_DWORD, nullptr, &number,
                      &bytes))
        return std::to_wstring(number);
    wchar_t text[512] = {};
    bytes = sizeof text - 2 * sizeof *text;
    if (RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, name, RRF_RT_REG_SZ | RRF_RT_REG_MULTI_SZ,
                     nullptr, text, &bytes))
        return L"<none>";
    std::wstring joined;
    for (const wchar_t* entry = text; *entry; entry += wcslen(entry) + 1)
        joined += (joined.empty() ? L"" : L" + ") + std::wstring(entry);
    return joined;
}

// A text setting; a list's entries are separated by L'\0'.
void storeText(const wchar_t* name, DWORD type, std::wstring text) {
    if (type == REG_MULTI_SZ) text.push_back(L'\0');
    RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, name, type, text.c_str(),
                    DWORD((text.size() + 1) * sizeof(wchar_t)));
}

std::wstring windowText(HWND w) {
    wchar_t text[256] = {};
    GetWindowTextW(w, text, 256);
    return text;
}

// A device list as shown: each row's check, name and, where it shows one, mode.
std::wstring rows(HWND list) {
    std::wstring text;
    for (int i = 0; i < ListView_GetItemCount(list); ++i) {
        wchar_t name[128] = {}, mode[64] = {};
        ListView_GetItemText(list, i, 0, name, 128);
        ListView_GetItemText(list, i, 1, mode, 64);
        text += (ListView_GetCheckState(list, i) ? L"[x] " : L"[ ] ") + std::wstring(name) +
                (*mode ? L" (" + std::wstring(mode) + L")" : L"") + L"; ";
    }
    return text;
}

std::wstring sizeLabel(int ms) {
    return L"Buffer size (in milliseconds): " + std::to_wstring(ms) + L"ms";
}

wchar_t kRegisteredName[] = L"Studio Out";

// Trackbar input: keys end a movement when released; a drag grabs the thumb first.
enum Act { KeyDown, KeyUp, Key, DragPastEnd, DragToStart, Drop };
struct Step {
    Act act;
    UINT vk;
    int label;           // shown after the step
    const wchar_t* size; // and stored
};

// Streaming: the host's asioMessage, and the render endpoint held by a 16-bit stereo stream;
// Offered: the same, the stream the driver's own, started after sizes were offered (128 to
// 24000 in steps of 32); Idle: no endpoint open; NoMessage: no asioMessage; Unregistered: no
// registered name.
enum Host { Streaming, Offered, Idle, NoMessage, Unregistered };

class ControlPanel : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        sim::install();
        moduleHandle = LoadLibraryExW(L"Z:" VLASIO_DLL_PATH, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    }

    void SetUp() override {
        ASSERT_NE(moduleHandle, nullptr) << "the built DLL cannot be loaded";
        sim::configure(sim::defaultRender(), sim::defaultCapture());
    }

    void TearDown() override {
        if (panel.valid()) {
            PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
            panel.wait();
        }
        if (auto* s = std::exchange(stream, nullptr)) s->Release();
        if (auto* d = std::exchange(driver, nullptr)) d->innerRelease();
    }

    // A new driver at 48 kHz, with the enumerator init keeps, a log, and the size stored
    // (-1: none).
    void start(Host host, long size) {
        TearDown(); // what an earlier case left
        RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
        storeNumber(L"OutputLogToFile", 1);
        if (size >= 0) storeNumber(L"DefaultSizeInMS", size);
        DeleteFileW(L"I:\\VLASIOLog.txt");
        hostMessages.clear();
        registeredDriverName = host == Unregistered ? nullptr : kRegisteredName;
        driver = new ASIOSrv(nullptr);
        driver->innerAddRef();
        driver->callbacks.asioMessage = host == NoMessage ? nullptr : recordAsioMessage;
        driver->sampleRate = 48000;
        IMMDeviceEnumerator* enumerator = nullptr;
        CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                         IID_PPV_ARGS(&enumerator));
        ASSERT_NE(enumerator, nullptr);
        driver->deviceEnumerator = enumerator;
        if (host == Idle) return;
        IMMDevice* device = nullptr;
        enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device);
        driver->device[kRender] = device;
        // The stream owns the endpoint, which would refuse the driver a probe.
        device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                         reinterpret_cast<void**>(&stream));
        ASSERT_NE(stream, nullptr);
        WAVEFORMATEXTENSIBLE format = sim::pcmFormat(48000, 2, 16);
        ASSERT_EQ(stream->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                     100000, 100000, &format.Format, nullptr),
                  S_OK);
        if (host != Offered) return;
        driver->offeredSizes = {true, 10, 128, 24000, 480, 32};
        stream->AddRef();
        driver->audioClient[kRender] = stream;
    }

    // Calls controlPanel on a thread of its own and waits for its dialog to show.
    void open() {
        panel = std::async(std::launch::async, [this] {
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            ASIOError result = driver->controlPanel();
            CoUninitialize();
            return result;
        });
        for (int i = 0; i < 1000 && !IsWindowVisible(dialog); ++i) {
            Sleep(10);
            dialog = FindWindowW(nullptr, L"ASIO Configuration");
        }
        ASSERT_TRUE(IsWindowVisible(dialog)) << "the dialog did not open";
        slider = GetDlgItem(dialog, IDC_BUFFER_SIZE_SLIDER);
        label = GetDlgItem(dialog, IDC_BUFFER_SIZE_LABEL);
    }

    // Closes the dialog with a key typed into it, and waits for controlPanel to return.
    void close(UINT vk) {
        PostMessageW(slider, WM_KEYDOWN, vk, 1);
        ASSERT_EQ(panel.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_EQ(panel.get(), ASE_OK);
        EXPECT_EQ(panelDriverName, nullptr);
    }

    void act(Act a, UINT vk) {
        RECT thumb, channel;
        SendMessageW(slider, TBM_GETTHUMBRECT, 0, reinterpret_cast<LPARAM>(&thumb));
        SendMessageW(slider, TBM_GETCHANNELRECT, 0, reinterpret_cast<LPARAM>(&channel));
        int y = (thumb.top + thumb.bottom) / 2;
        if (a == KeyDown || a == Key) SendMessageW(slider, WM_KEYDOWN, vk, 1);
        if (a == KeyUp || a == Key) SendMessageW(slider, WM_KEYUP, vk, 0xC0000001);
        if (a == DragPastEnd) {
            SendMessageW(slider, WM_LBUTTONDOWN, MK_LBUTTON,
                         MAKELPARAM((thumb.left + thumb.right) / 2, y));
            SendMessageW(slider, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(channel.right + 20, y));
        }
        if (a == DragToStart)
            SendMessageW(slider, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(channel.left, y));
        if (a == Drop) SendMessageW(slider, WM_LBUTTONUP, 0, MAKELPARAM(channel.left, y));
    }

    // Opens the dialog, checks what it shows, takes the steps and cancels; then the host has
    // been told of a new size of sizeChange frames (0: of nothing) and the log has logTexts.
    void scenario(const char* what, Host host, long size, const std::vector<Step>& steps,
                  long sizeChange = 0, std::initializer_list<const char*> logTexts = {}) {
        SCOPED_TRACE(what);
        start(host, size);
        open();
        if (HasFatalFailure()) return;
        EXPECT_EQ(windowText(GetDlgItem(dialog, IDC_DRIVER_NAME)),
                  host == Unregistered ? L"Static" : kRegisteredName);
        // The stored size or 3; the trackbar keeps within 2..30.
        int shown = host != Unregistered && size >= 0 ? size : 3;
        EXPECT_EQ(SendMessageW(slider, TBM_GETPOS, 0, 0), std::min(shown, 30));
        EXPECT_EQ(windowText(label), sizeLabel(shown));
        for (size_t i = 0; i < steps.size(); ++i) {
            act(steps[i].act, steps[i].vk);
            EXPECT_EQ(windowText(label), sizeLabel(steps[i].label)) << "after step " << i;
            EXPECT_EQ(stored(L"DefaultSizeInMS"), steps[i].size) << "after step " << i;
        }
        std::wstring kept = stored(L"DefaultSizeInMS");
        close(VK_ESCAPE);
        EXPECT_EQ(stored(L"DefaultSizeInMS"), kept);
        Messages told;
        if (sizeChange) told = {{kAsioBufferSizeChange, sizeChange}, {kAsioLatenciesChanged, 0}};
        EXPECT_EQ(hostMessages, told);
        std::exchange(driver, nullptr)->innerRelease(); // completes its log
        std::stringstream log;
        log << std::ifstream("I:\\VLASIOLog.txt", std::ios::binary).rdbuf();
        for (const char* text : logTexts)
            EXPECT_NE(log.str().find(text), std::string::npos) << text;
    }

    ASIOSrv* driver = nullptr;
    IAudioClient* stream = nullptr;
    std::future<ASIOError> panel;
    HWND dialog = nullptr, slider = nullptr, label = nullptr;
};

// {host, stored size, input} -> label and stored size after each step, then what the host
// was told and the log. A movement is stored when it ends, and Cancel keeps it; the host hears
// of a size that really changed, and only with a stream open.
TEST_F(ControlPanel, TrackbarStoresMovementsAndTellsTheHost) {
    scenario("untouched", Streaming, -1, {}, 0, {"ASIOSrv:::\tsize: 0 => 0 (asioMessage=0x"});
    scenario("out of range: shown as stored", Idle, 100, {{Key, VK_LEFT, 29, L"29"}});
    // 20 ms at 48 kHz: 960 frames, which the endpoint's 128-byte alignment takes as they are.
    scenario("stored when the key is released", Streaming, 10,
             {{KeyDown, VK_NEXT, 15, L"10"},
              {KeyUp, VK_NEXT, 15, L"15"},
              {KeyDown, VK_NEXT, 20, L"15"},
              {KeyUp, VK_NEXT, 20, L"20"}},
             960,
             {"ASIOSrv:::\tdefault size changed: 10 => 20 (0x",
              "ASIOSrv:::\tasioMessage(BufferSizeChange, 960) returned 1"});
    scenario("dragged, stored on release", Idle, -1,
             {{DragPastEnd, 0, 30, L"<none>"}, {DragToStart, 0, 2, L"<none>"}, {Drop, 0, 2, L"2"}},
             0, {"ASIOSrv:::\tsize: 0 => 2 (asioMessage=0x"});
    scenario("Home and End store the limits, leave the label", NoMessage, 10,
             {{KeyDown, VK_END, 10, L"10"}, {KeyUp, VK_END, 10, L"30"}, {Key, VK_HOME, 10, L"2"}},
             0, {"ASIOSrv:::\tsize: 10 => 2 (asioMessage=0x0) pDeviceUnk : 0x"});
    // 2 ms are 96 frames: the host hears of the size it would be offered, the smallest.
    scenario("on the grid offered", Offered, 10, {{Key, VK_HOME, 10, L"2"}}, 128,
             {"ASIOSrv:::\tasioMessage(BufferSizeChange, 128) returned 1"});
    scenario("away and back", Streaming, 10,
             {{Key, VK_RIGHT, 11, L"11"}, {Key, VK_LEFT, 10, L"10"}});
    scenario("no registered name: nothing read or stored", Unregistered, 10,
             {{Key, VK_END, 3, L"10"}, {Key, VK_LEFT, 29, L"10"}});
}

// Two endpoints a direction, the first of each the default.
const std::wstring kHeadsetOut = L"{0.0.0.00000000}.{headset-out}";
const std::wstring kHeadsetIn = L"{0.0.1.00000000}.{headset-in}";
const std::wstring kSpeakers = sim::defaultRender().id;

void configureHeadset() {
    sim::EndpointConfig out = sim::defaultRender(), in = sim::defaultCapture();
    out.id = kHeadsetOut;
    out.friendlyName = L"Headset Earphone (USB)";
    in.id = kHeadsetIn;
    in.friendlyName = L"Headset Microphone (USB)";
    sim::configure({sim::defaultRender(), out}, {sim::defaultCapture(), in});
}

// A step on a device list: its row selected from the keyboard and its check toggled with the
// space bar, or a click on the Up or Down button beside it.
struct ListStep {
    int control;
    int row;             // the row of a list, nothing for a button
    std::wstring stored; // the direction's list setting after the step
};

// The template (sixteen controls in order, 289 x 297 units, the 78 x 29 logo), then the device
// lists: {what is stored, which list} -> the rows shown, the list stored after each step, and
// what the host is told once the dialog closes. Checked rows are stored in the order shown,
// replacing the single choice; the system default alone, or nothing, is no list. A reset is
// asked for when the stored choice differs at the end, before a new size.
TEST_F(ControlPanel, TemplateAndDeviceLists) {
    configureHeadset();
    start(Streaming, 10);
    open();
    std::wstring controls; // class and identifier of each, as resource.h numbers them
    for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        wchar_t cls[64] = {};
        GetClassNameW(c, cls, 64);
        controls += std::wstring(cls) + L" " + std::to_wstring(GetDlgCtrlID(c)) + L"; ";
    }
    EXPECT_EQ(controls, L"Button 1; Static -1; Static -1; SysListView32 1005; Button 1009; "
                        L"Button 1010; Static -1; SysListView32 1006; Button 1011; Button 1012; "
                        L"Static -1; ComboBox 1007; "
                        L"msctls_trackbar32 1001; Static 1003; Static 1004; Static -1; ");
    RECT size = {0, 0, 289, 297}, client;
    MapDialogRect(dialog, &size);
    GetClientRect(dialog, &client);
    EXPECT_TRUE(EqualRect(&size, &client));
    HWND logo = GetWindow(GetDlgItem(dialog, IDOK), GW_HWNDNEXT);
    BITMAP bitmap{};
    GetObjectW(HGDIOBJ(SendMessageW(logo, STM_GETIMAGE, IMAGE_BITMAP, 0)), sizeof bitmap, &bitmap);
    EXPECT_EQ(std::make_pair(bitmap.bmWidth, bitmap.bmHeight), std::make_pair(78L, 29L));
    close(VK_RETURN);

    const std::wstring in = kHeadsetIn, out = kHeadsetOut;
    const std::wstring inputsAfter = L"[ ] What other programs play; "
                                     L"[ ] Microphone (Simulated HD Audio); ";
    const std::wstring loopbacksAfter = L"[ ] Speakers (Simulated HD Audio) loopback; "
                                        L"[ ] Headset Earphone (USB) loopback; ";
    struct Case {
        const char* what;
        const wchar_t* setting; // stored before, with its type
        DWORD type;
        std::wstring value;
        int list;
        std::wstring shown;
        std::vector<ListStep> steps;
        Messages told;
    };
    const Case cases[] = {
        {"two outputs checked, moved, unchecked: back to the default alone, no reset",
         nullptr, 0, L"", IDC_OUTPUT_DEVICES,
         L"[x] System default; [ ] Speakers (Simulated HD Audio); [ ] Headset Earphone (USB); ",
         {{IDC_OUTPUT_DEVICES, 2, L"default + " + out},
          {IDC_OUTPUT_UP, 0, L"default + " + out},
          {IDC_OUTPUT_UP, 0, out + L" + default"},
          {IDC_OUTPUT_DEVICES, 0, L"<none>"},
          {IDC_OUTPUT_UP, 0, L"<none>"}},
         {}},
        // The size moved too: the reset comes first.
        {"the single choice first, the default put before it, a loopback after it",
         L"CaptureEndpoint", REG_SZ, in, IDC_INPUT_DEVICES,
         L"[x] Headset Microphone (USB); [ ] System default; [ ] System default loopback; " +
             inputsAfter + loopbacksAfter,
         {{IDC_INPUT_DEVICES, 1, in + L" + default"},
          {IDC_INPUT_UP, 0, L"default + " + in},
          {IDC_INPUT_DOWN, 0, in + L" + default"},
          {IDC_INPUT_UP, 0, L"default + " + in},
          {IDC_INPUT_DEVICES, 5, L"default + " + in + L" + loopback:" + kSpeakers},
          {IDC_INPUT_DEVICES, 1, L"default + loopback:" + kSpeakers},
          {IDC_INPUT_DOWN, 0, L"default + loopback:" + kSpeakers}},
         {{kAsioResetRequest, 0}, {kAsioBufferSizeChange, 544}, {kAsioLatenciesChanged, 0}}},
        {"a listed device that is not there keeps its place; nothing checked is no list",
         L"CaptureEndpoints", REG_MULTI_SZ, L"{gone}" + std::wstring(1, L'\0') + in,
         IDC_INPUT_DEVICES,
         L"[x] {gone} (not connected); [x] Headset Microphone (USB); [ ] System default; "
         L"[ ] System default loopback; " +
             inputsAfter + loopbacksAfter,
         {{IDC_INPUT_DEVICES, 1, L"{gone}"}, {IDC_INPUT_DEVICES, 0, L"<none>"}},
         {{kAsioResetRequest, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        start(Streaming, 10);
        if (c.setting) storeText(c.setting, c.type, c.value);
        open();
        HWND list = GetDlgItem(dialog, c.list);
        EXPECT_EQ(rows(list), c.shown);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const ListStep& step = c.steps[i];
            HWND control = GetDlgItem(dialog, step.control);
            if (control == list) {
                SendMessageW(list, WM_KEYDOWN, VK_HOME, 1);
                for (int r = 0; r < step.row; ++r) SendMessageW(list, WM_KEYDOWN, VK_DOWN, 1);
                SendMessageW(list, WM_KEYDOWN, VK_SPACE, 1);
                SendMessageW(list, WM_KEYUP, VK_SPACE, 0xC0000001);
            } else {
                SendMessageW(control, BM_CLICK, 0, 0);
            }
            EXPECT_EQ(
                stored(c.list == IDC_INPUT_DEVICES ? L"CaptureEndpoints" : L"RenderEndpoints"),
                step.stored)
                << "after step " << i;
        }
        EXPECT_EQ(stored(L"RenderEndpoint") + stored(L"CaptureEndpoint"), L"<none><none>");
        if (c.told.size() > 1) act(Key, VK_RIGHT); // 11 ms: 544 frames
        close(VK_RETURN);
        EXPECT_EQ(hostMessages, c.told);
        std::exchange(driver, nullptr)->innerRelease(); // completes its log
        std::stringstream log;
        log << std::ifstream("I:\\VLASIOLog.txt", std::ios::binary).rdbuf();
        EXPECT_EQ(log.str().find("ASIOSrv:::\tendpoint changed: asioMessage(ResetRequest) "
                                 "returned 0") != std::string::npos,
                  !c.told.empty());
    }
}

// Copies an ID as init keeps it.
wchar_t* taskCopy(const std::wstring& id) {
    auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc((id.size() + 1) * sizeof(wchar_t)));
    wcscpy(copy, id.c_str());
    return copy;
}

// The mode list shows the stored mode (Automatic when there is none), stores a new one at once
// and has the host reset once the dialog closes. Beside each checked device, the mode init
// chose for it, and while the host streams whether it is bridged into the playback device's
// clock; a checked device init did not bind is not in use.
TEST_F(ControlPanel, ModeListAndEachDevicesMode) {
    start(Streaming, 10);
    driver->endpointId[kRender] = taskCopy(kSpeakers);
    driver->endpointId[kCapture] = taskCopy(sim::defaultCapture().id);
    driver->extraDevices[kCapture][0].id = taskCopy(kSpeakers);
    driver->extraDevices[kCapture][0].loopback = true;
    driver->extraCount[kCapture] = 1;
    stream->AddRef();
    driver->extraDevices[kCapture][0].audioClient = stream;
    driver->running = true;
    driver->bridging = true;
    storeText(L"CaptureEndpoints", REG_MULTI_SZ,
              L"default" + std::wstring(1, L'\0') + L"LOOPBACK:DEFAULT");
    open();
    EXPECT_EQ(rows(GetDlgItem(dialog, IDC_OUTPUT_DEVICES)),
              L"[x] System default (exclusive); [ ] Speakers (Simulated HD Audio); ");
    HWND inputs = GetDlgItem(dialog, IDC_INPUT_DEVICES);
    const std::wstring rest = L"[ ] Microphone (Simulated HD Audio); "
                              L"[ ] Speakers (Simulated HD Audio) loopback; ";
    EXPECT_EQ(rows(inputs), L"[x] System default (exclusive, bridged); "
                            L"[x] System default loopback (shared, bridged); "
                            L"[ ] What other programs play; " +
                                rest);
    SendMessageW(inputs, WM_KEYDOWN, VK_END, 1);
    SendMessageW(inputs, WM_KEYDOWN, VK_SPACE, 1);
    EXPECT_EQ(rows(inputs), L"[x] System default (exclusive, bridged); "
                            L"[x] System default loopback (shared, bridged); "
                            L"[ ] What other programs play; "
                            L"[ ] Microphone (Simulated HD Audio); "
                            L"[x] Speakers (Simulated HD Audio) loopback (shared, bridged); ");
    HWND modes = GetDlgItem(dialog, IDC_STREAM_MODE);
    EXPECT_EQ(SendMessageW(modes, CB_GETCOUNT, 0, 0), 3);
    EXPECT_EQ(SendMessageW(modes, CB_GETCURSEL, 0, 0), 0);
    SendMessageW(modes, WM_KEYDOWN, VK_END, 1);
    EXPECT_EQ(stored(L"StreamMode"), L"Shared");
    hostMessages.clear();
    close(VK_RETURN);
    EXPECT_EQ(hostMessages, (Messages{{kAsioResetRequest, 0}}));

    // Reopened, stopped: the stored mode selected; no bridge. Choosing the mode again, and
    // checking a device and unchecking it, change nothing.
    hostMessages.clear();
    driver->running = false;
    driver->shared[kRender] = true;
    open();
    EXPECT_EQ(SendMessageW(modes = GetDlgItem(dialog, IDC_STREAM_MODE), CB_GETCURSEL, 0, 0), 2);
    EXPECT_EQ(rows(GetDlgItem(dialog, IDC_OUTPUT_DEVICES)),
              L"[x] System default (shared); [ ] Speakers (Simulated HD Audio); ");
    inputs = GetDlgItem(dialog, IDC_INPUT_DEVICES);
    SendMessageW(inputs, WM_KEYDOWN, VK_END, 1);
    SendMessageW(inputs, WM_KEYDOWN, VK_UP, 1);
    SendMessageW(inputs, WM_KEYDOWN, VK_SPACE, 1);
    EXPECT_EQ(rows(inputs), L"[x] System default (exclusive); "
                            L"[x] System default loopback (shared); "
                            L"[x] Speakers (Simulated HD Audio) loopback (shared); "
                            L"[x] What other programs play (not in use); "
                            L"[ ] Microphone (Simulated HD Audio); ");
    SendMessageW(inputs, WM_KEYDOWN, VK_SPACE, 1);
    SendMessageW(modes, WM_KEYDOWN, VK_HOME, 1);
    SendMessageW(modes, WM_KEYDOWN, VK_END, 1);
    close(VK_RETURN);
    EXPECT_EQ(hostMessages, Messages{});
}

} // namespace
