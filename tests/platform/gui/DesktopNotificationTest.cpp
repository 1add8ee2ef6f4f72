// The desktop notice over a real, private D-Bus daemon: nothing is sent while no notification
// service is on the bus; once a service (the test's own, recording what it is sent) holds the
// name, the notice reaches it with the program's name and the text. The task bar's progress
// over the same bus: a dock listening for the launcher signal gets the fraction, then the hide.

#include "platform/gui/DesktopNotification.h"
#include "platform/gui/TaskBarProgress.h"
#include "platform/Application.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
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

// A dock: notes every launcher update it hears.
class LauncherListener : public QObject {
    Q_OBJECT
public:
    std::vector<std::pair<QString, QVariantMap>> Updates;
public slots:
    void Update(const QString& app, const QVariantMap& properties) { Updates.emplace_back(app, properties); }
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

TEST(DesktopNotification, TaskBarProgressReachesADockThatListens)
{
    PrivateBus bus;
    if (bus.Address.isEmpty())
        GTEST_SKIP() << "dbus-daemon did not start";
    QDBusConnection program = bus.Connect(QStringLiteral("program-bar"));
    QDBusConnection dock = bus.Connect(QStringLiteral("dock"));
    ASSERT_TRUE(program.isConnected());
    LauncherListener listener;
    ASSERT_TRUE(dock.connect(QString(), QString(), QStringLiteral("com.canonical.Unity.LauncherEntry"),
                             QStringLiteral("Update"), &listener, SLOT(Update(QString, QVariantMap))));
    // The match rule reaches the daemon before the first signal goes out.
    dock.interface()->isServiceRegistered(QStringLiteral("org.example.none"));

    EXPECT_TRUE(cw::ShowTaskBarProgress(0.25, program));
    EXPECT_TRUE(cw::ShowTaskBarProgress(1.5, program)); // past the end reads as the end
    EXPECT_TRUE(cw::ShowTaskBarProgress(-1, program));
    QElapsedTimer clock;
    clock.start();
    while (listener.Updates.size() < 3 && clock.elapsed() < 5000)
        cw::Application::WaitMessage(10);
    ASSERT_EQ(3u, listener.Updates.size());
    for (const auto& [app, properties] : listener.Updates)
        EXPECT_EQ(QStringLiteral("application://net.ostrelle.Clipwarden.desktop"), app);
    EXPECT_TRUE(listener.Updates[0].second.value(QStringLiteral("progress-visible")).toBool());
    EXPECT_DOUBLE_EQ(0.25, listener.Updates[0].second.value(QStringLiteral("progress")).toDouble());
    EXPECT_DOUBLE_EQ(1.0, listener.Updates[1].second.value(QStringLiteral("progress")).toDouble());
    EXPECT_FALSE(listener.Updates[2].second.value(QStringLiteral("progress-visible")).toBool());
    EXPECT_FALSE(listener.Updates[2].second.contains(QStringLiteral("progress")));

    QDBusConnection none = QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"), "nowhere");
    EXPECT_FALSE(cw::ShowTaskBarProgress(0.5, none)) << "no bus, no signal";
    QDBusConnection::disconnectFromBus(QStringLiteral("nowhere"));
}

#include "DesktopNotificationTest.moc"
