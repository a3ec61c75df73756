// SPDX-License-Identifier: GPL-3.0-or-later
#include "diskio/samemedium.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/shell.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

void WriteText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

dev_t DeviceOf(const fs::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_dev : 0;
}

std::string NumberText(dev_t device) {
  return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

// A sysfs, /dev, /proc and mountinfo of a machine with a fixed disk sda and a
// card sdb, both partitioned, loop devices and a device-mapper volume on sdb1.
// The destination is a real folder; its real device number is made to name
// whichever device a test puts it on.
class SameMediumTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root_ / "class/block");
    for (const char* disk : {"pci/ata/sda", "pci/usb/sdb", "virtual/block/loop0",
                             "virtual/block/loop1", "virtual/block/loop2", "virtual/block/loop3",
                             "virtual/block/loop4", "virtual/block/dm-0"}) {
      AddDevice(disk);
    }
    for (const char* part : {"pci/ata/sda/sda1", "pci/ata/sda/sda2", "pci/usb/sdb/sdb1",
                             "pci/usb/sdb/sdb2", "virtual/block/loop0/loop0p1"}) {
      AddDevice(part);
      WriteText(root_ / "devices" / part / "partition", "1\n");
    }
    fs::create_directory_symlink(root_ / "devices/pci/usb/sdb/sdb1",
                                 root_ / "devices/virtual/block/dm-0/slaves/sdb1");
    Back("loop0", card_.string());
    Back("loop1", card_.string());  // the same image attached twice
    Back("loop2", other_.string());
    Back("loop3", Node("sdb"));  // a loop over the whole card
    WriteText(card_, "card");
    WriteText(other_, "other");
    fs::create_directories(dest_);
    fs::create_directories(root_ / "dev/block");
    fs::create_directories(paths_.devDir);
    fs::create_directories(paths_.procDir);
    WriteText(paths_.mountInfo, "");
  }

  void AddDevice(const std::string& nested) {
    const fs::path dir = root_ / "devices" / nested;
    fs::create_directories(dir / "slaves");
    fs::create_directory_symlink(dir, root_ / "class/block" / dir.filename());
  }

  void Back(const std::string& loop, const std::string& file) {
    WriteText(root_ / "class/block" / loop / "loop/backing_file", file + "\n");
  }

  std::string Node(const std::string& name) const { return paths_.devDir + "/" + name; }

  // Makes the file system holding `of` one on the named device.
  void Place(const fs::path& of, const std::string& device) {
    const fs::path link = root_ / "dev/block" / NumberText(DeviceOf(of));
    fs::remove(link);
    fs::create_directory_symlink(fs::canonical(root_ / "class/block" / device), link);
  }

  // Makes the destination's file system one without a block device, mounted
  // from source.
  void MountDestination(const std::string& fsType, const std::string& source) {
    fs::remove(root_ / "dev/block" / NumberText(DeviceOf(dest_)));
    WriteText(paths_.mountInfo, "21 26 0:20 / /proc rw - proc proc rw\n50 26 " +
                                    NumberText(DeviceOf(dest_)) + " / " + dest_.string() +
                                    " rw,nosuid shared:7 - " + fsType + " " + source + " rw\n");
  }

  // A FUSE daemon holding /dev/fuse and the file `holds`; fdinfo names the
  // connection where connection is not empty.
  void Daemon(const std::string& pid, const fs::path& holds, const std::string& connection,
              const std::string& cmdline) {
    const fs::path dir = fs::path(paths_.procDir) / pid;
    fs::create_directories(dir / "fd");
    fs::create_symlink(holds, dir / "fd/3");
    fs::create_symlink(Node("fuse"), dir / "fd/4");
    WriteText(dir / "fdinfo/3", "pos:\t0\nflags:\t0100002\n");
    WriteText(dir / "fdinfo/4",
              "pos:\t0\nflags:\t0100002\nmnt_id:\t23\nino:\t88\n" +
                  (connection.empty() ? "" : "fuse_connection:\t" + connection + "\n"));
    WriteText(dir / "cmdline", cmdline);
    fs::create_directory_symlink("/", dir / "cwd");
  }

  bool Searching(const std::string& searched) const {
    return DestinationOnSearchedMedium(dest_.string(), searched, paths_);
  }

  TTempDir tmp_;
  fs::path root_ = tmp_.Path() / "sys";
  fs::path card_ = tmp_.Path() / "card.img";
  fs::path other_ = tmp_.Path() / "other.img";
  fs::path dest_ = tmp_.Path() / "Photos";
  TMediumPaths paths_{(root_ / "dev/block").string(), (root_ / "class/block").string(),
                      (tmp_.Path() / "mountinfo").string(), (tmp_.Path() / "dev").string(),
                      (tmp_.Path() / "proc").string()};
};

TEST_F(SameMediumTest, AnyPartitionOfTheSearchedDiskIsTheSameMedium) {
  Place(dest_, "sdb1");
  EXPECT_TRUE(Searching(Node("sdb")));
  EXPECT_TRUE(Searching(Node("sdb1")));
  EXPECT_TRUE(Searching(Node("sdb2")));
  EXPECT_FALSE(Searching(Node("sda")));
  EXPECT_FALSE(Searching(Node("sda2")));
  EXPECT_FALSE(Searching(Node("sdc")));  // not in sysfs: unknown

  Place(dest_, "sda2");
  EXPECT_FALSE(Searching(Node("sdb")));
  EXPECT_TRUE(Searching(Node("sda1")));
}

TEST_F(SameMediumTest, FolderNotCreatedYetCountsByItsNearestAncestor) {
  Place(dest_, "sdb2");
  EXPECT_TRUE(DestinationOnSearchedMedium((dest_ / "2024/May/raw").string(), Node("sdb"), paths_));
  EXPECT_TRUE(DestinationOnSearchedMedium((dest_ / "new/").string(), Node("sdb"), paths_));
  EXPECT_FALSE(DestinationOnSearchedMedium((dest_ / "new").string(), Node("sda"), paths_));
}

TEST_F(SameMediumTest, StackedDevicesReachTheDisksBelowThem) {
  Place(dest_, "dm-0");  // device-mapper over sdb1
  EXPECT_TRUE(Searching(Node("sdb")));
  EXPECT_TRUE(Searching(Node("sdb2")));
  EXPECT_TRUE(Searching(Node("dm-0")));
  EXPECT_FALSE(Searching(Node("sda")));

  Place(dest_, "sdb2");
  EXPECT_TRUE(Searching(Node("dm-0")));
  EXPECT_TRUE(Searching(Node("loop3")));  // a loop device over the card
  EXPECT_FALSE(Searching(Node("loop2")));
}

TEST_F(SameMediumTest, LoopMountedImageIsTheSameMediumAsTheImage) {
  Place(dest_, "loop0p1");  // card.img attached as loop0, its partition mounted
  EXPECT_TRUE(Searching(card_.string()));
  EXPECT_TRUE(Searching(Node("loop0")));
  EXPECT_TRUE(Searching(Node("loop1")));  // another attachment of the same image
  EXPECT_FALSE(Searching(other_.string()));
  EXPECT_FALSE(Searching(Node("loop2")));
}

TEST_F(SameMediumTest, WritingBesideASearchedImageIsFine) {
  Place(dest_, "sda2");  // the images lie on the destination's file system
  EXPECT_FALSE(Searching(card_.string()));
  EXPECT_FALSE(Searching(Node("loop0")));
}

TEST_F(SameMediumTest, ImageKeptOnTheCardLeadsToTheCard) {
  // An image on another file system than the temporary folder: procfs stands in.
  const fs::path image = "/proc/version";
  if (DeviceOf(image) == 0 || DeviceOf(image) == DeviceOf(dest_)) {
    GTEST_SKIP() << "needs " << image << " on a file system of its own";
  }
  Back("loop4", image.string());
  Place(dest_, "loop4");
  Place(image, "sdb1");
  EXPECT_TRUE(Searching(Node("sdb")));
  EXPECT_FALSE(Searching(Node("sda")));
}

TEST_F(SameMediumTest, FileSystemWithoutBlockDeviceFollowsItsMountSource) {
  MountDestination("fuseblk", Node("sdb1"));  // exfat-fuse, ntfs-3g
  EXPECT_TRUE(Searching(Node("sdb")));
  EXPECT_FALSE(Searching(Node("sda")));

  MountDestination("fuse.exfat", Node("sdc1"));  // unknown to sysfs
  EXPECT_FALSE(Searching(Node("sdb")));

  MountDestination("fuse.fuse2fs", card_.string());
  EXPECT_TRUE(Searching(card_.string()));
  EXPECT_TRUE(Searching(Node("loop1")));
  EXPECT_FALSE(Searching(other_.string()));

  const fs::path spaced = tmp_.Path() / "my card.img";
  WriteText(spaced, "card");
  MountDestination("fuse.fuse2fs", (tmp_.Path() / "my\\040card.img").string());
  EXPECT_TRUE(Searching(spaced.string()));

  MountDestination("tmpfs", "tmpfs");
  EXPECT_FALSE(Searching(card_.string()));
}

TEST_F(SameMediumTest, FuseMountNamingNoSourceIsTracedToItsDaemon) {
  MountDestination("fuse.fusefat", "fusefat");
  const dev_t device = DeviceOf(dest_);
  const std::string connection = std::to_string((major(device) << 20) | minor(device));
  Daemon("4343", other_, std::to_string((major(device) << 20) | (minor(device) + 1)),
         "fusefat\0/elsewhere\0"s);
  EXPECT_FALSE(Searching(card_.string()));
  EXPECT_FALSE(Searching(other_.string()));  // another connection's daemon

  Daemon("4242", card_, connection, "fusefat\0card.img\0/mnt\0"s);
  EXPECT_TRUE(Searching(card_.string()));
  EXPECT_TRUE(Searching(Node("loop0")));
  EXPECT_FALSE(Searching(other_.string()));

  // Where the mount source names what was mounted, the daemon's other files do not count.
  MountDestination("fuse.fuse2fs", other_.string());
  EXPECT_FALSE(Searching(card_.string()));
}

TEST_F(SameMediumTest, OlderKernelsFindTheDaemonByItsMountPointArgument) {
  MountDestination("fuse.fusefat", "fusefat");
  // Started in the destination's parent as `fusefat -o rw+ card.img Photos`, now in "/".
  Daemon("4242", card_, "", "fusefat\0-o\0rw+\0card.img\0Photos\0"s);
  Daemon("4343", other_, "", "fusefat\0other.img\0/mnt/other\0"s);
  EXPECT_TRUE(Searching(card_.string()));
  EXPECT_FALSE(Searching(other_.string()));
}

TEST_F(SameMediumTest, UnresolvableCountsAsAnotherMedium) {
  Place(dest_, "sdb1");
  EXPECT_FALSE(DestinationOnSearchedMedium("", Node("sdb"), paths_));
  EXPECT_FALSE(DestinationOnSearchedMedium(dest_.string(), "", paths_));
  EXPECT_FALSE(Searching((tmp_.Path() / "gone.img").string()));

  TMediumPaths nothing{"/nonexistent/a", "/nonexistent/b", "/nonexistent/c", "/nonexistent/d",
                       "/nonexistent/e"};
  EXPECT_FALSE(DestinationOnSearchedMedium(dest_.string(), card_.string(), nothing));

  // A loop whose backing file names its own disk must not recurse for ever.
  Back("loop4", Node("loop4"));
  Place(dest_, "loop4");
  EXPECT_TRUE(Searching(Node("loop4")));
  EXPECT_FALSE(Searching(Node("sda")));
}

// ---- On the machine's own devices, where it has root, loop devices, FUSE ----

std::string MissingTools(std::initializer_list<const char*> programs) {
  if (::geteuid() != 0) return "needs root";
  for (const char* program : programs) {
    if (Run(std::string("command -v ") + program) != 0) return std::string("needs ") + program;
  }
  return {};
}

// Attaches an image read-write; detaches it whatever the test's outcome.
class TLoop {
 public:
  explicit TLoop(const fs::path& image) {
    if (Run("losetup --find --show " + Quote(image.string()), &device_) != 0) device_.clear();
    device_ = Trim(device_);
  }
  ~TLoop() {
    if (!device_.empty()) Run("losetup -d " + Quote(device_));
  }
  TLoop(const TLoop&) = delete;
  TLoop& operator=(const TLoop&) = delete;
  const std::string& Device() const { return device_; }

 private:
  std::string device_;
};

// Mounts with the given command; unmounts whatever the test's outcome.
class TMount {
 public:
  TMount(const std::string& command, const fs::path& point) : point_(point) {
    fs::create_directories(point_);
    mounted_ = Run(command, &problem_) == 0;
  }
  ~TMount() {
    if (mounted_ && Run("umount " + Quote(point_.string())) != 0) {
      Run("umount -l " + Quote(point_.string()));
    }
  }
  TMount(const TMount&) = delete;
  TMount& operator=(const TMount&) = delete;
  bool Mounted() const { return mounted_; }
  const std::string& Problem() const { return problem_; }

 private:
  fs::path point_;
  bool mounted_ = false;
  std::string problem_;
};

TEST(SameMediumOnThisMachine, LoopMountedExt4Image) {
  if (std::string missing = MissingTools({"losetup", "mkfs.ext4", "mount"}); !missing.empty()) {
    GTEST_SKIP() << missing;
  }
  if (::access("/dev/loop-control", R_OK | W_OK) != 0) GTEST_SKIP() << "needs /dev/loop-control";
  TTempDir tmp;
  const fs::path image = tmp.Path() / "card.img";
  const fs::path other = tmp.Path() / "other.img";
  const fs::path mount = tmp.Path() / "mnt";
  WriteText(other, "other");
  ASSERT_EQ(::Run("truncate -s 8M " + Quote(image.string())), 0);
  ASSERT_EQ(::Run("mkfs.ext4 -F -q " + Quote(image.string())), 0);
  TLoop loop(image);
  if (loop.Device().empty()) GTEST_SKIP() << "losetup could not attach an image here";
  TMount mounted("mount -t ext4 " + Quote(loop.Device()) + " " + Quote(mount.string()), mount);
  if (!mounted.Mounted()) GTEST_SKIP() << "cannot mount ext4 here: " << mounted.Problem();

  const std::string inside = (mount / "Recovered").string();  // not created yet
  EXPECT_TRUE(DestinationOnSearchedMedium(inside, loop.Device()));
  EXPECT_TRUE(DestinationOnSearchedMedium(inside, image.string()));
  EXPECT_TRUE(DestinationOnSearchedMedium(mount.string(), image.string()));
  EXPECT_FALSE(DestinationOnSearchedMedium(inside, other.string()));
  EXPECT_FALSE(DestinationOnSearchedMedium(tmp.Path().string(), image.string()));
  EXPECT_FALSE(DestinationOnSearchedMedium(tmp.Path().string(), loop.Device()));
}

TEST(SameMediumOnThisMachine, FatMountedThroughFusefat) {
  if (std::string missing = MissingTools({"fusefat", "mkfs.fat", "losetup", "umount"});
      !missing.empty()) {
    GTEST_SKIP() << missing;
  }
  if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs /dev/fuse";
  TTempDir tmp;
  const fs::path image = tmp.Path() / "card.img";
  const fs::path other = tmp.Path() / "other.img";
  WriteText(other, "other");
  ASSERT_EQ(::Run("truncate -s 8M " + Quote(image.string())), 0);
  ASSERT_EQ(::Run("mkfs.fat " + Quote(image.string())), 0);
  {
    // fusefat names itself, not the image, as the mount source.
    const fs::path mount = tmp.Path() / "direct";
    TMount mounted("fusefat -o rw+ " + Quote(image.string()) + " " + Quote(mount.string()), mount);
    if (!mounted.Mounted()) GTEST_SKIP() << "fusefat cannot mount here: " << mounted.Problem();
    EXPECT_TRUE(DestinationOnSearchedMedium((mount / "Recovered").string(), image.string()));
    EXPECT_FALSE(DestinationOnSearchedMedium((mount / "Recovered").string(), other.string()));
    EXPECT_FALSE(DestinationOnSearchedMedium(tmp.Path().string(), image.string()));
  }
  if (::access("/dev/loop-control", R_OK | W_OK) != 0) return;
  TLoop loop(image);
  if (loop.Device().empty()) return;
  const fs::path mount = tmp.Path() / "through-loop";
  TMount mounted("fusefat -o rw+ " + Quote(loop.Device()) + " " + Quote(mount.string()), mount);
  ASSERT_TRUE(mounted.Mounted()) << mounted.Problem();
  EXPECT_TRUE(DestinationOnSearchedMedium(mount.string(), loop.Device()));
  EXPECT_TRUE(DestinationOnSearchedMedium(mount.string(), image.string()));
  EXPECT_FALSE(DestinationOnSearchedMedium(mount.string(), other.string()));
}

}  // namespace
