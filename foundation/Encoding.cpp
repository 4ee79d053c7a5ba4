#include "foundation/Encoding.h"

#include <cerrno>
#include <cstdint>
#include <iconv.h>

namespace tq {

bool IsValidUtf8(std::string_view bytes) {
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        size_t len;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (size_t k = 1; k < len; ++k) {
            const unsigned char cc = static_cast<unsigned char>(bytes[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

std::string ServerTextToUtf8(std::string_view bytes) {
    if (IsValidUtf8(bytes)) return std::string(bytes);
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";
    iconv_t cd = iconv_open("UTF-8", "GB18030");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        // No converter: keep ASCII, mark everything else.
        std::string r;
        for (char c : bytes) {
            if (static_cast<unsigned char>(c) < 0x80) r += c;
            else r += kReplacement;
        }
        return r;
    }
    std::string r;
    r.reserve(bytes.size() * 3 / 2 + 4);
    std::string in(bytes);
    char* inPtr = in.data();
    size_t inLeft = in.size();
    char out[4096];
    while (inLeft > 0) {
        char* outPtr = out;
        size_t outLeft = sizeof out;
        const size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        r.append(out, static_cast<size_t>(outPtr - out));
        if (rc != static_cast<size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        // An undecodable or cut-off sequence: one replacement, then go on after its
        // first byte.
        r += kReplacement;
        ++inPtr;
        --inLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    return r;
}

} // namespace tq
