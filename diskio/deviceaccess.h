// SPDX-License-Identifier: GPL-3.0-or-later
// Opening drives for reading, and noticing when they went away. Nothing here
// opens anything for writing: the card is evidence and must never change.
// Where the user has no rights to a device, an opener (udisks2 and polkit, in
// the window) is asked once and the descriptor it hands over serves every
// later read of that device, until the device goes away.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

// Opens a device the user has no rights to read by asking someone who has
// (udisks2 and polkit, in the window). Returns a read-only descriptor that the
// caller takes over, or -1 with a reason the user can act on.
using DeviceOpener = std::function<int(const std::string& devicePath, std::string& why)>;

// Which node a path named: a card taken out and put back comes back under a
// new node, which a descriptor of the old one never reaches.
struct TNodeId {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator==(const TNodeId&) const = default;
};

// The node at path now; nothing when there is none.
std::optional<TNodeId> NodeIdAt(const std::string& path);

bool IsBlockNode(const std::string& path);

// Whether fd, opened through the node `node` at path, still reaches its
// device: the same node is there, and a block device still has a medium (a
// reader whose card was taken out keeps its node but has none).
bool StillReaches(int fd, const std::string& path, const TNodeId& node);

// Size in bytes and logical sector size of an open image file or block device.
std::optional<std::uint64_t> BytesOfFd(int fd, std::uint32_t& sectorBytes);

// Size in bytes of an image file, or of a device node named as one; 0 when
// it cannot be told.
std::uint64_t BytesAtPath(const std::string& path);

// Whether this thread may pass over file permissions (root's
// CAP_DAC_OVERRIDE). Such a process refused a device was refused by the
// system itself: a nodev mount, a security module, a container's device
// rules. udisks2 grants nothing more than that.
bool PassesOverFilePermissions();

// "The system refuses to open /dev/sdb: Operation not permitted".
std::string SystemRefusal(const std::string& path, int error);

// A descriptor of a drive and the node it stands for.
struct TOpenedNode {
  int fd = -1;
  bool blockDevice = false;
  TNodeId node;
};

class TDeviceAccess {
 public:
  TDeviceAccess() = default;
  ~TDeviceAccess();
  TDeviceAccess(const TDeviceAccess&) = delete;
  TDeviceAccess& operator=(const TDeviceAccess&) = delete;

  // Without an opener, devices the user may not read stay unreadable.
  void SetOpener(DeviceOpener opener);

  // A read-only descriptor of path: opened directly, or a copy of the one the
  // opener handed over (then node is the node it was granted for, as the
  // descriptor may come through another /dev). mayAsk lets the opener be
  // asked again after it refused; reads never do, only the user's next pick
  // of the drive. fd is -1 with why on failure.
  TOpenedNode OpenForReading(const std::string& path, bool isDevice, bool mayAsk, std::string& why);

  // A descriptor that can tell the node, never read data: queries need no
  // rights to the device.
  static TOpenedNode OpenForQuery(const std::string& path);

  // The device at path went away: what was handed over for it reaches nothing.
  void Forget(const std::string& path);

  // Drops access to every device not among present, so that one coming back
  // is asked for anew.
  void KeepOnly(const std::set<std::string>& present);

 private:
  // A descriptor handed over by the opener, kept for later read opens.
  struct TGrant {
    int fd = -1;
    TNodeId node;  // the node it was granted for
  };

  const TGrant* AskOpener(const std::string& path, std::string& why);
  // The grant for path while it still reaches the device it was given for.
  const TGrant* LiveGrant(const std::string& path);

  DeviceOpener opener_;
  std::map<std::string, TGrant> grants_;        // device path -> descriptor handed over
  std::map<std::string, std::string> refused_;  // device path -> the opener's last refusal
};
