// A read-only file of "key=value" settings, one a line, such as the download settings.
#pragma once

#include <stddef.h>

#include <string>
#include <unordered_map>
#include <vector>

namespace Configuration {

// Lines are "key" separator "value"; blanks around key and value and a carriage return before the
// line end are dropped. Blank lines, comments and lines without the separator are skipped, so
// files shared with other programs (shell-style settings) read without complaint. A comment is a
// line that begins with the comment mark, or the rest of a line from a comment mark that follows
// a blank ("limit=10   # records kept" sets limit to 10). Reading takes time in proportion to the
// text's size, and so does each look-up: the entries are kept as slices of the text, in order, and
// found by a scan, which stays within the caches where a table of many keys would not.
class ConfigFile {
  public:
    // Reads the file at `path` (null: no file, no entries; text can then be given to Parse).
    //   unescape:    true: a file this library writes: keys and values are unescaped as described
    //                in platform/config/config_text.h, a backslash that starts none of those
    //                escapes being kept as written. false: a shell-style file, read as the shell
    //                reads its assignments: values are taken as they stand except that one pair
    //                of matching quotes around a value is removed, and of several lines with one
    //                key the last counts; a comment mark inside quotes is part of the value.
    //   stripQuotes: true: one pair of matching double or single quotes around a value is
    //                removed ("name='x'" gives x) also when `unescape` is true.
    //   lastWins:    true: of several lines with one key, the last counts; false: the first
    //                (shell-style files: always the last).
    //   separator:   between key and value (null or "": "=").
    //   comment:     the comment mark (null or "": no comments).
    //   endLine:     a line equal to it ends the settings; the rest is not read (null or "":
    //                none).
    // An absent file gives no entries. Throws FileError when the file exists but cannot be read:
    // no permission, not a regular file (a folder, a FIFO, a device), or too large.
    ConfigFile(const char* path, bool unescape, bool stripQuotes, bool lastWins,
               const char* separator, const char* comment, const char* endLine);

    // Replaces the entries with those of text[0, size); `origin` names it (Origin()). Never
    // fails.
    void Parse(const char* text, size_t size, const std::string& origin);

    // Copies the value of `key` into `buffer`: at most `size` - 1 bytes and a NUL (nothing when
    // `size` is 0). Non-zero when the key was found; 0, with `buffer` untouched, otherwise.
    int GetEntry(const char* key, char* buffer, unsigned size) const;

    // The value of `key`, whole, or null when the key is absent. Valid until the next Parse or the
    // object's end.
    const std::string* Find(const char* key) const;
    // The number (from 1) of the line that gave `key` its value; 0 when the key is absent.
    unsigned LineOf(const char* key) const;
    // The path the entries were read from, or the origin given to Parse.
    const std::string& Origin() const { return mOrigin; }

  private:
    // One setting: its key and value as they stand in mText (escaped, blanks and quotes dropped).
    struct Entry {
        size_t key, keyLength, value, valueLength;
        unsigned line;
    };

    // Replaces the entries with those of mText.
    void ParseText();
    // The end of the setting in the line [begin, end): where a comment starts, else `end`.
    const char* SettingEnd(const char* begin, const char* end) const;
    // The entry that gives `key` its value (the first or the last of its lines), or null.
    const Entry* Lookup(const char* key) const;
    bool HasKey(const Entry& entry, const std::string& key) const;
    // The text of [at, at + length) of mText, unescaped when the file is.
    std::string Decode(size_t at, size_t length) const;

    bool mUnescape, mStripQuotes, mLastWins;
    std::string mSeparator, mComment, mEndLine, mOrigin;
    std::string mText;
    std::vector<Entry> mEntries;
    mutable std::unordered_map<std::string, std::string> mFound;  // values looked up, decoded
};

}  // namespace Configuration
