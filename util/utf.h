// UTF-8 <-> UTF-16, one code point at a time and whole strings: the one
// conversion shared by the library, agentcli, the reference agent and the
// tests. UTF-8 is read strictly (malformed, truncated and overlong
// sequences, surrogates and values beyond U+10FFFF are refused); what an
// unpaired surrogate becomes on the way to UTF-8 is the caller's choice.
#ifndef AGENT_UTIL_UTF_H
#define AGENT_UTIL_UTF_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace agent {
namespace util {

// One code point from the UTF-8 bytes at p, p moved past what was read.
// False for anything that is not UTF-8.
inline bool DecodeUtf8(const unsigned char *&p, const unsigned char *end, uint32_t &cp)
{
    const unsigned char c = *p++;
    if (c < 0x80) {
        cp = c;
        return true;
    }
    int extra;
    uint32_t least;
    if ((c & 0xE0) == 0xC0) {
        extra = 1;
        cp = c & 0x1F;
        least = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        extra = 2;
        cp = c & 0x0F;
        least = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        extra = 3;
        cp = c & 0x07;
        least = 0x10000;
    } else {
        return false;
    }
    if (end - p < extra)
        return false;
    for (int i = 0; i < extra; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return false;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    p += extra;
    return cp >= least && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
}

// One code point from the UTF-16 units at in[i], i moved past it. An
// unpaired surrogate comes back as itself, with `lone` set.
template <typename Unit>
uint32_t DecodeUtf16(const Unit *in, size_t units, size_t &i, bool &lone)
{
    const uint32_t first = static_cast<uint16_t>(in[i++]);
    lone = false;
    if (first >= 0xD800 && first <= 0xDBFF && i < units) {
        const uint32_t second = static_cast<uint16_t>(in[i]);
        if (second >= 0xDC00 && second <= 0xDFFF) {
            ++i;
            return 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
        }
    }
    lone = first >= 0xD800 && first <= 0xDFFF;
    return first;
}

// cp as UTF-8: the byte count, 1 to 4.
inline int EncodeUtf8(uint32_t cp, unsigned char (&bytes)[4])
{
    if (cp < 0x80) {
        bytes[0] = static_cast<unsigned char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        bytes[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
        bytes[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        bytes[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
        bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        bytes[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 3;
    }
    bytes[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
    bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
    bytes[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    bytes[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 4;
}

// cp as UTF-16: the unit count, 1 or 2.
template <typename Unit>
int EncodeUtf16(uint32_t cp, Unit (&units)[2])
{
    if (cp < 0x10000) {
        units[0] = static_cast<Unit>(cp);
        return 1;
    }
    cp -= 0x10000;
    units[0] = static_cast<Unit>(0xD800 + (cp >> 10));
    units[1] = static_cast<Unit>(0xDC00 + (cp & 0x3FF));
    return 2;
}

// What an unpaired surrogate becomes on the way to UTF-8: a failure, or
// U+FFFD as Windows writes it.
enum class LoneSurrogate { Fail, Replace };

// The first `units` units of `in` as UTF-8 in `out`; false (out partly
// filled) for an unpaired surrogate under LoneSurrogate::Fail. Written in
// place into room for the most a unit can take (3 bytes), cut to what it
// took: names are converted by the thousand.
template <typename Unit>
bool Utf16ToUtf8(const Unit *in, size_t units, std::string &out, LoneSurrogate policy)
{
    out.clear();
    out.reserve(3 * units); // exactly: resize alone would round a string's room up
    out.resize(3 * units);
    char *const start = &out[0];
    char *at = start;
    bool whole = true;
    for (size_t i = 0; i < units;) {
        const uint32_t unit = static_cast<uint16_t>(in[i]);
        if (unit < 0x80) {
            *at++ = static_cast<char>(unit);
            ++i;
            continue;
        }
        bool lone = false;
        uint32_t cp = DecodeUtf16(in, units, i, lone);
        if (lone) {
            if (policy == LoneSurrogate::Fail) {
                whole = false;
                break;
            }
            cp = 0xFFFD;
        }
        unsigned char bytes[4];
        const int count = EncodeUtf8(cp, bytes);
        for (int k = 0; k < count; ++k)
            *at++ = static_cast<char>(bytes[k]);
    }
    out.resize(static_cast<size_t>(at - start));
    return whole;
}

// The first `length` bytes of `in` as UTF-16 in `out`; false (out partly
// filled) for bytes that are not UTF-8. A byte gives at most one unit.
template <typename Unit>
bool Utf8ToUtf16(const char *in, size_t length, std::basic_string<Unit> &out)
{
    out.clear();
    out.reserve(length);
    out.resize(length);
    Unit *const start = &out[0];
    Unit *at = start;
    auto *p = reinterpret_cast<const unsigned char *>(in);
    const unsigned char *end = p + length;
    bool whole = true;
    while (p < end) {
        if (*p < 0x80) {
            *at++ = static_cast<Unit>(*p++);
            continue;
        }
        uint32_t cp = 0;
        if (!DecodeUtf8(p, end, cp)) {
            whole = false;
            break;
        }
        Unit units[2];
        const int count = EncodeUtf16(cp, units);
        for (int k = 0; k < count; ++k)
            *at++ = units[k];
    }
    out.resize(static_cast<size_t>(at - start));
    return whole;
}

} // namespace util
} // namespace agent

#endif
