#include "ftp/FtpMange.h"

#include <cstdlib>

namespace tq {

namespace {

// The user's documents folder: XDG_DOCUMENTS_DIR is not read here (that needs the
// user-dirs file); HOME/Documents when HOME is known, else the temporary folder.
std::string DefaultLocalPath() {
    const char* home = std::getenv("HOME");
    if (home && *home) return std::string(home) + "/Documents";
    return "/tmp";
}

constexpr std::array<int32_t, kSiteOptionCount> kDefaultOptions = {
    1, 0, 1, 0, 0, 1, 6, 5, 1, 1,      // 0..9
    5000, 0, 1, 0, 1, 0, 3, 7, 1, 0,   // 10..19
    1, 0, 0, 0, 0, 0, 0, 0, 0,         // 20..28
    0, 0, 0, 0, 0, 0,                  // 29..34 reserved
};

} // namespace

std::unique_ptr<TFTPMangeData> NewFTPMangeData() {
    auto d = std::make_unique<TFTPMangeData>();
    d->Options = kDefaultOptions;
    d->PassWord = kAnonymousPassword;
    d->LocalPath = DefaultLocalPath();
    return d;
}

void FreeFTPMangeData(std::unique_ptr<TFTPMangeData>& data) { data.reset(); }

void CopyFTPMangeData(const TFTPMangeData& from, TFTPMangeData& to, bool full) {
    const int32_t dataPos = to.DataPos;
    const TFTPSessionState session = to.Session;
    to = from;
    if (!full) {
        to.DataPos = dataPos;
        to.Session = session;
    }
}

int32_t GetSiteOption(const TFTPMangeData& data, int slot) {
    if (slot < 0 || slot >= kSiteOptionCount) return 0;
    return data.Options[size_t(slot)];
}

bool SetSiteOption(TFTPMangeData& data, int slot, int32_t value) {
    if (slot < 0 || slot >= kSiteOptionCount) return false;
    data.Options[size_t(slot)] = value;
    return true;
}

} // namespace tq
