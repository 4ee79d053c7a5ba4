#include "download/QNDataSaveDataDefUnit.h"

#include "download/JobDriver.h"
#include "foundation/IniFile.h"
#include "foundation/PathUtils.h"
#include "foundation/Scramble.h"
#include "foundation/TextUtils.h"

namespace tq {

namespace {

// Six bytes 0xFF and "-IndexNode-" open every index record.
constexpr char kIndexMark[] = "\xFF\xFF\xFF\xFF\xFF\xFF-IndexNode-";

int32_t Low32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v & 0xFFFFFFFF)); }
int32_t High32(int64_t v) { return static_cast<int32_t>(static_cast<uint64_t>(v) >> 32); }
int64_t Join64(int32_t low, int32_t high) {
    return static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) |
                                static_cast<uint32_t>(low));
}

void WriteZeros(TQNStream& s, int count) {
    for (int i = 0; i < count; ++i) StreamWriteInteger(s, 0);
}

void WriteEmptyStrings(TQNStream& s, int count) {
    for (int i = 0; i < count; ++i) StreamWriteString(s, "");
}

bool SkipIntegers(TQNStream& s, int count) {
    int32_t v = 0;
    for (int i = 0; i < count; ++i)
        if (!StreamReadInteger(s, v)) return false;
    return true;
}

bool SkipStrings(TQNStream& s, int count) {
    std::string v;
    for (int i = 0; i < count; ++i)
        if (!StreamReadString(s, v)) return false;
    return true;
}

} // namespace

void WriteRecordFileHeader(TQNStream& s) {
    StreamWriteCardinal(s, 19546);
    StreamWriteCardinal(s, 3);
    StreamWriteCardinal(s, 0);
    StreamWriteCardinal(s, 1);
}

void CreateRecordFile(const std::string& fileName) {
    TQNZoleftpFileStream f(fileName, TQNFileMode::fmCreate, 0600);
    TQNTMemoryStream m;
    WriteRecordFileHeader(m);
    f.WriteBuffer(m.Data().data(), static_cast<int64_t>(m.Data().size()));
}

// ---- index record ----

TQNIndexData::TQNIndexData() = default;
TQNIndexData::~TQNIndexData() = default;

std::unique_ptr<TQNIndexData> NewIndexData() { return std::make_unique<TQNIndexData>(); }

void FreeIndexData(std::unique_ptr<TQNIndexData>& data) { data.reset(); }

void WriteIndexData(const TQNIndexData& d, TQNStream& s) {
    StreamWriteString(s, std::string(kIndexMark, sizeof(kIndexMark) - 1));
    StreamWriteInteger(s, d.Deleted);
    StreamWriteInteger(s, d.ID);
    StreamWriteInteger(s, d.ParentID);
    StreamWriteCardinal(s, static_cast<uint32_t>(d.DataPos));
    StreamWriteInteger(s, 0);
    StreamWriteInteger(s, d.ActiveClass);
    StreamWriteInteger(s, d.IsClass);
    StreamWriteInteger(s, d.JobCount);
    StreamWriteInteger(s, d.DoneCount);
    StreamWriteInteger(s, Low32(d.DoneBytes));
    StreamWriteInteger(s, High32(d.DoneBytes));
    WriteZeros(s, 10);
    StreamWriteString(s, d.FileBase);
    StreamWriteString(s, d.Caption);
    StreamWriteString(s, d.SavePath);
    WriteEmptyStrings(s, 11);
}

bool ReadIndexData(TQNIndexData& d, TQNStream& s) {
    std::string mark;
    uint32_t dataPos = 0;
    int32_t reserved = 0, low = 0, high = 0;
    if (!StreamReadString(s, mark) || !StreamReadInteger(s, d.Deleted) ||
        !StreamReadInteger(s, d.ID) || !StreamReadInteger(s, d.ParentID) ||
        !StreamReadCardinal(s, dataPos) || !StreamReadInteger(s, reserved) ||
        !StreamReadInteger(s, d.ActiveClass) || !StreamReadInteger(s, d.IsClass) ||
        !StreamReadInteger(s, d.JobCount) || !StreamReadInteger(s, d.DoneCount) ||
        !StreamReadInteger(s, low) || !StreamReadInteger(s, high) || !SkipIntegers(s, 10) ||
        !StreamReadString(s, d.FileBase) || !StreamReadString(s, d.Caption) ||
        !StreamReadString(s, d.SavePath))
        return false;
    d.DataPos = dataPos;
    d.DoneBytes = Join64(low, high);
    return SkipStrings(s, 11);
}

// ---- job record ----

std::unique_ptr<TDLMangeData> NewDLMangeData() { return std::make_unique<TDLMangeData>(); }

void FreeDLMangeData(std::unique_ptr<TDLMangeData>& data) { data.reset(); }

void CopyDLMangeData(const TDLMangeData& from, TDLMangeData& to, bool full) {
    static_cast<TDLMangeStored&>(to) = from;
    if (full) {
        static_cast<TDLMangeRunTime&>(to) = from;
        to.DataPos = from.DataPos;
        to.Deleted = from.Deleted;
    }
}

void WriteDLMangeData(const TDLMangeData& d, TQNStream& s, bool numbersOnly) {
    const int32_t items[] = {
        -1, d.Deleted, d.JobID, d.ClassID, d.Reserved5, d.Reserved6, d.Reserved7,
        Low32(d.FileSize), Low32(d.DoneSize), d.State, d.CanResume, d.Initialized,
        d.SizeUnknown, d.ExdNumber, d.MaxConnections, d.UseLogin, d.StartMode, d.Protocol,
        d.UseServerName, d.Port, d.Reserved21, d.DoneClassID, d.UseProxy, d.HttpProxyID,
        d.FtpProxyID, d.FtpViaHttpProxy, d.FileDate, d.HasReferer, d.MultiProxy, d.Reserved30,
        High32(d.FileSize), High32(d.DoneSize)};
    static_assert(sizeof(items) / sizeof(items[0]) == 32);
    for (int32_t v : items) StreamWriteInteger(s, v);
    WriteZeros(s, 51 - 32);
    if (numbersOnly) return;
    StreamWriteString(s, "");
    StreamWriteString(s, d.URL);
    StreamWriteString(s, d.UserName);
    StreamWriteString(s, Trim(d.Password).empty() ? std::string() : ScrambleText(d.Password));
    StreamWriteString(s, d.FileName);
    StreamWriteString(s, d.SavePath);
    StreamWriteString(s, d.Comment);
    StreamWriteString(s, d.TempFileName);
    StreamWriteString(s, d.BlockFileName);
    StreamWriteString(s, d.Referer);
    WriteEmptyStrings(s, 11);
}

int32_t NormalizeLoadedState(int32_t state) {
    int low = state & 0xFF;
    if (low < 3 || low == 6) return 2;
    return state;
}

bool ReadDLMangeData(TDLMangeData& d, TQNStream& s, const std::string& storeDir) {
    int32_t v[51];
    for (int32_t& x : v)
        if (!StreamReadInteger(s, x)) return false;
    // v[0] is the marker, not checked.
    d.Deleted = v[1];
    d.JobID = v[2];
    d.ClassID = v[3];
    d.Reserved5 = v[4];
    d.Reserved6 = v[5];
    d.Reserved7 = v[6];
    d.FileSize = Join64(v[7], v[30]);
    d.DoneSize = Join64(v[8], v[31]);
    d.State = v[9];
    d.CanResume = v[10];
    d.Initialized = v[11];
    d.SizeUnknown = v[12];
    d.ExdNumber = v[13];
    d.MaxConnections = v[14];
    d.UseLogin = v[15];
    d.StartMode = v[16];
    d.Protocol = v[17];
    d.UseServerName = v[18];
    d.Port = v[19];
    d.Reserved21 = v[20];
    d.DoneClassID = v[21];
    d.UseProxy = v[22];
    d.HttpProxyID = v[23];
    d.FtpProxyID = v[24];
    d.FtpViaHttpProxy = v[25];
    d.FileDate = v[26];
    d.HasReferer = v[27];
    d.MultiProxy = v[28];
    d.Reserved30 = v[29];
    std::string reserved, password;
    if (!StreamReadString(s, reserved) || !StreamReadString(s, d.URL) ||
        !StreamReadString(s, d.UserName) || !StreamReadString(s, password) ||
        !StreamReadString(s, d.FileName) || !StreamReadString(s, d.SavePath) ||
        !StreamReadString(s, d.Comment) || !StreamReadString(s, d.TempFileName) ||
        !StreamReadString(s, d.BlockFileName) || !StreamReadString(s, d.Referer) ||
        !SkipStrings(s, 11))
        return false;
    d.Password = UnscrambleText(password);

    if (d.ExdNumber != 0 && !storeDir.empty()) {
        const std::string exd = ExdFileName(storeDir, d.ExdNumber);
        if (FileExists(exd)) {
            std::string name = IniReadText("Data", "SaveFileName", "", false, exd);
            std::string temp = IniReadText("Data", "TempFIleName", "", false, exd);
            if (!Trim(name).empty()) d.FileName = name;
            if (!Trim(temp).empty()) d.TempFileName = temp;
        }
    }
    d.State = NormalizeLoadedState(d.State);
    if ((d.State & 0xFF) == 4) d.Failed = 1;
    return true;
}

void TDLMangeData::WriteRecord(TQNStream& s, bool numbersOnly) const {
    WriteDLMangeData(*this, s, numbersOnly);
}

bool TDLMangeData::ReadRecord(TQNStream& s, const std::string& storeDir) {
    return ReadDLMangeData(*this, s, storeDir);
}

// ---- per-job INI file ----

std::string ExdFileName(const std::string& storeDir, int32_t exdNumber) {
    return JoinLocalPath(storeDir, std::to_string(exdNumber) + ".EXD");
}

void AssignExdNumber(TDLMangeData& d, const std::string& storeDir) {
    int n = d.JobID;
    NextFreeFileNumber(storeDir, n, "EXD");
    IniWriteRaw("DEFAULT", "VER", "3", ExdFileName(storeDir, n));
    d.ExdNumber = n;
}

bool ExdWriteInt(TDLMangeData& d, const std::string& storeDir, const std::string& key,
                 int64_t value) {
    if (d.ExdNumber == 0) AssignExdNumber(d, storeDir);
    return IniWriteInt("Data", key, value, ExdFileName(storeDir, d.ExdNumber));
}

bool ExdWriteText(TDLMangeData& d, const std::string& storeDir, const std::string& key,
                  const std::string& value) {
    if (d.ExdNumber == 0) AssignExdNumber(d, storeDir);
    return IniWriteText("Data", key, value, ExdFileName(storeDir, d.ExdNumber));
}

// ---- job entry ----

TJobData::TJobData() = default;
TJobData::~TJobData() = default;

void LinkJobData(TJobData& job) {
    if (job.Index) job.Index->Record = job.Data.get();
}

std::unique_ptr<TJobData> NewJobData() {
    auto job = std::make_unique<TJobData>();
    job->Index = NewIndexData();
    job->Data = NewDLMangeData();
    LinkJobData(*job);
    return job;
}

} // namespace tq
