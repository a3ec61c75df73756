// SPDX-License-Identifier: GPL-3.0-or-later
// A stand-in for udisks2 on a private bus: claims org.freedesktop.UDisks2 on
// the bus named by DBUS_SYSTEM_BUS_ADDRESS and serves the calls Fernhollow
// makes (Manager.ResolveDevice and GetBlockDevices, Block.OpenDevice, the
// Block's Device properties) for the device paths given.
//
//   fake_udisks2 --grant|--refuse[=no-agent|dismissed] [--answer-after=MS|--never]
//                [--no-resolve] --log=FILE DEVICE...
//
// --grant opens the device itself, read-only, and hands the descriptor over;
// --refuse answers as polkit's refusal does (NotAuthorized), =no-agent as when
// no authentication agent could ask (NotAuthorizedCanObtain), =dismissed as
// when the user dismissed the prompt (NotAuthorizedDismissed).
// --answer-after=MS answers OpenDevice only after MS milliseconds, the way a
// person at polkit's prompt does; --never leaves it unanswered. --no-resolve
// plays a udisks2 older than ResolveDevice. Every OpenDevice call is logged to
// FILE as "MODE FLAGS interactive|quiet DEVICE" when it comes in, so a test
// sees what was asked for. Prints "ready" once the name is owned.
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>
#include <cstdio>

namespace {

const QString kRoot = QStringLiteral("/org/freedesktop/UDisks2");
const QString kManagerPath = QStringLiteral("/org/freedesktop/UDisks2/Manager");
const QString kBlockPrefix = QStringLiteral("/org/freedesktop/UDisks2/block_devices/");

QString Canonical(const QString& path) {
  const QString canonical = QFileInfo(path).canonicalFilePath();
  return canonical.isEmpty() ? path : canonical;
}

// How OpenDevice is answered: the error name and text, or a descriptor when none.
struct Answer {
  QString error;
  QString text;
  int delay = 0;  // milliseconds; < 0: never
};

class FakeUdisks : public QDBusVirtualObject {
 public:
  FakeUdisks(Answer answer, bool resolve, QString log, QStringList devices)
      : answer_(std::move(answer)),
        resolve_(resolve),
        log_(std::move(log)),
        devices_(std::move(devices)) {}

  QString introspect(const QString&) const override { return {}; }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) override {
    const QString member = message.member();
    const QList<QVariant> args = message.arguments();
    if (message.path() == kManagerPath) {
      if (member == QLatin1String("ResolveDevice") && resolve_) {
        const auto devspec = qdbus_cast<QVariantMap>(args.value(0));
        const QString wanted = Canonical(devspec.value(QStringLiteral("path")).toString());
        QList<QDBusObjectPath> found;
        for (int i = 0; i < devices_.size(); ++i) {
          if (Canonical(devices_[i]) == wanted) found << ObjectOf(i);
        }
        return bus.send(message.createReply(QVariant::fromValue(found)));
      }
      if (member == QLatin1String("GetBlockDevices")) {
        QList<QDBusObjectPath> all;
        for (int i = 0; i < devices_.size(); ++i) all << ObjectOf(i);
        return bus.send(message.createReply(QVariant::fromValue(all)));
      }
      return Unknown(message, bus);
    }
    const int index = IndexOf(message.path());
    if (index < 0) return Unknown(message, bus);
    const QString device = devices_[index];
    if (member == QLatin1String("Get") && args.size() == 2) {
      const QString property = args[1].toString();
      if (property != QLatin1String("Device") && property != QLatin1String("PreferredDevice")) {
        return Unknown(message, bus);
      }
      QByteArray bytes = device.toLocal8Bit();
      bytes.append('\0');
      return bus.send(message.createReply(QVariant::fromValue(QDBusVariant(bytes))));
    }
    if (member == QLatin1String("OpenDevice")) return OpenDevice(message, bus, device);
    return Unknown(message, bus);
  }

 private:
  static QDBusObjectPath ObjectOf(int index) {
    return QDBusObjectPath(kBlockPrefix + QStringLiteral("dev%1").arg(index));
  }

  int IndexOf(const QString& path) const {
    for (int i = 0; i < devices_.size(); ++i) {
      if (ObjectOf(i).path() == path) return i;
    }
    return -1;
  }

  static bool Unknown(const QDBusMessage& message, const QDBusConnection& bus) {
    return bus.send(
        message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                 QStringLiteral("No such method ") + message.member()));
  }

  bool OpenDevice(const QDBusMessage& message, const QDBusConnection& bus, const QString& device) {
    const QString mode = message.arguments().value(0).toString();
    const auto options = qdbus_cast<QVariantMap>(message.arguments().value(1));
    {
      // Written before the answer goes out, so the caller reads it complete.
      QFile log(log_);
      if (log.open(QIODevice::Append | QIODevice::Text)) {
        log.write(QStringLiteral("%1 %2 %3 %4\n")
                      .arg(mode)
                      .arg(options.value(QStringLiteral("flags"), -1).toInt())
                      .arg(message.isInteractiveAuthorizationAllowed()
                               ? QLatin1String("interactive")
                               : QLatin1String("quiet"))
                      .arg(device)
                      .toLocal8Bit());
      }
    }
    if (answer_.delay < 0) return true;  // held, like a prompt nobody answers
    if (answer_.delay == 0) return Respond(message, bus, device);
    QTimer::singleShot(answer_.delay,
                       [this, message, bus, device] { Respond(message, bus, device); });
    return true;
  }

  bool Respond(const QDBusMessage& message, const QDBusConnection& bus, const QString& device) {
    if (!answer_.error.isEmpty()) {
      return bus.send(message.createErrorReply(answer_.error, answer_.text));
    }
    if (message.arguments().value(0).toString() != QLatin1String("r")) {
      return bus.send(
          message.createErrorReply(QStringLiteral("org.freedesktop.UDisks2.Error.Failed"),
                                   QStringLiteral("this fake opens for reading only")));
    }
    const int fd = ::open(device.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      return bus.send(
          message.createErrorReply(QStringLiteral("org.freedesktop.UDisks2.Error.Failed"),
                                   QStringLiteral("Error opening device ") + device));
    }
    const bool sent =
        bus.send(message.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(fd))));
    ::close(fd);  // the reply holds its own copy
    return sent;
  }

  Answer answer_;
  bool resolve_;
  QString log_;
  QStringList devices_;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  bool chosen = false;
  Answer answer;
  bool resolve = true;
  QString log = QStringLiteral("/dev/null");
  QStringList devices;
  const QString refusal = QStringLiteral("org.freedesktop.UDisks2.Error.NotAuthorized");
  for (const QString& arg : app.arguments().mid(1)) {
    if (arg == QLatin1String("--grant") || arg.startsWith(QLatin1String("--refuse"))) {
      if (chosen) {
        std::fprintf(stderr, "fake_udisks2: say --grant or --refuse once\n");
        return 2;
      }
      chosen = true;
      if (arg == QLatin1String("--refuse")) {
        answer.error = refusal;
        answer.text = QStringLiteral("Not authorized to perform operation");
      } else if (arg == QLatin1String("--refuse=no-agent")) {
        answer.error = refusal + QStringLiteral("CanObtain");
        answer.text = QStringLiteral("Authentication is required");
      } else if (arg == QLatin1String("--refuse=dismissed")) {
        answer.error = refusal + QStringLiteral("Dismissed");
        answer.text = QStringLiteral("The authentication dialog was dismissed");
      } else if (arg != QLatin1String("--grant")) {
        std::fprintf(stderr, "fake_udisks2: unknown %s\n", qPrintable(arg));
        return 2;
      }
    } else if (arg.startsWith(QLatin1String("--answer-after="))) {
      answer.delay = arg.mid(15).toInt();
    } else if (arg == QLatin1String("--never")) {
      answer.delay = -1;
    } else if (arg == QLatin1String("--no-resolve")) {
      resolve = false;
    } else if (arg.startsWith(QLatin1String("--log="))) {
      log = arg.mid(6);
    } else {
      devices << arg;
    }
  }
  if (!chosen) {
    std::fprintf(stderr, "fake_udisks2: say --grant or --refuse\n");
    return 2;
  }

  QDBusConnection bus = QDBusConnection::systemBus();
  FakeUdisks udisks(answer, resolve, log, devices);
  if (!bus.isConnected() || !bus.registerVirtualObject(kRoot, &udisks, QDBusConnection::SubPath) ||
      !bus.registerService(QStringLiteral("org.freedesktop.UDisks2"))) {
    std::fprintf(stderr, "fake_udisks2: cannot serve on %s\n",
                 qPrintable(bus.lastError().message()));
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  return QCoreApplication::exec();
}
