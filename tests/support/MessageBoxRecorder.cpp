#include "support/MessageBoxRecorder.h"

namespace cwtest {

MessageBoxRecorder::MessageBoxRecorder()
{
    FPrevious = cw::SetMessageBoxHandler([this](const std::string& text, const std::string& caption, unsigned flags) {
        FBoxes.push_back({text, caption, flags});
        if (!FAnswers.empty()) {
            int a = FAnswers.front();
            FAnswers.pop_front();
            return a;
        }
        return cw::DefaultAnswer(flags);
    });
}

MessageBoxRecorder::~MessageBoxRecorder()
{
    cw::SetMessageBoxHandler(std::move(FPrevious));
}

} // namespace cwtest
