// The converter's text as it arrives on its pipes: the first byte sets how the rest is cut
// into reads, the rest is the text. Whatever it says, every progress record must lie in
// 1..100 with its times filled, and no record may be lost or leaked.

#include "FuzzSupport.h"

#include "convert/ConvertThread.h"
#include "platform/Application.h"

namespace {

struct Sink {
    std::vector<int> Percents;
    bool BadRecord = false;
    cw::MessageWindow Window{[this](cw::TMessage& m) {
        if (m.Msg != cw::WM_CONVERT_PROGRESS)
            return;
        auto* info = reinterpret_cast<cw::TProcessInfo*>(m.LParam);
        if (info->Percent < 1 || info->Percent > 100 || info->Elapsed.empty() || info->Estimated.empty())
            BadRecord = true;
        Percents.push_back(info->Percent);
        delete info;
    }};
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    cwfuzz::EnsureApp();
    cwfuzz::SilenceMessageBoxes();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t step = static_cast<std::size_t>(data[0]) + 1;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

    Sink sink;
    double now = 45000.0;
    {
        cw::TConvertProcess runner;
        runner.Window = sink.Window.Handle();
        runner.Clock = [&now] { return now += 1.0 / 86400.0; };
        for (std::size_t at = 0; at < text.size(); at += step)
            runner.ParseOutput(text.substr(at, step));
    }
    cw::Application::ProcessMessages();
    if (sink.BadRecord)
        cwfuzz::Fail("a progress record out of range or without its times");
    if (cw::TProcessInfo::LiveCount() != 0)
        cwfuzz::Fail("a progress record was left behind");
    return 0;
}
