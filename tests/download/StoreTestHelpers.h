#pragma once
// Helpers of the download store tests: hex dumps, record bytes, a file-size limit
// that makes writes past a size fail (a disk that is full).

#include <csignal>
#include <cstdint>
#include <string>
#include <sys/resource.h>

namespace tq::test {

inline std::string HexOf(const std::string& bytes) {
    static const char* d = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty()) out += ' ';
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

// "FF FF 00" or "FFFF00" (spaces ignored) to bytes.
inline std::string BytesOf(const std::string& hex) {
    std::string digits, out;
    for (char c : hex)
        if (c != ' ' && c != '\n') digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
    return out;
}

inline int32_t IntAt(const std::string& bytes, size_t offset) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes.at(offset + i));
    return static_cast<int32_t>(v);
}

// While alive, no file of this process can grow past maxBytes.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t maxBytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old_);
        struct rlimit lim = old_;
        lim.rlim_cur = maxBytes;
        setrlimit(RLIMIT_FSIZE, &lim);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &old_); }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
private:
    struct rlimit old_ {};
};

} // namespace tq::test
