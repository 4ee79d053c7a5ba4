#include "foundation/TQNFileData.h"

namespace tq {

std::unique_ptr<TQNFileData> NewFileData() { return std::make_unique<TQNFileData>(); }

void CopyFileData(const TQNFileData& from, TQNFileData& to) {
    const double keep = to.DateTime;
    to = from;
    to.DateTime = keep;
}

void FreeFileData(std::unique_ptr<TQNFileData>& data) { data.reset(); }

void FreeFileDataList(TQNFileDataList& list) { list.clear(); }

} // namespace tq
