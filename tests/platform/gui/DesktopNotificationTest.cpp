// The desktop notice over a real, private D-Bus daemon: nothing is sent while no notification
// service is on the bus; once a service (the test's own, recording what it is sent) holds the
// name, the notice reaches it with the program's name and the text.

#include "platform/gui/DesktopNotification.h"
#include "platform/Application.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QProcess>

#include <memory>

namespace {

// org.freedesktop.Notifications as far as the test needs it: it notes every call and answers
// with an id.
class RecordingService : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override { return QString(); }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        Calls.push_back(message);
        connection.send(message.createReply(QVariant::fromValue(1u)));
        return true;
    }
    std::vector<QDBusMessage> Calls;
};

class PrivateBus {
public:
    PrivateBus()
    {
        FDaemon.start(QStringLiteral("dbus-daemon"),
                      {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        if (!FDaemon.waitForStarted(5000) || !FDaemon.waitForReadyRead(5000))
            return;
        Address = QString::fromUtf8(FDaemon.readLine()).trimmed();
    }
    ~PrivateBus()
    {
        for (const QString& name : FNames)
            QDBusConnection::disconnectFromBus(name);
        FDaemon.kill();
        FDaemon.waitForFinished(5000);
    }
    QDBusConnection Connect(const QString& name)
    {
        FNames.push_back(name);
        return QDBusConnection::connectToBus(Address, name);
    }
    QString Address;

private:
    QProcess FDaemon;
    QStringList FNames;
};

} // namespace

TEST(DesktopNotification, ReachesTheServiceOnlyWhenThereIsOne)
{
    PrivateBus bus;
    if (bus.Address.isEmpty())
        GTEST_SKIP() << "dbus-daemon did not start";
    QDBusConnection program = bus.Connect(QStringLiteral("program"));
    QDBusConnection desktop = bus.Connect(QStringLiteral("desktop"));
    ASSERT_TRUE(program.isConnected());
    ASSERT_TRUE(desktop.isConnected());

    EXPECT_FALSE(cw::NotifyDesktop("3 videos saved, 1 failed", "", program)) << "no service, no notice";

    RecordingService service;
    ASSERT_TRUE(desktop.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"), &service));
    ASSERT_TRUE(desktop.registerService(QStringLiteral("org.freedesktop.Notifications")));
    EXPECT_TRUE(cw::NotifyDesktop("3 videos saved, 1 failed", "", program));
    QElapsedTimer clock;
    clock.start();
    while (service.Calls.empty() && clock.elapsed() < 5000)
        cw::Application::WaitMessage(10);
    ASSERT_EQ(1u, service.Calls.size());
    const QDBusMessage& call = service.Calls[0];
    EXPECT_EQ(QStringLiteral("Notify"), call.member());
    EXPECT_EQ(QStringLiteral("org.freedesktop.Notifications"), call.interface());
    const QList<QVariant> args = call.arguments();
    ASSERT_EQ(8, args.size());
    EXPECT_EQ(QStringLiteral("Clipwarden"), args[0].toString());
    EXPECT_EQ(QStringLiteral("3 videos saved, 1 failed"), args[3].toString());
    EXPECT_EQ(-1, args[7].toInt());
    desktop.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
}
