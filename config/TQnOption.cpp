#include "config/TQnOption.h"

#include "foundation/Scramble.h"
#include "foundation/TextUtils.h"

#include <algorithm>
#include <initializer_list>
#include <stdexcept>

namespace tq {

namespace {

constexpr int32_t kProxyIdLimit = 99999999;
constexpr int32_t kProxyIdRestart = 10010;
constexpr const char* kOnceSet = "OnceSet";

std::string FullKey(const std::string& key) {
    if (!key.empty() && key[0] != '\\') return std::string(kKeyTarvolin) + "\\" + key;
    return std::string(kKeyTarvolin) + key;
}

// Opens key (creating it) for the scope and closes it again.
class KeyScope {
public:
    KeyScope(TRegistry& reg, const std::string& key) : reg_(reg) {
        reg_.OpenKey(FullKey(key), true);
    }
    ~KeyScope() { reg_.CloseKey(); }
    KeyScope(const KeyScope&) = delete;
    KeyScope& operator=(const KeyScope&) = delete;
private:
    TRegistry& reg_;
};

bool Blank(const std::string& text) {
    return Trim(text).empty();
}

int32_t ProxyIdAfter(int32_t id) {
    return id >= kProxyIdLimit ? kProxyIdRestart : id + 1;
}

// A subkey name of a proxy entry: one key name, no path.
bool PlainKeyName(const std::string& name) {
    return !name.empty() && name.find('\\') == std::string::npos;
}

void WriteIntDefaults(TRegistry& reg, std::initializer_list<int> indexes) {
    for (int i : indexes) {
        KeyScope k(reg, IntOptKey(i));
        reg.WriteInteger(IntOptName(i), IntOptDefault(i));
    }
}

void WriteIntDefaultRange(TRegistry& reg, int first, int last) {
    for (int i = first; i <= last; ++i) WriteIntDefaults(reg, {i});
}

void WriteStrDefaults(TRegistry& reg, std::initializer_list<int> indexes) {
    for (int i : indexes) {
        KeyScope k(reg, StrOptKey(i));
        reg.WriteString(StrOptName(i), StrOptDefault(i));
    }
}

} // namespace

std::unique_ptr<TproxyData> NewProxyData() {
    return std::make_unique<TproxyData>();
}

void FreeProxyData(std::unique_ptr<TproxyData>& data) {
    data.reset();
}

template <class Fn>
auto TQNoption::Use(TRegistry* reg, Fn fn) const {
    if (reg) return fn(*reg);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!own_) own_ = std::make_unique<TRegistry>(registryPath_);
    return fn(*own_);
}

TQNoption::TQNoption() : TQNoption(DefaultRegistryPath()) {}

TQNoption::TQNoption(std::string registryPath) : registryPath_(std::move(registryPath)) {
    own_ = std::make_unique<TRegistry>(registryPath_);
    FirstRunDefaults(*own_);
}

TQNoption::TQNoption(TRegistry& reg) : registryPath_(reg.DatabasePath()) {
    FirstRunDefaults(reg);
}

TQNoption::TQNoption(const TQNoption& other) : registryPath_(other.registryPath_) {}

TQNoption& TQNoption::operator=(const TQNoption& other) {
    if (this != &other) {
        std::lock_guard<std::mutex> lock(mutex_);
        registryPath_ = other.registryPath_;
        own_.reset();
    }
    return *this;
}

TQNoption::~TQNoption() = default;

void TQNoption::FirstRunDefaults(TRegistry& reg) const {
    { KeyScope k(reg, kKeyOptions); }
    {
        KeyScope k(reg, kKeyRoot);
        if (reg.ReadInteger(kOnceSet) == 1) return;
    }
    // Two programs starting at once: the second finds OnceSet set by the first.
    RegistryTransaction tx(reg);
    {
        KeyScope k(reg, kKeyRoot);
        if (reg.ReadInteger(kOnceSet) == 1) return;
    }
    ResetAll(&reg);
    {
        KeyScope k(reg, kKeyRoot);
        reg.WriteInteger(kOnceSet, 1);
    }
    tx.Commit();
}

// ---- scalar options ----------------------------------------------------------------

int32_t TQNoption::ReadInt(const std::string& key, int index, TRegistry* reg) const {
    const char* name = IntOptName(index);
    const int32_t def = IntOptDefault(index);
    return Use(reg, [&](TRegistry& r) {
        {
            KeyScope k(r, key);
            const std::optional<int32_t> v = r.ReadInteger(name);
            // A stored -10000 whose default is -10000 would only be rewritten as is.
            if (v && (*v != kOptNotSet || def == kOptNotSet)) return *v;
        }
        // Missing, unset or of another type: store the default, unless another
        // writer stored a value meanwhile.
        RegistryTransaction tx(r);
        KeyScope k(r, key);
        const std::optional<int32_t> v = r.ReadInteger(name);
        if (v && *v != kOptNotSet) return *v;
        r.WriteInteger(name, def);
        tx.Commit();
        return def;
    });
}

void TQNoption::WriteInt(const std::string& key, int index, int32_t value, TRegistry* reg) const {
    const char* name = IntOptName(index);
    Use(reg, [&](TRegistry& r) {
        KeyScope k(r, key);
        r.WriteInteger(name, value);
    });
}

std::string TQNoption::ReadStr(const std::string& key, int index, TRegistry* reg) const {
    const char* name = StrOptName(index);
    const char* def = StrOptDefault(index);
    return Use(reg, [&](TRegistry& r) {
        KeyScope k(r, key);
        std::string text = r.ReadString(name).value_or(std::string());
        return Blank(text) ? std::string(def) : text;
    });
}

void TQNoption::WriteStr(const std::string& key, int index, const std::string& text,
                         TRegistry* reg) const {
    const char* name = StrOptName(index);
    Use(reg, [&](TRegistry& r) {
        KeyScope k(r, key);
        r.WriteString(name, text);
    });
}

double TQNoption::ReadFloat(const std::string& key, int index, TRegistry* reg) const {
    const char* name = IntOptName(index);
    const double def = IntOptDefault(index);
    return Use(reg, [&](TRegistry& r) {
        KeyScope k(r, key);
        return r.ReadFloat(name).value_or(def);
    });
}

void TQNoption::WriteFloat(const std::string& key, int index, double value, TRegistry* reg) const {
    const char* name = IntOptName(index);
    Use(reg, [&](TRegistry& r) {
        KeyScope k(r, key);
        r.WriteFloat(name, value);
    });
}

int32_t TQNoption::ReadIntOpt(int index, TRegistry* reg) const {
    return ReadInt(IntOptKey(index), index, reg);
}
void TQNoption::WriteIntOpt(int index, int32_t value, TRegistry* reg) const {
    WriteInt(IntOptKey(index), index, value, reg);
}
std::string TQNoption::ReadStrOpt(int index, TRegistry* reg) const {
    return ReadStr(StrOptKey(index), index, reg);
}
void TQNoption::WriteStrOpt(int index, const std::string& text, TRegistry* reg) const {
    WriteStr(StrOptKey(index), index, text, reg);
}
double TQNoption::ReadFloatOpt(int index, TRegistry* reg) const {
    return ReadFloat(IntOptKey(index), index, reg);
}
void TQNoption::WriteFloatOpt(int index, double value, TRegistry* reg) const {
    WriteFloat(IntOptKey(index), index, value, reg);
}

std::string TQNoption::ReadSound(int event, TRegistry* reg) const {
    const char* name = SoundOptName(event);
    return Use(reg, [&](TRegistry& r) {
        KeyScope k(r, kKeySound);
        std::string path = r.ReadString(name).value_or(std::string());
        return Blank(path) ? std::string() : path;
    });
}

void TQNoption::WriteSound(int event, const std::string& path, TRegistry* reg) const {
    const char* name = SoundOptName(event);
    Use(reg, [&](TRegistry& r) {
        KeyScope k(r, kKeySound);
        r.WriteString(name, path);
    });
}

// ---- proxy entries -----------------------------------------------------------------

void TQNoption::SaveProxy(TproxyData& data, TRegistry* reg) const {
    data.KeyName = "Proxy" + std::to_string(data.ID);
    Use(reg, [&](TRegistry& r) {
        RegistryTransaction tx(r);
        KeyScope k(r, std::string(kKeyProxy) + "\\" + data.KeyName);
        r.WriteInteger("ID", data.ID);
        r.WriteString("ProxyName", data.ProxyName);
        r.WriteString("ServerName", data.ServerName);
        r.WriteString("ServerPort", data.ServerPort);
        r.WriteString("UserName", data.UserName);
        r.WriteString("PassWord", ScrambleText(data.PassWord));
        r.WriteInteger("PasvMode", data.PasvMode ? 1 : 0);
        r.WriteInteger("Type", data.Type);
        r.WriteInteger("Authenticate", data.Authenticate ? 1 : 0);
        tx.Commit();
    });
}

bool TQNoption::LoadProxyByKey(const std::string& keyName, TproxyData& data, TRegistry* reg) const {
    if (!PlainKeyName(keyName)) return false;
    return Use(reg, [&](TRegistry& r) {
        if (!r.OpenKey(FullKey(std::string(kKeyProxy) + "\\" + keyName), false)) return false;
        auto str = [&](const char* name) { return r.ReadString(name).value_or(std::string()); };
        auto num = [&](const char* name) { return r.ReadInteger(name).value_or(0); };
        data.ID = num("ID");
        data.ProxyName = str("ProxyName");
        data.ServerName = str("ServerName");
        data.ServerPort = str("ServerPort");
        data.UserName = str("UserName");
        data.PassWord = UnscrambleText(str("PassWord"));
        data.PasvMode = num("PasvMode") != 0;
        data.Type = num("Type");
        data.Authenticate = num("Authenticate") != 0;
        r.CloseKey();
        return true;
    });
}

bool TQNoption::LoadProxy(TproxyData& data, TRegistry* reg) const {
    return LoadProxyByKey(data.KeyName, data, reg);
}

int32_t TQNoption::NextProxyID(TRegistry* reg) const {
    return Use(reg, [&](TRegistry& r) {
        RegistryTransaction tx(r);
        const int32_t id = ReadInt(kKeyProxy, ioMaxID, &r);
        WriteInt(kKeyProxy, ioMaxID, ProxyIdAfter(id), &r);
        tx.Commit();
        return id;
    });
}

void TQNoption::AddProxy(TproxyData& data, TRegistry* reg) const {
    Use(reg, [&](TRegistry& r) {
        RegistryTransaction tx(r);
        int32_t id = NextProxyID(&r);
        while (r.KeyExists(FullKey(std::string(kKeyProxy) + "\\Proxy" + std::to_string(id))))
            id = ProxyIdAfter(id);
        data.ID = id;
        SaveProxy(data, &r);
        WriteInt(kKeyProxy, ioCount, ReadInt(kKeyProxy, ioCount, &r) + 1, &r);
        tx.Commit();
    });
}

void TQNoption::LoadProxyList(TproxyList& list, TRegistry* reg) const {
    Use(reg, [&](TRegistry& r) {
        std::vector<std::string> names;
        {
            KeyScope k(r, kKeyProxy);
            names = r.GetKeyNames();
        }
        for (const std::string& name : names) {
            std::unique_ptr<TproxyData> data = NewProxyData();
            data->KeyName = name;
            if (LoadProxy(*data, &r)) list.push_back(std::move(data));
        }
    });
}

std::unique_ptr<TproxyData> TQNoption::FindProxyByID(int32_t id, TRegistry* reg) const {
    TproxyList list;
    LoadProxyList(list, reg);
    for (std::unique_ptr<TproxyData>& data : list)
        if (data->ID == id) return std::move(data);
    return nullptr;
}

bool TQNoption::DeleteProxy(const TproxyData& data, TRegistry* reg) const {
    return Use(reg, [&](TRegistry& r) {
        RegistryTransaction tx(r);
        // An empty or odd name must not reach DeleteKey, which would take the whole list.
        const bool existed = PlainKeyName(data.KeyName) &&
                             r.DeleteKey(FullKey(std::string(kKeyProxy) + "\\" + data.KeyName));
        WriteInt(kKeyProxy, ioCount, ReadInt(kKeyProxy, ioCount, &r) - 1, &r);
        tx.Commit();
        return existed;
    });
}

void TQNoption::ResetProxy(TRegistry* reg) const {
    Use(reg, [&](TRegistry& r) {
        RegistryTransaction tx(r);
        std::optional<int32_t> oldMax;
        {
            KeyScope k(r, kKeyProxy);
            oldMax = r.ReadInteger(IntOptName(ioMaxID));
        }
        r.DeleteKey(FullKey(kKeyProxy));
        { KeyScope k(r, kKeyProxy); }
        WriteIntDefaults(r, {ioCount, ioDefaultForFtp, ioDefaultForHttp});
        // The direct entry is always ID 0, the ID every default points at. MaxID is
        // kept so entries added later never take the ID of an earlier, deleted one
        // that a job or site may still name.
        TproxyData direct;
        direct.ID = 0;
        direct.ProxyName = kDirectProxyName;
        SaveProxy(direct, &r);
        const int32_t keptMax = oldMax && *oldMax != kOptNotSet ? *oldMax : 0;
        WriteInt(kKeyProxy, ioMaxID, std::max(keptMax, ProxyIdAfter(direct.ID)), &r);
        WriteInt(kKeyProxy, ioCount, 1, &r);
        tx.Commit();
    });
}

// ---- download folder history --------------------------------------------------------

int TQNoption::LoadDownDirs(std::vector<std::string>& list, TRegistry* reg) const {
    return Use(reg, [&](TRegistry& r) {
        KeyScope k(r, kKeyDownDir);
        int count = 0;
        for (const std::string& name : r.GetValueNames()) {
            if (std::optional<std::string> dir = r.ReadString(name)) {
                list.push_back(std::move(*dir));
                ++count;
            }
        }
        return count;
    });
}

void TQNoption::SaveDownDirs(const std::vector<std::string>& list, TRegistry* reg) const {
    Use(reg, [&](TRegistry& r) {
        RegistryTransaction tx(r);
        KeyScope k(r, kKeyDownDir);
        for (const std::string& name : r.GetValueNames()) r.DeleteValue(name);
        for (size_t i = 0; i < list.size(); ++i) r.WriteString("List" + std::to_string(i), list[i]);
        tx.Commit();
    });
}

// ---- resets ---------------------------------------------------------------------------

void TQNoption::ResetAll(TRegistry* reg) const {
    Use(reg, [&](TRegistry& r) {
        RegistryTransaction tx(r);
        WriteIntDefaults(r, {ioStutDown, ioHangup, ioLastBakID, ioMaxBak, ioAutoPackData,
                             ioPackDataInterVal, ioMustMenuClose});
        ResetDownLoadGroup(&r);
        ResetFtpGroup(&r);
        ResetMainFm(&r);
        ResetWatch(&r);
        ResetEdit(&r);
        ResetProxy(&r);
        ResetVirusScan(&r);
        ResetDialUp(&r);
        ResetFontColor(&r);
        ResetSound(&r);
        tx.Commit();
    });
}

void TQNoption::ResetDownLoadGroup(TRegistry* reg) const {
    Use(reg, [&](TRegistry& r) {
        RegistryTransaction tx(r);
        ResetConnection(&r);
        ResetAutoDownLoad(&r);
        ResetDownLoad(&r);
        tx.Commit();
    });
}

void TQNoption::ResetConnection(TRegistry* reg) const {
    Use(reg, [&](TRegistry& r) {
        RegistryTransaction tx(r);
        WriteIntDefaultRange(r, ioMaxError, ioDLRJG);
        WriteIntDefaults(r, {ioUseSpeed, ioOneThreadMaxError, ioOneThreadMaxErrorEnd});
        WriteFloatOpt(ioSpeed, IntOptDefault(ioSpeed), &r);
        tx.Commit();
    });
}

void TQNoption::ResetAutoDownLoad(TRegistry* reg) const {
    Use(reg, [&](TRegistry& r) {
        RegistryTransaction tx(r);
        WriteIntDefaultRange(r, ioDLDay, ioDLEndTime);
        tx.Commit();
    });
}

void TQNoption::ResetDownLoad(TRegistry* reg) const {
    Use(reg, [&](TRegistry& r) {
        RegistryTransaction tx(r);
        WriteStrDefaults(r, {soAnonymousPD, soLastDLFormSavepath});
        WriteIntDefaultRange(r, ioBSetFileSize, ioLastDLTreeNumber);
        tx.Commit();
    });
}

void TQNoption::ResetFtpGroup(TRegistry* reg) const {
    Use(reg, [&](TRegistry& r) {
        RegistryTransaction tx(r);
        ResetAutoFtp(&r);
        ResetQueue(&r);
        ResetKeepAlive(&r);
        ResetFtpClient(&r);
        tx.Commit();
    });
}

void TQNoption::ResetAutoFtp(TRegistry* reg) const {
    Use(reg, [&](TRegistry& r) {
        RegistryTransaction tx(r);
        WriteIntDefaultRange(r, ioFtpDay, ioFtpEndTime);
        WriteIntDefaults(r, {ioTimeUPUse, ioTimeUPInterval});
        tx.Commit();
    });
}

void TQNoption::ResetQueue(TRegistry* reg) const {
    Use(reg, [&](TRegistry& r) {
        RegistryTransaction tx(r);
        WriteIntDefaults(r, {ioMaxOneServerOpen, ioMaxThread});
        tx.Commit();
    });
}

void TQNoption::ResetKeepAlive(TRegistry* reg) const {
    Use(reg, [&](TRegistry& r) {
        RegistryTransaction tx(r);
        WriteIntDefaults(r, {ioKeepAlive, ioKeepInterVal});
        WriteStrDefaults(r, {soKeepAliveCmd, soDefCmd});
        tx.Commit();
    });
}

void TQNoption::ResetFtpClient(TRegistry* reg) const {
    Use(reg, [&](TRegistry& r) {
        RegistryTransaction tx(r);
        WriteIntDefaults(r, {ioDClick, ioFileSizeAuto, ioBigListMaxLine, ioUseBigList});
        tx.Commit();
    });
}

void TQNoption::ResetMainFm(TRegistry* reg) const {
    Use(reg, [&](TRegistry& r) {
        RegistryTransaction tx(r);
        WriteIntDefaultRange(r, ioLastDLTreeViewID, ioMainFmHeight);
        WriteIntDefaults(r, {ioShowFlag, ioShowDeleDialog, ioLastPack});
        tx.Commit();
    });
}

void TQNoption::ResetWatch(TRegistry* reg) const {
    Use(reg, [&](TRegistry& r) {
        RegistryTransaction tx(r);
        WriteStrDefaults(r, {soWatchType});
        WriteIntDefaultRange(r, ioWATCHCLIP, ioWATCHIEALT);
        WriteStrDefaults(r, {soNWFileList});
        tx.Commit();
    });
}

void TQNoption::ResetEdit(TRegistry* reg) const {
    Use(reg, [&](TRegistry& r) {
        RegistryTransaction tx(r);
        WriteStrDefaults(r, {soDefTextEdit, soDefhtmEdit});
        WriteIntDefaults(r, {ioAllTextMustUseDef, ioFtpFileNameTB});
        WriteStrDefaults(r, {soDefAnsiExtName});
        tx.Commit();
    });
}

void TQNoption::ResetVirusScan(TRegistry* reg) const {
    Use(reg, [&](TRegistry& r) {
        RegistryTransaction tx(r);
        WriteIntDefaultRange(r, ioDownloadAutoScan, ioFTPDialog);
        WriteStrDefaults(r, {soDownloadScanner, soDownloadScannerArgs, soDownloadScanType});
        tx.Commit();
    });
}

void TQNoption::ResetDialUp(TRegistry* reg) const {
    Use(reg, [&](TRegistry& r) {
        RegistryTransaction tx(r);
        WriteStrDefaults(r, {soDialup});
        WriteIntDefaults(r, {ioRetry, ioWt, ioErrorSp});
        tx.Commit();
    });
}

void TQNoption::ResetFontColor(TRegistry* reg) const {
    Use(reg, [&](TRegistry& r) {
        RegistryTransaction tx(r);
        WriteIntDefaults(r, {ioFontSize});
        WriteStrDefaults(r, {soFontName});
        WriteIntDefaultRange(r, ioMessBlack, ioBL);
        tx.Commit();
    });
}

void TQNoption::ResetSound(TRegistry* reg) const {
    Use(reg, [&](TRegistry& r) { KeyScope k(r, kKeySound); });
}

} // namespace tq
