// SPDX-License-Identifier: GPL-3.0-or-later
// Which drive is the card: the drive panel's device line and the list's
// tooltips over a fake sysfs, the reason a refused device gives, and the Help
// tab's requirements.
#include <gtest/gtest.h>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>

#include <filesystem>
#include <memory>
#include <string>

#include "diskio/linuxplatform.h"
#include "tests/diskio/fixtures.h"
#include "tests/support/fakeplatform.h"
#include "tests/support/recordingmodal.h"
#include "tests/support/refusednodes.h"
#include "tests/support/tempdir.h"
#include "ui/elidedlabel.h"
#include "ui/listbox.h"
#include "ui/mainform.h"
#include "ui/udisksopener.h"

namespace fs = std::filesystem;
using namespace diskio_test;

namespace {

constexpr std::uint64_t kSectors = 2048;
const char* const kSdSlot =
    "pci0000:00/0000:00:1c.0/0000:02:00.0/rtsx_pci_sdmmc.0/mmc_host/mmc0/mmc0:0001";
const char* const kUsbDisk = "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0";
const char* const kUsbSlot = "pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0/host7/target7:0:0/7:0:0:0";

class DevicePanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteText(PlaceDisk(sys_, kSdSlot, "mmcblk0", 0, kSectors) / "name", "SD32G\n");
    const fs::path card = sys_ / "class" / "block" / "mmcblk0";
    AddPartition(card, "mmcblk0p1", kSectors / 2);
    fs::create_directory_symlink(card / "mmcblk0p1", sys_ / "class" / "block" / "mmcblk0p1");
    WriteText(PlaceDisk(sys_, kUsbDisk, "sdb", 1, kSectors) / "model", "Cruzer Blade    \n");
    for (const char* node : {"mmcblk0", "mmcblk0p1", "sdb"})
      WriteImage(dev_ / node, kSectors * 512);
    WriteImage(image_, kSectors * 512);
  }

  void TearDown() override {
    form_.reset();
    if (platform_) DoneDiskAccess();
  }

  TForm1& Start(const fs::path& devDir) {
    platform_ =
        std::make_unique<LinuxPlatform>(std::vector<std::string>{image_.string()},
                                        (sys_ / "class" / "block").string(), devDir.string());
    InitDiskAccess(*platform_);
    form_ = std::make_unique<TForm1>(*platform_);
    return *form_;
  }
  TForm1& Start() { return Start(dev_); }

  QListWidgetItem* Item(const std::string& path) {
    const char letter = LetterOf(*platform_, path);
    const auto found =
        form_->ListBoxDrives->findItems(QStringLiteral("%1:").arg(letter), Qt::MatchExactly);
    if (found.size() != 1) {
      ADD_FAILURE() << "no drive for " << path;
      return nullptr;
    }
    return found[0];
  }

  // Picks the drive behind path and returns the device line's whole text.
  QString Pick(const std::string& path) {
    QListWidgetItem* item = Item(path);
    if (item == nullptr) return {};
    form_->ListBoxDrives->setCurrentItem(item);
    form_->ListBoxDrivesClick();
    return form_->LabelDevice->FullText();
  }

  static QString FirstLine(const QListWidgetItem& item) {
    return item.toolTip().section('\n', 0, 0);
  }
  std::string Dev(const char* name) const { return (dev_ / name).string(); }

  TTempDir tmp_;
  fs::path sys_ = tmp_.Path() / "sys";
  fs::path dev_ = tmp_.Path() / "dev";
  fs::path image_ = tmp_.Path() / "card.img";
  TRecordingModal modal_;
  std::unique_ptr<LinuxPlatform> platform_;
  std::unique_ptr<TForm1> form_;
};

TEST_F(DevicePanelTest, TheDeviceLineSaysWhichDriveIsTheCard) {
  TForm1& form = Start();
  EXPECT_EQ(form.LabelDevice->FullText(), "N/A");

  const QString sd = QString::fromStdString(Dev("mmcblk0")) + " - SD card slot - SD32G";
  EXPECT_EQ(Pick(Dev("mmcblk0")), sd);
  EXPECT_EQ(FirstLine(*Item(Dev("mmcblk0"))), sd);
  EXPECT_EQ(form.LabelStatus->text(), "ready");

  // A partition is on the same card in the same slot.
  EXPECT_EQ(Pick(Dev("mmcblk0p1")),
            QString::fromStdString(Dev("mmcblk0p1")) + " - SD card slot - SD32G");

  const QString usb = QString::fromStdString(Dev("sdb")) + " - USB - Cruzer Blade";
  EXPECT_EQ(Pick(Dev("sdb")), usb);
  EXPECT_EQ(FirstLine(*Item(Dev("sdb"))), usb);

  const QString file = "card.img - image file in " + QString::fromStdString(tmp_.Path().string());
  EXPECT_EQ(Pick(image_.string()), file);
  EXPECT_EQ(FirstLine(*Item(image_.string())), file);
  // The rest of the tooltip stays: the size follows the description.
  EXPECT_EQ(Item(image_.string())->toolTip().section('\n', 1, 1),
            QString("%1 bytes (1.00 MB)").arg(kSectors * 512));
  // The list keeps its letters.
  EXPECT_EQ(Item(image_.string())->text().size(), 2);
}

// An empty reader slot is not ready, yet the user still sees which it is.
TEST_F(DevicePanelTest, AnEmptySlotIsNamedThoughNotReady) {
  WriteText(PlaceDisk(sys_, kUsbSlot, "sdc", 1, 0) / "model", "SD/MMC\n");
  WriteText(dev_ / "sdc", "");
  TForm1& form = Start();
  EXPECT_EQ(Pick(Dev("sdc")), QString::fromStdString(Dev("sdc")) + " - USB - SD/MMC");
  EXPECT_EQ(form.LabelStatus->text(), "not ready");
  EXPECT_TRUE(form.LabelCapacity->text().isEmpty());
}

// The machine's own /dev, whose short paths fit; the nodes need not be there,
// as the device line needs no access to them.
TEST_F(DevicePanelTest, ALongDescriptionLosesItsEndInsideTheFrame) {
  const std::string model(120, 'W');
  WriteText(sys_ / "devices" / kUsbDisk / "model", model + "\n");
  TForm1& form = Start("/dev");
  const QSize window = form.size();
  const QRect line = form.LabelDevice->geometry();

  const QString whole = Pick("/dev/sdb");
  EXPECT_EQ(whole, QString::fromStdString("/dev/sdb - USB - " + model));
  TElidedLabel& label = *form.LabelDevice;
  EXPECT_EQ(form.size(), window);
  EXPECT_EQ(label.geometry(), line);
  EXPECT_TRUE(label.text().endsWith(QChar(0x2026))) << label.text().toStdString();
  EXPECT_TRUE(label.text().startsWith("/dev/sdb - USB - WWW"));
  EXPECT_LE(label.fontMetrics().horizontalAdvance(label.text()), label.width());
  EXPECT_EQ(label.toolTip(), whole);

  // A text that fits is shown whole, without a tooltip.
  EXPECT_EQ(Pick("/dev/mmcblk0"), "/dev/mmcblk0 - SD card slot - SD32G");
  EXPECT_EQ(label.text(), label.FullText());
  EXPECT_TRUE(label.toolTip().isEmpty());
}

// The line sits in the frame below the list and Refresh, clear of the other
// labels, and tall enough for its font.
TEST_F(DevicePanelTest, TheLineFitsTheFrame) {
  TForm1& form = Start();
  const QWidget* frame = form.LabelDevice->parentWidget();
  ASSERT_NE(qobject_cast<const QGroupBox*>(frame), nullptr);
  QLabel* caption = nullptr;
  for (QLabel* label : frame->findChildren<QLabel*>()) {
    if (label->text() == "Device:") caption = label;
    if (label == form.LabelDevice || label == caption) continue;
    EXPECT_FALSE(label->geometry().intersects(form.LabelDevice->geometry()))
        << label->text().toStdString();
  }
  ASSERT_NE(caption, nullptr);
  for (const QWidget* part :
       {static_cast<const QWidget*>(caption), static_cast<const QWidget*>(form.LabelDevice)}) {
    EXPECT_TRUE(frame->contentsRect().contains(part->geometry()));
    EXPECT_GE(part->y(), form.cmdRefresh->geometry().bottom());
    EXPECT_GE(part->height(), part->fontMetrics().height());
  }
  EXPECT_GT(form.LabelDevice->x(), caption->geometry().right());
  EXPECT_EQ(form.LabelDevice->y(), caption->y());
}

// Root whom the system refuses a device (a container's device rules, a
// security module; a nodev mount here) reads the system's reason, not
// udisks2's absence and the advice to run as root.
TEST_F(DevicePanelTest, RootRefusedByTheSystemSeesTheSystemsReason) {
  TRefusedNodes refused(tmp_.Path() / "refused");
  if (!refused.Add("sdq")) GTEST_SKIP() << "needs root, tmpfs mounts and device nodes";
  AddDisk(sys_ / "class" / "block", "sdq", 1, kSectors, "Card Reader");
  int asked = 0;
  TForm1& form = Start(refused.Folder());
  platform_->SetDeviceOpener([&asked](const std::string&, std::string& why) {
    ++asked;
    why = TUdisksOpener::kNotRunning.toStdString();
    return -1;
  });
  const std::string node = (refused.Folder() / "sdq").string();
  Pick(node);
  EXPECT_EQ(form.LabelStatus->text(), "not ready");
  const QString tip = Item(node)->toolTip();
  EXPECT_TRUE(tip.endsWith("\nThe system refuses to open " + QString::fromStdString(node) +
                           ": Permission denied"))
      << tip.toStdString();
  EXPECT_FALSE(tip.contains("udisks2")) << tip.toStdString();
  EXPECT_EQ(asked, 0);
  // The drive is still known for what it is.
  EXPECT_EQ(form.LabelDevice->FullText(), QString::fromStdString(node) + " - Card Reader");
}

// The requirements are this build's: Linux and its Qt, not Windows versions.
TEST(DevicePanelHelp, RequirementsNameWhatThisBuildNeeds) {
  FakePlatform platform;
  TRecordingModal modal;
  InitDiskAccess(platform);
  {
    TForm1 form(platform);
    auto* panel = form.TabSheet5->findChild<QWidget*>("HelpPanel");
    ASSERT_NE(panel, nullptr);
    QLabel* requirement = nullptr;
    for (QLabel* label : panel->findChildren<QLabel*>()) {
      EXPECT_FALSE(label->text().contains("Windows")) << label->text().toStdString();
      if (label->text().startsWith("Linux")) requirement = label;
    }
    ASSERT_NE(requirement, nullptr);
    EXPECT_TRUE(requirement->text().contains(QStringLiteral("Qt %1").arg(QT_VERSION_MAJOR)));
    EXPECT_EQ(requirement->pos(), QPoint(28, 108));
    EXPECT_LE(requirement->geometry().right(), panel->contentsRect().right());
    EXPECT_EQ(requirement->width(), requirement->sizeHint().width());
  }
  DoneDiskAccess();
}

}  // namespace
