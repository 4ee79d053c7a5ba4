#pragma once
// The options store: every setting of the program, read from and written to the
// registry at the moment it is needed (no cache), plus the proxy list, the sound
// files of events and the history of download folders.
//
// A TQNoption holds no settings, only where the registry lives, so any number of them
// may exist and be used from any thread. Every operation takes as its last argument an
// optional open registry handle: with one, the operation works on it (leaving it open,
// its current key closed); with none, it uses the instance's own connection, one
// thread at a time. A handle belongs to one thread at a time; a thread that holds a
// RegistryTransaction on a handle must pass that handle.
//
// Key paths are relative to the program's root key (kKeyTarvolin): kKeyConnection,
// kKeyMainFm, ... of config/TQnOptionDef.h, or kKeyRoot for the root key itself.

#include "config/TQnOptionDef.h"
#include "platform/Registry.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tq {

// One proxy entry (subkey "Proxy" + ID under \Options\Proxy).
struct TproxyData {
    int32_t ID = 0;
    std::string KeyName;     // the subkey name once read or saved
    std::string ProxyName;
    std::string ServerName;
    std::string ServerPort;  // decimal text
    std::string UserName;
    std::string PassWord;    // plain text in memory, scrambled in the registry
    bool PasvMode = true;
    int32_t Type = 0;        // 0 direct, 1 HTTP GET, 2 HTTP CONNECT, 3..6 FTP proxies, 7 SOCKS4, 8 SOCKS5
    bool Authenticate = false;
};

using TproxyList = std::vector<std::unique_ptr<TproxyData>>;

std::unique_ptr<TproxyData> NewProxyData();
void FreeProxyData(std::unique_ptr<TproxyData>& data);

// Name of the built-in entry for direct connections.
inline constexpr const char* kDirectProxyName = "直接连接";

class TQNoption {
public:
    // Uses the registry at DefaultRegistryPath() / at registryPath / behind reg. On a
    // registry without OnceSet = 1 (a first run) every default is written first.
    TQNoption();
    explicit TQNoption(std::string registryPath);
    explicit TQNoption(TRegistry& reg);
    // A copy opens its own connection when it first needs one.
    TQNoption(const TQNoption& other);
    TQNoption& operator=(const TQNoption& other);
    ~TQNoption();

    const std::string& RegistryPath() const { return registryPath_; }

    // Scalar options by key and table index. An index outside its table throws
    // std::out_of_range. A value that is missing, holds -10000 or has another type than
    // the table's reads as the default; ReadInt then stores that default.
    int32_t ReadInt(const std::string& key, int index, TRegistry* reg = nullptr) const;
    void WriteInt(const std::string& key, int index, int32_t value, TRegistry* reg = nullptr) const;
    // A stored text that is empty or blank reads as the default; others come back untrimmed.
    std::string ReadStr(const std::string& key, int index, TRegistry* reg = nullptr) const;
    void WriteStr(const std::string& key, int index, const std::string& text,
                  TRegistry* reg = nullptr) const;
    // Missing: the integer default as a double, nothing written.
    double ReadFloat(const std::string& key, int index, TRegistry* reg = nullptr) const;
    void WriteFloat(const std::string& key, int index, double value, TRegistry* reg = nullptr) const;
    // The same, under the key the table names for the index.
    int32_t ReadIntOpt(int index, TRegistry* reg = nullptr) const;
    void WriteIntOpt(int index, int32_t value, TRegistry* reg = nullptr) const;
    std::string ReadStrOpt(int index, TRegistry* reg = nullptr) const;
    void WriteStrOpt(int index, const std::string& text, TRegistry* reg = nullptr) const;
    double ReadFloatOpt(int index, TRegistry* reg = nullptr) const;
    void WriteFloatOpt(int index, double value, TRegistry* reg = nullptr) const;

    // Sound file of an event (0..10); blank means none.
    std::string ReadSound(int event, TRegistry* reg = nullptr) const;
    void WriteSound(int event, const std::string& path, TRegistry* reg = nullptr) const;

    // Proxy entries.
    void SaveProxy(TproxyData& data, TRegistry* reg = nullptr) const;
    bool LoadProxyByKey(const std::string& keyName, TproxyData& data, TRegistry* reg = nullptr) const;
    bool LoadProxy(TproxyData& data, TRegistry* reg = nullptr) const;
    // Returns MaxID and stores its successor (10010 after 99999999).
    int32_t NextProxyID(TRegistry* reg = nullptr) const;
    // Gives the entry the next free ID, saves it and counts it.
    void AddProxy(TproxyData& data, TRegistry* reg = nullptr) const;
    void LoadProxyList(TproxyList& list, TRegistry* reg = nullptr) const;
    std::unique_ptr<TproxyData> FindProxyByID(int32_t id, TRegistry* reg = nullptr) const;
    bool DeleteProxy(const TproxyData& data, TRegistry* reg = nullptr) const;
    // Back to the one direct entry (Proxy0). IDs handed out before are never handed
    // out again: MaxID survives the reset.
    void ResetProxy(TRegistry* reg = nullptr) const;

    // History of download folders (List0, List1, ... under \Options\DownLoad\DownDir).
    int LoadDownDirs(std::vector<std::string>& list, TRegistry* reg = nullptr) const;
    void SaveDownDirs(const std::vector<std::string>& list, TRegistry* reg = nullptr) const;

    // Defaults, as a whole and by group. Root values, sounds, the folder history and
    // \DropFile are never reset.
    void ResetAll(TRegistry* reg = nullptr) const;
    void ResetDownLoadGroup(TRegistry* reg = nullptr) const;
    void ResetConnection(TRegistry* reg = nullptr) const;
    void ResetAutoDownLoad(TRegistry* reg = nullptr) const;
    void ResetDownLoad(TRegistry* reg = nullptr) const;
    void ResetFtpGroup(TRegistry* reg = nullptr) const;
    void ResetAutoFtp(TRegistry* reg = nullptr) const;
    void ResetQueue(TRegistry* reg = nullptr) const;
    void ResetKeepAlive(TRegistry* reg = nullptr) const;
    void ResetFtpClient(TRegistry* reg = nullptr) const;
    void ResetMainFm(TRegistry* reg = nullptr) const;
    void ResetWatch(TRegistry* reg = nullptr) const;
    void ResetEdit(TRegistry* reg = nullptr) const;
    void ResetVirusScan(TRegistry* reg = nullptr) const;
    void ResetDialUp(TRegistry* reg = nullptr) const;
    void ResetFontColor(TRegistry* reg = nullptr) const;
    void ResetSound(TRegistry* reg = nullptr) const;

private:
    template <class Fn>
    auto Use(TRegistry* reg, Fn fn) const;
    void FirstRunDefaults(TRegistry& reg) const;

    std::string registryPath_;
    // Connection for calls without a handle, opened on first use. Opening one per call
    // would cost far more than the read itself.
    mutable std::mutex mutex_;
    mutable std::unique_ptr<TRegistry> own_;
};

} // namespace tq
