#include "platform/gui/DesktopNotification.h"

#include "platform/gui/QtGlue.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

namespace cw {

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
} // namespace

bool NotifyDesktop(const std::string& summary, const std::string& body)
{
    return NotifyDesktop(summary, body, QDBusConnection::sessionBus());
}

bool NotifyDesktop(const std::string& summary, const std::string& body, const QDBusConnection& bus)
{
    if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(kService).value())
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout (-1: the
    // service's own).
    call << QStringLiteral("Clipwarden") << 0u << QStringLiteral("net.ostrelle.Clipwarden") << ToQt(summary)
         << ToQt(body) << QStringList() << QVariantMap() << -1;
    call.setAutoStartService(false);
    return QDBusConnection(bus).send(call);
}

} // namespace cw
