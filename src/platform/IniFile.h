#pragma once
// INI file access with the classic private-profile semantics: sections in brackets, lines
// key=value, section and key names matched without regard to case, reads that fall back to a
// default. The file is read and parsed once, when the object is made; reads and writes then
// work on that copy, and UpdateFile writes it back in one go, atomically (temporary file in
// the same folder, then rename), so a crash never leaves a half-written file. A missing or
// unreadable file reads as empty; a failed UpdateFile raises Exception.

#include "platform/Types.h"

#include <string>
#include <unordered_map>
#include <vector>

namespace cw {

class TIniFile : public TObject {
public:
    explicit TIniFile(std::string fileName);
    // Writes what UpdateFile has not written yet; a failure then is only reported on standard
    // error, so call UpdateFile to learn of it.
    ~TIniFile() override;
    TIniFile(const TIniFile&) = delete;
    TIniFile& operator=(const TIniFile&) = delete;

    const std::string& FileName() const { return FFileName; }

    std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
    // A value that is not a decimal integer (optionally signed) reads as def.
    int ReadInteger(const std::string& section, const std::string& key, int def) const;
    // Read as an integer; any non-zero value is true.
    bool ReadBool(const std::string& section, const std::string& key, bool def) const;

    // Change the copy; the file changes with UpdateFile. A section, key or value the file
    // cannot keep (line breaks, "=" in a key, "]" in a section, an empty key) raises Exception.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int value);
    // Written as "1" or "0".
    void WriteBool(const std::string& section, const std::string& key, bool value);

    // Writes the copy to the file if anything was written since it was read or last written.
    void UpdateFile();

private:
    // One section as it stands in the file: its header line and the lines up to the next one.
    // The first section holds the lines before any header and has no header. Its lines stay
    // a stretch of the file's text until a read or write needs them one by one, so a large
    // file costs one pass to open, and only the sections actually used are taken apart.
    struct TSection {
        std::string Header;
        std::size_t Begin = 0; // the stretch of FText, while not taken apart
        std::size_t End = 0;
        bool Split = false;
        std::vector<std::string> Lines;
        std::unordered_map<std::string, std::size_t> Keys; // lower-cased key -> its first line
    };

    // The section with this name (first of several), taken apart; nullptr when there is none.
    TSection* FindSection(const std::string& section) const;
    void SplitSection(TSection& s) const;

    std::string FFileName;
    std::string FText; // the file as read
    mutable std::vector<TSection> FSections;
    std::unordered_map<std::string, std::size_t> FSectionIndex; // lower-cased name -> first such section
    std::string FEol = "\n";
    bool FDirty = false;
};

} // namespace cw
