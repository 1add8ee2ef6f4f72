#pragma once
// Small helpers shared by the fuzz targets.

#include "platform/MessageBox.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace cwfuzz {

// The application object the event loop and the posted messages need; lives as long as the
// process.
inline void EnsureApp()
{
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "fuzz";
        static char* argv[] = {name, nullptr};
        new QCoreApplication(argc, argv);
    }
}

// Message boxes are answered with their default button and never shown or printed.
inline void SilenceMessageBoxes()
{
    cw::SetMessageBoxHandler(
        [](const std::string&, const std::string&, unsigned flags) { return cw::DefaultAnswer(flags); });
}

// The input cut at every occurrence of separator (at most maxParts pieces; the last takes the
// rest). Lets one input describe several answers or several reads in a row.
inline std::vector<std::string> Split(const std::uint8_t* data, std::size_t size, const std::string& separator,
                                      std::size_t maxParts)
{
    std::string all(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (parts.size() + 1 < maxParts) {
        std::size_t at = all.find(separator, start);
        if (at == std::string::npos)
            break;
        parts.push_back(all.substr(start, at - start));
        start = at + separator.size();
    }
    parts.push_back(all.substr(start));
    return parts;
}

// A broken guarantee: print why and abort, so libFuzzer records the input as a finding.
[[noreturn]] inline void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz finding: %s\n", what);
    std::abort();
}

} // namespace cwfuzz
