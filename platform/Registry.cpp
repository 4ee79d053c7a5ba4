#include "platform/Registry.h"

#include <sqlite3.h>

#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tq {

namespace {

constexpr int64_t kTopKey = 1;
constexpr int kBusyTimeoutMs = 10000;

// Creates the folders of a path that are missing, each 0700.
void MakeFolders(const std::string& dir) {
    if (dir.empty()) return;
    struct stat st {};
    if (stat(dir.c_str(), &st) == 0) return;
    const size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0) MakeFolders(dir.substr(0, slash));
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        throw RegistryError("cannot create folder " + dir + ": " + std::strerror(errno));
}

std::vector<std::string> SplitKeyPath(const std::string& path) {
    std::vector<std::string> names;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t end = path.find('\\', pos);
        if (end == std::string::npos) end = path.size();
        if (end > pos) names.push_back(path.substr(pos, end - pos));
        pos = end + 1;
    }
    return names;
}

// "\A\B" for {"A", "B"}; "" for the top of the hive.
std::string KeyPathText(const std::vector<std::string>& names) {
    std::string path;
    for (const std::string& n : names) path += "\\" + n;
    return path;
}

} // namespace

std::string DefaultRegistryPath() {
    if (const char* env = std::getenv("TARVOLIN_REGISTRY"); env && *env) return env;
    std::string base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home && *home ? home : ".") + "/.config";
    }
    return base + "/tarvolin/registry.db";
}

// A prepared statement for one use. Statements are prepared once per connection and
// kept, keyed by their SQL text (always a literal); a statement still in use further
// up the stack gets a private copy.
class TRegistry::Stmt {
public:
    Stmt(TRegistry& reg, const char* sql) : reg_(reg) {
        CachedStmt& cached = reg.stmts_[sql];
        if (!cached.inUse) {
            if (!cached.st && sqlite3_prepare_v3(reg.db_, sql, -1, SQLITE_PREPARE_PERSISTENT,
                                                 &cached.st, nullptr) != SQLITE_OK)
                Fail("prepare");
            cached.inUse = true;
            cached_ = &cached;
            st_ = cached.st;
        } else if (sqlite3_prepare_v2(reg.db_, sql, -1, &st_, nullptr) != SQLITE_OK) {
            Fail("prepare");
        }
    }
    ~Stmt() {
        if (!cached_) {
            sqlite3_finalize(st_);
            return;
        }
        sqlite3_reset(st_);
        sqlite3_clear_bindings(st_);
        cached_->inUse = false;
    }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    Stmt& Bind(int i, int64_t v) {
        sqlite3_bind_int64(st_, i, v);
        return *this;
    }
    Stmt& BindText(int i, std::string_view v) {
        sqlite3_bind_text(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& BindBlob(int i, std::string_view v) {
        sqlite3_bind_blob(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // True while a row is available.
    bool Step() {
        const int rc = sqlite3_step(st_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        Fail("step");
    }
    // Runs a statement that returns no rows; returns the extended error code on a
    // constraint failure instead of throwing.
    int Run() {
        const int rc = sqlite3_step(st_);
        if (rc == SQLITE_DONE || rc == SQLITE_ROW) return SQLITE_OK;
        const int ext = sqlite3_extended_errcode(reg_.db_);
        if ((ext & 0xff) == SQLITE_CONSTRAINT) {
            sqlite3_reset(st_);
            return ext;
        }
        Fail("step");
    }
    int64_t Int(int col) { return sqlite3_column_int64(st_, col); }
    int Type(int col) { return sqlite3_column_type(st_, col); }
    std::string Bytes(int col) {
        const void* p = sqlite3_column_blob(st_, col);
        const int n = sqlite3_column_bytes(st_, col);
        return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
    }

private:
    [[noreturn]] void Fail(const char* what) {
        throw RegistryError(std::string("registry ") + what + " failed (" + reg_.dbPath_ +
                            "): " + sqlite3_errmsg(reg_.db_));
    }
    TRegistry& reg_;
    sqlite3_stmt* st_ = nullptr;
    CachedStmt* cached_ = nullptr;
};

TRegistry::TRegistry(const std::string& dbPath) : dbPath_(dbPath) {
    if (dbPath_.empty()) throw RegistryError("registry path is empty");
    const size_t slash = dbPath_.find_last_of('/');
    if (slash != std::string::npos && slash > 0) MakeFolders(dbPath_.substr(0, slash));
    struct stat st {};
    const bool fresh = stat(dbPath_.c_str(), &st) != 0;
    if (sqlite3_open_v2(dbPath_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        const std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw RegistryError("cannot open registry " + dbPath_ + ": " + msg);
    }
    try {
        // Only the user may read it (it holds proxy passwords). Never open and close
        // another descriptor of the file here: closing it would drop the locks that
        // other connections of this process hold on it.
        if (fresh && chmod(dbPath_.c_str(), 0600) != 0)
            throw RegistryError("cannot protect registry " + dbPath_ + ": " + std::strerror(errno));
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        Exec("PRAGMA foreign_keys=ON");
        // Switching to WAL needs a moment alone with the file; another opener may hold it.
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
        for (;;) {
            const int rc = sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
            if (rc == SQLITE_OK) break;
            if ((rc & 0xff) != SQLITE_BUSY && (rc & 0xff) != SQLITE_LOCKED)
                throw RegistryError("registry " + dbPath_ + ": " + sqlite3_errmsg(db_));
            if (std::chrono::steady_clock::now() > end)
                throw RegistryError("registry " + dbPath_ + " stays locked");
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        Exec("PRAGMA synchronous=NORMAL");
        InitSchema();
    } catch (...) {
        FinalizeStatements();
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

TRegistry::~TRegistry() {
    if (txDepth_ > 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    FinalizeStatements();
    sqlite3_close(db_);
}

void TRegistry::FinalizeStatements() {
    for (auto& [sql, cached] : stmts_) sqlite3_finalize(cached.st);
    stmts_.clear();
}

void TRegistry::Exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        throw RegistryError("registry " + dbPath_ + ": " + sqlite3_errmsg(db_) + " (" + sql + ")");
}

void TRegistry::InitSchema() {
    {
        Stmt q(*this, "PRAGMA user_version");
        if (q.Step() && q.Int(0) >= 1) return;
    }
    RegistryTransaction tx(*this);
    {
        Stmt q(*this, "PRAGMA user_version");
        if (q.Step() && q.Int(0) >= 1) return;
    }
    // NOCASE folds ASCII letters only, which is the comparison the key tree wants.
    // A key is found by its whole path in one look-up; parent links give the subkey
    // lists and let a delete take the subtree with it.
    Exec("CREATE TABLE IF NOT EXISTS keys("
         " id INTEGER PRIMARY KEY,"
         " parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,"
         " name TEXT NOT NULL,"
         " path TEXT NOT NULL UNIQUE COLLATE NOCASE)");
    Exec("CREATE INDEX IF NOT EXISTS keys_parent ON keys(parent)");
    Exec("CREATE TABLE IF NOT EXISTS vals("
         " id INTEGER PRIMARY KEY,"
         " key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
         " name TEXT NOT NULL COLLATE NOCASE,"
         " type INTEGER NOT NULL,"
         " data,"
         " UNIQUE(key, name))");
    Exec("INSERT OR IGNORE INTO keys(id, parent, name, path) VALUES(1, NULL, '', '')");
    Exec("PRAGMA user_version=1");
    tx.Commit();
}

void TRegistry::Begin() {
    if (txDepth_ == 0) {
        Exec("BEGIN IMMEDIATE");
        txFailed_ = false;
    }
    ++txDepth_;
}

void TRegistry::Commit() {
    if (txDepth_ == 1) {
        // An inner level that gave up spoils the whole transaction.
        if (txFailed_) throw RegistryError("registry transaction abandoned by an inner step");
        Exec("COMMIT");
    }
    --txDepth_;
}

void TRegistry::Rollback() {
    if (txDepth_ == 1) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    else txFailed_ = true;
    --txDepth_;
}

std::vector<std::string> TRegistry::Components(const std::string& path) const {
    std::vector<std::string> names;
    if (path.empty() || path[0] != '\\') names = curNames_;
    for (std::string& n : SplitKeyPath(path)) names.push_back(std::move(n));
    return names;
}

int64_t TRegistry::Resolve(const std::vector<std::string>& names, bool create) {
    {
        Stmt q(*this, "SELECT id FROM keys WHERE path=?");
        q.BindText(1, KeyPathText(names));
        if (q.Step()) return q.Int(0);
    }
    if (!create) return 0;
    // Create what is missing under the write lock; another writer may have made some.
    RegistryTransaction tx(*this);
    int64_t id = kTopKey;
    std::string path;
    for (const std::string& name : names) {
        path += "\\" + name;
        Stmt ins(*this, "INSERT OR IGNORE INTO keys(parent, name, path) VALUES(?, ?, ?)");
        ins.Bind(1, id).BindText(2, name).BindText(3, path).Run();
        Stmt q(*this, "SELECT id FROM keys WHERE path=?");
        q.BindText(1, path);
        if (!q.Step()) throw RegistryError("registry key vanished while being created");
        id = q.Int(0);
    }
    tx.Commit();
    return id;
}

bool TRegistry::OpenKey(const std::string& path, bool canCreate) {
    std::vector<std::string> names = Components(path);
    const int64_t id = Resolve(names, canCreate);
    if (id == 0) return false;
    curKey_ = id;
    curNames_ = std::move(names);
    curPath_ = curNames_.empty() ? "\\" : KeyPathText(curNames_);
    return true;
}

void TRegistry::CloseKey() {
    curKey_ = 0;
    curNames_.clear();
    curPath_.clear();
}

bool TRegistry::KeyExists(const std::string& path) {
    return Resolve(Components(path), false) != 0;
}

bool TRegistry::DeleteKey(const std::string& path) {
    const int64_t id = Resolve(Components(path), false);
    if (id == 0) return false;
    if (id == kTopKey) throw RegistryError("the top of the registry cannot be deleted");
    Stmt del(*this, "DELETE FROM keys WHERE id=?");
    del.Bind(1, id).Run();
    return true;
}

std::vector<std::string> TRegistry::GetKeyNames() {
    std::vector<std::string> names;
    if (curKey_ == 0) return names;
    Stmt q(*this, "SELECT name FROM keys WHERE parent=? ORDER BY id");
    q.Bind(1, curKey_);
    while (q.Step()) names.push_back(q.Bytes(0));
    return names;
}

bool TRegistry::ValueExists(const std::string& name) {
    return GetDataType(name).has_value();
}

std::optional<RegDataType> TRegistry::GetDataType(const std::string& name) {
    if (curKey_ == 0) return std::nullopt;
    Stmt q(*this, "SELECT type FROM vals WHERE key=? AND name=?");
    q.Bind(1, curKey_).BindText(2, name);
    if (!q.Step()) return std::nullopt;
    return static_cast<RegDataType>(q.Int(0));
}

std::vector<std::string> TRegistry::GetValueNames() {
    std::vector<std::string> names;
    if (curKey_ == 0) return names;
    Stmt q(*this, "SELECT name FROM vals WHERE key=? ORDER BY id");
    q.Bind(1, curKey_);
    while (q.Step()) names.push_back(q.Bytes(0));
    return names;
}

bool TRegistry::DeleteValue(const std::string& name) {
    if (curKey_ == 0) return false;
    Stmt del(*this, "DELETE FROM vals WHERE key=? AND name=?");
    del.Bind(1, curKey_).BindText(2, name).Run();
    return sqlite3_changes(db_) > 0;
}

void TRegistry::WriteValue(const std::string& name, RegDataType type, std::string_view bytes,
                           int64_t intValue) {
    if (curKey_ == 0) throw RegistryError("registry write without an open key: " + name);
    for (int attempt = 0;; ++attempt) {
        Stmt up(*this,
                "INSERT INTO vals(key, name, type, data) VALUES(?, ?, ?, ?) "
                "ON CONFLICT(key, name) DO UPDATE SET type=excluded.type, data=excluded.data");
        up.Bind(1, curKey_).BindText(2, name).Bind(3, static_cast<int>(type));
        if (type == RegDataType::DWord) up.Bind(4, intValue);
        else if (type == RegDataType::String) up.BindText(4, bytes);
        else up.BindBlob(4, bytes);
        const int rc = up.Run();
        if (rc == SQLITE_OK) return;
        // The open key was deleted under us (by another handle): write where its
        // path now leads, as a fresh open would.
        if (rc != SQLITE_CONSTRAINT_FOREIGNKEY || attempt > 0)
            throw RegistryError("registry write of " + name + " refused: " + sqlite3_errmsg(db_));
        curKey_ = Resolve(curNames_, true);
    }
}

std::optional<int32_t> TRegistry::ReadInteger(const std::string& name) {
    if (curKey_ == 0) return std::nullopt;
    Stmt q(*this, "SELECT type, data FROM vals WHERE key=? AND name=?");
    q.Bind(1, curKey_).BindText(2, name);
    if (!q.Step() || q.Int(0) != static_cast<int>(RegDataType::DWord) || q.Type(1) != SQLITE_INTEGER)
        return std::nullopt;
    const int64_t v = q.Int(1);
    if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(v);
}

void TRegistry::WriteInteger(const std::string& name, int32_t value) {
    WriteValue(name, RegDataType::DWord, {}, value);
}

std::optional<std::string> TRegistry::ReadString(const std::string& name) {
    if (curKey_ == 0) return std::nullopt;
    Stmt q(*this, "SELECT type, data FROM vals WHERE key=? AND name=?");
    q.Bind(1, curKey_).BindText(2, name);
    if (!q.Step() || q.Int(0) != static_cast<int>(RegDataType::String)) return std::nullopt;
    return q.Bytes(1);
}

void TRegistry::WriteString(const std::string& name, std::string_view value) {
    WriteValue(name, RegDataType::String, value, 0);
}

std::optional<std::string> TRegistry::ReadBinary(const std::string& name) {
    if (curKey_ == 0) return std::nullopt;
    Stmt q(*this, "SELECT type, data FROM vals WHERE key=? AND name=?");
    q.Bind(1, curKey_).BindText(2, name);
    if (!q.Step() || q.Int(0) != static_cast<int>(RegDataType::Binary)) return std::nullopt;
    std::string bytes = q.Bytes(1);
    if (bytes.size() != 8) return std::nullopt;
    return bytes;
}

void TRegistry::WriteBinary(const std::string& name, std::string_view bytes) {
    if (bytes.size() != 8) throw std::invalid_argument("registry binary values are 8 bytes");
    WriteValue(name, RegDataType::Binary, bytes, 0);
}

std::optional<double> TRegistry::ReadFloat(const std::string& name) {
    const std::optional<std::string> bytes = ReadBinary(name);
    if (!bytes) return std::nullopt;
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = (bits << 8) | static_cast<unsigned char>((*bytes)[i]);
    return std::bit_cast<double>(bits);
}

void TRegistry::WriteFloat(const std::string& name, double value) {
    uint64_t bits = std::bit_cast<uint64_t>(value);
    char bytes[8];
    for (char& b : bytes) {
        b = static_cast<char>(bits & 0xff);
        bits >>= 8;
    }
    WriteBinary(name, std::string_view(bytes, 8));
}

RegistryTransaction::RegistryTransaction(TRegistry& reg) : reg_(reg) {
    reg_.Begin();
}

RegistryTransaction::~RegistryTransaction() {
    if (!done_) reg_.Rollback();
}

void RegistryTransaction::Commit() {
    if (done_) return;
    reg_.Commit();  // on failure the destructor rolls back
    done_ = true;
}

} // namespace tq
