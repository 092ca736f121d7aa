#include "platform/config/multi_section_config_file.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <new>
#include <stdexcept>

#include "platform/config/config_text.h"
#include "platform/util/decimal.h"

namespace Configuration {

namespace {

// Room for a number in decimal and the NUL its writer puts after it.
const size_t kDecimalRoom = 21;

// A syntax line as given ("{\n"): without its line end and the blanks around it.
std::string SyntaxLine(const char* given, const char* fallback, bool required, const char* role) {
    if (given == nullptr) given = fallback != nullptr ? fallback : "";
    const char* begin = given;
    const char* end = given + strlen(given);
    if (end > begin && end[-1] == '\n') --end;
    TrimBlanks(&begin, &end);
    if (required && begin == end)
        throw std::invalid_argument(std::string("sectioned file: empty ") + role);
    return std::string(begin, end);
}

std::string Separator(const char* given) {
    const std::string separator = given != nullptr ? given : "=";
    // Readers drop the blanks that end a line: an entry with an empty value would lose a blank
    // that ends its separator.
    if (separator.empty() || IsBlank(separator[0]) || IsBlank(separator.back()) ||
        separator[0] == '\\' || separator.find('\n') != std::string::npos)
        throw std::invalid_argument("sectioned file: unusable separator \"" + separator + "\"");
    return separator;
}

}  // namespace

MultiSectionConfigFile::MultiSectionConfigFile(const char* sectionWord, const char* open,
                                               const char* close, const char* separator,
                                               const char* comment, const char* endLine)
    : mSectionWord(SyntaxLine(sectionWord, nullptr, false, "section word")),
      mOpen(SyntaxLine(open, "{", true, "opening line")),
      mClose(SyntaxLine(close, "}", true, "closing line")),
      mSeparator(Separator(separator)),
      mComment(SyntaxLine(comment, nullptr, false, "comment mark")),
      mEndLine(SyntaxLine(endLine, nullptr, false, "end line")),
      mHead((mSectionWord.empty() ? "" : mSectionWord + "\n") + mOpen + "\n"),
      mTail(mClose + "\n") {}

MultiSectionConfigFile::~MultiSectionConfigFile() {
    ClearAll();
}

// ---- the sections' storage ----

bool MultiSectionConfigFile::IsLoaded(const char* text) const {
    const std::less_equal<const char*> notAfter;
    return !mLoaded.empty() && notAfter(mLoaded.data(), text) &&
           std::less<const char*>()(text, mLoaded.data() + mLoaded.size());
}

void MultiSectionConfigFile::ReleaseSlot(Slot slot) {
    if (!IsLoaded(slot.text))
        free(slot.text);
    else if (--mLoadedSlices == 0)
        ReleaseLoaded();
}

void MultiSectionConfigFile::ReleaseLoaded() {
    mLoaded.Clear();
    mLoadedSlices = 0;
}

// ---- structure ----

void MultiSectionConfigFile::ShrinkCurrent() {
    if (mCurrent == kNone) return;
    Slot& slot = At(mCurrent);
    // Spare room below the heap's smallest block cannot be given back.
    if (mCurrentRoom > slot.size + 32) {
        mRoomHint = slot.size;
        char* shrunk = static_cast<char*>(realloc(slot.text, slot.size));
        if (shrunk != nullptr) slot.text = shrunk;
    }
}

void MultiSectionConfigFile::MakeCurrent(unsigned position) {
    mResumePending = false;
    if (position == mCurrent) return;
    // The section being left gives back its spare room: stored sections cost only their bytes.
    ShrinkCurrent();
    mCurrent = position;
    mCurrentRoom = position != kNone && !IsLoaded(At(position).text) ? At(position).size : 0;
}

int MultiSectionConfigFile::AddSection(bool front) {
    const size_t room = std::max(mRoomHint + 32, mHead.size() + mTail.size());
    char* text = AllocateText(room);
    memcpy(text, mHead.data(), mHead.size());
    memcpy(text + mHead.size(), mTail.data(), mTail.size());
    MakeCurrent(kNone);
    const unsigned position = front ? 0 : mRing.Count();
    try {
        mRing.Insert(position, Slot{text, SectionSize(mHead.size() + mTail.size())});
    } catch (...) {
        free(text);
        throw;
    }
    mCurrent = position;
    mCurrentRoom = room;
    mModified = true;
    return 1;
}

int MultiSectionConfigFile::DeleteSection() {
    if (mCurrent == kNone) return 0;
    const Slot slot = At(mCurrent);
    mRing.Remove(mCurrent);
    mResume = mCurrent;
    mResumePending = true;
    mCurrent = kNone;
    mCurrentRoom = 0;
    ReleaseSlot(slot);
    mModified = true;
    return 1;
}

void MultiSectionConfigFile::ClearAll() {
    ClearSlots();
    ReleaseLoaded();
}

void MultiSectionConfigFile::ClearSlots() {
    for (unsigned p = 0; p < mRing.Count(); ++p)
        if (!IsLoaded(At(p).text)) free(At(p).text);
    mLoadedSlices = 0;
    mRing.Clear();
    mCurrent = kNone;
    mCurrentRoom = 0;
    mResumePending = false;
    mModified = true;
}

// ---- navigation ----

int MultiSectionConfigFile::GotoFirstSection() {
    MakeCurrent(mRing.Count() > 0 ? 0 : kNone);
    return mCurrent != kNone;
}

int MultiSectionConfigFile::GotoLastSection() {
    MakeCurrent(mRing.Count() > 0 ? mRing.Count() - 1 : kNone);
    return mCurrent != kNone;
}

int MultiSectionConfigFile::Restart() {
    MakeCurrent(kNone);
    mResume = 0;
    mResumePending = true;
    return mRing.Count() > 0;
}

int MultiSectionConfigFile::GotoNextSection() {
    unsigned next = mResumePending ? mResume : mCurrent != kNone ? mCurrent + 1 : kNone;
    if (next != kNone && next >= mRing.Count()) next = kNone;
    MakeCurrent(next);
    return mCurrent != kNone;
}

// ---- entries ----

const char* MultiSectionConfigFile::EntriesBegin(const Slot& slot) const {
    return slot.text + mHead.size();
}

const char* MultiSectionConfigFile::EntriesEnd(const Slot& slot) const {
    return slot.text + slot.size - mTail.size();
}

// The current section's text made its own block with room for `extra` more bytes; returns where
// its entries end (where its closing line starts).
char* MultiSectionConfigFile::RoomForEntry(size_t extra) {
    Slot& slot = At(mCurrent);
    const size_t needed = slot.size + extra;
    mModified = true;
    if (needed <= mCurrentRoom) return slot.text + slot.size - mTail.size();
    SectionSize(needed);  // throws for a section its index cannot hold
    if (mCurrentRoom == 0) {
        // A slice of the loaded buffer: copied out before it is changed.
        char* own = AllocateText(needed);
        memcpy(own, slot.text, slot.size);
        const Slot loaded = slot;
        slot.text = own;
        mCurrentRoom = needed;
        ReleaseSlot(loaded);
    } else {
        const size_t room = std::max(needed, 2 * mCurrentRoom);
        char* grown = static_cast<char*>(realloc(slot.text, room));
        if (grown == nullptr) throw std::bad_alloc();
        slot.text = grown;
        mCurrentRoom = room;
    }
    return slot.text + slot.size - mTail.size();
}

// Closes the current section's text again after its entries were written up to `end`.
void MultiSectionConfigFile::FinishEntry(char* end) {
    Slot& slot = At(mCurrent);
    for (char c : mTail) *end++ = c;  // a line or two: cheaper than a call
    slot.size = SectionSize(end - slot.text);
}

int MultiSectionConfigFile::AddSectionEntry(const char* key, const char* value) {
    if (mCurrent == kNone || key == nullptr || value == nullptr) return 0;
    return AddSectionEntry(key, strlen(key), value, strlen(value));
}

int MultiSectionConfigFile::AddSectionEntry(const char* key, size_t keySize, const char* value,
                                            size_t valueSize) {
    if (mCurrent == kNone || key == nullptr || value == nullptr) return 0;
    EntryAppender(this).Checked({key, keySize}, {value, valueSize});
    return 1;
}

MultiSectionConfigFile::EntryAppender::EntryAppender(MultiSectionConfigFile* file)
    : mpFile(file),
      mpSeparator(file->mSeparator.data()),
      mSeparatorSize(file->mSeparator.size()),
      mTailSize(file->mTail.size()) {
    if (file->mCurrent == kNone) throw std::logic_error("entries appended with no section current");
    const Slot& slot = file->At(file->mCurrent);
    mpText = slot.text;
    mEnd = slot.size - mTailSize;
}

MultiSectionConfigFile::EntryAppender::~EntryAppender() {
    mpFile->FinishEntry(mpText + mEnd);
    mpFile->mModified = true;
}

// The section's text made its own block with room to spare, as RoomForEntry does for a section
// whose size covers its entries and its closing lines: those are written when the appender ends.
char* MultiSectionConfigFile::EntryAppender::Grow(size_t bytes) {
    mpFile->At(mpFile->mCurrent).size = SectionSize(mEnd + mTailSize);
    char* out = mpFile->RoomForEntry(bytes);
    mpText = mpFile->At(mpFile->mCurrent).text;
    return out;
}

// Written in place while the section has room for the longest number; otherwise aside first,
// so that room is asked for the digits there are: the longest number would often call for more
// room than the record needs. (Written aside and read back as words, each number cost a stall.)
template <typename Value>
void MultiSectionConfigFile::EntryAppender::Decimal(std::string_view key, Value value,
                                                    size_t (*format)(char*, Value)) {
    if (mEnd + key.size() + mSeparatorSize + kDecimalRoom + 1 + mTailSize <= mpFile->mCurrentRoom) {
        char* out = WriteKey(mpText + mEnd, key);  // the room was just checked
        EndLine(out + format(out, value));
        return;
    }
    char digits[kDecimalRoom];
    Plain(key, std::string_view(digits, format(digits, value)));
}

void MultiSectionConfigFile::EntryAppender::Number(std::string_view key, unsigned long long value) {
    Decimal(key, value, FormatUnsignedDecimal);
}

void MultiSectionConfigFile::EntryAppender::SignedNumber(std::string_view key, long long value) {
    Decimal(key, value, FormatSignedDecimal);
}

void MultiSectionConfigFile::EntryAppender::Checked(std::string_view key, std::string_view value) {
    const char comment = mpFile->mComment.empty() ? '\0' : mpFile->mComment[0];
    if (mSeparatorSize == 1) {
        char* out = Room(key.size() + 1 + value.size() + 1);
        if (CopyPlainEntry(out, key.data(), key.size(), *mpSeparator, value.data(), value.size(),
                           comment)) {
            EndLine(out + key.size() + 1 + value.size());
            return;
        }
    }
    char* out = Room(4 * (key.size() + value.size()) + mSeparatorSize + 1);
    const char* text = key.data();
    out = WriteEscaped(out, &text, *mpSeparator, comment);
    memcpy(out, mpSeparator, mSeparatorSize);
    text = value.data();
    EndLine(WriteEscaped(out + mSeparatorSize, &text, '\0', '\0'));
}

int MultiSectionConfigFile::AddSectionEntriesOf(const MultiSectionConfigFile& source) {
    if (mCurrent == kNone || source.mCurrent == kNone || source.mSeparator != mSeparator ||
        source.mComment != mComment)
        return 0;
    const Slot& from = source.At(source.mCurrent);
    const char* begin = source.EntriesBegin(from);
    const size_t size = static_cast<size_t>(source.EntriesEnd(from) - begin);
    char* end = RoomForEntry(size);
    memcpy(end, begin, size);
    FinishEntry(end + size);
    return 1;
}

// The line of the current section's first entry with `key`, or null.
const char* MultiSectionConfigFile::FindEntryLine(const char* key) const {
    std::string prefix;
    AppendEscaped(&prefix, key, mSeparator[0], mComment.empty() ? '\0' : mComment[0]);
    prefix += mSeparator;
    const Slot& slot = At(mCurrent);
    const char* end = EntriesEnd(slot);
    for (const char* line = EntriesBegin(slot); line < end;) {
        const char* lineEnd = static_cast<const char*>(memchr(line, '\n', end - line));
        if (static_cast<size_t>(lineEnd - line) >= prefix.size() &&
            memcmp(line, prefix.data(), prefix.size()) == 0)
            return line + prefix.size();
        line = lineEnd + 1;
    }
    return nullptr;
}

int MultiSectionConfigFile::SetSectionEntry(const char* key, const char* value) {
    if (mCurrent == kNone || key == nullptr || value == nullptr) return 0;
    const char* found = FindEntryLine(key);
    if (found == nullptr) return AddSectionEntry(key, value);
    std::string escaped;
    AppendEscaped(&escaped, value, '\0', '\0');
    const size_t valueAt = found - At(mCurrent).text;
    const size_t oldSize =
        static_cast<const char*>(memchr(found, '\n', EntriesEnd(At(mCurrent)) - found)) - found;
    const size_t grow = escaped.size() > oldSize ? escaped.size() - oldSize : 0;
    char* entriesEnd = RoomForEntry(grow);
    char* valueBegin = At(mCurrent).text + valueAt;
    memmove(valueBegin + escaped.size(), valueBegin + oldSize, entriesEnd - (valueBegin + oldSize));
    memcpy(valueBegin, escaped.data(), escaped.size());
    FinishEntry(entriesEnd + escaped.size() - oldSize);
    return 1;
}

bool MultiSectionConfigFile::CurrentSectionText(const char** text, size_t* size) const {
    if (mCurrent == kNone) return false;
    const Slot& slot = At(mCurrent);
    *text = slot.text;
    *size = slot.size;
    return true;
}

int MultiSectionConfigFile::GetSectionEntry(const char* key, char* buffer, unsigned size) const {
    if (mCurrent == kNone || key == nullptr) return 0;
    const char* value = FindEntryLine(key);
    if (value == nullptr) return 0;
    if (size > 0) {
        const char* end =
            static_cast<const char*>(memchr(value, '\n', EntriesEnd(At(mCurrent)) - value));
        std::string unescaped;
        if (memchr(value, '\\', end - value) != nullptr) {
            AppendUnescaped(&unescaped, value, end);
            value = unescaped.data();
            end = value + unescaped.size();
        }
        const size_t length = std::min<size_t>(end - value, size - 1);
        memcpy(buffer, value, length);
        buffer[length] = '\0';
    }
    return 1;
}

unsigned MultiSectionConfigFile::GetEntryCount() const {
    if (mCurrent == kNone) return 0;
    const Slot& slot = At(mCurrent);
    return static_cast<unsigned>(std::count(EntriesBegin(slot), EntriesEnd(slot), '\n'));
}

bool MultiSectionConfigFile::GetEntry(unsigned index, std::string* key, std::string* value) const {
    if (mCurrent == kNone) return false;
    const Slot& slot = At(mCurrent);
    const char* end = EntriesEnd(slot);
    const char* line = EntriesBegin(slot);
    for (; line < end; --index) {
        const char* lineEnd = static_cast<const char*>(memchr(line, '\n', end - line));
        if (index == 0) {
            // Saved keys hold the separator's first byte only escaped: its first one starts it.
            const char* separator =
                static_cast<const char*>(memchr(line, mSeparator[0], lineEnd - line));
            key->clear();
            value->clear();
            AppendUnescaped(key, line, separator);
            AppendUnescaped(value, separator + mSeparator.size(), lineEnd);
            return true;
        }
        line = lineEnd + 1;
    }
    return false;
}

void MultiSectionConfigFile::GetEntries(
    std::vector<std::pair<std::string, std::string>>* entries) const {
    size_t count = 0;
    if (mCurrent != kNone) {
        const Slot& slot = At(mCurrent);
        const char* end = EntriesEnd(slot);
        for (const char* line = EntriesBegin(slot); line < end; ++count) {
            const char* lineEnd = static_cast<const char*>(memchr(line, '\n', end - line));
            // Saved keys hold the separator's first byte only escaped: its first one starts it.
            const char* separator =
                static_cast<const char*>(memchr(line, mSeparator[0], lineEnd - line));
            if (count == entries->size()) entries->emplace_back();
            auto& entry = (*entries)[count];
            entry.first.clear();
            entry.second.clear();
            AppendUnescaped(&entry.first, line, separator);
            AppendUnescaped(&entry.second, separator + mSeparator.size(), lineEnd);
            line = lineEnd + 1;
        }
    }
    entries->resize(count);
}

// ---- text ----

std::string MultiSectionConfigFile::Text() const {
    std::vector<struct iovec> pieces;
    CollectPieces(&pieces);
    size_t size = 0;
    for (const struct iovec& piece : pieces) size += piece.iov_len;
    std::string text;
    text.reserve(size);
    for (const struct iovec& piece : pieces)
        text.append(static_cast<const char*>(piece.iov_base), piece.iov_len);
    return text;
}

void MultiSectionConfigFile::CollectPieces(std::vector<struct iovec>* pieces) const {
    pieces->reserve(pieces->size() + mRing.Count() + 1);
    for (unsigned p = 0; p < mRing.Count(); ++p) {
        const Slot& slot = At(p);
        if (!pieces->empty() &&
            static_cast<char*>(pieces->back().iov_base) + pieces->back().iov_len == slot.text)
            pieces->back().iov_len += slot.size;
        else
            pieces->push_back(iovec{slot.text, slot.size});
    }
    if (!mEndLine.empty()) {
        pieces->push_back(iovec{const_cast<char*>(mEndLine.c_str()), mEndLine.size()});
        pieces->push_back(iovec{const_cast<char*>("\n"), 1});
    }
}

}  // namespace Configuration
