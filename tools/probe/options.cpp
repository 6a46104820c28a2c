#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace probe {

const char kUsage[] =
    "usage: vlasio-probe --list\n"
    "       vlasio-probe DRIVER [options]\n"
    "       vlasio-probe DRIVER --panel\n"
    "\n"
    "DRIVER is a name from the ASIO driver list (see --list) or a CLSID in braces.\n"
    "The probe creates the driver as hosts do, reports what it offers, streams a click\n"
    "track through it while recording the inputs, and reports how the stream went.\n"
    "\n"
    "  --list            list the drivers under HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO\n"
    "  --buffer FRAMES   buffer size (default: the driver's preferred size)\n"
    "  --rate HZ         sample rate to set first (default: the driver's current rate)\n"
    "  --channels N      stream N inputs and N outputs (default 2); IN,OUT sets each\n"
    "  --first-channel K stream channels from index K on (default 0), in each direction\n"
    "  --seconds S       how long to stream (default 3)\n"
    "  --no-timeinfo     answer no when the driver offers bufferSwitchTimeInfo\n"
    "  --no-output-ready never call outputReady (hosts call it after filling the outputs)\n"
    "  --stall N         make one buffer switch, a second into the stream, last N periods\n"
    "                    more: a dropout on purpose, to see how the driver reports it\n"
    "  --wav PATH        where to write the recorded inputs (default inputs.wav)\n"
    "  --sine            play a 997 Hz sine at -6 dBFS on every output instead of the\n"
    "                    clicks; with the outputs looped back to the inputs by a cable,\n"
    "                    report each input's noise and distortion (SNR, THD), frequency\n"
    "                    and how much the delay through the loop wandered\n"
    "  --find-minimum    stream --seconds at each buffer size from the driver's minimum\n"
    "                    up through its preferred one; report the smallest that runs with\n"
    "                    no missed switch and, where the endpoint reports it, more than a\n"
    "                    quarter of a period to spare in every period (exit status 1 when\n"
    "                    none does)\n"
    "  --panel           open the driver's control panel, as a host's ASIO settings\n"
    "                    button does; report what it returned once it is closed\n"
    "\n"
    "Exit status: 0 when every step succeeded and every buffer switch arrived in order,\n"
    "1 when something failed, 2 for a malformed command line, 3 when the process crashed\n"
    "(in the driver, as a rule), 4 when a driver call did not return within 10 s.\n";

namespace {

bool parseLong(const std::string& text, long lo, long hi, long* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno || *end || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool parseDouble(const std::string& text, double lo, double hi, double* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (*end || !std::isfinite(v) || v < lo || v > hi) return false;
    *out = v;
    return true;
}

} // namespace

bool parseOptions(const std::vector<std::string>& args, Options* o, std::string* error) {
    *o = Options();
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* v) {
            if (i + 1 >= args.size()) {
                *error = a + " needs a value";
                return false;
            }
            *v = args[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h" || a == "/?") {
            o->help = true;
        } else if (a == "--list") {
            o->list = true;
        } else if (a == "--find-minimum") {
            o->findMinimum = true;
        } else if (a == "--panel") {
            o->panel = true;
        } else if (a == "--sine") {
            o->sine = true;
        } else if (a == "--no-timeinfo") {
            o->timeInfo = false;
        } else if (a == "--no-output-ready") {
            o->outputReady = false;
        } else if (a == "--stall") {
            if (!value(&v)) return false;
            if (!parseLong(v, 1, 100, &o->stallPeriods)) {
                *error = "--stall wants a number of periods from 1 to 100, not \"" + v + "\"";
                return false;
            }
        } else if (a == "--buffer") {
            if (!value(&v)) return false;
            if (!parseLong(v, 1, 1 << 20, &o->buffer)) {
                *error = "--buffer wants a frame count from 1 to 1048576, not \"" + v + "\"";
                return false;
            }
        } else if (a == "--rate") {
            if (!value(&v)) return false;
            if (!parseDouble(v, 1000, 1e7, &o->rate)) {
                *error = "--rate wants a sample rate in Hz, not \"" + v + "\"";
                return false;
            }
        } else if (a == "--channels") {
            if (!value(&v)) return false;
            size_t comma = v.find(',');
            bool ok = comma == std::string::npos
                          ? parseLong(v, 0, 64, &o->inputs) && parseLong(v, 0, 64, &o->outputs)
                          : parseLong(v.substr(0, comma), 0, 64, &o->inputs) &&
                                parseLong(v.substr(comma + 1), 0, 64, &o->outputs);
            if (!ok || o->inputs + o->outputs == 0) {
                *error = "--channels wants N or IN,OUT (0 to 64, not both 0), not \"" + v + "\"";
                return false;
            }
        } else if (a == "--first-channel") {
            if (!value(&v)) return false;
            if (!parseLong(v, 0, 63, &o->firstChannel)) {
                *error = "--first-channel wants a channel index from 0 to 63, not \"" + v + "\"";
                return false;
            }
        } else if (a == "--seconds") {
            if (!value(&v)) return false;
            if (!parseDouble(v, 0.1, 3600, &o->seconds)) {
                *error = "--seconds wants a duration from 0.1 to 3600, not \"" + v + "\"";
                return false;
            }
        } else if (a == "--wav") {
            if (!value(&v)) return false;
            if (v.empty()) {
                *error = "--wav wants a file name";
                return false;
            }
            o->wavPath = v;
        } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
            *error = "unknown option " + a;
            return false;
        } else if (o->driver.empty()) {
            o->driver = a;
        } else {
            *error = "one driver at a time (\"" + o->driver + "\" and \"" + a + "\")";
            return false;
        }
    }
    if (o->findMinimum && o->buffer > 0) {
        *error = "--find-minimum tries the driver's sizes itself; leave out --buffer";
        return false;
    }
    if (o->sine && o->findMinimum) {
        *error = "--find-minimum times its own clicks; leave out --sine";
        return false;
    }
    if (o->panel && o->findMinimum) {
        *error = "--panel streams nothing; leave out --find-minimum";
        return false;
    }
    if (!o->help && !o->list && o->driver.empty()) {
        *error = "name a driver, or use --list";
        return false;
    }
    return true;
}

} // namespace probe
