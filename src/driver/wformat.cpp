#include "driver/wformat.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace vl {
namespace {

// Appends to a bounded destination, remembering whether anything was cut.
class Sink {
  public:
    Sink(wchar_t* dest, size_t limit) : dest_(dest), limit_(limit) {}

    void put(wchar_t c) {
        if (len_ < limit_)
            dest_[len_++] = c;
        else
            cut_ = true;
    }
    void fill(wchar_t c, size_t n) {
        while (n--) put(c);
    }
    template <typename Char> void putText(const Char* s, size_t n) {
        for (size_t i = 0; i < n; ++i) put(widen(s[i]));
    }
    bool cut() const { return cut_; }
    size_t length() const { return len_; }

  private:
    static wchar_t widen(char c) { return static_cast<wchar_t>(static_cast<unsigned char>(c)); }
    static wchar_t widen(wchar_t c) { return c; }

    wchar_t* dest_;
    size_t limit_;
    size_t len_ = 0;
    bool cut_ = false;
};

struct Spec {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    int width = 0;
    int precision = -1;
    enum Size { Default, Short, Long, LongLong, SizeT } size = Default;
    bool wideString = false, narrowString = false;
};

template <typename Char> size_t textLength(const Char* s, int precision) {
    size_t n = 0;
    while ((precision < 0 || n < static_cast<size_t>(precision)) && s[n]) ++n;
    return n;
}

template <typename Char> void putPadded(Sink& out, const Spec& spec, const Char* s, size_t n) {
    size_t pad = spec.width > 0 && static_cast<size_t>(spec.width) > n ? spec.width - n : 0;
    if (!spec.left) out.fill(L' ', pad);
    out.putText(s, n);
    if (spec.left) out.fill(L' ', pad);
}

// Numbers go through the C library's narrow printf with a plain C99 conversion, which means
// the same on every runtime; only the result is widened.
void putNumber(Sink& out, const Spec& spec, char conversion, va_list* args, bool* ok) {
    char fmt[32];
    char* p = fmt;
    *p++ = '%';
    if (spec.left) *p++ = '-';
    if (spec.plus) *p++ = '+';
    if (spec.space) *p++ = ' ';
    if (spec.alt) *p++ = '#';
    if (spec.zero) *p++ = '0';
    p += std::snprintf(p, 24, "%d", spec.width);
    if (spec.precision >= 0) p += std::snprintf(p, 12, ".%d", spec.precision);

    char text[512];
    int n = -1;
    switch (conversion) {
    case 'd': case 'i': case 'u': case 'x': case 'X': case 'o': {
        bool isSigned = conversion == 'd' || conversion == 'i';
        std::strcpy(p, "ll");
        p[2] = conversion;
        p[3] = 0;
        long long value;
        switch (spec.size) {
        case Spec::LongLong:
            value = va_arg(*args, long long);
            break;
        case Spec::SizeT:
            value = static_cast<long long>(va_arg(*args, size_t));
            break;
        default: {
            // Plain, h and l are 32 bits here, as "long" is on Windows.
            int32_t v = static_cast<int32_t>(va_arg(*args, int));
            if (spec.size == Spec::Short) v = isSigned ? static_cast<int16_t>(v)
                                                       : static_cast<uint16_t>(v);
            value = isSigned ? static_cast<long long>(v)
                             : static_cast<long long>(static_cast<uint32_t>(v));
            break;
        }
        }
        n = isSigned ? std::snprintf(text, sizeof text, fmt, value)
                     : std::snprintf(text, sizeof text, fmt, static_cast<unsigned long long>(value));
        break;
    }
    case 'p': {
        // Microsoft prints a pointer as upper-case hex padded to the pointer's width.
        std::snprintf(text, sizeof text, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                      static_cast<unsigned long long>(
                          reinterpret_cast<uintptr_t>(va_arg(*args, void*))));
        putPadded(out, spec, text, std::strlen(text));
        return;
    }
    default: { // floating point
        p[0] = conversion;
        p[1] = 0;
        n = std::snprintf(text, sizeof text, fmt, va_arg(*args, double));
        break;
    }
    }
    if (n < 0) {
        *ok = false;
        return;
    }
    // A result longer than the scratch buffer is itself cut: report it as such.
    if (static_cast<size_t>(n) >= sizeof text) {
        n = sizeof text - 1;
        *ok = false;
    }
    out.putText(text, static_cast<size_t>(n));
}

// Returns false for a malformed format.
bool formatInto(Sink& out, const wchar_t* f, va_list* args) {
    static const char kNull[] = "(null)";
    bool ok = true;
    while (*f) {
        if (*f != L'%') {
            out.put(*f++);
            continue;
        }
        ++f;
        if (*f == L'%') {
            out.put(L'%');
            ++f;
            continue;
        }
        Spec spec;
        for (;; ++f) {
            if (*f == L'-') spec.left = true;
            else if (*f == L'+') spec.plus = true;
            else if (*f == L' ') spec.space = true;
            else if (*f == L'#') spec.alt = true;
            else if (*f == L'0') spec.zero = true;
            else break;
        }
        if (*f == L'*') {
            spec.width = va_arg(*args, int);
            if (spec.width < 0) {
                spec.left = true;
                spec.width = -spec.width;
            }
            ++f;
        } else {
            while (*f >= L'0' && *f <= L'9') spec.width = spec.width * 10 + (*f++ - L'0');
        }
        if (*f == L'.') {
            ++f;
            spec.precision = 0;
            if (*f == L'*') {
                spec.precision = va_arg(*args, int);
                ++f;
            } else {
                while (*f >= L'0' && *f <= L'9')
                    spec.precision = spec.precision * 10 + (*f++ - L'0');
            }
        }
        if (spec.width > 4096 || spec.precision > 4096) return false;
        // Size prefixes, including Microsoft's I32, I64, w (wide) and h (narrow) for strings.
        if (f[0] == L'l' && f[1] == L'l') {
            spec.size = Spec::LongLong;
            f += 2;
        } else if (f[0] == L'I' && f[1] == L'6' && f[2] == L'4') {
            spec.size = Spec::LongLong;
            f += 3;
        } else if (f[0] == L'I' && f[1] == L'3' && f[2] == L'2') {
            f += 3;
        } else if (*f == L'l') {
            spec.size = Spec::Long;
            spec.wideString = true;
            ++f;
        } else if (*f == L'w') {
            spec.wideString = true;
            ++f;
        } else if (*f == L'h') {
            spec.size = Spec::Short;
            spec.narrowString = true;
            ++f;
        } else if (*f == L'z' || *f == L'I') {
            spec.size = Spec::SizeT;
            ++f;
        }
        wchar_t c = *f++;
        switch (c) {
        case L's':
        case L'S': {
            // In a wide format %s is wide and %S narrow, unless a size prefix says otherwise.
            bool wide = spec.wideString || (!spec.narrowString && c == L's');
            if (wide) {
                const wchar_t* s = va_arg(*args, const wchar_t*);
                if (!s) putPadded(out, spec, kNull, textLength(kNull, spec.precision));
                else putPadded(out, spec, s, textLength(s, spec.precision));
            } else {
                const char* s = va_arg(*args, const char*);
                if (!s) s = kNull;
                putPadded(out, spec, s, textLength(s, spec.precision));
            }
            break;
        }
        case L'c':
        case L'C': {
            bool wide = spec.wideString || (!spec.narrowString && c == L'c');
            int v = va_arg(*args, int);
            wchar_t ch = wide ? static_cast<wchar_t>(v)
                              : static_cast<wchar_t>(static_cast<unsigned char>(v));
            putPadded(out, spec, &ch, 1);
            break;
        }
        case L'd': case L'i': case L'u': case L'x': case L'X': case L'o':
        case L'f': case L'F': case L'e': case L'E': case L'g': case L'G':
        case L'a': case L'A': case L'p':
            putNumber(out, spec, static_cast<char>(c), args, &ok);
            break;
        default:
            // %n, an unknown conversion, or the format ending inside a specification.
            return false;
        }
    }
    return ok;
}

} // namespace

int32_t vformatBounded(wchar_t* dest, size_t capacity, const wchar_t* format, va_list args) {
    if (capacity == 0 || capacity > 2147483647u) return kFormatInvalidArg;
    Sink out(dest, capacity - 1);
    va_list copy;
    va_copy(copy, args);
    bool ok = formatInto(out, format, &copy);
    va_end(copy);
    dest[out.length()] = L'\0';
    return ok && !out.cut() ? kFormatOk : kFormatInsufficient;
}

int32_t formatBounded(wchar_t* dest, size_t capacity, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    int32_t hr = vformatBounded(dest, capacity, format, args);
    va_end(args);
    return hr;
}

size_t formatLogLine(char* out, size_t capacity, uint32_t elapsed, const wchar_t* message) {
    if (capacity == 0) return 0;
    int n = std::snprintf(out, capacity, "%d.%03d ", static_cast<int>(elapsed / 1000),
                          static_cast<int>(elapsed % 1000));
    size_t len = n < 0 ? 0 : static_cast<size_t>(n);
    if (len >= capacity) len = capacity - 1;
    for (const wchar_t* m = message; m && *m && len + 2 < capacity; ++m) {
        unsigned long u = static_cast<unsigned long>(*m);
        out[len++] = u < 256 ? static_cast<char>(u) : '?';
    }
    if (len + 1 < capacity) out[len++] = '\n';
    out[len] = '\0';
    return len;
}

} // namespace vl
