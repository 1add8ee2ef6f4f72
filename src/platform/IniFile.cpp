#include "platform/IniFile.h"

#include "platform/Text.h"

#include <QByteArray>
#include <QFile>
#include <QSaveFile>
#include <QString>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
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
    std::string text;
    int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text; // missing or unreadable: an empty file
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        text.reserve(static_cast<std::size_t>(st.st_size));
    char buf[1 << 16];
    while (true) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // an error part way reads as what came before it
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

bool HasLineBreak(const std::string& s)
{
    return s.find_first_of("\r\n") != npos;
}

} // namespace

namespace {

// Calls line(text) for every line of text[begin, end), without its line end.
template <class F> void ForEachLine(const std::string& text, std::size_t begin, std::size_t end, F line)
{
    std::size_t pos = begin;
    while (pos < end) {
        std::size_t lf = text.find('\n', pos);
        std::size_t stop = lf == npos || lf > end ? end : lf;
        std::string_view l(text.data() + pos, stop - pos);
        if (!l.empty() && l.back() == '\r')
            l.remove_suffix(1);
        line(l);
        pos = stop + 1;
    }
}

} // namespace

TIniFile::TIniFile(std::string fileName) : FFileName(std::move(fileName)), FText(ReadWholeFile(FFileName))
{
    // The first line's ending is kept for the rewrite.
    const std::size_t firstLf = FText.find('\n');
    const std::size_t firstEnd = firstLf == npos ? FText.size() : firstLf;
    if (firstEnd > 0 && FText[firstEnd - 1] == '\r')
        FEol = "\r\n";

    FSections.emplace_back(); // the lines before the first header
    std::size_t pos = 0;
    while (pos < FText.size()) {
        std::size_t lf = FText.find('\n', pos);
        std::size_t next = lf == npos ? FText.size() : lf + 1;
        // Only a line whose first character other than blanks is "[" can be a header.
        std::size_t first = FText.find_first_not_of(" \t", pos);
        std::string_view name;
        if (first < next && FText[first] == '[') {
            std::string_view line(FText.data() + pos, (lf == npos ? FText.size() : lf) - pos);
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            if (SectionName(line, name)) {
                FSections.back().End = pos;
                FSections.emplace_back();
                FSections.back().Header = std::string(line);
                FSections.back().Begin = next;
                FSectionIndex.emplace(LowerKey(name), FSections.size() - 1);
            }
        }
        pos = next;
    }
    FSections.back().End = FText.size();
}

TIniFile::~TIniFile()
{
    try {
        UpdateFile();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
}

void TIniFile::SplitSection(TSection& s) const
{
    if (s.Split)
        return;
    s.Split = true;
    const bool named = &s != &FSections.front(); // keys before any header are never found
    ForEachLine(FText, s.Begin, s.End, [&](std::string_view line) {
        std::string_view key, value;
        if (named && KeyValue(line, key, value))
            s.Keys.emplace(LowerKey(key), s.Lines.size());
        s.Lines.emplace_back(line);
    });
}

TIniFile::TSection* TIniFile::FindSection(const std::string& section) const
{
    auto it = FSectionIndex.find(text::Lower(section));
    if (it == FSectionIndex.end())
        return nullptr;
    TSection& s = FSections[it->second];
    SplitSection(s);
    return &s;
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
    TSection* found = FindSection(section);
    if (!found) {
        // A new section at the end, set off from what comes before by an empty line.
        TSection& last = FSections.back();
        SplitSection(last);
        const std::string* lastLine = !last.Lines.empty()    ? &last.Lines.back()
                                      : FSections.size() > 1 ? &last.Header
                                                             : nullptr;
        if (lastLine && !Trim(*lastLine).empty())
            last.Lines.emplace_back();
        TSection added;
        added.Header = "[" + section + "]";
        added.Split = true;
        added.Lines.push_back(entry);
        added.Keys.emplace(text::Lower(Trim(key)), 0);
        FSections.push_back(std::move(added));
        FSectionIndex.emplace(text::Lower(Trim(section)), FSections.size() - 1);
        return;
    }

    TSection& s = *found;
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

    std::string text;
    text.reserve(FText.size() + FText.size() / 16 + 256);
    for (std::size_t i = 0; i < FSections.size(); ++i) {
        const TSection& s = FSections[i];
        if (i > 0)
            text.append(s.Header).append(FEol);
        if (s.Split) {
            for (const std::string& line : s.Lines)
                text.append(line).append(FEol);
        } else {
            ForEachLine(FText, s.Begin, s.End, [&](std::string_view line) { text.append(line).append(FEol); });
        }
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
