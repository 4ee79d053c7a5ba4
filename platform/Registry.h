#pragma once
// The settings hive: a tree of keys holding named values of three types (string,
// DWORD, 8-byte binary), kept in one SQLite database file.
//
// Key paths use "\" between names ("\Software\Varnholt\Tarvolin\Options"). A path
// that begins with "\" starts at the top of the hive, any other path below the key
// that is open (or the top when none is). Key and value names compare without regard
// to ASCII case and keep the case they were created with.
//
// There is no cache: every call reads or writes the database. One TRegistry object
// is one database connection and belongs to one thread at a time; threads and
// processes that want the hive at once each open their own. Writers wait for each
// other (busy time-out of several seconds); a read-modify-write sequence belongs in
// a RegistryTransaction so no other writer slips in between.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace tq {

// A failure of the database itself (cannot open, disk full, locked too long).
class RegistryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class RegDataType : int { String = 1, Binary = 3, DWord = 4 };

// $TARVOLIN_REGISTRY when set, else $XDG_CONFIG_HOME/tarvolin/registry.db
// (XDG_CONFIG_HOME defaulting to ~/.config).
std::string DefaultRegistryPath();

class TRegistry {
public:
    // Opens (and creates when missing: file 0600, new folders 0700) the database.
    explicit TRegistry(const std::string& dbPath = DefaultRegistryPath());
    ~TRegistry();
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    const std::string& DatabasePath() const { return dbPath_; }

    // Makes the key current. With canCreate, missing keys on the way are created;
    // without, a missing key gives false and leaves the current key as it was.
    bool OpenKey(const std::string& path, bool canCreate);
    void CloseKey();
    bool HasCurrentKey() const { return curKey_ != 0; }
    // The current key as an absolute path, with the names as given to OpenKey.
    const std::string& CurrentPath() const { return curPath_; }

    bool KeyExists(const std::string& path);
    // Deletes the key with every subkey and value below it; false if it did not exist.
    // The top of the hive cannot be deleted.
    bool DeleteKey(const std::string& path);
    // Names of the subkeys of the current key, in creation order.
    std::vector<std::string> GetKeyNames();

    // Values of the current key. A read of a missing value, or of a value stored with
    // another type than asked for, gives nullopt. Writes create or replace the value
    // (replacing its type too); a write without a current key throws RegistryError.
    bool ValueExists(const std::string& name);
    std::optional<RegDataType> GetDataType(const std::string& name);
    std::vector<std::string> GetValueNames();  // creation order
    bool DeleteValue(const std::string& name);

    std::optional<int32_t> ReadInteger(const std::string& name);
    void WriteInteger(const std::string& name, int32_t value);
    std::optional<std::string> ReadString(const std::string& name);
    void WriteString(const std::string& name, std::string_view value);
    // Binary values are 8 bytes; a stored binary of another size reads as absent.
    std::optional<std::string> ReadBinary(const std::string& name);
    void WriteBinary(const std::string& name, std::string_view bytes);
    // An IEEE double as 8 little-endian bytes of binary data.
    std::optional<double> ReadFloat(const std::string& name);
    void WriteFloat(const std::string& name, double value);

private:
    friend class RegistryTransaction;
    class Stmt;

    void Exec(const char* sql);
    void InitSchema();
    void Begin();
    void Commit();
    void Rollback();
    // Resolves a path (absolute or relative to the current key) into key names.
    std::vector<std::string> Components(const std::string& path) const;
    // Key id of the path, or 0 when missing (creating it when create is set).
    int64_t Resolve(const std::vector<std::string>& names, bool create);
    // The current key's id, re-created from its path if another writer removed it.
    int64_t KeyForWrite();
    bool KeyAlive(int64_t id);
    void WriteValue(const std::string& name, RegDataType type, std::string_view bytes,
                    int64_t intValue);

    struct CachedStmt {
        sqlite3_stmt* st = nullptr;
        bool inUse = false;
    };
    void FinalizeStatements();

    std::string dbPath_;
    sqlite3* db_ = nullptr;
    std::unordered_map<const char*, CachedStmt> stmts_;
    int64_t curKey_ = 0;
    std::vector<std::string> curNames_;
    std::string curPath_;
    int txDepth_ = 0;
    bool txFailed_ = false;
};

// Holds the database's write lock from construction (BEGIN IMMEDIATE) until Commit;
// leaving the scope without Commit rolls back. Nests: only the outermost level begins
// and ends the database transaction.
class RegistryTransaction {
public:
    explicit RegistryTransaction(TRegistry& reg);
    ~RegistryTransaction();
    RegistryTransaction(const RegistryTransaction&) = delete;
    RegistryTransaction& operator=(const RegistryTransaction&) = delete;
    void Commit();
private:
    TRegistry& reg_;
    bool done_ = false;
};

} // namespace tq
