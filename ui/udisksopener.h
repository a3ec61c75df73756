// SPDX-License-Identifier: GPL-3.0-or-later
// Opens block devices for reading on behalf of a user who may not open them:
// udisks2's Block.OpenDevice on the system bus asks polkit, which may ask the
// user for a password, the way GNOME Disks gets at a disk. Only read access
// ("r") is ever asked for.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QHash>
#include <QPointer>
#include <QString>
#include <functional>
#include <optional>
#include <string>

class TPendingOpen;

class TUdisksOpener {
 public:
  // Reasons start with these, so the user can tell why a drive is not ready.
  static const QString kRefused;     // "Access refused: " + what udisks2 or polkit said
  static const QString kNotRunning;  // "udisks2 is not running: " + what to do
  // Whole reasons for the refusals that need advice rather than udisks2's words.
  static const QString kNoAgent;    // no polkit agent could show a prompt
  static const QString kDismissed;  // the user dismissed polkit's prompt
  static const QString kCancelled;  // the user cancelled our waiting box
  static const QString kGaveUp;     // the prompt went unanswered for too long

  // Talks to udisks2 on the system bus. No bus is touched before the first
  // Open: root and the disk group never need one.
  TUdisksOpener() = default;
  // Talks to whatever owns udisks2's name on the bus at this address.
  explicit TUdisksOpener(const QString& busAddress) : busAddress_(busAddress) {}
  ~TUdisksOpener();
  TUdisksOpener(const TUdisksOpener&) = delete;
  TUdisksOpener& operator=(const TUdisksOpener&) = delete;

  // Shows what the opener waits for ("Asking for access to /dev/sdb"), then an
  // empty text once the wait is over, so the display can put back what it
  // showed before.
  void SetStatusDisplay(std::function<void(const QString& text)> show) { show_ = std::move(show); }
  // How long the user may take over the password prompt, in milliseconds.
  void SetPromptTimeout(int milliseconds) { promptTimeout_ = milliseconds; }
  // How long an answer may take before the waiting box shows, in milliseconds.
  void SetBoxDelay(int milliseconds) { boxDelay_ = milliseconds; }

  // The waiting box's text for a device.
  static QString WaitingText(const QString& devicePath);

  // A read-only descriptor of the device that the caller takes over, or -1
  // and why not. Fits LinuxPlatform's DeviceOpener. A request still with
  // udisks2 from an earlier Open of the same device is waited for again, not
  // made twice.
  int Open(const std::string& devicePath, std::string& why);

  // Whether a request for the device is still with udisks2 (its answer will
  // be dropped unless an Open waits for it).
  bool Asking(const std::string& devicePath) const;

 private:
  // The udisks2 object of a device path; empty with why set when none.
  QString BlockObjectOf(const QString& devicePath, QString& why);
  QString BlockObjectByListing(const QString& devicePath, QString& why);
  QDBusMessage Call(const QDBusMessage& message, int timeout);
  int AwaitOpen(TPendingOpen& request, const QString& devicePath, std::string& why);
  QDBusConnection& Bus();

  QString busAddress_;   // empty: the system bus
  QString privateName_;  // of a connection this opener made itself
  std::optional<QDBusConnection> bus_;
  std::function<void(const QString&)> show_;
  int promptTimeout_ = 5 * 60 * 1000;                // a person looks for their password
  int boxDelay_ = 300;                               // a remembered grant answers sooner
  QHash<QString, QPointer<TPendingOpen>> requests_;  // OpenDevice calls by device path
};
