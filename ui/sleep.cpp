// SPDX-License-Identifier: MIT
// Holding the computer awake over D-Bus: logind's inhibitor locks on the
// system bus, or where logind does not answer, the desktop portal's Inhibit
// on the session bus. Every call is asynchronous: the interface thread never
// waits on a bus, and an answer that comes after its hold was released is
// let go on arrival. Qt runs the buses on a thread of its own and hands
// answers and signals to this thread as events, during the layer's waits.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QFileInfo>
#include <QVariantMap>

#include "layer.h"
#include "ui.h"
#include "ui_testing.h"

using namespace ui_detail;

namespace {

const QString logindService = QStringLiteral("org.freedesktop.login1");
const QString logindPath = QStringLiteral("/org/freedesktop/login1");
const QString logindManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString portalInhibit = QStringLiteral("org.freedesktop.portal.Inhibit");
const QString portalRequest = QStringLiteral("org.freedesktop.portal.Request");
// The portal's Inhibit flags: suspend and idle.
constexpr uint portalSuspend = 4;
constexpr uint portalIdle = 8;
// How long a service may take to answer before it counts as absent. The wait
// is the bus thread's, never the interface thread's.
constexpr int answerMilliseconds = 2000;

// The desktop's session bus: its address in the environment, or its usual
// socket. Without either, libdbus would start a bus of its own (autolaunch,
// where dbus-launch is installed) that outlives the program.
bool sessionBusKnown() {
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus"));
}

// One hold at a time: the lock that blocks sleep and idling, from logind (a
// descriptor that holds it while open) or the portal (a request to close),
// and for an announced hold logind's delay lock, which holds off a forced
// sleep until the program lets go.
class SleepClient : public QObject {
    Q_OBJECT

   public:
    using QObject::QObject;
    ~SleepClient() override { release(); }

    void hold(const QString& why, ForcedSleep forced) {
        release();
        why_ = why;
        QDBusConnection system = QDBusConnection::systemBus();
        if (!system.isConnected() || logindAbsent_) {
            askPortal();
            return;
        }
        askLogind(QStringLiteral("sleep:idle"), QStringLiteral("block"), &block_, true);
        if (forced == ForcedSleep::announced) {
            listenForSleep(system);
            askLogind(QStringLiteral("sleep"), QStringLiteral("delay"), &delay_, false);
        }
    }

    bool held() const { return block_.isValid() || !portalHandle_.isEmpty(); }

    void release() {
        // A number that no answer still on its way carries.
        ++hold_;
        block_ = QDBusUnixFileDescriptor();
        delay_ = QDBusUnixFileDescriptor();
        closePortalRequest(portalHandle_);
        portalHandle_.clear();
    }

   public slots:
    void prepareForSleep(bool starting) { raiseQueued({starting ? eventSleepComing : eventWokeUp, 0, -1, 0}); }

   private:
    // Calls on the bus, and hands the finished call to `answered` on this
    // thread, saying whether the hold it was made for still stands.
    template <typename Answered>
    void ask(QDBusConnection bus, const QDBusMessage& call, Answered answered) {
        auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, answerMilliseconds), this);
        const int hold = hold_;
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this, hold, answered](QDBusPendingCallWatcher* finished) {
                    answered(*finished, hold == hold_);
                    // The watcher keeps the answer, and with it logind's
                    // descriptor, until it is deleted. A deleteLater() made
                    // during a save's titles would wait out the modal box
                    // after the save ("Done!" can stay up for hours), and
                    // hold the lock all that time; a queued call runs in
                    // any loop.
                    QMetaObject::invokeMethod(
                        this, [finished] { delete finished; }, Qt::QueuedConnection);
                });
    }

    void askLogind(const QString& what, const QString& mode, QDBusUnixFileDescriptor* lock, bool portalElse) {
        QDBusMessage call =
            QDBusMessage::createMethodCall(logindService, logindPath, logindManager, QStringLiteral("Inhibit"));
        call << what << QStringLiteral("Ostrelle") << why_ << mode;
        ask(QDBusConnection::systemBus(), call,
            [this, lock, portalElse](const QDBusPendingCall& finished, bool current) {
                const QDBusPendingReply<QDBusUnixFileDescriptor> reply = finished;
                if (reply.isValid()) {
                    // A descriptor for a hold released meanwhile closes as the reply goes.
                    if (current) *lock = reply.value();
                    return;
                }
                if (!portalElse) return;
                // Where logind is absent or refuses, later holds ask the
                // portal at once, so that even a save too short to wait for
                // logind's answer is held. A logind merely slow is asked again.
                if (reply.error().type() != QDBusError::NoReply) logindAbsent_ = true;
                if (current) askPortal();
            });
    }

    void askPortal() {
        if (!sessionBusKnown()) return;
        QDBusConnection session = QDBusConnection::sessionBus();
        if (!session.isConnected()) return;
        QDBusMessage call =
            QDBusMessage::createMethodCall(portalService, portalPath, portalInhibit, QStringLiteral("Inhibit"));
        call << QString() << (portalSuspend | portalIdle) << QVariantMap{{QStringLiteral("reason"), why_}};
        ask(session, call, [this](const QDBusPendingCall& finished, bool current) {
            const QDBusPendingReply<QDBusObjectPath> reply = finished;
            if (!reply.isValid()) return;
            if (current)
                portalHandle_ = reply.value().path();
            else
                closePortalRequest(reply.value().path());
        });
    }

    static void closePortalRequest(const QString& handle) {
        if (handle.isEmpty()) return;
        QDBusConnection::sessionBus().send(
            QDBusMessage::createMethodCall(portalService, handle, portalRequest, QStringLiteral("Close")));
    }

    void listenForSleep(QDBusConnection& system) {
        if (listening_) return;
        listening_ = system.connect(logindService, logindPath, logindManager, QStringLiteral("PrepareForSleep"), this,
                                    SLOT(prepareForSleep(bool)));
    }

    int hold_ = 0;
    QString why_;
    QDBusUnixFileDescriptor block_;
    QDBusUnixFileDescriptor delay_;
    QString portalHandle_;
    bool listening_ = false;
    bool logindAbsent_ = false;
};

SleepClient* sleepClient() {
    if (!layer.sleepClient) layer.sleepClient = new SleepClient(layer.application);
    return static_cast<SleepClient*>(layer.sleepClient.data());
}

}  // namespace

void holdSleep(const char* why, ForcedSleep forced) {
    if (layer.application == nullptr) return;
    sleepClient()->hold(text(why), forced);
}

void releaseSleep() {
    if (layer.sleepClient) static_cast<SleepClient*>(layer.sleepClient.data())->release();
}

bool sleepHeld() { return layer.sleepClient && static_cast<SleepClient*>(layer.sleepClient.data())->held(); }

#include "sleep.moc"
