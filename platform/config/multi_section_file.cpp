#include "platform/config/multi_section_file.h"

#include <errno.h>

#include <stdexcept>
#include <vector>

#include "platform/util/file_util.h"

namespace Configuration {

namespace {

const char* RequirePath(const char* path) {
    if (path == nullptr || *path == '\0') throw std::invalid_argument("sectioned file: no path");
    return path;
}

}  // namespace

MultiSectionFile::MultiSectionFile(const char* path, bool missingIsEmpty, bool readOnly,
                                   bool ownerOnly, const char* sectionWord, const char* open,
                                   const char* close, const char* separator, const char* comment,
                                   const char* endLine)
    : MultiSectionConfigFile(sectionWord, open, close, separator, comment, endLine),
      mPath(RequirePath(path)),
      mReadOnly(readOnly),
      mMode(ownerOnly ? 0600 : 0640) {
    FileBytes text;
    // These files are the recorder's own: whatever size a save gave them reads back.
    if (ReadWholeFile(mPath, &text, kNoSizeLimit))
        Load(&text, mPath);
    else if (!missingIsEmpty)
        throw FileError("open", mPath, ENOENT);
    MarkSaved();
}

int MultiSectionFile::Save(bool force, const char* fileName) {
    const bool ownPath = fileName == nullptr || mPath == fileName;
    const std::string& target = ownPath ? mPath : std::string(fileName);
    if (mReadOnly) throw FileError("save", target, EROFS);
    if (!force && ownPath && !IsModified()) return 1;
    std::vector<struct iovec> pieces;
    CollectPieces(&pieces);
    WriteFileAtomically(target, pieces.data(), pieces.size(), mMode);
    if (ownPath) MarkSaved();
    return 1;
}

}  // namespace Configuration
