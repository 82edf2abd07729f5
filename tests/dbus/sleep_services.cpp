// SPDX-License-Identifier: MIT
// Stands in for logind's Manager on the system bus (--logind) and for the
// desktop portal's Inhibit on the session bus (--portal), neither of which
// runs where the tests do. It tells on standard output, a line each, fields
// separated by tabs, what it was asked and what became of it:
//   ready
//   inhibit  N  WHAT  WHO  WHY  MODE      logind's Inhibit; N numbers the lock
//   portal   N  WINDOW  FLAGS  REASON     the portal's Inhibit
//   released N                            the lock's descriptor was closed everywhere
//   closed   N                            the portal request was closed
//   asleep                                a sleep went ahead: its caller is stopped
// and reads commands on standard input, a line each:
//   sleep    PrepareForSleep(true); once no delay lock is left, the callers
//            of the delay locks are stopped (SIGSTOP), as a suspend stops
//            them, unless --keep-running (a caller that is the test itself)
//   wake     they go on (SIGCONT), then PrepareForSleep(false)
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QSocketNotifier>
#include <QStringList>
#include <cstdio>
#include <set>
#include <string>

namespace {

void tell(const QStringList& fields) {
    std::printf("%s\n", fields.join(QChar('\t')).toUtf8().constData());
    std::fflush(stdout);
}

class Logind : public QDBusVirtualObject {
   public:
    bool stopsCallers = true;

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() != QLatin1String("org.freedesktop.login1.Manager") ||
            message.member() != QLatin1String("Inhibit") || message.signature() != QLatin1String("ssss"))
            return false;
        const QList<QVariant> arguments = message.arguments();
        const QString mode = arguments[3].toString();
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return false;
        const int number = ++locks_;
        tell({QStringLiteral("inhibit"), QString::number(number), arguments[0].toString(), arguments[1].toString(),
              arguments[2].toString(), mode});
        // The reply carries a copy of the write end; once every copy is
        // closed, the read end meets its end, and the lock is released.
        connection.send(message.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(ends[1]))));
        ::close(ends[1]);
        const uint caller = connection.interface()->servicePid(message.service()).value();
        auto* notifier = new QSocketNotifier(ends[0], QSocketNotifier::Read, this);
        QObject::connect(notifier, &QSocketNotifier::activated, [this, notifier, number, mode, caller] {
            char byte;
            if (::read(notifier->socket(), &byte, 1) > 0) return;
            ::close(notifier->socket());
            notifier->deleteLater();
            tell({QStringLiteral("released"), QString::number(number)});
            if (mode == QLatin1String("delay")) {
                delays_.erase(number);
                sleepIfFree();
            }
        });
        if (mode == QLatin1String("delay")) {
            delays_.insert(number);
            callers_.insert(caller);
        }
        return true;
    }

    void sleep(QDBusConnection& connection) {
        emitPrepareForSleep(connection, true);
        sleeping_ = true;
        sleepIfFree();
    }

    void wake(QDBusConnection& connection) {
        if (stopsCallers)
            for (uint caller : stopped_) ::kill(static_cast<pid_t>(caller), SIGCONT);
        stopped_.clear();
        sleeping_ = false;
        asleep_ = false;
        emitPrepareForSleep(connection, false);
    }

   private:
    static void emitPrepareForSleep(QDBusConnection& connection, bool starting) {
        QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/login1"),
                                                         QStringLiteral("org.freedesktop.login1.Manager"),
                                                         QStringLiteral("PrepareForSleep"));
        signal << starting;
        connection.send(signal);
    }

    void sleepIfFree() {
        if (!sleeping_ || asleep_ || !delays_.empty()) return;
        asleep_ = true;
        if (stopsCallers)
            for (uint caller : callers_) ::kill(static_cast<pid_t>(caller), SIGSTOP);
        stopped_ = callers_;
        callers_.clear();
        tell({QStringLiteral("asleep")});
    }

    int locks_ = 0;
    bool sleeping_ = false;
    bool asleep_ = false;
    std::set<int> delays_;
    std::set<uint> callers_;
    std::set<uint> stopped_;
};

class Portal : public QDBusVirtualObject {
   public:
    explicit Portal(int& numbers) : numbers_(numbers) {}
    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        const QList<QVariant> arguments = message.arguments();
        if (message.interface() == QLatin1String("org.freedesktop.portal.Inhibit") &&
            message.member() == QLatin1String("Inhibit") && message.signature() == QLatin1String("sua{sv}")) {
            const int number = ++numbers_;
            const QVariantMap options = qdbus_cast<QVariantMap>(arguments[2]);
            tell({QStringLiteral("portal"), QString::number(number), arguments[0].toString(),
                  QString::number(arguments[1].toUInt()), options.value(QStringLiteral("reason")).toString()});
            const QString handle = QStringLiteral("/org/freedesktop/portal/desktop/request/%1").arg(number);
            connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(handle))));
            return true;
        }
        if (message.interface() == QLatin1String("org.freedesktop.portal.Request") &&
            message.member() == QLatin1String("Close")) {
            tell({QStringLiteral("closed"), message.path().section(QChar('/'), -1)});
            connection.send(message.createReply());
            return true;
        }
        return false;
    }

   private:
    int& numbers_;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const QStringList options = QCoreApplication::arguments();
    int numbers = 0;
    Logind logind;
    logind.stopsCallers = !options.contains(QStringLiteral("--keep-running"));
    Portal portal(numbers);
    QDBusConnection system = QDBusConnection::systemBus();
    QDBusConnection session = QDBusConnection::sessionBus();
    if (options.contains(QStringLiteral("--logind")) &&
        !(system.registerVirtualObject(QStringLiteral("/org/freedesktop/login1"), &logind) &&
          system.registerService(QStringLiteral("org.freedesktop.login1")))) {
        std::fprintf(stderr, "sleep_services: cannot stand in for logind on the system bus\n");
        return 1;
    }
    if (options.contains(QStringLiteral("--portal")) &&
        !(session.registerVirtualObject(QStringLiteral("/org/freedesktop/portal/desktop"), &portal,
                                        QDBusConnection::SubPath) &&
          session.registerService(QStringLiteral("org.freedesktop.portal.Desktop")))) {
        std::fprintf(stderr, "sleep_services: cannot stand in for the portal on the session bus\n");
        return 1;
    }
    QSocketNotifier commands(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&commands, &QSocketNotifier::activated, [&] {
        char line[64];
        const ssize_t length = ::read(STDIN_FILENO, line, sizeof line - 1);
        if (length <= 0) {
            QCoreApplication::quit();
            return;
        }
        line[length] = '\0';
        if (std::string(line).find("sleep") == 0) logind.sleep(system);
        if (std::string(line).find("wake") == 0) logind.wake(system);
    });
    tell({QStringLiteral("ready")});
    return QCoreApplication::exec();
}
