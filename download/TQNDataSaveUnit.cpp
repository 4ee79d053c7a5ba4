#include "download/TQNDataSaveUnit.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#include "foundation/AtomicFile.h"
#include "foundation/IniFile.h"
#include "foundation/PathUtils.h"
#include "foundation/TextUtils.h"

namespace tq {

namespace {

// Six 16-bit values that open the tree section.
const unsigned char kTreeSignature[12] = {0x45, 0x20, 0x56, 0x00, 0x54, 0x00,
                                          0x02, 0x00, 0x20, 0x00, 0x46, 0x20};
constexpr int kTreeSectionStart = 20;
constexpr int kMaxTreeDepth = 64;
// Image index, child count, then at least an empty index record.
constexpr int64_t kMinNodeBytes = 8 + 21 + 21 * 4 + 14 * 4;
constexpr int64_t kIndexRecordFixedEnd = 21 + 21 * 4;  // the mark and the Integers

std::string StreamBytes(const std::function<void(TQNStream&)>& write) {
    TQNTMemoryStream m;
    write(m);
    return m.Data();
}

std::string ReadWholeFile(const std::string& fileName) {
    TQNZoleftpFileStream f(fileName, TQNFileMode::fmOpenRead);
    std::string bytes(static_cast<size_t>(f.Size()), '\0');
    if (f.Read(bytes.data(), static_cast<int64_t>(bytes.size())) !=
        static_cast<int64_t>(bytes.size()))
        throw std::runtime_error("Cannot read \"" + fileName + "\"");
    return bytes;
}

// A position inside the file where a fixed part of len bytes lies wholly after the header.
bool FixedPartInside(TQNStream& f, int64_t pos, int64_t len) {
    return pos >= kRecordFileHeaderSize && pos + len <= f.Size();
}

// Writes bytes at a checked position; never at a position the file does not hold.
bool PatchAt(TQNStream& f, int64_t pos, const std::string& bytes) {
    if (!FixedPartInside(f, pos, static_cast<int64_t>(bytes.size()))) return false;
    if (!StreamSeek(f, pos)) return false;
    return f.Write(bytes.data(), static_cast<int64_t>(bytes.size())) ==
           static_cast<int64_t>(bytes.size());
}

std::string IntegerBytes(int32_t v) {
    return StreamBytes([v](TQNStream& s) { StreamWriteInteger(s, v); });
}

// Appends in one write; a short write is cut off again so no partial record stays.
int64_t AppendRecord(TQNZoleftpFileStream& f, const std::string& bytes) {
    const int64_t end = f.Size();
    if (end < kRecordFileHeaderSize) throw std::runtime_error("Record file without header");
    if (end > 0xFFFFFFFFLL) throw std::runtime_error("Record file too large");
    f.SetPosition(end);
    if (f.Write(bytes.data(), static_cast<int64_t>(bytes.size())) !=
        static_cast<int64_t>(bytes.size())) {
        f.SetPosition(end);
        f.Truncate();
        throw EStreamWriteError("Stream write error");
    }
    return end;
}

} // namespace

void ReplaceFileAtomically(const std::string& fileName, const std::string& bytes, unsigned mode) {
    if (!WriteFileAtomically(fileName, bytes, mode))
        throw EStreamWriteError("Cannot replace \"" + fileName + "\": " + std::strerror(errno));
}

// ---- category tree ----

TQNTreeNode* TQNCategoryTree::Add(TQNTreeNode* parent, std::unique_ptr<TQNIndexData> data,
                                  int imageIndex, int position) {
    auto node = std::make_unique<TQNTreeNode>();
    node->ImageIndex = imageIndex;
    node->Parent = parent;
    node->Data = std::move(data);
    TQNTreeNode* raw = node.get();
    if (raw->Data) raw->Data->Node = raw;
    NodeList& list = parent ? parent->Children : top_;
    if (position < 0 || position >= static_cast<int>(list.size()))
        list.push_back(std::move(node));
    else
        list.insert(list.begin() + position, std::move(node));
    return raw;
}

void TQNCategoryTree::ForEach(const std::function<void(TQNTreeNode&)>& fn) const {
    std::function<void(const NodeList&)> walk = [&](const NodeList& list) {
        for (const auto& n : list) {
            fn(*n);
            walk(n->Children);
        }
    };
    walk(top_);
}

TQNTreeNode* TQNCategoryTree::FindByID(int32_t id) const {
    TQNTreeNode* found = nullptr;
    ForEach([&](TQNTreeNode& n) {
        if (!found && n.Data && n.Data->ID == id) found = &n;
    });
    return found;
}

size_t TQNCategoryTree::Count() const {
    size_t n = 0;
    ForEach([&](TQNTreeNode&) { ++n; });
    return n;
}

// ---- common store base ----

TQNCustomDataSaveTree::TQNCustomDataSaveTree(TStoreKind kind) : kind_(kind) {}

TQNCustomDataSaveTree::~TQNCustomDataSaveTree() = default;

void TQNCustomDataSaveTree::Report(const std::string& message) {
    lastMessage_ = message;
    if (OnMessage) OnMessage(message);
}

void TQNCustomDataSaveTree::LockAll() {
    for (auto& l : locks_) l.lock();
}

void TQNCustomDataSaveTree::UnlockAll() {
    for (auto& l : locks_) l.unlock();
}

bool TQNCustomDataSaveTree::Open(const std::string& treeFileName, const std::string& storeDir) {
    treeFile_ = treeFileName;
    storeDir_ = storeDir;
    JobList.clear();
    if (!FileExists(treeFile_)) {
        CreateTreeFile();
        return true;
    }
    // A tree without a node is a new tree (a crash may have come before the first
    // save); its NextID is kept so that IDs handed out before are not reused.
    try {
        TQNTMemoryStream m(ReadWholeFile(treeFile_));
        uint32_t next = 0, count = 0;
        if (StreamSeek(m, kRecordFileHeaderSize) && StreamReadCardinal(m, next) &&
            next >= kFirstNodeID && next <= kLastNodeID)
            NextID = next;
        if (!StreamSeek(m, kTreeSectionStart + 12) || !StreamReadCardinal(m, count)) return true;
        return count == 0;
    } catch (const std::exception&) {
        return true;
    }
}

void TQNCustomDataSaveTree::CreateTreeFile() {
    ReplaceFileAtomically(treeFile_, StreamBytes([this](TQNStream& s) {
        WriteRecordFileHeader(s);
        StreamWriteCardinal(s, NextID);
    }));
}

uint32_t TQNCustomDataSaveTree::NextNodeID() {
    uint32_t id = NextID;
    NextID = id + 1;
    if (NextID > kLastNodeID) NextID = kFirstNodeID;
    return id;
}

int TQNCustomDataSaveTree::ImageForRecord(const TQNIndexData& rec) const {
    if (kind_ == TStoreKind::Site) return rec.IsClass ? 1 : 0;
    if (rec.ID == kRunningClassID) return 1;
    if (rec.ID == kDeletedClassID) return 2;
    return 0;
}

void TQNCustomDataSaveTree::SaveNodeData(const TQNTreeNode& node, TQNStream& s) {
    WriteIndexData(*node.Data, s);
}

std::unique_ptr<TQNIndexData> TQNCustomDataSaveTree::LoadNodeData(TQNStream& s) {
    auto rec = NewIndexData();
    if (!ReadIndexData(*rec, s)) return nullptr;
    return rec;
}

void TQNCustomDataSaveTree::NodeAdded(TQNIndexData&) {}

void TQNCustomDataSaveTree::SaveSubtree(const TQNTreeNode& node, TQNStream& s) {
    // Node framing: image index, child count, the node's index record.
    StreamWriteInteger(s, node.ImageIndex);
    StreamWriteInteger(s, static_cast<int32_t>(node.Children.size()));
    SaveNodeData(node, s);
    for (const auto& child : node.Children) SaveSubtree(*child, s);
}

void TQNCustomDataSaveTree::SaveTree() {
    std::string bytes = StreamBytes([this](TQNStream& s) {
        WriteRecordFileHeader(s);
        StreamWriteCardinal(s, NextID);
        s.WriteBuffer(kTreeSignature, sizeof(kTreeSignature));
        StreamWriteCardinal(s, static_cast<uint32_t>(tree_.TopLevel().size()));
        for (const auto& n : tree_.TopLevel()) SaveSubtree(*n, s);
    });
    ReplaceFileAtomically(treeFile_, bytes);
}

bool TQNCustomDataSaveTree::LoadSubtree(TQNTreeNode* parent, TQNStream& s, int depth) {
    int32_t image = 0, children = 0;
    if (depth > kMaxTreeDepth || !StreamReadInteger(s, image) || !StreamReadInteger(s, children))
        return false;
    if (children < 0 || children > (s.Size() - s.Position()) / kMinNodeBytes) return false;
    std::unique_ptr<TQNIndexData> rec = LoadNodeData(s);
    if (!rec) return false;
    int img = ImageForRecord(*rec);
    TQNTreeNode* node = tree_.Add(parent, std::move(rec), img);
    for (int32_t i = 0; i < children; ++i)
        if (!LoadSubtree(node, s, depth + 1)) return false;
    return true;
}

bool TQNCustomDataSaveTree::LoadTree() {
    std::string bytes;
    try {
        if (!FileExists(treeFile_)) return false;
        bytes = ReadWholeFile(treeFile_);
    } catch (const std::exception&) {
        return false;
    }
    if (bytes.size() <= static_cast<size_t>(kTreeSectionStart)) return false;
    TQNTMemoryStream m(std::move(bytes));
    uint32_t next = 0, count = 0;
    std::string signature;
    if (!StreamSeek(m, kRecordFileHeaderSize) || !StreamReadCardinal(m, next)) return false;
    if (next >= kFirstNodeID && next <= kLastNodeID) NextID = next;
    tree_.Clear();
    if (!StreamReadBytes(m, signature, 12) || !StreamReadCardinal(m, count)) return false;
    if (count > static_cast<uint32_t>((m.Size() - m.Position()) / kMinNodeBytes)) return false;
    for (uint32_t i = 0; i < count; ++i)
        if (!LoadSubtree(nullptr, m, 0)) return false;
    // Bytes after the counted nodes are ignored.
    return true;
}

TQNIndexData* TQNCustomDataSaveTree::AddNode(TQNIndexData* parent,
                                             std::unique_ptr<TQNIndexData> rec, int64_t id,
                                             bool asCategory) {
    if (!rec) return nullptr;
    if (parent && (parent->IsClass == 0 || !parent->Node)) return nullptr;
    if (!asCategory && kind_ == TStoreKind::Download) return nullptr;
    rec->ParentID = parent ? parent->ID : 0;
    rec->ID = id == -1 ? static_cast<int32_t>(NextNodeID()) : static_cast<int32_t>(id);
    TQNTreeNode* parentNode = parent ? parent->Node : nullptr;
    TQNIndexData* r = rec.get();
    if (asCategory) {
        r->IsClass = 1;
        tree_.Add(parentNode, std::move(rec), ImageForRecord(*r));
        if (kind_ == TStoreKind::Download) EnsureClassFiles(*r);
        return r;
    }
    r->IsClass = 0;
    r->FileBase = parent ? parent->FileBase : std::string();
    tree_.Add(parentNode, std::move(rec), 0);
    NodeAdded(*r);
    return r;
}

std::string TQNCustomDataSaveTree::IndexFileName(const std::string& fileBase) const {
    return SafeJoinLocalPath(storeDir_, fileBase + ".zli");
}

std::string TQNCustomDataSaveTree::DataFileName(const std::string& fileBase) const {
    return SafeJoinLocalPath(storeDir_, fileBase + ".zld");
}

void TQNCustomDataSaveTree::EnsureClassFiles(const TQNIndexData& category) {
    for (const std::string& f : {IndexFileName(category.FileBase), DataFileName(category.FileBase)})
        if (!FileExists(f)) CreateRecordFile(f);
}

std::unique_ptr<TQNZoleftpFileStream> TQNCustomDataSaveTree::OpenRecordFile(
    const std::string& fileName) {
    if (!FileExists(fileName)) CreateRecordFile(fileName);
    return std::make_unique<TQNZoleftpFileStream>(fileName, TQNFileMode::fmOpenReadWrite);
}

int TQNCustomDataSaveTree::LoadIndexRecords(const TQNIndexData& category,
                                            std::vector<std::unique_ptr<TQNIndexData>>& list,
                                            bool withDeleted, int64_t* validEnd) {
    int deleted = 0;
    if (validEnd) *validEnd = 0;
    const std::string name = IndexFileName(category.FileBase);
    if (!FileExists(name)) return 0;
    TQNZoleftpFileStream f(name, TQNFileMode::fmOpenRead);
    if (!StreamSeek(f, kRecordFileHeaderSize)) return 0;
    if (validEnd) *validEnd = kRecordFileHeaderSize;
    for (;;) {
        const int64_t pos = f.Position();
        auto rec = NewIndexData();
        if (!ReadIndexData(*rec, f)) break;
        rec->IndexPos = pos;
        if (validEnd) *validEnd = f.Position();
        if (rec->Deleted == 1) {
            ++deleted;
            if (!withDeleted) continue;
        }
        list.push_back(std::move(rec));
    }
    return deleted;
}

bool TQNCustomDataSaveTree::ReadDataRecord(TQNIndexData& rec, TQNStream& dataFile) {
    if (!rec.Record || rec.DataPos < kRecordFileHeaderSize) return false;
    if (!StreamSeek(dataFile, rec.DataPos)) return false;
    rec.Record->DataPos = rec.DataPos;
    return rec.Record->ReadRecord(dataFile, storeDir_);
}

void TQNCustomDataSaveTree::AddJobRecords(TQNIndexData& rec, TQNZoleftpFileStream* dataFile) {
    if (!rec.Record) throw std::logic_error("AddJobRecords: entry without a record");
    rec.Record->SetOwnerIDs(rec.ID, rec.ParentID);
    rec.Record->Deleted = 0;
    std::unique_ptr<TQNZoleftpFileStream> ownData;
    if (!dataFile) {
        ownData = OpenRecordFile(DataFileName(rec.FileBase));
        dataFile = ownData.get();
    }
    const std::string data = StreamBytes([&](TQNStream& s) { rec.Record->WriteRecord(s, false); });
    rec.Record->DataPos = AppendRecord(*dataFile, data);
    rec.Deleted = 0;
    rec.DataPos = rec.Record->DataPos;
    auto index = OpenRecordFile(IndexFileName(rec.FileBase));
    rec.IndexPos = AppendRecord(*index, StreamBytes([&](TQNStream& s) { WriteIndexData(rec, s); }));
}

bool TQNCustomDataSaveTree::UpdateJobRecords(TQNIndexData& rec, int mode,
                                             TQNZoleftpFileStream* dataFile) {
    if (!rec.Record || (mode != 2 && mode != 3)) return false;
    try {
        std::unique_ptr<TQNZoleftpFileStream> ownData;
        if (!dataFile) {
            const std::string name = DataFileName(rec.FileBase);
            if (!FileExists(name)) return false;
            ownData = std::make_unique<TQNZoleftpFileStream>(name, TQNFileMode::fmOpenReadWrite);
            dataFile = ownData.get();
        }
        TQNStoreRecord& r = *rec.Record;
        const int64_t oldPos = r.DataPos;
        if (mode == 2) {
            const std::string numbers = StreamBytes([&](TQNStream& s) { r.WriteRecord(s, true); });
            return PatchAt(*dataFile, oldPos, numbers);
        }
        // Append, repoint the index entry, then mark the old record: at every moment
        // the entry names a whole, live record.
        auto index = std::make_unique<TQNZoleftpFileStream>(IndexFileName(rec.FileBase),
                                                            TQNFileMode::fmOpenReadWrite);
        if (!FixedPartInside(*dataFile, oldPos, r.FixedSize()) ||
            !FixedPartInside(*index, rec.IndexPos, kIndexRecordFixedEnd))
            return false;
        r.Deleted = 0;
        const std::string whole = StreamBytes([&](TQNStream& s) { r.WriteRecord(s, false); });
        const int64_t newPos = AppendRecord(*dataFile, whole);
        const std::string pos = StreamBytes(
            [&](TQNStream& s) { StreamWriteCardinal(s, static_cast<uint32_t>(newPos)); });
        if (!PatchAt(*index, rec.IndexPos + kIdxDataPosOffset, pos)) return false;
        r.DataPos = newPos;
        rec.DataPos = newPos;
        return PatchAt(*dataFile, oldPos + r.DeletedOffset(), IntegerBytes(1));
    } catch (const std::exception&) {
        return false;
    }
}

bool TQNCustomDataSaveTree::DeleteJobRecords(TQNIndexData& rec, TQNZoleftpFileStream& indexFile,
                                             TQNZoleftpFileStream& dataFile) {
    rec.Deleted = 1;
    bool ok = true;
    if (rec.Record) {
        rec.Record->Deleted = 1;
        ok = FixedPartInside(dataFile, rec.Record->DataPos, rec.Record->FixedSize()) &&
             PatchAt(dataFile, rec.Record->DataPos + rec.Record->DeletedOffset(), IntegerBytes(1));
    }
    return FixedPartInside(indexFile, rec.IndexPos, kIndexRecordFixedEnd) &&
           PatchAt(indexFile, rec.IndexPos + kIdxDeletedOffset, IntegerBytes(1)) && ok;
}

void TQNCustomDataSaveTree::PackClass(TQNIndexData& category,
                                      const std::vector<TQNIndexData*>& entries) {
    const std::string idxName = IndexFileName(category.FileBase);
    const std::string datName = DataFileName(category.FileBase);
    const std::string idxNew = idxName + ".new", datNew = datName + ".new";
    std::vector<std::pair<int64_t, int64_t>> positions;  // new DataPos, IndexPos
    try {
        {
            TQNZoleftpFileStream idx(idxNew, TQNFileMode::fmCreate, 0600);
            TQNZoleftpFileStream dat(datNew, TQNFileMode::fmCreate, 0600);
            std::string header = StreamBytes([](TQNStream& s) { WriteRecordFileHeader(s); });
            idx.WriteBuffer(header.data(), 16);
            dat.WriteBuffer(header.data(), 16);
            for (TQNIndexData* e : entries) {
                if (!e->Record) throw std::logic_error("PackClass: entry without a record");
                const int32_t wasDeleted = e->Record->Deleted;
                e->Record->Deleted = 0;
                std::string data = StreamBytes([&](TQNStream& s) { e->Record->WriteRecord(s, false); });
                e->Record->Deleted = wasDeleted;
                const int64_t dataPos = AppendRecord(dat, data);
                const int64_t oldDataPos = e->DataPos;
                const int32_t oldDeleted = e->Deleted;
                e->DataPos = dataPos;
                e->Deleted = 0;
                std::string index = StreamBytes([&](TQNStream& s) { WriteIndexData(*e, s); });
                e->DataPos = oldDataPos;
                e->Deleted = oldDeleted;
                positions.emplace_back(dataPos, AppendRecord(idx, index));
            }
            if (!idx.Flush() || !dat.Flush()) throw EStreamWriteError("Cannot flush packed files");
        }
        // The old files become the ".bak" copies (hard links, so the originals stay in
        // place until the new files are renamed over them).
        for (const std::string& name : {idxName, datName}) {
            if (!FileExists(name)) continue;
            const std::string bak = name + ".bak", bakTmp = name + ".bak.tmp";
            ::unlink(bakTmp.c_str());
            if (::link(name.c_str(), bakTmp.c_str()) != 0) {
                std::string bytes = ReadWholeFile(name);
                ReplaceFileAtomically(bakTmp, bytes);
            }
            if (::rename(bakTmp.c_str(), bak.c_str()) != 0)
                throw std::runtime_error("Cannot keep \"" + bak + "\"");
        }
        if (::rename(datNew.c_str(), datName.c_str()) != 0 ||
            ::rename(idxNew.c_str(), idxName.c_str()) != 0)
            throw std::runtime_error("Cannot replace the files of " + category.FileBase);
        SyncDirectory(storeDir_);
    } catch (...) {
        ::unlink(idxNew.c_str());
        ::unlink(datNew.c_str());
        throw;
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        TQNIndexData* e = entries[i];
        e->Deleted = 0;
        e->DataPos = positions[i].first;
        e->IndexPos = positions[i].second;
        e->Record->Deleted = 0;
        e->Record->DataPos = e->DataPos;
    }
    if (category.DataFile)
        category.DataFile = std::make_unique<TQNZoleftpFileStream>(datName, TQNFileMode::fmOpenReadWrite);
}

// ---- download store ----

const std::vector<TDefaultCategory>& DefaultCategories() {
    static const std::vector<TDefaultCategory> kDefaults = {
        {kRunningClassID, "正在下载", "ZlDownload", 0},
        {kDoneClassID, "下载完成", "ZlDownloaded", 0},
        {-1, "我的软件", "ZlDownloadedSoftWare", kDoneClassID},
        {-1, "我的MP3", "ZlDownloadedMp3", kDoneClassID},
        {-1, "我的游戏", "ZlDownloadedGame", kDoneClassID},
        {kDeletedClassID, "已经删除", "ZLdele", 0},
    };
    return kDefaults;
}

TQNDataSaveTree::TQNDataSaveTree() : TQNCustomDataSaveTree(TStoreKind::Download) {}

void TQNDataSaveTree::AddDefaultTree(const std::string& savePath) {
    for (const TDefaultCategory& c : DefaultCategories()) {
        auto rec = NewIndexData();
        rec->Caption = c.Caption;
        rec->FileBase = c.FileBase;
        rec->SavePath = savePath;
        rec->ActiveClass = c.ID == kRunningClassID ? 1 : 0;
        TQNIndexData* parent = c.ParentID ? FindClass(c.ParentID) : nullptr;
        TQNCustomDataSaveTree::AddNode(parent, std::move(rec), c.ID, true);
    }
}

TQNIndexData* TQNDataSaveTree::FindClass(int32_t id) const {
    TQNTreeNode* n = const_cast<TQNDataSaveTree*>(this)->Tree().FindByID(id);
    return n ? n->Data.get() : nullptr;
}

TQNIndexData* TQNDataSaveTree::ActiveClass() const {
    TQNIndexData* found = nullptr;
    const_cast<TQNDataSaveTree*>(this)->Tree().ForEach([&](TQNTreeNode& n) {
        if (!found && n.Data && n.Data->IsClass && n.Data->ActiveClass == 1) found = n.Data.get();
    });
    return found;
}

bool TQNDataSaveTree::EnsureActiveClass(const std::string& savePath) {
    if (ActiveClass()) return false;
    if (TQNIndexData* existing = FindClass(kRunningClassID)) {
        existing->ActiveClass = 1;
    } else {
        auto rec = NewIndexData();
        rec->ID = kRunningClassID;
        rec->IsClass = 1;
        rec->ActiveClass = 1;
        rec->Caption = DefaultCategories()[0].Caption;
        rec->FileBase = DefaultCategories()[0].FileBase;
        rec->SavePath = savePath;
        TQNIndexData* r = rec.get();
        Tree().Add(nullptr, std::move(rec), ImageForRecord(*r), 0);
        EnsureClassFiles(*r);
    }
    SaveTree();
    return true;
}

TQNIndexData* TQNDataSaveTree::OpenStore(const std::string& storeDir,
                                         const std::string& defaultSavePath) {
    ForceDirectories(storeDir, 0700);
    const bool isNew = Open(JoinLocalPath(storeDir, kDownloadTreeFile), storeDir);
    if (isNew) {
        Tree().Clear();
        AddDefaultTree(defaultSavePath);
        SaveTree();
    } else if (!LoadTree()) {
        Report(kMsgLoadError);
    }
    EnsureActiveClass(defaultSavePath);
    TQNIndexData* active = OpenActiveClass();
    if (active) ApplyJobOrder(LoadJobOrder());
    return active;
}

TQNIndexData* TQNDataSaveTree::AddNode(TQNIndexData* parent, TJobData& job, int64_t id,
                                       TQNZoleftpFileStream* dataFile) {
    if (!parent || parent->IsClass == 0 || !job.Index || !job.Data) return nullptr;
    LinkJobData(job);
    TQNIndexData& r = *job.Index;
    r.ParentID = parent->ID;
    r.ID = id == -1 ? static_cast<int32_t>(NextNodeID()) : static_cast<int32_t>(id);
    r.IsClass = 0;
    r.FileBase = parent->FileBase;
    if (parent->ActiveClass == 1) {
        job.Data->JobID = r.ID;
        ExdWriteInt(*job.Data, StoreDir(), "RUNDATACANUSE", 0);
        AddJobRecords(r, dataFile ? dataFile : parent->DataFile.get());
    } else {
        AddJobRecords(r, nullptr);
    }
    return &r;
}

void TQNDataSaveTree::LoadClassJobs(const TQNIndexData& category,
                                    std::vector<std::unique_ptr<TQNIndexData>>& indexList,
                                    TJobList& jobs) {
    std::unique_ptr<TQNZoleftpFileStream> own;
    TQNZoleftpFileStream* data = category.DataFile.get();
    if (!data) {
        const std::string name = DataFileName(category.FileBase);
        if (!FileExists(name)) return;
        own = std::make_unique<TQNZoleftpFileStream>(name, TQNFileMode::fmOpenRead);
        data = own.get();
    }
    jobs.reserve(jobs.size() + indexList.size());
    for (auto& entry : indexList) {
        auto job = std::make_unique<TJobData>();
        job->Index = std::move(entry);
        job->Data = NewDLMangeData();
        LinkJobData(*job);
        if (!ReadDataRecord(*job->Index, *data)) continue;
        job->Data->DisplayDone = job->Data->DoneSize;
        jobs.push_back(std::move(job));
    }
    indexList.clear();
}

bool TQNDataSaveTree::LoadClassJobList(const TQNIndexData& category, TJobList& jobs) {
    if (!FileExists(DataFileName(category.FileBase))) return false;
    std::vector<std::unique_ptr<TQNIndexData>> list;
    LoadIndexRecords(category, list, false);
    LoadClassJobs(category, list, jobs);
    return true;
}

TQNIndexData* TQNDataSaveTree::OpenActiveClass() {
    TQNIndexData* active = ActiveClass();
    if (!active) {
        Report(kMsgLoadError);
        return nullptr;
    }
    const std::string dataName = DataFileName(active->FileBase);
    const std::string indexName = IndexFileName(active->FileBase);
    try {
        // A missing data file is made again, so that progress saves have a file.
        EnsureClassFiles(*active);
        active->DataFile = std::make_unique<TQNZoleftpFileStream>(dataName, TQNFileMode::fmOpenReadWrite);
    } catch (const std::exception&) {
        Report(kMsgLoadError);
        return nullptr;
    }
    std::vector<std::unique_ptr<TQNIndexData>> list;
    int64_t validEnd = 0;
    const int deleted = LoadIndexRecords(*active, list, false, &validEnd);
    try {
        // Bytes after the last whole entry would hide every entry appended after them.
        TQNZoleftpFileStream index(indexName, TQNFileMode::fmOpenReadWrite);
        if (validEnd >= kRecordFileHeaderSize && index.Size() > validEnd) {
            index.SetPosition(validEnd);
            index.Truncate();
        }
    } catch (const std::exception&) {
    }
    LoadClassJobs(*active, list, JobList);
    if (JobList.empty() && deleted > 50) {
        try {
            active->DataFile.reset();
            ::unlink(dataName.c_str());
            ::unlink(indexName.c_str());
            EnsureClassFiles(*active);
            active->DataFile = std::make_unique<TQNZoleftpFileStream>(dataName, TQNFileMode::fmOpenReadWrite);
        } catch (const std::exception&) {
            Report(kMsgLoadError);
        }
    }
    // Jobs added after the last tree save carry IDs the saved NextID does not know.
    for (const auto& job : JobList)
        if (job->Index->ID >= static_cast<int32_t>(NextID) &&
            job->Index->ID < static_cast<int32_t>(kLastNodeID))
            NextID = static_cast<uint32_t>(job->Index->ID) + 1;
    return active;
}

bool TQNDataSaveTree::SaveJobProgress(TJobData& job, TQNZoleftpFileStream& dataFile) {
    if (!job.Data) return false;
    // Items 8 to 32: sizes, state, flags and the two high words in one write.
    const std::string numbers =
        StreamBytes([&](TQNStream& s) { WriteDLMangeData(*job.Data, s, true); });
    if (!FixedPartInside(dataFile, job.Data->DataPos, kDLNumericSize)) return false;
    return PatchAt(dataFile, job.Data->DataPos + kDLFileSizeOffset,
                   numbers.substr(kDLFileSizeOffset, kDLDoneSizeHighOffset + 4 - kDLFileSizeOffset));
}

bool TQNDataSaveTree::RemoveJob(TJobData& job, TQNZoleftpFileStream& dataFile) {
    if (!job.Index || !job.Data) return false;
    if (job.Data->ExdNumber != 0) ::unlink(ExdFileName(StoreDir(), job.Data->ExdNumber).c_str());
    if ((job.Data->State & 0xFF) == 3 && !job.Data->BlockFileName.empty()) {
        // The map always lies in the store folder; a stored name never reaches outside it.
        ::unlink(SafeJoinLocalPath(StoreDir(), job.Data->BlockFileName).c_str());
    }
    try {
        auto index = OpenRecordFile(IndexFileName(job.Index->FileBase));
        return DeleteJobRecords(*job.Index, *index, dataFile);
    } catch (const std::exception&) {
        return false;
    }
}

bool TQNDataSaveTree::RemoveJobFromClass(TJobData& job) {
    if (!job.Index || !job.Data) return false;
    try {
        auto index = OpenRecordFile(IndexFileName(job.Index->FileBase));
        auto data = OpenRecordFile(DataFileName(job.Index->FileBase));
        job.Data->SetOwnerIDs(job.Index->ID, job.Index->ParentID);
        return DeleteJobRecords(*job.Index, *index, *data);
    } catch (const std::exception&) {
        return false;
    }
}

void TQNDataSaveTree::SaveJobOrder() {
    ReplaceFileAtomically(JoinLocalPath(StoreDir(), kJobOrderFile), StreamBytes([this](TQNStream& s) {
        for (const auto& job : JobList) StreamWriteInteger(s, job->Data->JobID);
    }));
}

std::vector<int32_t> TQNDataSaveTree::LoadJobOrder() {
    std::vector<int32_t> order;
    const std::string name = JoinLocalPath(StoreDir(), kJobOrderFile);
    if (!FileExists(name)) return order;
    try {
        TQNTMemoryStream m(ReadWholeFile(name));
        int32_t id = 0;
        while (StreamReadInteger(m, id)) order.push_back(id);
    } catch (const std::exception&) {
    }
    return order;
}

void TQNDataSaveTree::ApplyJobOrder(const std::vector<int32_t>& order) {
    TJobList old = std::move(JobList);
    JobList.clear();
    JobList.reserve(old.size());
    // Index of the first remaining entry per JobID, so that long lists stay fast.
    std::unordered_map<int32_t, std::vector<size_t>> byID;
    for (size_t i = 0; i < old.size(); ++i) byID[old[i]->Data->JobID].push_back(i);
    std::unordered_map<int32_t, size_t> used;
    for (int32_t id : order) {
        auto it = byID.find(id);
        if (it == byID.end()) continue;
        size_t& next = used[id];
        if (next >= it->second.size()) continue;
        JobList.push_back(std::move(old[it->second[next++]]));
    }
    for (auto& job : old)
        if (job) JobList.push_back(std::move(job));
}

void TQNDataSaveTree::MoveJobInList(TJobData* job, int mode, int target) {
    const int n = static_cast<int>(JobList.size());
    int from = -1;
    for (int i = 0; i < n; ++i)
        if (JobList[i].get() == job) from = i;
    if (from < 0) return;
    int to;
    switch (mode) {
    case 0:
    case 1: to = std::clamp(target, 0, n - 1); break;
    case 2: to = std::max(from - 1, 0); break;
    case 3: to = std::min(from + 1, n - 1); break;
    default: return;
    }
    if (to == from) return;
    auto entry = std::move(JobList[from]);
    JobList.erase(JobList.begin() + from);
    JobList.insert(JobList.begin() + to, std::move(entry));
}

bool TQNDataSaveTree::IsUrlInJobList(const std::string& url) const {
    for (const auto& job : JobList)
        if (job->Data && job->Data->URL == url) return true;
    return false;
}

// ---- URL history ----

std::string TQNDataSaveTree::UrlHistoryFileName() const {
    return JoinLocalPath(StoreDir(), kUrlHistoryFile);
}

std::string UrlHistoryDateNow() {
    time_t now = ::time(nullptr);
    struct tm t {};
    ::localtime_r(&now, &t);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d-%d-%d %d:%d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min);
    return buf;
}

bool SplitUrlHistoryLine(const std::string& line, std::string& classText, std::string& date) {
    // URLs may hold "*" themselves: the class text follows the last one.
    const size_t star = line.rfind('*');
    if (star == std::string::npos) return false;
    const size_t bar = line.find('|', star + 1);
    classText = line.substr(star + 1, bar == std::string::npos ? std::string::npos : bar - star - 1);
    date = bar == std::string::npos ? std::string() : line.substr(bar + 1);
    return true;
}

bool TQNDataSaveTree::CheckUrlHistory(const std::string& url, std::string& classText,
                                      const std::string* date, bool add) {
    if (url.empty()) return false;
    try {
        const std::string name = UrlHistoryFileName();
        std::string text = FileExists(name) ? ReadWholeFile(name) : std::string();
        // The whole URL part of a line must match: a substring test took a new URL for a
        // duplicate of any longer one that contains it ("a.zip" of "a.zip2").
        const std::string needle = LowerCase(url);
        for (const std::string& line : SplitTextLines(text, true)) {
            const size_t star = line.rfind('*');
            if (LowerCase(line.substr(0, star)) != needle) continue;
            std::string dateText;
            SplitUrlHistoryLine(line, classText, dateText);
            return true;
        }
        if (add) {
            // One appended line; the rest of the history is not rewritten.
            std::string line = url + "*" + classText + "|" + (date ? *date : UrlHistoryDateNow());
            if (!text.empty() && text.back() != '\n') line.insert(0, "\r\n");
            line += "\r\n";
            int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
            if (fd >= 0) {
                ssize_t w = ::write(fd, line.data(), line.size());
                (void)w;
                ::close(fd);
            }
        }
        return false;
    } catch (const std::exception&) {
        return false;
    }
}

std::string TQNDataSaveTree::RemoveUrlHistory(const std::string& url) {
    try {
        const std::string name = UrlHistoryFileName();
        if (!FileExists(name)) return {};
        std::vector<std::string> lines = SplitTextLines(ReadWholeFile(name), true);
        for (size_t i = 0; i < lines.size(); ++i) {
            const size_t star = lines[i].rfind('*');
            if (lines[i].substr(0, star) != url) continue;
            std::string removed = lines[i];
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
            std::string text;
            for (const std::string& l : lines) text += l + "\r\n";
            ReplaceFileAtomically(name, text);
            return removed;
        }
    } catch (const std::exception&) {
    }
    return {};
}

// ---- packing and backups ----

bool PackDownloadStore(const std::string& workDir, std::string* message) {
    const std::string dir = JoinLocalPath(workDir, kDownloadDirName);
    const std::string treeFile = JoinLocalPath(dir, kDownloadTreeFile);
    if (!DirExists(dir) || !FileExists(treeFile)) return true;
    try {
        TQNDataSaveTree store;
        store.Open(treeFile, dir);
        if (!store.LoadTree()) throw std::runtime_error("tree");
        std::vector<TQNIndexData*> categories;
        store.Tree().ForEach([&](TQNTreeNode& n) {
            if (n.Data && n.Data->IsClass) categories.push_back(n.Data.get());
        });
        for (TQNIndexData* c : categories) {
            TJobList jobs;
            // A category whose data file is gone keeps its files as they are.
            if (!store.LoadClassJobList(*c, jobs)) continue;
            std::vector<TQNIndexData*> entries;
            for (auto& j : jobs) entries.push_back(j->Index.get());
            store.PackClass(*c, entries);
        }
        return true;
    } catch (const std::exception&) {
        if (message) *message = kMsgPackError;
        return false;
    }
}

std::string BackupDateToday() {
    time_t now = ::time(nullptr);
    struct tm t {};
    ::localtime_r(&now, &t);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    return buf;
}

bool BackupData(const std::string& workDir, bool forced, int maxBak, int& lastBakID) {
    const std::string bakRoot = JoinLocalPath(workDir, kBackupDirName);
    auto slotDir = [&](int n) { return JoinLocalPath(bakRoot, std::string(kBackupDirName) + std::to_string(n)); };
    const std::string today = BackupDateToday();
    const std::string current = JoinLocalPath(slotDir(lastBakID), "data.dat");
    if (!forced && FileExists(current) && IniReadRaw("data", "data", "", false, current) == today)
        return false;
    int n = lastBakID + 1;
    if (n > maxBak || n < 0) n = 0;
    lastBakID = n;
    const std::string slot = slotDir(n);
    // A reused slot is emptied first: stale files would come back on a restore.
    if (EntryExists(slot)) DeleteDirTree(slot);
    ForceDirectories(slot, 0700);
    for (const char* sub : {kFtpDataDirName, kDownloadDirName}) {
        const std::string from = JoinLocalPath(workDir, sub);
        if (!DirExists(from)) continue;
        const std::string to = JoinLocalPath(slot, sub);
        ForceDirectories(to, 0700);
        std::vector<std::string> files;
        ListFilesInDir(from, files);
        for (std::string f : files) CopyFileToDir(from, to, f, false);
    }
    // The date goes in last: a slot cut short by a crash does not count as today's.
    IniWriteRaw("data", "data", today, JoinLocalPath(slot, "data.dat"));
    return true;
}

} // namespace tq
