#include "net/http/HttpContCod.h"

#include "net/http/HttpUrl.h"
#include "platform/Text.h"

#include <cmath>
#include <cstdio>

namespace cw {

using namespace http_detail;

namespace {

// Quality in the "0.###" form with "." whatever the locale says.
std::string QualityText(double q)
{
    long milli = std::lround(q * 1000);
    std::string s = std::to_string(milli / 1000);
    long frac = milli % 1000;
    if (frac != 0) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%03ld", frac);
        std::string f = buf;
        while (!f.empty() && f.back() == '0')
            f.pop_back();
        s += "." + f;
    }
    return s;
}

} // namespace

THttpContCodHandler::THttpContCodHandler()
{
    auto passThrough = [] { return std::make_unique<THttpContentCoding>(); };
    FCodings.push_back({"identity", 0, true, passThrough});
    FCodings.push_back({"*", 0, true, passThrough});
}

std::string THttpContCodHandler::HeaderText() const
{
    if (!FEnabled)
        return "";
    std::string text;
    for (const auto& c : FCodings) {
        if (!c.Enabled)
            continue;
        if (!FUseQuality && c.Quality == 0)
            continue;
        if (!text.empty())
            text += ", ";
        text += c.Name;
        if (FUseQuality)
            text += ";q=" + QualityText(c.Quality);
    }
    return text;
}

void THttpContCodHandler::Prepare(const std::string& contentEncoding, TContentSink sink)
{
    FChain.clear();
    FCompleted = false;
    FSink = std::move(sink);
    if (!FEnabled)
        return;
    std::string list = contentEncoding;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        std::string name = Trim(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (!name.empty()) {
            const THttpContCodItem* found = nullptr;
            for (const auto& c : FCodings)
                if (c.Enabled && text::SameNoCase(c.Name, name))
                    found = &c;
            if (!found) {
                FChain.clear();
                return;
            }
            FChain.push_back(found->Create());
        }
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    // Codings were applied in the order listed, so they are undone in reverse: the last one
    // named receives the body first.
    for (size_t i = 0; i < FChain.size(); ++i) {
        if (i == 0) {
            FChain[i]->Next = [this](const char* d, std::size_t n) {
                if (FSink)
                    FSink(d, n);
            };
        } else {
            THttpContentCoding* next = FChain[i - 1].get();
            FChain[i]->Next = [next](const char* d, std::size_t n) { next->WriteBuffer(d, n); };
        }
    }
}

void THttpContCodHandler::WriteBuffer(const char* data, std::size_t len)
{
    if (FChain.empty() || FCompleted) {
        if (FSink)
            FSink(data, len);
        return;
    }
    FChain.back()->WriteBuffer(data, len);
}

void THttpContCodHandler::Complete()
{
    // The chain stays until the next body is prepared: Complete may be reached from a handler
    // that runs inside one of the chain's own WriteBuffer calls (an abort from OnDocData).
    if (FCompleted)
        return;
    FCompleted = true;
    for (size_t i = FChain.size(); i-- > 0;)
        FChain[i]->Complete();
}

} // namespace cw
