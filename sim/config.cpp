// The configuration file of the simulated endpoints (format in sim/README.md).
#include "sim/internal.h"

#include <cmath>
#include <cstdio>
#include <cwctype>
#include <map>
#include <set>
#include <sstream>
#include <utility>

namespace sim {

namespace {

std::wstring trim(const std::wstring& s) {
    size_t a = s.find_first_not_of(L" \t\r");
    if (a == std::wstring::npos) return L"";
    size_t b = s.find_last_not_of(L" \t\r");
    return s.substr(a, b - a + 1);
}

std::wstring lower(std::wstring s) {
    for (auto& c : s)
        c = wchar_t(towlower(c));
    return s;
}

std::vector<std::wstring> list(const std::wstring& s) {
    std::vector<std::wstring> out;
    std::wstringstream in(s);
    std::wstring item;
    while (std::getline(in, item, L','))
        if (!trim(item).empty()) out.push_back(trim(item));
    return out;
}

bool number(const std::wstring& s, unsigned long long* v) {
    if (s.empty()) return false;
    wchar_t* end = nullptr;
    *v = wcstoull(s.c_str(), &end, 0); // 0x.. for masks
    return end && *end == 0;
}

bool real(const std::wstring& s, double* v) {
    if (s.empty()) return false;
    wchar_t* end = nullptr;
    *v = wcstod(s.c_str(), &end);
    return end && *end == 0;
}

bool yesNo(const std::wstring& s, bool* v) {
    std::wstring l = lower(s);
    if (l == L"yes" || l == L"true" || l == L"1") return *v = true, true;
    if (l == L"no" || l == L"false" || l == L"0") return *v = false, true;
    return false;
}

std::wstring windowsPath(const std::wstring& p) {
    if (p.empty() || p[0] != L'/') return p;
    std::wstring w = L"Z:" + p;
    for (auto& c : w)
        if (c == L'/') c = L'\\';
    return w;
}

// The device format is given by parts; they are combined once the section is read.
struct FormatParts {
    unsigned long long rate = 48000, channels = 2, bits = 32, valid = 24, mask = 3;
    bool extensible = true;
    std::wstring mix = L"float";
};

bool applyKey(EndpointConfig& c, FormatParts& f, const std::wstring& key, const std::wstring& value,
              std::wstring* why) {
    unsigned long long n = 0;
    auto num = [&](unsigned long long* v) {
        if (number(value, v)) return true;
        *why = L"not a number: " + value;
        return false;
    };
    auto flag = [&](bool* v) {
        if (yesNo(value, v)) return true;
        *why = L"expected yes or no";
        return false;
    };
    // One of two words: the second sets *v.
    auto choice = [&](std::initializer_list<const wchar_t*> words, bool* v) {
        std::wstring l = lower(value);
        if (l == *words.begin() || l == *(words.begin() + 1)) return *v = l != *words.begin(), true;
        *why = std::wstring(L"expected ") + *words.begin() + L" or " + *(words.begin() + 1);
        return false;
    };
    if (key == L"present") return flag(&c.present);
    if (key == L"id") return c.id = value, true;
    if (key == L"description") return c.description = value, true;
    if (key == L"friendly_name") return c.friendlyName = value, true;
    if (key == L"default") return flag(&c.isDefault);
    if (key == L"unplug_file") return c.unplugFile = windowsPath(value), true;
    if (key == L"rate") return num(&f.rate);
    if (key == L"channels") return num(&f.channels);
    if (key == L"bits") return num(&f.bits);
    if (key == L"valid_bits") return num(&f.valid);
    if (key == L"mask") return num(&f.mask);
    if (key == L"extensible") {
        if (yesNo(value, &f.extensible)) return true;
        *why = L"expected yes or no";
        return false;
    }
    if (key == L"mix") {
        f.mix = lower(value);
        if (f.mix == L"float" || f.mix == L"device") return true;
        *why = L"expected float or device";
        return false;
    }
    if (key == L"layouts") {
        c.layouts.clear();
        for (auto& item : list(value)) {
            size_t colon = item.find(L':');
            unsigned long long ch = 0, mask = 0;
            if (colon == std::wstring::npos || !number(trim(item.substr(0, colon)), &ch) ||
                !number(trim(item.substr(colon + 1)), &mask)) {
                *why = L"expected channels:mask, got " + item;
                return false;
            }
            c.layouts.push_back({WORD(ch), DWORD(mask)});
        }
        return true;
    }
    if (key == L"rates") {
        c.rates.clear();
        for (auto& item : list(value)) {
            if (!number(item, &n)) return *why = L"not a rate: " + item, false;
            c.rates.push_back(DWORD(n));
        }
        return true;
    }
    if (key == L"sample_formats") {
        c.sampleFormats.clear();
        for (auto& item : list(value)) {
            size_t slash = item.find(L'/');
            unsigned long long bits = 0, valid = 0;
            if (slash == std::wstring::npos || !number(trim(item.substr(0, slash)), &bits) ||
                !number(trim(item.substr(slash + 1)), &valid)) {
                *why = L"expected bits/valid, got " + item;
                return false;
            }
            c.sampleFormats.push_back({WORD(bits), WORD(valid)});
        }
        return true;
    }
    if (key == L"default_period") return num(&n) && (c.defaultPeriod = REFERENCE_TIME(n), true);
    if (key == L"minimum_period") return num(&n) && (c.minimumPeriod = REFERENCE_TIME(n), true);
    if (key == L"maximum_duration") return num(&n) && (c.maximumDuration = REFERENCE_TIME(n), true);
    if (key == L"alignment") return num(&n) && (c.alignmentBytes = UINT32(n), true);
    // What a capture endpoint records, or (other_signal) what another program plays.
    auto signal = [&](Signal* out, bool loopbackToo) {
        static const std::pair<const wchar_t*, Signal> names[] = {{L"counter", Signal::Counter},
                                                                  {L"sine", Signal::Sine},
                                                                  {L"silence", Signal::Silence},
                                                                  {L"loopback", Signal::Loopback}};
        const std::wstring v = lower(value);
        for (const auto& [name, kind] : names)
            if (v == name && (loopbackToo || kind != Signal::Loopback)) return *out = kind, true;
        *why = loopbackToo ? L"expected counter, sine, loopback or silence"
                           : L"expected silence, sine or counter";
        return false;
    };
    if (key == L"signal") return signal(&c.signal, true);
    if (key == L"frame_rounding") return choice({L"nearest", L"up"}, &c.roundFramesUp);
    if (key == L"initialize_again") return flag(&c.initializeAgain);
    if (key == L"next_packet_size") return choice({L"packet", L"zero"}, &c.nextPacketSizeZero);
    if (key == L"current_padding") return choice({L"queued", L"zero"}, &c.paddingZero);
    if (key == L"exclusive") {
        std::wstring v = lower(value);
        if (v == L"allowed")
            c.exclusiveRefusal = S_OK;
        else if (v == L"forbidden")
            c.exclusiveRefusal = AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED;
        else if (v == L"in_use") // the older spelling of other_streams = exclusive
            c.exclusiveRefusal = AUDCLNT_E_DEVICE_IN_USE;
        else
            return *why = L"expected allowed, forbidden or in_use", false;
        return true;
    }
    if (key == L"other_streams") {
        std::wstring v = lower(value);
        if (v == L"none")
            c.otherStreams = OtherStreams::None;
        else if (v == L"shared")
            c.otherStreams = OtherStreams::Shared;
        else if (v == L"exclusive")
            c.otherStreams = OtherStreams::Exclusive;
        else
            return *why = L"expected none, shared or exclusive", false;
        return true;
    }
    if (key == L"other_signal") return signal(&c.otherSignal, false);
    if (key == L"loopback_events") return flag(&c.loopbackEvents);
    if (key == L"engine_periods") {
        std::vector<std::wstring> items = list(value);
        unsigned long long p[4] = {};
        bool ok = items.size() == 4;
        for (size_t i = 0; ok && i < 4; ++i)
            ok = number(items[i], &p[i]) && p[i] > 0 && p[i] <= 1000000;
        // default, fundamental, minimum, maximum: the default and both bounds on the grid
        ok = ok && p[2] <= p[0] && p[0] <= p[3] && p[0] % p[1] == 0 && p[2] % p[1] == 0 &&
             p[3] % p[1] == 0;
        if (!ok)
            return *why = L"expected default, fundamental, minimum, maximum in frames, the "
                          L"others multiples of the fundamental, minimum <= default <= maximum",
                   false;
        c.engineDefaultPeriod = UINT32(p[0]);
        c.engineFundamentalPeriod = UINT32(p[1]);
        c.engineMinimumPeriod = UINT32(p[2]);
        c.engineMaximumPeriod = UINT32(p[3]);
        return true;
    }
    if (key == L"audio_client3") {
        std::wstring v = lower(value);
        c.audioClient3NotImpl = v == L"notimpl";
        if (c.audioClient3NotImpl) return c.audioClient3 = true, true;
        if (yesNo(value, &c.audioClient3)) return true;
        return *why = L"expected yes, no or notimpl", false;
    }
    if (key == L"shared_buffer_periods") {
        if (real(value, &c.sharedBufferPeriods) && c.sharedBufferPeriods >= 1 &&
            c.sharedBufferPeriods <= 50)
            return true;
        return *why = L"expected periods from 1 to 50", false;
    }
    if (key == L"clock_position_step") return choice({L"frame", L"period"}, &c.positionPerPeriod);
    if (key == L"clock_qpc") return choice({L"position", L"call"}, &c.qpcAtCall);
    if (key == L"event_jitter_ms") {
        if (real(value, &c.eventJitterMs) && c.eventJitterMs >= 0 && c.eventJitterMs <= 100)
            return true;
        return *why = L"expected milliseconds from 0 to 100", false;
    }
    if (key == L"report_container") return flag(&c.reportContainer);
    if (key == L"container_id") {
        if (value.size() == 38 && value[0] == L'{' &&
            SUCCEEDED(IIDFromString(value.c_str(), &c.containerId)))
            return true;
        return *why = L"expected a GUID in braces, got " + value, false;
    }
    // Crystals are within a few hundred ppm; 5000 leaves room for a bad one and for tests.
    if (key == L"clock_ppm") {
        if (real(value, &c.clockPpm) && std::fabs(c.clockPpm) <= 5000) return true;
        return *why = L"expected ppm from -5000 to 5000", false;
    }
    if (key == L"clock_wander_ppm") {
        if (real(value, &c.clockWanderPpm) && c.clockWanderPpm >= 0 && c.clockWanderPpm <= 5000)
            return true;
        return *why = L"expected ppm from 0 to 5000", false;
    }
    if (key == L"clock_wander_seconds") {
        if (real(value, &c.clockWanderSeconds) && c.clockWanderSeconds >= 1) return true;
        return *why = L"expected seconds, at least 1", false;
    }
    if (key == L"clock_phase") {
        if (real(value, &c.clockPhase) && c.clockPhase >= 0 && c.clockPhase < 1) return true;
        return *why = L"expected a fraction of a period, 0 to below 1", false;
    }
    if (key == L"packet_flags") {
        c.packetFlags = 0;
        for (auto& item : list(lower(value))) {
            if (item == L"silent")
                c.packetFlags |= AUDCLNT_BUFFERFLAGS_SILENT;
            else if (item == L"discontinuity")
                c.packetFlags |= AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
            else if (item == L"timestamp_error")
                c.packetFlags |= AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR;
            else
                return *why = L"expected silent, discontinuity or timestamp_error, got " + item,
                       false;
        }
        return true;
    }
    if (key == L"start_late") {
        if (number(value, &n) && n <= 100) return c.startLatePeriods = UINT32(n), true;
        return *why = L"expected periods, 0 to 100", false;
    }
    if (key == L"clock_stall") {
        // "AFTER, LENGTH" in milliseconds.
        const size_t comma = value.find(L',');
        unsigned long long after = 0, length = 0;
        std::wstring second = comma == std::wstring::npos ? L"" : value.substr(comma + 1);
        while (!second.empty() && second[0] == L' ')
            second.erase(0, 1);
        if (comma != std::wstring::npos && number(value.substr(0, comma), &after) &&
            number(second, &length) && after <= 600000 && length >= 1 && length <= 10000) {
            c.clockStallAfterMs = DWORD(after);
            c.clockStallMs = DWORD(length);
            return true;
        }
        return *why = L"expected milliseconds after Start, then the stall's length (1 to 10000)",
               false;
    }
    if (key == L"packet_flags_every") return num(&n) && (c.packetFlagsEvery = UINT32(n), true);
    if (key == L"first_packet_discontinuity") return flag(&c.firstPacketDiscontinuity);
    if (key == L"loopback_delay") return num(&n) && (c.loopbackDelayFrames = UINT32(n), true);
    if (key == L"hears") {
        if (number(value, &n) && n >= 1 && n <= 16) return c.hears = UINT32(n), true;
        return *why = L"expected the place of a render endpoint, 1 to 16", false;
    }
    if (key == L"sine_hz") {
        if (real(value, &c.sineHz)) return true;
        return *why = L"not a number: " + value, false;
    }
    if (key == L"sine_amplitude") {
        if (real(value, &c.sineAmplitude)) return true;
        return *why = L"not a number: " + value, false;
    }
    *why = L"unknown key " + key;
    return false;
}

void finish(EndpointConfig& c, const FormatParts& f) {
    if (f.extensible)
        c.deviceFormat = extensibleFormat(DWORD(f.rate), WORD(f.channels), WORD(f.bits),
                                          WORD(f.valid), DWORD(f.mask));
    else
        c.deviceFormat = pcmFormat(DWORD(f.rate), WORD(f.channels), WORD(f.bits));
    if (f.mix == L"device")
        c.mixFormat = c.deviceFormat;
    else
        c.mixFormat =
            extensibleFormat(DWORD(f.rate), WORD(f.channels), 32, 32, DWORD(f.mask), true);
}

} // namespace

bool loadConfigFile(const std::wstring& path, std::wstring* error) {
    std::wstring dummy;
    std::wstring& err = error ? *error : dummy;
    FILE* file = _wfopen(windowsPath(path).c_str(), L"rb");
    if (!file) {
        err = L"cannot open " + path;
        return false;
    }
    std::string bytes;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, file)) > 0;)
        bytes.append(buf, n);
    fclose(file);
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
    std::wstring text(bytes.size(), L'\0');
    int len = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), int(bytes.size()), &text[0],
                                  int(text.size()));
    text.resize(size_t(len > 0 ? len : 0));

    // [render] and [capture] are the first endpoint of each direction, [render.N] and
    // [capture.N] (N from 2) more of them, listed in the order of N.
    struct Section {
        EndpointConfig cfg;
        FormatParts parts;
    };
    std::map<int, Section> endpoints[2];
    endpoints[0][1].cfg = defaultRender();
    endpoints[1][1].cfg = defaultCapture();
    Clock clock = Clock::Realtime;
    Section* section = nullptr;
    bool simSection = false;
    std::wstringstream in(text);
    std::wstring line;
    for (int lineNo = 1; std::getline(in, line); ++lineNo) {
        auto where = [&](const std::wstring& why) {
            err = path + L":" + std::to_wstring(lineNo) + L": " + why;
            return false;
        };
        // A comment runs from # or ; at the start of a line or after a blank to its end.
        for (size_t i = 0; i < line.size(); ++i)
            if ((line[i] == L'#' || line[i] == L';') && (i == 0 || iswspace(line[i - 1]))) {
                line.erase(i);
                break;
            }
        line = trim(line);
        if (line.empty()) continue;
        if (line[0] == L'[') {
            std::wstring name = lower(trim(line.substr(1, line.find(L']') - 1)));
            if (line.back() != L']') return where(L"expected [section]");
            simSection = name == L"sim";
            section = nullptr;
            if (simSection) continue;
            size_t dot = name.find(L'.');
            std::wstring base = name.substr(0, dot);
            unsigned long long n = 1;
            if (base != L"render" && base != L"capture") return where(L"unknown section " + name);
            if (dot != std::wstring::npos && (!number(name.substr(dot + 1), &n) || n < 2 ||
                                              n > 16 || name.substr(dot + 1) != std::to_wstring(n)))
                return where(L"expected " + base + L".N with N from 2 to 16");
            int flow = base == L"render" ? 0 : 1;
            auto it = endpoints[flow].find(int(n));
            if (it == endpoints[flow].end()) {
                // Another endpoint: the defaults of the direction, under an ID of its own.
                Section extra;
                extra.cfg = flow == 0 ? defaultRender() : defaultCapture();
                std::wstring& id = extra.cfg.id;
                wchar_t last[4];
                swprintf(
                    last, 4, L"%02x",
                    unsigned(wcstoul(id.substr(id.size() - 3, 2).c_str(), nullptr, 16) + n - 1));
                id.replace(id.size() - 3, 2, last);
                extra.cfg.containerId.Data4[7] = BYTE(extra.cfg.containerId.Data4[7] + n - 1);
                it = endpoints[flow].emplace(int(n), extra).first;
            }
            section = &it->second;
            continue;
        }
        size_t eq = line.find(L'=');
        if (eq == std::wstring::npos) return where(L"expected key = value");
        std::wstring key = lower(trim(line.substr(0, eq))), value = trim(line.substr(eq + 1));
        if (!section && !simSection) return where(L"key outside a section");
        if (simSection) {
            if (key != L"clock") return where(L"unknown key " + key);
            std::wstring v = lower(value);
            if (v == L"realtime")
                clock = Clock::Realtime;
            else if (v == L"manual")
                clock = Clock::Manual;
            else
                return where(L"expected realtime or manual");
            continue;
        }
        std::wstring why;
        if (!applyKey(section->cfg, section->parts, key, value, &why)) return where(why);
    }
    std::vector<EndpointConfig> lists[2];
    std::set<std::wstring> ids;
    // A device has one clock: its endpoints must not say two different things about it.
    std::vector<const EndpointConfig*> devices;
    for (int i = 0; i < 2; ++i)
        for (auto& [n, sec] : endpoints[i]) {
            const EndpointConfig& c = sec.cfg;
            if (!c.present) continue;
            if (std::fabs(c.clockPpm) + c.clockWanderPpm > 5000)
                return err = path + L": " + c.id +
                             L": clock_ppm and clock_wander_ppm add up to more than 5000",
                       false;
            const EndpointConfig* same = nullptr;
            for (const EndpointConfig* d : devices)
                if (IsEqualGUID(d->containerId, c.containerId)) same = d;
            if (!same)
                devices.push_back(&c);
            else if (same->clockPpm != c.clockPpm || same->clockWanderPpm != c.clockWanderPpm ||
                     same->clockWanderSeconds != c.clockWanderSeconds)
                return err = path + L": " + same->id + L" and " + c.id +
                             L" share a container_id (one device, one clock) but not their "
                             L"clock_ppm and clock_wander",
                       false;
        }
    for (int i = 0; i < 2; ++i) {
        int defaults = 0;
        for (auto& [n, sec] : endpoints[i]) {
            finish(sec.cfg, sec.parts);
            if (sec.cfg.present && !ids.insert(sec.cfg.id).second)
                return err = path + L": two endpoints have the id " + sec.cfg.id, false;
            if (sec.cfg.present && sec.cfg.isDefault && ++defaults > 1)
                return err = path + L": two " + (i ? L"capture" : L"render") +
                             L" endpoints are marked default",
                       false;
            // A gap in the numbers keeps each N at its place (capture.N hears render.N).
            while (lists[i].size() + 1 < size_t(n)) {
                lists[i].push_back(i ? defaultCapture() : defaultRender());
                lists[i].back().present = false;
            }
            lists[i].push_back(sec.cfg);
        }
    }
    configure(lists[0], lists[1]);
    setClock(clock);
    return true;
}

} // namespace sim
