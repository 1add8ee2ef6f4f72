#include "platform/Shell.h"

#include <utility>

namespace cw::Shell {
namespace {
Handlers& Current()
{
    static Handlers h;
    return h;
}
} // namespace

Handlers SetHandlers(Handlers handlers)
{
    return std::exchange(Current(), std::move(handlers));
}

// Each call copies the handler first: a handler may install other handlers while it runs.
bool Open(const std::string& target)
{
    auto h = Current().Open;
    return h ? h(target) : false;
}

std::optional<std::string> ChooseFolder(const std::string& title)
{
    auto h = Current().ChooseFolder;
    return h ? h(title) : std::nullopt;
}

std::vector<std::string> ChooseFiles(const std::string& title, const std::string& filter)
{
    auto h = Current().ChooseFiles;
    return h ? h(title, filter) : std::vector<std::string>();
}

std::string FilterToQt(const std::string& filter)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        std::size_t bar = filter.find('|', start);
        parts.push_back(filter.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (bar == std::string::npos)
            break;
        start = bar + 1;
    }
    // Pairs of description and pattern; a lone description at the end has nothing to filter by.
    std::string result;
    for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
        std::string pattern = parts[i + 1];
        for (char& c : pattern)
            if (c == ';')
                c = ' '; // "*.flv;*.mp4": the toolkit separates patterns by blanks
        if (pattern.empty())
            continue;
        if (!result.empty())
            result += ";;";
        result += parts[i] + " (" + pattern + ")";
    }
    return result;
}

} // namespace cw::Shell
