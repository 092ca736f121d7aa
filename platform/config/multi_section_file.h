// A sectioned configuration file (see platform/config/multi_section_config_file.h for the text
// form) bound to a path: loaded at construction, written back crash-safely by Save.
#pragma once

#include <string>

#include "platform/config/multi_section_config_file.h"

namespace Configuration {

class MultiSectionFile : public MultiSectionConfigFile {
  public:
    // Loads the file at `path` (kept for Save), whatever its size: these are files the program
    // saved itself, so no size that a save wrote is refused.
    //   missingIsEmpty: true: an absent file gives an object without sections;
    //                   false: an absent file throws FileError (ENOENT).
    //   readOnly:       true: Save refuses to write and throws FileError (EROFS).
    //   ownerOnly:      true: a new file is readable by its owner only (mode 0600, else 0640),
    //                   for files that hold personal data. A replaced file keeps its mode.
    // The other arguments are the text syntax of MultiSectionConfigFile. Throws FileError when
    // the file exists but cannot be read, ParseError when it is not in the format,
    // std::bad_alloc when memory runs out, and std::invalid_argument for a null path or a bad
    // syntax.
    MultiSectionFile(const char* path, bool missingIsEmpty, bool readOnly, bool ownerOnly,
                     const char* sectionWord, const char* open, const char* close,
                     const char* separator, const char* comment, const char* endLine);

    // Writes the whole content (Text(), as the sections' own bytes) to `fileName`, or to the path
    // given at construction when `fileName` is null, replacing the file crash-safely: after a crash
    // or power loss the file holds either the old or the new content, whole. Missing parent folders
    // are created. `force` false skips the write when it would go to the constructor's path and
    // nothing changed since the load or the last save there. Returns 1; throws FileError on
    // failure, the old file then being intact.
    int Save(bool force, const char* fileName);

    const std::string& Path() const { return mPath; }

  private:
    std::string mPath;
    bool mReadOnly;
    int mMode;
};

}  // namespace Configuration
