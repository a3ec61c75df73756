// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/udisksopener.h"

#include <fcntl.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QEventLoop>
#include <QFileInfo>
#include <QThread>
#include <QVariantMap>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

const QString kService = QStringLiteral("org.freedesktop.UDisks2");
const QString kManagerPath = QStringLiteral("/org/freedesktop/UDisks2/Manager");
const QString kManager = QStringLiteral("org.freedesktop.UDisks2.Manager");
const QString kBlock = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

constexpr int kQuickTimeout = 25 * 1000;

bool StartsWithAny(const QString& name, std::initializer_list<const char*> prefixes) {
  for (const char* prefix : prefixes) {
    if (name.startsWith(QLatin1String(prefix))) return true;
  }
  return false;
}

// Nobody owns the name and nothing could start it, or there is no bus at all.
bool MeansAbsent(const QString& errorName) {
  return StartsWithAny(
      errorName,
      {"org.freedesktop.DBus.Error.ServiceUnknown", "org.freedesktop.DBus.Error.NameHasNoOwner",
       "org.freedesktop.DBus.Error.NoServer", "org.freedesktop.DBus.Error.Disconnected",
       "org.freedesktop.DBus.Error.NoNetwork", "org.freedesktop.DBus.Error.FileNotFound",
       "org.freedesktop.DBus.Error.Spawn."});
}

// udisks2 or polkit said no (or the user dismissed the prompt).
bool MeansRefused(const QString& errorName) {
  return StartsWithAny(errorName, {"org.freedesktop.UDisks2.Error.NotAuthorized",
                                   "org.freedesktop.DBus.Error.AccessDenied",
                                   "org.freedesktop.DBus.Error.AuthFailed",
                                   "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired"});
}

QString ReasonFor(const QDBusMessage& reply, const QString& devicePath) {
  const QString name = reply.errorName();
  const QString message = reply.errorMessage().isEmpty() ? name : reply.errorMessage();
  if (MeansAbsent(name)) return TUdisksOpener::kNotRunning;
  if (MeansRefused(name)) return TUdisksOpener::kRefused + message;
  if (name == QLatin1String("org.freedesktop.DBus.Error.NoReply")) {
    return QStringLiteral("No answer from udisks2 about %1: %2").arg(devicePath, message);
  }
  return QStringLiteral("udisks2 could not open %1: %2").arg(devicePath, message);
}

// The text of a device-path property (ay, NUL-terminated).
QString DevicePathProperty(const QDBusMessage& reply) {
  QVariant value = reply.arguments().value(0);
  if (value.canConvert<QDBusVariant>()) value = value.value<QDBusVariant>().variant();
  const QByteArray bytes = value.toByteArray();
  return QString::fromLocal8Bit(bytes.constData());  // up to the NUL
}

QString Canonical(const QString& path) {
  const QString canonical = QFileInfo(path).canonicalFilePath();
  return canonical.isEmpty() ? path : canonical;
}

}  // namespace

const QString TUdisksOpener::kRefused = QStringLiteral("Access refused: ");
const QString TUdisksOpener::kNotRunning =
    QStringLiteral("udisks2 is not running: install udisks2, or run Fernhollow as root");

TUdisksOpener::~TUdisksOpener() {
  if (!privateName_.isEmpty()) QDBusConnection::disconnectFromBus(privateName_);
}

QDBusConnection& TUdisksOpener::Bus() {
  if (!bus_) {
    if (busAddress_.isEmpty()) {
      bus_ = QDBusConnection::systemBus();
    } else {
      static std::atomic<int> serial{0};
      privateName_ = QStringLiteral("fernhollow-udisks-%1").arg(++serial);
      bus_ = QDBusConnection::connectToBus(busAddress_, privateName_);
    }
  }
  return *bus_;
}

int TUdisksOpener::Open(const std::string& devicePath, std::string& why) {
  const QString path = QString::fromStdString(devicePath);
  if (!Bus().isConnected()) {
    why = kNotRunning.toStdString();
    return -1;
  }
  if (!(Bus().connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing)) {
    why =
        QStringLiteral("The bus cannot pass descriptors: %1 stays closed").arg(path).toStdString();
    return -1;
  }
  if (show_) show_(QStringLiteral("Asking for access to %1").arg(path));

  QString reason;
  const QString object = BlockObjectOf(path, reason);
  if (object.isEmpty()) {
    why = reason.toStdString();
    return -1;
  }
  QDBusMessage open =
      QDBusMessage::createMethodCall(kService, object, kBlock, QStringLiteral("OpenDevice"));
  // Read access only: the card is evidence, and udisks2 opens what it is asked for.
  open << QStringLiteral("r") << QVariantMap{{QStringLiteral("flags"), int{O_CLOEXEC}}};
  open.setInteractiveAuthorizationAllowed(true);
  const QDBusMessage reply = Call(open, promptTimeout_);
  if (reply.type() != QDBusMessage::ReplyMessage) {
    why = ReasonFor(reply, path).toStdString();
    return -1;
  }
  const auto descriptor = qdbus_cast<QDBusUnixFileDescriptor>(reply.arguments().value(0));
  if (!descriptor.isValid()) {
    why = QStringLiteral("udisks2 handed over no descriptor for %1").arg(path).toStdString();
    return -1;
  }
  // The message's descriptor closes with it; the caller gets its own.
  const int fd = ::fcntl(descriptor.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) why = std::string("Cannot keep the descriptor: ") + std::strerror(errno);
  return fd;
}

QString TUdisksOpener::BlockObjectOf(const QString& devicePath, QString& why) {
  QDBusMessage resolve = QDBusMessage::createMethodCall(kService, kManagerPath, kManager,
                                                        QStringLiteral("ResolveDevice"));
  resolve << QVariantMap{{QStringLiteral("path"), devicePath}} << QVariantMap{};
  const QDBusMessage reply = Call(resolve, kQuickTimeout);
  if (reply.type() != QDBusMessage::ReplyMessage) {
    // udisks2 before 2.7.3 cannot resolve; its block list says the same.
    if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod")) {
      return BlockObjectByListing(devicePath, why);
    }
    why = ReasonFor(reply, devicePath);
    return {};
  }
  const auto objects = qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().value(0));
  if (objects.isEmpty()) {
    why = QStringLiteral("udisks2 does not know %1").arg(devicePath);
    return {};
  }
  return objects.first().path();
}

QString TUdisksOpener::BlockObjectByListing(const QString& devicePath, QString& why) {
  QDBusMessage list = QDBusMessage::createMethodCall(kService, kManagerPath, kManager,
                                                     QStringLiteral("GetBlockDevices"));
  list << QVariantMap{};
  const QDBusMessage reply = Call(list, kQuickTimeout);
  if (reply.type() != QDBusMessage::ReplyMessage) {
    why = ReasonFor(reply, devicePath);
    return {};
  }
  const QString wanted = Canonical(devicePath);
  for (const QDBusObjectPath& object :
       qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().value(0))) {
    for (const char* property : {"Device", "PreferredDevice"}) {
      QDBusMessage get = QDBusMessage::createMethodCall(kService, object.path(), kProperties,
                                                        QStringLiteral("Get"));
      get << kBlock << QString::fromLatin1(property);
      const QDBusMessage answer = Call(get, kQuickTimeout);
      if (answer.type() != QDBusMessage::ReplyMessage) continue;
      const QString device = DevicePathProperty(answer);
      if (!device.isEmpty() && (device == devicePath || Canonical(device) == wanted)) {
        return object.path();
      }
    }
  }
  why = QStringLiteral("udisks2 does not know %1").arg(devicePath);
  return {};
}

QDBusMessage TUdisksOpener::Call(const QDBusMessage& message, int timeout) {
  QDBusPendingCall pending = Bus().asyncCall(message, timeout);
  // While polkit's prompt waits for the user the window goes on painting; what
  // is typed or clicked in it meanwhile waits until the answer is in.
  QCoreApplication* app = QCoreApplication::instance();
  if (app != nullptr && QThread::currentThread() == app->thread() && !pending.isFinished()) {
    QDBusPendingCallWatcher watcher(pending);
    QEventLoop loop;
    QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
    if (!watcher.isFinished()) loop.exec(QEventLoop::ExcludeUserInputEvents);
  }
  pending.waitForFinished();
  return pending.reply();
}
