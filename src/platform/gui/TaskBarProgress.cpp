#include "platform/gui/TaskBarProgress.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>

#include <algorithm>

namespace cw {

bool ShowTaskBarProgress(double fraction)
{
    return ShowTaskBarProgress(fraction, QDBusConnection::sessionBus());
}

bool ShowTaskBarProgress(double fraction, const QDBusConnection& bus)
{
    if (!bus.isConnected())
        return false;
    QDBusMessage update = QDBusMessage::createSignal(QStringLiteral("/net/ostrelle/Clipwarden"),
                                                     QStringLiteral("com.canonical.Unity.LauncherEntry"),
                                                     QStringLiteral("Update"));
    QVariantMap properties;
    const bool visible = fraction >= 0;
    properties.insert(QStringLiteral("progress-visible"), visible);
    if (visible)
        properties.insert(QStringLiteral("progress"), std::clamp(fraction, 0.0, 1.0));
    update << QStringLiteral("application://net.ostrelle.Clipwarden.desktop") << properties;
    return QDBusConnection(bus).send(update);
}

} // namespace cw
