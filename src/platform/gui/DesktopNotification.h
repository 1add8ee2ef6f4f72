#pragma once
// A notice on the desktop through the freedesktop notification service (the session bus's
// org.freedesktop.Notifications), as desktops show for a download that finished while one was
// looking elsewhere. Sent without waiting for the service's answer; nothing is shown, and false
// returned, when no such service is on the bus (no desktop, a server, a test).

#include <string>

class QDBusConnection;

namespace cw {

bool NotifyDesktop(const std::string& summary, const std::string& body);
// The same on a given bus connection.
bool NotifyDesktop(const std::string& summary, const std::string& body, const QDBusConnection& bus);

} // namespace cw
