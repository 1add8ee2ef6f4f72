#include "platform/IniFile.h"

#include "platform/Text.h"

#include <QByteArray>
#include <QFile>
#include <QSaveFile>
#include <QString>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

namespace cw {
namespace {

constexpr auto npos = std::string::npos;

std::string Trim(const std::string& s)
{
    std::size_t first = s.find_first_not_of(" \t");
    if (first == npos)
        return std::string();
    std::size_t last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

// The file as lines, remembered with its line-ending style so a rewrite keeps it.
struct IniLines {
    std::vector<std::string> Lines;
    std::string Eol = "\n";
};

IniLines Load(const std::string& fileName)
{
    IniLines ini;
    std::ifstream in(fileName, std::ios::binary);
    if (!in)
        return ini; // missing or unreadable: an empty file
    std::ostringstream buffer;
    buffer << in.rdbuf();
    const std::string text = buffer.str();
    std::size_t start = 0;
    bool eolSeen = false;
    while (start < text.size()) {
        std::size_t lf = text.find('\n', start);
        std::string line = text.substr(start, lf == npos ? npos : lf - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
            if (!eolSeen)
                ini.Eol = "\r\n";
        }
        if (lf != npos)
            eolSeen = true;
        ini.Lines.push_back(std::move(line));
        if (lf == npos)
            break;
        start = lf + 1;
    }
    return ini;
}

// "[name]" gives true and the name.
bool SectionName(const std::string& line, std::string& name)
{
    std::string t = Trim(line);
    if (t.size() < 2 || t[0] != '[')
        return false;
    std::size_t close = t.find(']');
    if (close == npos)
        return false;
    name = Trim(t.substr(1, close - 1));
    return true;
}

// "key=value" gives true, the key and the value; comments never match.
bool KeyValue(const std::string& line, std::string& key, std::string& value)
{
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '[')
        return false;
    std::size_t eq = t.find('=');
    if (eq == npos)
        return false;
    key = Trim(t.substr(0, eq));
    value = Trim(t.substr(eq + 1));
    return true;
}

// Index of the section's header line, or npos.
std::size_t FindSection(const IniLines& ini, const std::string& section)
{
    std::string name;
    for (std::size_t i = 0; i < ini.Lines.size(); ++i)
        if (SectionName(ini.Lines[i], name) && text::SameNoCase(name, section))
            return i;
    return npos;
}

// The end of the section that starts at header: the next header or the end of the file.
std::size_t SectionEnd(const IniLines& ini, std::size_t header)
{
    std::string name;
    for (std::size_t i = header + 1; i < ini.Lines.size(); ++i)
        if (SectionName(ini.Lines[i], name))
            return i;
    return ini.Lines.size();
}

bool HasLineBreak(const std::string& s)
{
    return s.find_first_of("\r\n") != npos;
}

} // namespace

TIniFile::TIniFile(std::string fileName) : FFileName(std::move(fileName)) {}

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const
{
    IniLines ini = Load(FFileName);
    std::size_t header = FindSection(ini, section);
    if (header == npos)
        return def;
    std::size_t end = SectionEnd(ini, header);
    std::string k, v;
    for (std::size_t i = header + 1; i < end; ++i)
        if (KeyValue(ini.Lines[i], k, v) && text::SameNoCase(k, key))
            return v;
    return def;
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int def) const
{
    return text::ToIntDef(ReadString(section, key, std::string()), def);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const
{
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value)
{
    // A line break would split the entry and plant whatever follows as a line of its own.
    if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value) || key.find('=') != npos ||
        section.find(']') != npos || Trim(key).empty())
        throw Exception("Cannot write \"" + key + "\" to \"" + FFileName +
                        "\": section, key or value holds a character the settings file cannot keep");

    IniLines ini = Load(FFileName);
    const std::string entry = key + "=" + value;
    std::size_t header = FindSection(ini, section);
    if (header == npos) {
        if (!ini.Lines.empty() && !Trim(ini.Lines.back()).empty())
            ini.Lines.emplace_back();
        ini.Lines.push_back("[" + section + "]");
        ini.Lines.push_back(entry);
    } else {
        std::size_t end = SectionEnd(ini, header);
        std::size_t insertAt = header + 1;
        bool replaced = false;
        std::string k, v;
        for (std::size_t i = header + 1; i < end; ++i) {
            if (KeyValue(ini.Lines[i], k, v) && text::SameNoCase(k, key)) {
                ini.Lines[i] = entry;
                replaced = true;
                break;
            }
            if (!Trim(ini.Lines[i]).empty())
                insertAt = i + 1; // after the section's last entry, before its trailing blank lines
        }
        if (!replaced)
            ini.Lines.insert(ini.Lines.begin() + static_cast<std::ptrdiff_t>(insertAt), entry);
    }

    std::string text;
    for (const std::string& line : ini.Lines)
        text += line + ini.Eol;

    // Written next to the file under a temporary name and renamed over it only when complete.
    QSaveFile file(QFile::decodeName(QByteArray::fromStdString(FFileName)));
    if (!file.open(QIODevice::WriteOnly))
        throw Exception("Cannot write \"" + FFileName + "\": " + file.errorString().toStdString());
    if (file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size())) {
        std::string reason = file.errorString().toStdString();
        file.cancelWriting();
        throw Exception("Cannot write \"" + FFileName + "\": " + reason);
    }
    if (!file.commit())
        throw Exception("Cannot write \"" + FFileName + "\": " + file.errorString().toStdString());
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value)
{
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value)
{
    WriteString(section, key, value ? "1" : "0");
}

} // namespace cw
