#pragma once
// The program's progress on its task bar or dock entry, where the desktop offers that: the
// com.canonical.Unity.LauncherEntry signal "Update" on the session bus, which docks and task
// bars that show progress listen for (the entry is named by the desktop file). A signal needs no
// service: nothing happens where nobody listens, and false is returned only without a bus.

class QDBusConnection;

namespace cw {

// fraction: 0..1 shows the bar at that point; anything below 0 hides it.
bool ShowTaskBarProgress(double fraction);
// The same on a given bus connection.
bool ShowTaskBarProgress(double fraction, const QDBusConnection& bus);

} // namespace cw
