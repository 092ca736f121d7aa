#include "platform/config/multi_section_config_file.h"

#include <stdlib.h>
#include <string.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <functional>
#include <new>
#include <stdexcept>

#include "platform/config/config_text.h"
#include "platform/config/parse_error.h"

namespace Configuration {

namespace {

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
    if (separator.empty() || IsBlank(separator[0]) || separator[0] == '\\' ||
        separator.find('\n') != std::string::npos)
        throw std::invalid_argument("sectioned file: unusable separator \"" + separator + "\"");
    return separator;
}

uint32_t SectionSize(size_t size) {
    if (size > UINT32_MAX) throw std::length_error("sectioned file: section too large");
    return static_cast<uint32_t>(size);
}

char* Allocate(size_t size) {
    char* block = static_cast<char*>(malloc(size));
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

// True when the text has a byte that a saved file holds only escaped: a control byte other than
// the line end, or DEL.
bool HasRawControlBytes(const char* text, size_t size) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    unsigned char found = 0;  // a branch-free loop the compiler can vectorise
    for (size_t i = 0; i < size; ++i)
        found |= static_cast<unsigned char>((bytes[i] < 0x20) & (bytes[i] != '\n')) |
                 static_cast<unsigned char>(bytes[i] == 0x7F);
    return found != 0;
}

// True for a byte that a saved entry line never holds raw: a control byte (the line end
// included), DEL or a backslash.
inline bool IsSpecial(unsigned char c) {
    return c < 0x20 || c == 0x7F || c == '\\';
}

// The quick load's look at one entry line from `line`: returns its line end, or null when there
// is none before `end` or when a special byte comes before it, which only the full check can
// judge. `*separator` is the line's first `sep` byte, or null when it has none. Sixteen bytes at
// a time where the processor has the instructions for it.
const char* ScanEntryLine(const char* line, const char* end, char sep, const char** separator) {
    *separator = nullptr;
    const char* p = line;
#if defined(__SSE2__)
    const __m128i lineEnds = _mm_set1_epi8('\n'), seps = _mm_set1_epi8(sep);
    const __m128i del = _mm_set1_epi8(0x7F), backslash = _mm_set1_epi8('\\');
    const __m128i lastControl = _mm_set1_epi8(0x1F);
    for (; end - p >= 16; p += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const unsigned lineEnd =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, lineEnds)));
        const __m128i special = _mm_or_si128(
            _mm_cmpeq_epi8(_mm_min_epu8(bytes, lastControl), bytes),
            _mm_or_si128(_mm_cmpeq_epi8(bytes, del), _mm_cmpeq_epi8(bytes, backslash)));
        const unsigned specials = static_cast<unsigned>(_mm_movemask_epi8(special));
        unsigned found = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, seps)));
        // Only the bytes before the line end count.
        const unsigned before = lineEnd != 0 ? (lineEnd & (0u - lineEnd)) - 1 : 0xFFFFu;
        if ((specials & before) != 0) return nullptr;
        found &= before;
        if (*separator == nullptr && found != 0) *separator = p + __builtin_ctz(found);
        if (lineEnd != 0) return p + __builtin_ctz(lineEnd);
    }
#endif
    for (; p < end; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\n') return p;
        if (IsSpecial(c)) return nullptr;
        if (c == static_cast<unsigned char>(sep) && *separator == nullptr) *separator = p;
    }
    return nullptr;
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
    free(mpSlots);
}

// ---- the ring of sections ----

MultiSectionConfigFile::Slot& MultiSectionConfigFile::At(unsigned position) const {
    const unsigned index = mFirst + position;
    return mpSlots[index < mCapacity ? index : index - mCapacity];
}

bool MultiSectionConfigFile::IsLoaded(const char* text) const {
    const std::less_equal<const char*> notAfter;
    return !mLoaded.empty() && notAfter(mLoaded.data(), text) &&
           std::less<const char*>()(text, mLoaded.data() + mLoaded.size());
}

void MultiSectionConfigFile::FitSlots(unsigned capacity) {
    Slot* slots = static_cast<Slot*>(malloc(sizeof(Slot) * std::max(capacity, 1u)));
    if (slots == nullptr) throw std::bad_alloc();
    for (unsigned p = 0; p < mCount; ++p) slots[p] = At(p);
    free(mpSlots);
    mpSlots = slots;
    mCapacity = capacity;
    mFirst = 0;
}

void MultiSectionConfigFile::InsertSlot(unsigned position, Slot slot) {
    if (mCount == mCapacity) FitSlots(mCapacity + mCapacity / 4 + 16);
    if (position == 0) {
        mFirst = mFirst == 0 ? mCapacity - 1 : mFirst - 1;
    } else {
        for (unsigned p = mCount; p > position; --p) At(p) = At(p - 1);
    }
    ++mCount;
    At(position) = slot;
}

void MultiSectionConfigFile::RemoveSlot(unsigned position) {
    if (position < mCount / 2) {
        for (unsigned p = position; p > 0; --p) At(p) = At(p - 1);
        mFirst = mFirst + 1 == mCapacity ? 0 : mFirst + 1;
    } else {
        for (unsigned p = position; p + 1 < mCount; ++p) At(p) = At(p + 1);
    }
    --mCount;
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
    char* text = Allocate(room);
    memcpy(text, mHead.data(), mHead.size());
    memcpy(text + mHead.size(), mTail.data(), mTail.size());
    MakeCurrent(kNone);
    const unsigned position = front ? 0 : mCount;
    try {
        InsertSlot(position, Slot{text, SectionSize(mHead.size() + mTail.size())});
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
    RemoveSlot(mCurrent);
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
    for (unsigned p = 0; p < mCount; ++p)
        if (!IsLoaded(At(p).text)) free(At(p).text);
    mLoadedSlices = 0;
    mFirst = mCount = 0;
    mCurrent = kNone;
    mCurrentRoom = 0;
    mResumePending = false;
    mModified = true;
}

// ---- navigation ----

int MultiSectionConfigFile::GotoFirstSection() {
    MakeCurrent(mCount > 0 ? 0 : kNone);
    return mCurrent != kNone;
}

int MultiSectionConfigFile::GotoLastSection() {
    MakeCurrent(mCount > 0 ? mCount - 1 : kNone);
    return mCurrent != kNone;
}

int MultiSectionConfigFile::Restart() {
    MakeCurrent(kNone);
    mResume = 0;
    mResumePending = true;
    return mCount > 0;
}

int MultiSectionConfigFile::GotoNextSection() {
    unsigned next = mResumePending ? mResume : mCurrent != kNone ? mCurrent + 1 : kNone;
    if (next != kNone && next >= mCount) next = kNone;
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
        char* own = Allocate(needed);
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
    if (mSeparator.size() != 1) return AddEscapedEntry(key, value, keySize + valueSize);
    // The common case: the line is the key, the separator and the value as they are. Written
    // first and checked in place; written again escaped when it needs that.
    const size_t lineSize = keySize + valueSize + 1;
    Slot* slot = &At(mCurrent);
    char* line = slot->text + slot->size - mTail.size();
    if (slot->size + lineSize + 1 > mCurrentRoom) {
        line = RoomForEntry(lineSize + 1);
        slot = &At(mCurrent);
    }
    if (!CopyPlainEntry(line, key, keySize, mSeparator[0], value, valueSize,
                        mComment.empty() ? '\0' : mComment[0]))
        return AddEscapedEntry(key, value, keySize + valueSize);
    char* end = line + lineSize;
    *end++ = '\n';
    for (char c : mTail) *end++ = c;  // a line or two: cheaper than a call
    slot->size = static_cast<uint32_t>(end - slot->text);
    mModified = true;
    return 1;
}

int MultiSectionConfigFile::AddEscapedEntry(const char* key, const char* value, size_t size) {
    char* out = RoomForEntry(4 * size + mSeparator.size() + 1);
    out = WriteEscaped(out, &key, mSeparator[0], mComment.empty() ? '\0' : mComment[0]);
    memcpy(out, mSeparator.data(), mSeparator.size());
    out += mSeparator.size();
    out = WriteEscaped(out, &value, '\0', '\0');
    *out++ = '\n';
    FinishEntry(out);
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
    pieces->reserve(pieces->size() + mCount + 1);
    for (unsigned p = 0; p < mCount; ++p) {
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

void MultiSectionConfigFile::Parse(const char* text, size_t size, const std::string& origin) {
    FileBytes copy;
    copy.Allocate(size);
    if (size > 0) memcpy(copy.data(), text, size);
    Load(&copy, origin);
}

void MultiSectionConfigFile::Load(FileBytes* text, const std::string& origin) {
    ClearAll();
    mLoaded.swap(*text);
    try {
        if (!ScanSavedText()) {
            ClearSlots();
            ScanText(origin);
        }
    } catch (...) {
        ClearAll();
        throw;
    }
    if (mLoadedSlices == 0) ReleaseLoaded();
    FitSlots(mCount);
    mModified = false;
}

// The quick load of a file as saves write it (the common case): sections back to back, each
// exactly the head line(s), entry lines that need no unescaping and the closing line. Takes each
// section as a slice of the text. False, with some sections perhaps taken, at the first thing
// that is not so; ScanText then judges the whole text.
bool MultiSectionConfigFile::ScanSavedText() {
    const char* p = mLoaded.data();
    const char* const end = p + mLoaded.size();
    if (mSeparator.size() != 1) return false;
    const char sep = mSeparator[0], comment = mComment.empty() ? '\0' : mComment[0];
    const size_t headSize = mHead.size(), tailSize = mTail.size();
    const char tailFirst = mTail[0];
    while (p < end) {
        if (static_cast<size_t>(end - p) == mEndLine.size() + 1 && !mEndLine.empty() &&
            memcmp(p, mEndLine.data(), mEndLine.size()) == 0 && end[-1] == '\n')
            break;
        if (static_cast<size_t>(end - p) < headSize + tailSize ||
            memcmp(p, mHead.data(), headSize) != 0)
            return false;
        const char* const section = p;
        for (p += headSize;;) {
            const char* line = p;
            if (static_cast<size_t>(end - line) >= tailSize && *line == tailFirst &&
                memcmp(line, mTail.data(), tailSize) == 0) {
                p += tailSize;
                break;
            }
            // An entry as saved: no byte that needs escaping, the separator in it, no blank at
            // its ends or around the separator, not read as a comment, not a bracket line.
            const char* separator;
            const char* newline = ScanEntryLine(line, end, sep, &separator);
            if (newline == nullptr) return false;
            p = newline + 1;
            // Tabs and carriage returns were refused as control bytes: a space is the one blank
            // left to look for.
            if (separator == nullptr || line[0] == ' ' || newline[-1] == ' ' ||
                line[0] == comment || (separator > line && separator[-1] == ' ') ||
                (separator + 1 < newline && separator[1] == ' '))
                return false;
        }
        InsertSlot(mCount, Slot{const_cast<char*>(section), SectionSize(p - section)});
        ++mLoadedSlices;
    }
    return true;
}

// Walks the loaded text once, line by line, checking every line as the format requires. A
// section whose lines are exactly as they would be saved stays a slice of the text; any other
// (comments or blanks inside, other spacing or line ends, other escapes) is rebuilt in the
// saved form.
void MultiSectionConfigFile::ScanText(const std::string& origin) {
    const char* const text = mLoaded.data();
    const size_t size = mLoaded.size();
    if (const char* nul = static_cast<const char*>(memchr(text, '\0', size)))
        throw ParseError(origin, 1 + static_cast<unsigned>(std::count(text, nul, '\n')),
                         "NUL byte");
    const bool controls = HasRawControlBytes(text, size);
    enum { kOutside, kAfterWord, kInside } state = kOutside;
    // The first backslash not before the current line.
    const char* backslash = static_cast<const char*>(memchr(text, '\\', size));
    const char *sectionBegin = nullptr, *entriesBegin = nullptr;
    bool canonical = true;
    unsigned startLine = 0;
    LineReader lines(text, size);
    const char *begin, *end;
    while (lines.Next(&begin, &end)) {
        // A line is as saved when nothing was trimmed from it and its line end is there.
        const bool exact = begin == lines.RawBegin() && end + 1 == lines.RawEnd() && *end == '\n';
        if (begin == end || StartsWith(begin, end, mComment)) {
            canonical = false;
            continue;
        }
        const unsigned line = lines.Number();
        if (state == kInside) {
            if (Equals(begin, end, mClose)) {
                const Slot slot = canonical && exact
                                      ? Slot{const_cast<char*>(sectionBegin),
                                             SectionSize(lines.RawEnd() - sectionBegin)}
                                      : BuildSection(entriesBegin, lines.RawBegin());
                try {
                    InsertSlot(mCount, slot);
                } catch (...) {
                    if (!IsLoaded(slot.text)) free(slot.text);
                    throw;
                }
                if (IsLoaded(slot.text)) ++mLoadedSlices;
                state = kOutside;
                continue;
            }
            if (Equals(begin, end, mOpen))
                throw ParseError(origin, line, "\"" + mOpen + "\" inside a section");
            if (backslash != nullptr && backslash < begin)
                backslash = static_cast<const char*>(memchr(begin, '\\', text + size - begin));
            const bool escaped = backslash != nullptr && backslash < end;
            const char* separator;
            CheckEntry(begin, end, escaped, origin, line, &separator);
            canonical =
                canonical && exact && IsCanonicalEntry(begin, end, separator, controls || escaped);
        } else if (Equals(begin, end, mOpen)) {
            if (state == kOutside) {
                sectionBegin = lines.RawBegin();
                canonical = mSectionWord.empty();
            }
            canonical = canonical && exact;
            entriesBegin = lines.RawEnd();
            state = kInside;
            startLine = line;
        } else if (state == kAfterWord) {
            throw ParseError(origin, line, "section word not followed by \"" + mOpen + "\"");
        } else if (!mSectionWord.empty() && Equals(begin, end, mSectionWord)) {
            state = kAfterWord;
            sectionBegin = lines.RawBegin();
            canonical = exact;
            startLine = line;
        } else if (!mEndLine.empty() && Equals(begin, end, mEndLine)) {
            return;
        } else {
            throw ParseError(origin, line,
                             Equals(begin, end, mClose) ? "\"" + mClose + "\" outside a section"
                                                        : "text outside a section");
        }
    }
    if (state != kOutside) throw ParseError(origin, startLine, "section not closed");
}

// Checks the entry line [begin, end) (trimmed; `escaped`: it may hold a backslash) and finds its
// separator; throws ParseError for a line without one or with a bad escape.
void MultiSectionConfigFile::CheckEntry(const char* begin, const char* end, bool escaped,
                                        const std::string& origin, unsigned line,
                                        const char** separator) const {
    *separator = FindText(begin, end, mSeparator);
    if (*separator == nullptr)
        throw ParseError(origin, line, "line without \"" + mSeparator + "\"");
    if (!escaped) return;
    std::string scratch;
    if (!AppendUnescaped(&scratch, begin, *separator))
        throw ParseError(origin, line, "bad escape in key");
    if (!AppendUnescaped(&scratch, *separator + mSeparator.size(), end))
        throw ParseError(origin, line, "bad escape in value");
}

// True when the entry line [begin, end) (trimmed, its separator at `separator`) is exactly as a
// save writes it. `special`: the line may hold a backslash or a raw control byte, which only the
// full comparison can judge.
bool MultiSectionConfigFile::IsCanonicalEntry(const char* begin, const char* end,
                                              const char* separator, bool special) const {
    const char* value = separator + mSeparator.size();
    const bool plain =
        !special && (separator == begin || !IsBlank(separator[-1])) &&
        (value == end || !IsBlank(*value)) && (mComment.empty() || *begin != mComment[0]) &&
        (mSeparator.size() == 1 || memchr(begin, mSeparator[0], separator - begin) == nullptr);
    if (plain) return true;
    std::string saved;
    AppendCanonicalEntry(&saved, begin, end);
    return saved.size() == static_cast<size_t>(end - begin) + 1 &&
           memcmp(saved.data(), begin, end - begin) == 0;
}

// Appends the saved form of the entry line [begin, end) (checked), its line end included.
void MultiSectionConfigFile::AppendCanonicalEntry(std::string* out, const char* begin,
                                                  const char* end) const {
    const char* separator = FindText(begin, end, mSeparator);
    const char* keyEnd = separator;
    const char* valueBegin = separator + mSeparator.size();
    TrimBlanks(&begin, &keyEnd);
    TrimBlanks(&valueBegin, &end);
    std::string key, value;
    AppendUnescaped(&key, begin, keyEnd);
    AppendUnescaped(&value, valueBegin, end);
    AppendEscaped(out, key.c_str(), mSeparator[0], mComment.empty() ? '\0' : mComment[0]);
    out->append(mSeparator);
    AppendEscaped(out, value.c_str(), '\0', '\0');
    out->push_back('\n');
}

// A section of its own, in the saved form, holding the entries of the checked lines
// [entriesBegin, entriesEnd) (comments and blank lines skipped).
MultiSectionConfigFile::Slot MultiSectionConfigFile::BuildSection(const char* entriesBegin,
                                                                  const char* entriesEnd) const {
    std::string text = mHead;
    LineReader lines(entriesBegin, entriesEnd - entriesBegin);
    const char *begin, *end;
    while (lines.Next(&begin, &end))
        if (begin != end && !StartsWith(begin, end, mComment))
            AppendCanonicalEntry(&text, begin, end);
    text += mTail;
    char* block = Allocate(text.size());
    memcpy(block, text.data(), text.size());
    return Slot{block, SectionSize(text.size())};
}

}  // namespace Configuration
