#include "platform/MessageBox.h"

#include <cstdio>
#include <utility>

namespace cw {
namespace {
MessageBoxHandler& Handler()
{
    static MessageBoxHandler h;
    return h;
}
} // namespace

int DefaultAnswer(unsigned flags)
{
    if ((flags & MB_BUTTONMASK) == MB_YESNO)
        return (flags & MB_DEFBUTTON2) ? IDNO : IDYES;
    return IDOK;
}

int MessageBox(const std::string& text, const std::string& caption, unsigned flags)
{
    // Copy first: a handler may install another handler while it runs.
    MessageBoxHandler h = Handler();
    if (h)
        return h(text, caption, flags);
    std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
    return DefaultAnswer(flags);
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler)
{
    return std::exchange(Handler(), std::move(handler));
}

} // namespace cw
