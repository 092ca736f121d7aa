// A read-only file of "key=value" settings, one a line, such as the download settings.
#pragma once

#include <stddef.h>

#include <string>
#include <unordered_map>

namespace Configuration {

// Lines are "key" separator "value"; blanks around key and value and a carriage return before the
// line end are dropped. Blank lines, comments and lines without the separator are skipped, so
// files shared with other programs (shell-style settings) read without complaint. A comment is a
// line that begins with the comment mark, or the rest of a line from a comment mark that follows
// a blank ("limit=10   # records kept" sets limit to 10). Reading takes time in proportion to the
// text's size.
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

    // The value of `key`, whole, or null when the key is absent. Valid until the next Parse.
    const std::string* Find(const char* key) const;
    // The number (from 1) of the line that gave `key` its value; 0 when the key is absent.
    unsigned LineOf(const char* key) const;
    // The path the entries were read from, or the origin given to Parse.
    const std::string& Origin() const { return mOrigin; }

  private:
    struct Entry {
        std::string value;
        unsigned line;
    };

    // The end of the setting in the line [begin, end): where a comment starts, else `end`.
    const char* SettingEnd(const char* begin, const char* end) const;
    void Add(std::string key, std::string value, unsigned line);

    bool mUnescape, mStripQuotes, mLastWins;
    std::string mSeparator, mComment, mEndLine, mOrigin;
    std::unordered_map<std::string, Entry> mEntries;
};

}  // namespace Configuration
