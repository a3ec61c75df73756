// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/udisksopener.h"

#include <fcntl.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusError>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QFileInfo>
#include <QThread>
#include <QVariantMap>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

#include "ui/accesswait.h"

namespace {

const QString kService = QStringLiteral("org.freedesktop.UDisks2");
const QString kManagerPath = QStringLiteral("/org/freedesktop/UDisks2/Manager");
const QString kManager = QStringLiteral("org.freedesktop.UDisks2.Manager");
const QString kBlock = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

constexpr int kQuickTimeout = 25 * 1000;
// An OpenDevice call lasts as long as polkit's prompt stays open (libdbus
// reads INT_MAX as no timeout): giving up on it is the window's decision, and
// a later pick of the drive joins the call instead of queueing a second prompt.
constexpr int kWhilePromptOpen = INT_MAX;

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

QString ReasonFor(const QString& name, const QString& text, const QString& devicePath) {
  const QString message = text.isEmpty() ? name : text;
  if (MeansAbsent(name)) return TUdisksOpener::kNotRunning;
  if (name == QLatin1String("org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain")) {
    return TUdisksOpener::kNoAgent;
  }
  if (name == QLatin1String("org.freedesktop.UDisks2.Error.NotAuthorizedDismissed")) {
    return TUdisksOpener::kDismissed;
  }
  if (MeansRefused(name)) return TUdisksOpener::kRefused + message;
  if (name == QLatin1String("org.freedesktop.DBus.Error.NoReply")) {
    return QStringLiteral("No answer from udisks2 about %1: %2").arg(devicePath, message);
  }
  return QStringLiteral("udisks2 could not open %1: %2").arg(devicePath, message);
}

QString ReasonFor(const QDBusMessage& reply, const QString& devicePath) {
  return ReasonFor(reply.errorName(), reply.errorMessage(), devicePath);
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

// One OpenDevice call, alive until udisks2 answers, whether or not anyone
// still waits for it. An answer nobody waits for is not kept: a descriptor in
// it closes as soon as it arrives.
class TPendingOpen : public QObject {
  Q_OBJECT

 public:
  bool finished = false;
  int waiters = 0;
  QDBusMessage reply;  // the answer, while someone waits for it
  QString errorName;
  QString errorMessage;

 Q_SIGNALS:
  void Finished();

 public Q_SLOTS:
  void Answered(const QDBusMessage& answer) {
    if (waiters > 0) reply = answer;
    Finish();
  }
  void Failed(const QDBusError& error, const QDBusMessage&) {
    errorName = error.name();
    errorMessage = error.message();
    Finish();
  }

 private:
  void Finish() {
    finished = true;
    if (waiters == 0) deleteLater();
    emit Finished();
  }
};

const QString TUdisksOpener::kRefused = QStringLiteral("Access refused: ");
const QString TUdisksOpener::kNotRunning = QStringLiteral(
    "udisks2 is not running: install udisks2, join the disk group (sudo adduser $USER disk, "
    "then log in again), or run Fernhollow as root");
const QString TUdisksOpener::kNoAgent = QStringLiteral(
    "No password prompt could be shown (no polkit authentication agent is running). Run "
    "Fernhollow from a desktop session, join the disk group, or run it as root.");
const QString TUdisksOpener::kDismissed =
    kRefused + QStringLiteral(
                   "the password prompt was dismissed. Pick the drive again to be "
                   "asked again.");
const QString TUdisksOpener::kCancelled =
    kRefused + QStringLiteral(
                   "cancelled while waiting for the password. Pick the drive again "
                   "to be asked again.");
const QString TUdisksOpener::kGaveUp =
    kRefused + QStringLiteral(
                   "the password prompt went unanswered for too long. Pick the drive "
                   "again to be asked again.");

QString TUdisksOpener::WaitingText(const QString& devicePath) {
  return QStringLiteral(
             "Waiting for permission to read %1. Enter your password in the dialog that opened.")
      .arg(devicePath);
}

TUdisksOpener::~TUdisksOpener() {
  for (const QPointer<TPendingOpen>& request : std::as_const(requests_)) delete request.data();
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

bool TUdisksOpener::Asking(const std::string& devicePath) const {
  const QPointer<TPendingOpen> request = requests_.value(QString::fromStdString(devicePath));
  return request && !request->finished;
}

int TUdisksOpener::Open(const std::string& devicePath, std::string& why) {
  const QString path = QString::fromStdString(devicePath);
  const QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr || QThread::currentThread() != app->thread()) {
    // The answer comes through the event loop, and a prompt needs the window's thread.
    why = QStringLiteral("Access to %1 can only be asked for from the window")
              .arg(path)
              .toStdString();
    return -1;
  }
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
  struct PutBack {
    const std::function<void(const QString&)>& show;
    ~PutBack() {
      if (show) show(QString());
    }
  } putBack{show_};

  QPointer<TPendingOpen> request = requests_.value(path);
  if (!request || request->finished) {
    requests_.remove(path);
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
    request = new TPendingOpen;
    if (!Bus().callWithCallback(open, request, SLOT(Answered(QDBusMessage)),
                                SLOT(Failed(QDBusError, QDBusMessage)), kWhilePromptOpen)) {
      delete request.data();
      const QDBusError error = Bus().lastError();
      why = ReasonFor(error.name(), error.message(), path).toStdString();
      return -1;
    }
    requests_.insert(path, request);
  }
  return AwaitOpen(*request, path, why);
}

int TUdisksOpener::AwaitOpen(TPendingOpen& request, const QString& devicePath, std::string& why) {
  TAccessWait wait(WaitingText(devicePath), boxDelay_, promptTimeout_);
  if (request.finished) wait.Finish();
  const QMetaObject::Connection finished =
      QObject::connect(&request, &TPendingOpen::Finished, [&wait] { wait.Finish(); });
  ++request.waiters;
  const TAccessWait::TEnd end = wait.Run();
  --request.waiters;
  QObject::disconnect(finished);
  if (end != TAccessWait::TEnd::Finished) {
    // The call stays with udisks2: its answer is dropped, unless the drive is
    // picked again before it comes.
    why = (end == TAccessWait::TEnd::TimedOut ? kGaveUp : kCancelled).toStdString();
    return -1;
  }
  const QDBusMessage reply = request.reply;
  const QString errorName = request.errorName;
  const QString errorMessage = request.errorMessage;
  if (request.waiters == 0) {
    request.reply = {};
    request.deleteLater();
  }
  if (!errorName.isEmpty()) {
    why = ReasonFor(errorName, errorMessage, devicePath).toStdString();
    return -1;
  }
  const auto descriptor = qdbus_cast<QDBusUnixFileDescriptor>(reply.arguments().value(0));
  if (!descriptor.isValid()) {
    why = QStringLiteral("udisks2 handed over no descriptor for %1").arg(devicePath).toStdString();
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
  // A udisks2 being started by the bus takes a moment: the window goes on
  // painting meanwhile, and drops what is clicked (the call times out itself).
  QCoreApplication* app = QCoreApplication::instance();
  if (app != nullptr && QThread::currentThread() == app->thread() && !pending.isFinished()) {
    QDBusPendingCallWatcher watcher(pending);
    TAccessWait wait(QString(), 0, -1);
    QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, [&wait] { wait.Finish(); });
    if (watcher.isFinished()) wait.Finish();
    if (wait.Run() != TAccessWait::TEnd::Finished) {
      return QDBusMessage::createError(QDBusError::NoReply,
                                       QStringLiteral("the program is closing"));
    }
  }
  pending.waitForFinished();
  return pending.reply();
}

#include "udisksopener.moc"
