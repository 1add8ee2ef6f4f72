#pragma once
// The two things every widget-facing file needs: text conversion at the widget boundary (the
// core's 8-bit text is the system's local encoding, UTF-8 here) and a wrapper that routes every
// call coming from a Qt signal through the exception guard, so nothing ever crosses the event
// loop.

#include "platform/Application.h"

#include <QString>
#include <string>
#include <type_traits>
#include <utility>

namespace cw {

inline QString ToQt(const std::string& text)
{
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string FromQt(const QString& text)
{
    QByteArray bytes = text.toLocal8Bit();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// Wrap a handler for QObject::connect: the returned callable runs it under Application::Guard.
// The signal's arguments are passed on when the handler takes them; a handler without
// parameters may be connected to any signal.
template <class F> auto Guarded(F handler)
{
    return [handler = std::move(handler)](auto&&... args) mutable {
        Application::Guard([&] {
            if constexpr (std::is_invocable_v<F&, decltype(args)...>)
                handler(std::forward<decltype(args)>(args)...);
            else
                handler();
        });
    };
}

} // namespace cw
