// Any input either parses or is rejected with a ParseError; what parses saves to a text that
// reads back to the same content.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "platform/config/multi_section_config_file.h"
#include "platform/config/parse_error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte picks the syntax: with or without a section word and an end line.
    const bool word = size > 0 && (data[0] & 1) != 0;
    const bool endLine = size > 0 && (data[0] & 2) != 0;
    const char* text = reinterpret_cast<const char*>(data) + (size > 0 ? 1 : 0);
    const size_t length = size > 0 ? size - 1 : 0;
    Configuration::MultiSectionConfigFile file(word ? "section" : nullptr, "{\n", "}\n", "=", "#",
                                               endLine ? "END" : nullptr);
    try {
        file.Parse(text, length, "input");
    } catch (const Configuration::ParseError&) {
        return 0;
    }
    const std::string saved = file.Text();
    Configuration::MultiSectionConfigFile reread(word ? "section" : nullptr, "{\n", "}\n", "=", "#",
                                                 endLine ? "END" : nullptr);
    reread.Parse(saved.data(), saved.size(), "saved");
    if (reread.Text() != saved || reread.GetSectionCount() != file.GetSectionCount())
        __builtin_trap();
    // Editing the first section must keep the text readable.
    if (reread.GotoFirstSection()) {
        std::string key, value;
        const std::string input(text, length);  // cut at a NUL, if any
        if (reread.GetEntry(0, &key, &value)) reread.SetSectionEntry(key.c_str(), input.c_str());
        reread.GotoLastSection();
        reread.DeleteSection();
        const std::string edited = reread.Text();
        file.Parse(edited.data(), edited.size(), "edited");
    }
    return 0;
}
