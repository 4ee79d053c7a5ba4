#pragma once
// The records of the download store: the index record of categories, jobs and sites,
// the job record, and the job entry that links them; their stream forms.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/QNZoleftpFileStream.h"

namespace tq {

// Fixed category IDs and the first free node ID.
constexpr int32_t kRunningClassID = 201;
constexpr int32_t kDoneClassID = 202;
constexpr int32_t kDeletedClassID = 203;
constexpr uint32_t kFirstNodeID = 10010;
constexpr uint32_t kLastNodeID = 99999999;

// Four Cardinals 19546, 3, 0, 1 ("ZL" and two zero bytes first).
constexpr int kRecordFileHeaderSize = 16;
void WriteRecordFileHeader(TQNStream& s);
// A file holding only the header (mode 0600: records may hold passwords).
void CreateRecordFile(const std::string& fileName);

// Byte offsets inside a stored job record (from its marker).
constexpr int kDLDeletedOffset = 4;
constexpr int kDLFileSizeOffset = 28;    // then DoneSize, State, CanResume, Initialized, SizeUnknown
constexpr int kDLFileSizeHighOffset = 120;
constexpr int kDLDoneSizeHighOffset = 124;
constexpr int kDLNumericSize = 204;
// Byte offsets inside a stored index record (from its mark's count).
constexpr int kIdxDeletedOffset = 21;
constexpr int kIdxDataPosOffset = 33;

struct TQNTreeNode;
struct TJobData;

// What the common store base needs of a data record, whatever its kind (job, site).
class TQNStoreRecord {
public:
    virtual ~TQNStoreRecord() = default;
    int64_t DataPos = 0;   // offset of the record in its data file (not stored)
    int32_t Deleted = 0;
    // Takes the node ID and the parent ID before the record is appended.
    virtual void SetOwnerIDs(int32_t id, int32_t parentID) = 0;
    virtual void WriteRecord(TQNStream& s, bool numbersOnly) const = 0;
    // Reads the record at the stream's position; storeDir finds side files.
    virtual bool ReadRecord(TQNStream& s, const std::string& storeDir) = 0;
    // Offset of the Deleted Integer from the start of the record.
    virtual int DeletedOffset() const = 0;
    // Length of the numeric part that is rewritten in place.
    virtual int FixedSize() const = 0;
};

// One record type for a category node, a job's index entry and a site node.
struct TQNIndexData {
    TQNIndexData();
    ~TQNIndexData();
    TQNIndexData(const TQNIndexData&) = delete;
    TQNIndexData& operator=(const TQNIndexData&) = delete;

    int32_t Deleted = 0;
    int32_t ID = 0;
    int32_t ParentID = 0;
    int64_t DataPos = 0;      // stored as a 32-bit item
    int32_t ActiveClass = 0;  // 1 for the running category
    int32_t IsClass = 0;
    int32_t JobCount = 0;
    int32_t DoneCount = 0;
    int64_t DoneBytes = 0;    // high word in the reserved item after it
    std::string FileBase;
    std::string Caption;
    std::string SavePath;

    // Not stored.
    int64_t IndexPos = 0;                         // offset in the index file
    TQNStoreRecord* Record = nullptr;             // job or site record (owned elsewhere)
    TQNTreeNode* Node = nullptr;                  // tree node showing a category
    std::unique_ptr<TQNZoleftpFileStream> DataFile;  // open data file of the running category
    std::vector<std::unique_ptr<TJobData>> JobList;  // job entries of a shown category
};

std::unique_ptr<TQNIndexData> NewIndexData();
void FreeIndexData(std::unique_ptr<TQNIndexData>& data);
void WriteIndexData(const TQNIndexData& data, TQNStream& s);
// True when the last String was read completely.
bool ReadIndexData(TQNIndexData& data, TQNStream& s);

// The stored fields of a job record (copied by CopyDLMangeData without its flag).
struct TDLMangeStored {
    int32_t JobID = 0;
    int32_t ClassID = 0;
    int32_t Reserved5 = 0, Reserved6 = 0, Reserved7 = 1;
    int64_t FileSize = 0;     // low word in item 8, high word in item 31
    int64_t DoneSize = 0;     // low word in item 9, high word in item 32
    int32_t State = 0;
    int32_t CanResume = 1;
    int32_t Initialized = 0;
    int32_t SizeUnknown = 0;
    int32_t ExdNumber = 0;
    int32_t MaxConnections = 5;
    int32_t UseLogin = 0;
    int32_t StartMode = 0;
    int32_t Protocol = 2;
    int32_t UseServerName = 1;
    int32_t Port = 80;
    int32_t Reserved21 = 0;
    int32_t DoneClassID = kDoneClassID;
    int32_t UseProxy = 0;
    int32_t HttpProxyID = 0;
    int32_t FtpProxyID = 0;
    int32_t FtpViaHttpProxy = 0;
    int32_t FileDate = 0;
    int32_t HasReferer = 0;
    int32_t MultiProxy = 0;
    int32_t Reserved30 = 0;
    std::string URL;
    std::string UserName;
    std::string Password;     // clear text in memory, scrambled on disk
    std::string FileName;
    std::string SavePath;
    std::string Comment;
    std::string TempFileName;
    std::string BlockFileName;
    std::string Referer;
};

// Run-time fields of the manager core and the job driver (never stored).
struct TDLMangeRunTime {
    int64_t DisplayDone = 0;
    int32_t Running = 0;
    int32_t ThreadEnded = 0;
    int32_t Completed = 0;
    int32_t Failed = 0;
    int32_t FreshStart = 0;
    int32_t ResumeFromMap = 0;
    int32_t FailureCount = 0;
    int32_t NoDataCount = 0;
    // The job driver's limits (filled by the manager) and its own run state.
    uint32_t StartTick = 0;
    int32_t ActiveCount = 0;
    int32_t MaxNoData = 0;
    uint8_t StopOnMaxNoData = 0;
    int32_t MaxRetries = 0;
    uint8_t StopOnMaxRetries = 0;
    int32_t RetryDelay = 0;
    int32_t ConnectTimeout = 0;
    int32_t DataTimeout = 0;
    int32_t ConnMaxErrors = 0;
    int32_t StopConnAtMax = 0;
    uint8_t StopDone = 0;
    uint8_t NamesChanged = 0;
    uint8_t RangesOK = 0;
    // Written by the manager each period of 1.2 s; a new PeriodStamp starts a period.
    int32_t SpeedBudget = 0;  // bytes the job may receive in this period
    uint8_t SpeedLimited = 0;
    uint32_t PeriodStamp = 0;
};

// A record's own lock; copying a record never copies its lock.
struct TRecordLock {
    TRecordLock() = default;
    TRecordLock(const TRecordLock&) {}
    TRecordLock& operator=(const TRecordLock&) { return *this; }
    std::recursive_mutex Mutex;
};

class TDLMangeData : public TQNStoreRecord, public TDLMangeStored, public TDLMangeRunTime {
public:
    TRecordLock Lock;

    void SetOwnerIDs(int32_t id, int32_t parentID) override {
        JobID = id;
        ClassID = parentID;
    }
    void WriteRecord(TQNStream& s, bool numbersOnly) const override;
    bool ReadRecord(TQNStream& s, const std::string& storeDir) override;
    int DeletedOffset() const override { return kDLDeletedOffset; }
    int FixedSize() const override { return kDLNumericSize; }
};

std::unique_ptr<TDLMangeData> NewDLMangeData();
void FreeDLMangeData(std::unique_ptr<TDLMangeData>& data);
// Without full only the stored fields are copied; with it the run-time fields too.
void CopyDLMangeData(const TDLMangeData& from, TDLMangeData& to, bool full);
// Marker -1, the numeric part; unless numbersOnly the strings (Password scrambled).
void WriteDLMangeData(const TDLMangeData& data, TQNStream& s, bool numbersOnly);
// Reads at the stream's position, applies the N.EXD names from storeDir (when not
// empty) and normalises State. True when the last String was read completely.
bool ReadDLMangeData(TDLMangeData& data, TQNStream& s, const std::string& storeDir);
// The State that loading gives a stored State (low byte decides).
int32_t NormalizeLoadedState(int32_t state);

// Per-job INI file N.EXD in the store directory.
std::string ExdFileName(const std::string& storeDir, int32_t exdNumber);
void AssignExdNumber(TDLMangeData& data, const std::string& storeDir);
bool ExdWriteInt(TDLMangeData& data, const std::string& storeDir, const std::string& key,
                 int64_t value);
bool ExdWriteText(TDLMangeData& data, const std::string& storeDir, const std::string& key,
                  const std::string& value);

class TJobDriver;

// A job as the running list and the category lists hold it.
struct TJobData {
    TJobData();
    ~TJobData();  // a driver still held is stopped and joined
    TJobData(const TJobData&) = delete;
    TJobData& operator=(const TJobData&) = delete;

    std::unique_ptr<TQNIndexData> Index;
    std::unique_ptr<TDLMangeData> Data;
    std::unique_ptr<TJobDriver> Driver;  // the driver of the current or last run
    int32_t HasRun = 0;
    int32_t StartPending = 0;
};

// A new entry with fresh records, linked both ways.
std::unique_ptr<TJobData> NewJobData();
// Links index and data record of an entry.
void LinkJobData(TJobData& job);

using TJobList = std::vector<std::unique_ptr<TJobData>>;

} // namespace tq
