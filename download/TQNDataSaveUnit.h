#pragma once
// The download store: the category tree file, the per-category record files, the
// running-list order, the URL history, per-job INI files, packing and backups. The
// common base serves any record kind (the site store reuses it).

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "download/QNDataSaveDataDefUnit.h"
#include "foundation/QNZoleftpFileStream.h"

namespace tq {

// One node of the category tree the store owns; the user interface mirrors it.
struct TQNTreeNode {
    int ImageIndex = 0;
    std::unique_ptr<TQNIndexData> Data;  // the node's index record (ID, caption...)
    TQNTreeNode* Parent = nullptr;
    std::vector<std::unique_ptr<TQNTreeNode>> Children;
};

class TQNCategoryTree {
public:
    using NodeList = std::vector<std::unique_ptr<TQNTreeNode>>;
    const NodeList& TopLevel() const { return top_; }
    // Adds a node under parent (top level when null) at position (end when < 0)
    // and links record and node both ways.
    TQNTreeNode* Add(TQNTreeNode* parent, std::unique_ptr<TQNIndexData> data, int imageIndex,
                     int position = -1);
    void Clear() { top_.clear(); }
    bool Empty() const { return top_.empty(); }
    TQNTreeNode* FindByID(int32_t id) const;
    // Depth-first, parent before children, siblings in order.
    void ForEach(const std::function<void(TQNTreeNode&)>& fn) const;
    size_t Count() const;
private:
    NodeList top_;
};

enum class TStoreKind { Download = 0, Site = 1 };

// The tree file name of the download store, its folder and the backup folder.
constexpr const char* kDownloadDirName = "DownLoad";
constexpr const char* kDownloadTreeFile = "DownLoad.dat";
constexpr const char* kFtpDataDirName = "ftpData";
constexpr const char* kBackupDirName = "bakdata";
constexpr const char* kJobOrderFile = "DLIndex.idx";
constexpr const char* kUrlHistoryFile = "DLUrlList.idx";

// The store's fixed messages.
constexpr const char* kMsgLoadError = "Error:Load Download data!";
constexpr const char* kMsgPackError = "Download Clear Error !!!";

class TQNCustomDataSaveTree {
public:
    explicit TQNCustomDataSaveTree(TStoreKind kind);
    virtual ~TQNCustomDataSaveTree();
    TQNCustomDataSaveTree(const TQNCustomDataSaveTree&) = delete;
    TQNCustomDataSaveTree& operator=(const TQNCustomDataSaveTree&) = delete;

    TStoreKind Kind() const { return kind_; }
    TQNCategoryTree& Tree() { return tree_; }
    const std::string& TreeFileName() const { return treeFile_; }
    const std::string& StoreDir() const { return storeDir_; }
    uint32_t NextID = kFirstNodeID;
    TJobList JobList;  // the job entries of the running list
    // Receives the store's error messages ("Error:Load Download data!" ...).
    std::function<void(const std::string&)> OnMessage;
    const std::string& LastMessage() const { return lastMessage_; }

    // Remembers the names and creates the tree file when missing (mode 0600, folder
    // 0700). True when the store is new: no tree file, or one without a node.
    bool Open(const std::string& treeFileName, const std::string& storeDir);
    void CreateTreeFile();
    // Reads the tree file into the tree; false when it was missing, empty or damaged
    // (the nodes read before the damage are kept).
    bool LoadTree();
    // Replaces the tree file: a temporary sibling, flushed, renamed over it.
    void SaveTree();

    uint32_t NextNodeID();
    void SetNextNodeID(uint32_t id) { NextID = id; }

    // Adds a tree node (a category; in the site store also a site). id -1 takes
    // NextNodeID. Null when parent is not a category.
    TQNIndexData* AddNode(TQNIndexData* parent, std::unique_ptr<TQNIndexData> rec, int64_t id,
                          bool asCategory);

    std::recursive_mutex& LockObject(int n) { return locks_.at(n); }
    void Lock(int n) { locks_.at(n).lock(); }
    void Unlock(int n) { locks_.at(n).unlock(); }
    void LockAll();
    void UnlockAll();

    // Record file names from a FileBase (the category's, or the job's copy of it).
    std::string IndexFileName(const std::string& fileBase) const;
    std::string DataFileName(const std::string& fileBase) const;
    void EnsureClassFiles(const TQNIndexData& category);

    // Reads the category's index file; returns the number of deleted entries (kept
    // in the list only withDeleted). validEnd receives the end of the last whole record.
    int LoadIndexRecords(const TQNIndexData& category, std::vector<std::unique_ptr<TQNIndexData>>& list,
                         bool withDeleted, int64_t* validEnd = nullptr);
    // Reads the record behind an index entry at its DataPos.
    bool ReadDataRecord(TQNIndexData& rec, TQNStream& dataFile);
    // Appends data record then index record; dataFile null opens the category's files.
    void AddJobRecords(TQNIndexData& rec, TQNZoleftpFileStream* dataFile);
    // Mode 2 rewrites the numeric part in place; mode 3 appends the whole record,
    // repoints the index entry, then marks the old record deleted. False on any error.
    bool UpdateJobRecords(TQNIndexData& rec, int mode, TQNZoleftpFileStream* dataFile);
    // Marks the data record and the index entry deleted (fixed Integers only).
    bool DeleteJobRecords(TQNIndexData& rec, TQNZoleftpFileStream& indexFile,
                          TQNZoleftpFileStream& dataFile);
    // Rewrites the category's files from the given entries (records linked): new files
    // under temporary names, ".bak" copies of the old, then the swap. Entries get their
    // new positions only when every step succeeded. Throws on failure.
    void PackClass(TQNIndexData& category, const std::vector<TQNIndexData*>& entries);

protected:
    virtual void SaveNodeData(const TQNTreeNode& node, TQNStream& s);
    // Returns the node's record or null when it cannot be read.
    virtual std::unique_ptr<TQNIndexData> LoadNodeData(TQNStream& s);
    virtual void NodeAdded(TQNIndexData& rec);
    virtual int ImageForRecord(const TQNIndexData& rec) const;
    void Report(const std::string& message);
    // Opens a category's record file for writing, creating it when missing.
    std::unique_ptr<TQNZoleftpFileStream> OpenRecordFile(const std::string& fileName);

private:
    void SaveSubtree(const TQNTreeNode& node, TQNStream& s);
    bool LoadSubtree(TQNTreeNode* parent, TQNStream& s, int depth);

    TStoreKind kind_;
    TQNCategoryTree tree_;
    std::array<std::recursive_mutex, 4> locks_;
    std::string treeFile_;
    std::string storeDir_;
    std::string lastMessage_;
};

// One category of the default tree of a new store.
struct TDefaultCategory {
    int32_t ID;          // -1: from NextNodeID
    const char* Caption;
    const char* FileBase;
    int32_t ParentID;    // 0: top level
};
const std::vector<TDefaultCategory>& DefaultCategories();

class TQNDataSaveTree : public TQNCustomDataSaveTree {
public:
    TQNDataSaveTree();

    // Start-up in one call: Open (folder made 0700), the default tree for a new store,
    // LoadTree, the running category made sure of, OpenActiveClass, the job order.
    // Returns the running category (null when it cannot be opened).
    TQNIndexData* OpenStore(const std::string& storeDir, const std::string& defaultSavePath);
    void AddDefaultTree(const std::string& savePath);
    // When no category is marked running, marks 201 or recreates it. True when the
    // tree changed (and was saved).
    bool EnsureActiveClass(const std::string& savePath);

    TQNIndexData* ActiveClass() const;
    TQNIndexData* FindClass(int32_t id) const;

    // Adds a job under a category. Into the running category the job gets its N.EXD
    // ("RUNDATACANUSE" 0) and is written through dataFile (or the category's files).
    TQNIndexData* AddNode(TQNIndexData* parent, TJobData& job, int64_t id,
                          TQNZoleftpFileStream* dataFile);
    using TQNCustomDataSaveTree::AddNode;

    TQNIndexData* OpenActiveClass();
    // Reads the jobs behind index entries into job entries (appended to jobs).
    void LoadClassJobs(const TQNIndexData& category,
                       std::vector<std::unique_ptr<TQNIndexData>>& indexList, TJobList& jobs);
    // Both steps for a category that is not open; false when its data file is missing.
    bool LoadClassJobList(const TQNIndexData& category, TJobList& jobs);

    // One positioned write of the job's numbers (sizes, state, flags, high words).
    bool SaveJobProgress(TJobData& job, TQNZoleftpFileStream& dataFile);
    bool RemoveJob(TJobData& job, TQNZoleftpFileStream& dataFile);
    bool RemoveJobFromClass(TJobData& job);

    void SaveJobOrder();
    std::vector<int32_t> LoadJobOrder();
    // Rebuilds JobList: the named IDs first (each once), then the rest in load order.
    void ApplyJobOrder(const std::vector<int32_t>& order);
    void MoveJobInList(TJobData* job, int mode, int target);

    bool IsUrlInJobList(const std::string& url) const;
    bool CheckUrlHistory(const std::string& url, std::string& classText, const std::string* date,
                         bool add);
    std::string RemoveUrlHistory(const std::string& url);

private:
    std::string UrlHistoryFileName() const;
};

// Splits a history line at its last "*": the class text up to the next "|", then the date.
bool SplitUrlHistoryLine(const std::string& line, std::string& classText, std::string& date);
// "%d-%d-%d %d:%d" of the current local time.
std::string UrlHistoryDateNow();

// Packs every category of the download store below workDir; false (message
// "Download Clear Error !!!") when a step failed.
bool PackDownloadStore(const std::string& workDir, std::string* message = nullptr);

// Daily backup into workDir/bakdata/bakdataN. lastBakID is the current slot (read
// and advanced); returns false when an automatic backup found today's already made.
bool BackupData(const std::string& workDir, bool forced, int maxBak, int& lastBakID);

// "%0.4d:%0.2d:%0.2d" of today.
std::string BackupDateToday();

// Writes bytes to a temporary sibling of fileName, flushes it, renames it over
// fileName and flushes the folder.
void ReplaceFileAtomically(const std::string& fileName, const std::string& bytes,
                           unsigned mode = 0600);

} // namespace tq
