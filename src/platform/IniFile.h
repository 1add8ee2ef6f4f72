#pragma once
// INI file access with the classic private-profile semantics: sections in brackets, lines
// key=value, section and key names matched without regard to case, reads that fall back to a
// default. Every write rewrites the whole file atomically (temporary file in the same folder,
// then rename), so a crash never leaves a half-written file. A missing or unreadable file reads
// as empty; a failed write raises Exception.

#include "platform/Types.h"

#include <string>

namespace cw {

class TIniFile : public TObject {
public:
    explicit TIniFile(std::string fileName);

    const std::string& FileName() const { return FFileName; }

    std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
    // A value that is not a decimal integer (optionally signed) reads as def.
    int ReadInteger(const std::string& section, const std::string& key, int def) const;
    // Read as an integer; any non-zero value is true.
    bool ReadBool(const std::string& section, const std::string& key, bool def) const;

    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int value);
    // Written as "1" or "0".
    void WriteBool(const std::string& section, const std::string& key, bool value);

private:
    std::string FFileName;
};

} // namespace cw
