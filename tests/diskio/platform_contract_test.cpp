// SPDX-License-Identifier: GPL-3.0-or-later
// What the disk unit relies on from any DiskPlatform, checked on each: the
// fake the other tests use, and the real one over an image file and over a
// read-only loop device. A fake that drifts from the real thing would let the
// unit's tests pass on behaviour no drive has.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "diskio/ldiskio.h"
#include "diskio/linuxplatform.h"
#include "tests/diskio/fixtures.h"
#include "tests/support/fakeplatform.h"
#include "tests/support/loopdevice.h"
#include "tests/support/tempdir.h"

using namespace diskio_test;

namespace {

// Whole sectors, as a loop device has, and more than one chunk of the unit.
constexpr std::uint64_t kBytes = 64 * 1024 + 3 * 512;

// One platform with one drive holding kBytes of PatternByte.
struct TBackend {
  // Whatever must outlive the platform's handles (a loop device).
  std::shared_ptr<void> keep;
  std::unique_ptr<DiskPlatform> platform;
  char letter = 0;
  bool descriptors = false;  // handles are the system's file descriptors
  std::string skip;          // why this backend cannot run here
};

TBackend FakeBackend(const std::filesystem::path&) {
  auto fake = std::make_unique<FakePlatform>();
  FakeVolume& volume = fake->AddVolume('F', kBytes / 512);
  for (std::uint64_t i = 0; i < kBytes; ++i) volume.data[i] = PatternByte(i);
  TBackend backend;
  backend.platform = std::move(fake);
  backend.letter = 'F';
  return backend;
}

TBackend ImageBackend(const std::filesystem::path& dir) {
  const std::filesystem::path image = dir / "card.img";
  WriteImage(image, kBytes);
  TBackend backend;
  backend.platform = std::make_unique<LinuxPlatform>(std::vector<std::string>{image.string()},
                                                     LinuxPlatform::TSourcesOnly{});
  backend.letter = LetterOf(*backend.platform, image.string());
  backend.descriptors = true;
  return backend;
}

TBackend LoopBackend(const std::filesystem::path& dir) {
  TBackend backend;
  backend.skip = TLoopDevice::MissingPrerequisite();
  if (!backend.skip.empty()) return backend;
  const std::filesystem::path image = dir / "card.img";
  WriteImage(image, kBytes);
  auto loop = std::make_shared<TLoopDevice>(image);  // read-only, udev settled
  if (!loop->Ready()) {
    backend.skip = loop->Problem();
    return backend;
  }
  // Named as a source, the device is still described by sysfs.
  backend.platform = std::make_unique<LinuxPlatform>(std::vector<std::string>{loop->Device()},
                                                     LinuxPlatform::TSourcesOnly{});
  backend.letter = LetterOf(*backend.platform, loop->Device());
  backend.descriptors = true;
  backend.keep = std::move(loop);
  return backend;
}

struct TBackendKind {
  const char* name;
  std::function<TBackend(const std::filesystem::path&)> make;
};

void PrintTo(const TBackendKind& kind, std::ostream* out) {
  *out << kind.name;
}

class PlatformContract : public ::testing::TestWithParam<TBackendKind> {
 protected:
  void SetUp() override {
    backend_ = GetParam().make(tmp_.Path());
    if (!backend_.skip.empty()) GTEST_SKIP() << backend_.skip;
    ASSERT_NE(backend_.letter, 0) << "the drive is not listed";
  }
  void TearDown() override {
    backend_.platform.reset();  // its handles closed before the loop is detached
  }

  DiskPlatform& Platform() { return *backend_.platform; }

  // Reads and checks the bytes at offset; returns how many came.
  std::uint32_t ReadAndCheck(Handle volume, std::uint64_t offset, std::uint32_t size,
                             bool uncached) {
    std::vector<std::uint8_t> buffer(size, 0xEE);
    std::uint32_t got = 12345;
    const bool ok = uncached ? Platform().ReadAtUncached(volume, offset, buffer.data(), size, got)
                             : Platform().ReadAt(volume, offset, buffer.data(), size, got);
    EXPECT_TRUE(ok) << offset;
    for (std::uint32_t i = 0; ok && i < got; ++i) {
      if (buffer[i] != PatternByte(offset + i)) {
        ADD_FAILURE() << "byte " << offset + i << (uncached ? " uncached" : "");
        break;
      }
    }
    EXPECT_FALSE(Platform().LastFailureWasGone()) << offset;
    return ok ? got : 0;
  }

  TTempDir tmp_;
  TBackend backend_;
};

TEST_P(PlatformContract, TheDriveIsListedWithItsSize) {
  const std::string root = {static_cast<char>(backend_.letter + ('a' - 'A')), ':', '\\'};
  const std::vector<std::string> roots = Platform().LogicalDriveRoots();
  EXPECT_NE(std::find(roots.begin(), roots.end(), root), roots.end());
  EXPECT_EQ(Platform().DriveType(root), DRIVE_REMOVABLE);
  EXPECT_EQ(Platform().Describe(backend_.letter).sizeBytes, kBytes);
  EXPECT_EQ(Platform().DriveType("Q:\\"), DRIVE_NO_ROOT_DIR);
}

TEST_P(PlatformContract, EitherOpenGivesTheGeometry) {
  for (bool forReading : {false, true}) {
    const Handle volume = Platform().OpenVolume(backend_.letter, forReading);
    ASSERT_NE(volume, INVALID_HANDLE_VALUE) << forReading;
    DISK_GEOMETRY g{};
    ASSERT_TRUE(Platform().QueryGeometry(volume, g)) << forReading;
    EXPECT_EQ(g.BytesPerSector, 512u);
    EXPECT_EQ(static_cast<std::uint64_t>(g.Cylinders) * g.TracksPerCylinder * g.SectorsPerTrack,
              kBytes / 512);
    EXPECT_EQ(g.MediaType, kMediaRemovable);
    if (backend_.descriptors) {
      // Nothing may ever write to the card, whichever way it was opened.
      const char byte = 0;
      EXPECT_LT(::pwrite(static_cast<int>(volume), &byte, 1, 0), 0);
    }
    Platform().CloseHandle(volume);
  }
}

TEST_P(PlatformContract, ReadsReturnTheBytesAtTheirOffsets) {
  const Handle volume = Platform().OpenVolume(backend_.letter, true);
  ASSERT_NE(volume, INVALID_HANDLE_VALUE);
  for (const std::uint64_t offset : {std::uint64_t{0}, std::uint64_t{512}, std::uint64_t{777},
                                     std::uint64_t{40960}, kBytes - 4096}) {
    for (bool uncached : {false, true}) {
      EXPECT_EQ(ReadAndCheck(volume, offset, 4096, uncached), 4096u) << offset;
    }
  }
  // Past the end a read is short, not failed; beyond it, empty.
  for (bool uncached : {false, true}) {
    EXPECT_EQ(ReadAndCheck(volume, kBytes - 512, 4096, uncached), 512u);
    EXPECT_EQ(ReadAndCheck(volume, kBytes, 512, uncached), 0u);
  }
  Platform().CloseHandle(volume);
}

TEST_P(PlatformContract, ClosedOrUnknownHandlesReadNothing) {
  const Handle volume = Platform().OpenVolume(backend_.letter, true);
  ASSERT_NE(volume, INVALID_HANDLE_VALUE);
  Platform().CloseHandle(volume);
  std::vector<std::uint8_t> buffer(512);
  std::uint32_t got = 0;
  EXPECT_FALSE(Platform().ReadAt(volume, 0, buffer.data(), 512, got));
  EXPECT_FALSE(Platform().ReadAtUncached(volume, 0, buffer.data(), 512, got));
  EXPECT_FALSE(Platform().ReadAt(INVALID_HANDLE_VALUE, 0, buffer.data(), 512, got));
  DISK_GEOMETRY g{};
  EXPECT_FALSE(Platform().QueryGeometry(volume, g));
  EXPECT_EQ(Platform().OpenVolume('Q', false), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Platform().OpenVolume('Q', true), INVALID_HANDLE_VALUE);
}

// The disk unit ends a scan as "drive gone" on LastFailureWasGone: a failed
// open of another drive must not make a later short read look like one.
TEST_P(PlatformContract, AShortReadAfterAFailedOpenElsewhereIsNoDriveGone) {
  InitDiskAccess(Platform());
  std::vector<std::uint8_t> sector(4096);
  EXPECT_FALSE(ReadSectors('Q' - 64, 0, 1, sector.data(), sector.size()));
  EXPECT_EQ(LastReadFailure(), rfDriveGone);  // no drive to open for the read
  const auto drive = static_cast<std::uint8_t>(backend_.letter - 64);
  ASSERT_TRUE(ReadSectors(drive, kBytes / 512 - 1, 1, sector.data(), sector.size()));
  EXPECT_EQ(sector[0], PatternByte(kBytes - 512));
  TDriveGeometry geometry{};
  EXPECT_FALSE(GetDriveGeometry('Q' - 64, geometry));  // while the drive's handle is open
  EXPECT_FALSE(ReadSectors(drive, kBytes / 512 - 1, 2, sector.data(), sector.size()));
  EXPECT_EQ(LastReadFailure(), rfBadSector);
  DoneDiskAccess();
}

INSTANTIATE_TEST_SUITE_P(Backends, PlatformContract,
                         ::testing::Values(TBackendKind{"Fake", FakeBackend},
                                           TBackendKind{"ImageFile", ImageBackend},
                                           TBackendKind{"LoopDevice", LoopBackend}),
                         [](const ::testing::TestParamInfo<TBackendKind>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
