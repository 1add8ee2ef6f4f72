#include "platform/IniFile.h"

#include "platform/Text.h"

#include <QByteArray>
#include <QFile>
#include <QSaveFile>
#include <QString>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string_view>
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

std::string_view TrimView(std::string_view s)
{
    std::size_t first = s.find_first_not_of(" \t");
    if (first == npos)
        return {};
    std::size_t last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

// "[name]" gives true and the name.
bool SectionName(std::string_view line, std::string_view& name)
{
    std::string_view t = TrimView(line);
    if (t.size() < 2 || t[0] != '[')
        return false;
    std::size_t close = t.find(']');
    if (close == npos)
        return false;
    name = TrimView(t.substr(1, close - 1));
    return true;
}

// "key=value" gives true, the key and the value; comments never match.
bool KeyValue(std::string_view line, std::string_view& key, std::string_view& value)
{
    std::string_view t = TrimView(line);
    if (t.empty() || t[0] == ';' || t[0] == '[')
        return false;
    std::size_t eq = t.find('=');
    if (eq == npos)
        return false;
    key = TrimView(t.substr(0, eq));
    value = TrimView(t.substr(eq + 1));
    return true;
}

std::string LowerKey(std::string_view s)
{
    return text::Lower(std::string(s));
}

std::string ReadWholeFile(const std::string& fileName)
{
    std::ifstream in(fileName, std::ios::binary);
    if (!in)
        return std::string(); // missing or unreadable: an empty file
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return std::move(buffer).str();
}

bool HasLineBreak(const std::string& s)
{
    return s.find_first_of("\r\n") != npos;
}

} // namespace

TIniFile::TIniFile(std::string fileName) : FFileName(std::move(fileName))
{
    FSections.emplace_back(); // the lines before the first header
    const std::string text = ReadWholeFile(FFileName);
    std::string_view rest = text;
    bool eolSeen = false;
    while (!rest.empty()) {
        std::size_t lf = rest.find('\n');
        std::string_view line = rest.substr(0, lf);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
            if (!eolSeen)
                FEol = "\r\n"; // the first line's ending is kept for the rewrite
        }
        if (lf != npos)
            eolSeen = true;

        std::string_view name, key, value;
        if (SectionName(line, name)) {
            FSections.emplace_back();
            FSections.back().Header = std::string(line);
            FSectionIndex.emplace(LowerKey(name), FSections.size() - 1);
        } else {
            TSection& section = FSections.back();
            if (FSections.size() > 1 && KeyValue(line, key, value))
                section.Keys.emplace(LowerKey(key), section.Lines.size());
            section.Lines.emplace_back(line);
        }
        if (lf == npos)
            break;
        rest.remove_prefix(lf + 1);
    }
}

TIniFile::~TIniFile()
{
    try {
        UpdateFile();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
}

const TIniFile::TSection* TIniFile::FindSection(const std::string& section) const
{
    auto it = FSectionIndex.find(text::Lower(section));
    return it == FSectionIndex.end() ? nullptr : &FSections[it->second];
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const
{
    const TSection* s = FindSection(section);
    if (!s)
        return def;
    auto it = s->Keys.find(text::Lower(key));
    if (it == s->Keys.end())
        return def;
    std::string_view k, v;
    KeyValue(s->Lines[it->second], k, v);
    return std::string(v);
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

    const std::string entry = key + "=" + value;
    const std::string lowerKey = text::Lower(key);
    FDirty = true;
    auto found = FSectionIndex.find(text::Lower(section));
    if (found == FSectionIndex.end()) {
        // A new section at the end, set off from what comes before by an empty line.
        const TSection& last = FSections.back();
        const std::string* lastLine = !last.Lines.empty()    ? &last.Lines.back()
                                      : FSections.size() > 1 ? &last.Header
                                                             : nullptr;
        if (lastLine && !Trim(*lastLine).empty())
            FSections.back().Lines.emplace_back();
        TSection added;
        added.Header = "[" + section + "]";
        added.Lines.push_back(entry);
        added.Keys.emplace(text::Lower(Trim(key)), 0);
        FSections.push_back(std::move(added));
        FSectionIndex.emplace(text::Lower(Trim(section)), FSections.size() - 1);
        return;
    }

    TSection& s = FSections[found->second];
    auto it = s.Keys.find(lowerKey);
    if (it != s.Keys.end()) {
        s.Lines[it->second] = entry;
        return;
    }
    // After the section's last entry, before its trailing blank lines.
    std::size_t insertAt = s.Lines.size();
    while (insertAt > 0 && Trim(s.Lines[insertAt - 1]).empty())
        --insertAt;
    s.Lines.insert(s.Lines.begin() + static_cast<std::ptrdiff_t>(insertAt), entry);
    for (auto& [k, line] : s.Keys)
        if (line >= insertAt)
            ++line;
    s.Keys.emplace(text::Lower(Trim(key)), insertAt);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value)
{
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value)
{
    WriteString(section, key, value ? "1" : "0");
}

void TIniFile::UpdateFile()
{
    if (!FDirty)
        return;
    FDirty = false; // one attempt per change: a failure is reported once, not again on destruction

    std::size_t size = 0;
    for (const TSection& s : FSections) {
        size += s.Header.size() + FEol.size();
        for (const std::string& line : s.Lines)
            size += line.size() + FEol.size();
    }
    std::string text;
    text.reserve(size);
    for (std::size_t i = 0; i < FSections.size(); ++i) {
        if (i > 0)
            text.append(FSections[i].Header).append(FEol);
        for (const std::string& line : FSections[i].Lines)
            text.append(line).append(FEol);
    }

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

} // namespace cw
