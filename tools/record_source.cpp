#include "tools/record_source.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "platform/config/config_text.h"
#include "platform/config/parse_error.h"
#include "platform/config/record_syntax.h"
#include "platform/util/env.h"
#include "platform/util/file_util.h"

RecordFileSource::RecordFileSource(const std::string& path, bool downloadLog, size_t pieceSize)
    : mPath(path),
      mPieceSize(std::max<size_t>(pieceSize, 1)),
      mpPiece(NewRecordText(downloadLog)),
      mFd(OpenRegularFile(path)),
      mAtEnd(mFd < 0) {}

RecordFileSource::~RecordFileSource() {
    if (mFd >= 0) Env::Current()->Close(mFd);
}

bool RecordFileSource::Next(RecordEntries* record) {
    while (!mpPiece->GotoNextSection())
        if (!ParseNextPiece()) return false;
    mpPiece->GetEntries(record);
    return true;
}

void RecordFileSource::Rewind() {
    if (mFd >= 0 && Env::Current()->Seek(mFd, 0, SEEK_SET) != 0)
        throw FileError("go back to the start of", mPath, errno);
    mPending.clear();
    mLinesBefore = 0;
    mAtEnd = mFd < 0;
    mpPiece->ClearAll();
}

// Appends up to a piece of the file to mPending; sets mAtEnd when the file has no more.
void RecordFileSource::ReadMore() {
    const size_t start = mPending.size();
    mPending.resize(start + mPieceSize);
    ssize_t got;
    do {
        got = Env::Current()->Read(mFd, &mPending[start], mPieceSize);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        mPending.resize(start);
        throw FileError("read", mPath, errno);
    }
    mPending.resize(start + static_cast<size_t>(got));
    mAtEnd = got == 0;
}

// The length of the longest start of mPending that ends with a closing line (its line end
// included); 0 when it holds none. The search goes back from the end, line by line: the last
// closing line is near it.
size_t RecordFileSource::CutPoint() const {
    const char* const text = mPending.data();
    const char* lineEnd = static_cast<const char*>(memrchr(text, '\n', mPending.size()));
    while (lineEnd != nullptr) {
        const char* before = static_cast<const char*>(memrchr(text, '\n', lineEnd - text));
        const char* begin = before != nullptr ? before + 1 : text;
        const char* end = lineEnd;
        Configuration::TrimBlanks(&begin, &end);
        if (Configuration::Equals(begin, end, kRecordCloseLine))
            return static_cast<size_t>(lineEnd + 1 - text);
        lineEnd = before;
    }
    return 0;
}

// Parses the next piece of whole sections into mpPiece. False when the file is read out.
bool RecordFileSource::ParseNextPiece() {
    if (mAtEnd && mPending.empty()) return false;
    while (!mAtEnd && mPending.size() < mPieceSize) ReadMore();
    size_t cut = CutPoint();
    // A section longer than a piece: read on until it ends.
    while (cut == 0 && !mAtEnd) {
        ReadMore();
        cut = CutPoint();
    }
    // The rest of the file, sections or not, is judged whole at the end.
    if (mAtEnd) cut = mPending.size();
    try {
        mpPiece->Parse(mPending.data(), cut, mPath);
    } catch (const Configuration::ParseError& e) {
        throw Configuration::ParseError(mPath, mLinesBefore + e.line(), e.reason());
    }
    mpPiece->Restart();
    mLinesBefore +=
        static_cast<unsigned>(std::count(mPending.begin(), mPending.begin() + cut, '\n'));
    mPending.erase(0, cut);
    return true;
}
