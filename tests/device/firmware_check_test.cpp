// The firmware update check against the virtual kit: the decision, the log
// lines with their time stamps, the boxes, and the kit's firmware after.
#include "../console/temp_files.h"
#include "../fifo_deadline.h"
#include "../virtualkit/kit_lines.h"
#include "../mainwindow/qstring_print.h"
#include "device/firmware_check.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

using evalpanel::FirmwareOutcome;

constexpr uint32_t version_word(int major, int minor, int patch) {
    return uint32_t(major) << 16 | uint32_t(minor) << 8 | uint32_t(patch);
}

// Exchanges with command code 0xB1 (image header, chunks, end mark) so far.
int flash_exchanges() {
    const std::string stats = kit("stats");
    const auto at = stats.find("0xB1 ");
    return at == std::string::npos ? 0 : std::atoi(stats.c_str() + at + 5);
}

// The adapter's firmware as the kit reports it: "1.2.0", "none", ...
std::string kit_firmware() {
    const std::string status = kit("status");
    const auto at = status.find(", firmware ") + 11;
    return status.substr(at, status.find_first_of(",\n", at) - at);
}

// The header (magic, version, both little-endian), then `pages` pages of 256
// bytes and `tail` extra bytes.
QByteArray image_bytes(uint32_t magic, uint32_t version, int pages, int tail = 0) {
    QByteArray bytes;
    for (uint32_t word : {magic, version})
        for (int i = 0; i < 4; ++i)
            bytes.append(static_cast<char>(word >> (8 * i)));
    for (int i = 0; i < pages * 256 + tail; ++i)
        bytes.append(static_cast<char>(i * 7 + 1));
    return bytes;
}

class FirmwareCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        kit("reset");
        handle_ = usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID);
        ASSERT_NE(handle_, BRIDGEIO_INVALID_HANDLE);
        kit("stats"); // counts start at the reset
    }

    void TearDown() override {
        if (handle_ != BRIDGEIO_INVALID_HANDLE)
            usb_hid_close(handle_);
        kit("reset");
    }

    // Writes firmware.bin.
    static void write_raw(const QByteArray &bytes) {
        QFile file(QString::fromLatin1(evalpanel::kFirmwareImageName));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(bytes), bytes.size());
    }
    static void write_image(uint32_t version, int pages = 3, int tail = 0) {
        write_raw(image_bytes(evalpanel::kFirmwareImageMagic, version, pages, tail));
    }

    FirmwareOutcome run(bool automatic, evalpanel::FirmwareAdapter *adapter = nullptr) {
        evalpanel::BridgeFirmwareAdapter bridge(handle_);
        evalpanel::FirmwareCheckSinks sinks;
        sinks.log = [this](const QString &line) { lines_ << line; };
        sinks.show_box = [this](const QString &text) { boxes_ << text; };
        sinks.progress = [this](int written, int pages) { progress_.emplace_back(written, pages); };
        return evalpanel::run_firmware_check(adapter ? *adapter : bridge, automatic, sinks);
    }

    // The log lines without their time stamps, after checking that each has
    // one: "hh:mm:ss" straight before the message's own separator.
    QStringList messages() const {
        static const QRegularExpression stamp("^([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9](?=:| :)");
        QStringList out;
        for (const QString &line : lines_) {
            EXPECT_TRUE(stamp.match(line).hasMatch()) << line.toStdString();
            out << line.mid(8);
        }
        return out;
    }

    InTempDir cwd_; // where firmware.bin is looked up
    BridgeHandle handle_ = BRIDGEIO_INVALID_HANDLE;
    QStringList lines_;
    QStringList boxes_;
    std::vector<std::pair<int, int>> progress_;
};

// Files that never reach the flash, in both modes (automatic on an adapter
// without firmware). The check must not wait on a FIFO for a writer.
struct RejectedFile {
    enum Kind { Missing, Directory, Fifo, Bytes };
    const char *name;
    Kind kind;
    QByteArray content; // Bytes: an invalid image; otherwise there is none
};

class FirmwareRejectedFile : public FirmwareCheck,
                             public ::testing::WithParamInterface<std::tuple<RejectedFile, bool>> {
};

TEST_P(FirmwareRejectedFile, IsReportedAndNeverFlashed) {
    const auto &[file, automatic] = GetParam();
    if (automatic)
        kit("firmware none");
    const std::string name = evalpanel::kFirmwareImageName;
    const bool bytes = file.kind == RejectedFile::Bytes;
    if (file.kind == RejectedFile::Directory) {
        ASSERT_TRUE(QDir().mkdir(QString::fromStdString(name)));
    } else if (file.kind == RejectedFile::Fifo) {
        ASSERT_NO_FATAL_FAILURE(fifo_deadline::make_fifo(name));
    } else if (bytes)
        write_raw(file.content);
    EXPECT_EQ(fifo_deadline::call_within_deadline(name, [&] { return run(automatic); }),
              bytes ? FirmwareOutcome::InvalidImage : FirmwareOutcome::NoImage);
    const QString current = automatic ? "0.0.0" : "1.2.0";
    EXPECT_EQ(messages(), QStringList({" : Bootloader version 1.0.4.",
                                       QString(" : Current firmware version %1.").arg(current),
                                       bytes ? ": Invalid firmware image." : " : No updates available."}));
    EXPECT_EQ(boxes_, QStringList{bytes ? "Invalid firmware image." : "No updates available."});
    EXPECT_EQ(flash_exchanges(), 0);
    EXPECT_EQ(kit_firmware(), automatic ? "none" : "1.2.0");
}

constexpr uint32_t kMagic = 0x04050607, kV = version_word(3, 0, 0);

const RejectedFile kRejectedFiles[] = {
    {"Missing", RejectedFile::Missing, {}},
    {"Directory", RejectedFile::Directory, {}},
    {"Fifo", RejectedFile::Fifo, {}},
    {"BadMagic", RejectedFile::Bytes, image_bytes(0x05050607, kV, 2)},
    {"MagicBigEndian", RejectedFile::Bytes, image_bytes(0x07060504, kV, 2)},
    {"ShorterThanHeader", RejectedFile::Bytes, image_bytes(kMagic, kV, 0).left(7)},
    {"Empty", RejectedFile::Bytes, QByteArray()},
    {"NoPage", RejectedFile::Bytes, image_bytes(kMagic, kV, 0)},
    {"MoreThanTheFlash", RejectedFile::Bytes, image_bytes(kMagic, kV, 1024, 1)},
};

INSTANTIATE_TEST_SUITE_P(Files, FirmwareRejectedFile,
                         ::testing::Combine(::testing::ValuesIn(kRejectedFiles), ::testing::Bool()),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_Automatic" : "_Menu");
                         });

// The menu flashes whenever the file is at least as new as the adapter; at
// start-up an adapter with firmware is left alone, even for a newer or broken
// image. Every byte of an image that fits is flashed: a partial last page
// goes out filled up to a whole one, and an image as large as the adapter's
// flash is taken whole.
TEST_F(FirmwareCheck, DecidesByModeAndVersionAndFlashesWholePages) {
    using enum FirmwareOutcome;
    const uint32_t v130 = version_word(1, 3, 0), v201 = version_word(2, 0, 1);
    const struct {
        bool automatic;
        uint32_t image; // 0: a file that is no image
        int pages, tail;
        const char *before, *after; // the kit's firmware; after is null when nothing is flashed
        FirmwareOutcome outcome;
    } rows[] = {{true, 0, 0, 0, "1.2.0", nullptr, FirmwarePresent},
                {true, v201, 2, 0, "1.2.0", nullptr, FirmwarePresent},
                {false, version_word(1, 1, 9), 2, 0, "1.2.0", nullptr, AlreadyLatest},
                {false, v130, 2, 17, "1.2.0", "1.3.0", Updated},
                {false, v130, 0, 1, "1.3.0", "1.3.0", Updated}, // as new: flashed
                {false, v130, 1024, 0, "1.3.0", "1.3.0", Updated},
                {false, v201, 2, 0, "1.3.0", "2.0.1", Updated},
                // The top byte takes no part in the text but does in the comparison.
                {false, 0x01000000u | version_word(1, 0, 0), 2, 0, "2.0.1", "1.0.0", Updated}};
    const auto current = [](const char *v) {
        return QString(" : Current firmware version %1.").arg(v);
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::to_string(row.image) + " " + std::to_string(row.pages));
        lines_.clear();
        boxes_.clear();
        progress_.clear();
        const int before = flash_exchanges();
        const auto magic = evalpanel::kFirmwareImageMagic;
        write_raw(row.image ? image_bytes(magic, row.image, row.pages, row.tail) : "junk");
        EXPECT_EQ(run(row.automatic), row.outcome);
        QStringList expected = {" : Bootloader version 1.0.4."};
        if (row.automatic) {
            expected << " : Firmware found. No automatic updates done.";
        } else if (row.after) {
            expected << current(row.before) << " : Updating firmware..." << " : OK."
                     << current(row.after);
        } else {
            expected << current(row.before) << " : Firmware already latest.";
        }
        EXPECT_EQ(messages(), expected);
        const QString box = row.after ? "Firmware updated." : "Firmware already latest.";
        EXPECT_EQ(boxes_, row.automatic ? QStringList() : QStringList{box});
        EXPECT_EQ(kit_firmware(), row.after ? row.after : row.before);
        // One report per page, counting up to the image's pages; the header,
        // five chunks a page and the end mark.
        const size_t sent = row.after ? row.pages + (row.tail > 0) : 0;
        ASSERT_EQ(progress_.size(), sent);
        if (sent) {
            EXPECT_EQ(progress_.front(), std::make_pair(1, int(sent)));
            EXPECT_EQ(progress_.back(), std::make_pair(int(sent), int(sent)));
        }
        EXPECT_EQ(flash_exchanges() - before, sent ? 1 + 5 * int(sent) + 1 : 0);
    }
}

// The adapter's answer to the end of the flash decides: 0 and 1 are success.
struct ForcedFlashResult : evalpanel::BridgeFirmwareAdapter {
    using BridgeFirmwareAdapter::BridgeFirmwareAdapter;
    int result = 0;
    int load_firmware(const wchar_t *path, const std::function<void(int, int)> &progress) override {
        EXPECT_EQ(BridgeFirmwareAdapter::load_firmware(path, progress), 0); // the kit took it
        return result;
    }
};

// A flash the kit refuses (its header, nothing after it), then forced answers.
TEST_F(FirmwareCheck, FlashResultZeroOrOneIsSuccess) {
    write_image(version_word(1, 3, 0), 1);
    kit("refuse b1");
    EXPECT_EQ(run(false), FirmwareOutcome::FlashFailed);
    EXPECT_EQ(messages(),
              QStringList({" : Bootloader version 1.0.4.", " : Current firmware version 1.2.0.",
                           " : Updating firmware...", " : Failed.",
                           " : Current firmware version 1.2.0."}));
    EXPECT_EQ(boxes_, QStringList{QString()});
    EXPECT_EQ(flash_exchanges(), 1);
    kit("refuse off");
    for (int result : {0, 1, 2, 4, -1, -4}) {
        SCOPED_TRACE(result);
        lines_.clear();
        boxes_.clear();
        ForcedFlashResult adapter(handle_);
        adapter.result = result;
        const bool ok = result == 0 || result == 1;
        EXPECT_EQ(run(false, &adapter), ok ? FirmwareOutcome::Updated : FirmwareOutcome::FlashFailed);
        const QStringList got = messages();
        ASSERT_EQ(got.size(), 5);
        EXPECT_EQ(got[3], ok ? " : OK." : " : Failed.");
        EXPECT_EQ(boxes_, QStringList{ok ? "Firmware updated." : ""});
    }
}

// Without an adapter the version read fails; that is no version above every
// image but a missing adapter, and the check says so.
TEST_F(FirmwareCheck, NoAdapterIsSaidPlainly) {
    write_image(version_word(1, 3, 0), 1);
    for (int row = 0; row < 4; ++row) {
        const bool unplug = row % 2 == 0, automatic = row >= 2;
        SCOPED_TRACE(std::string(unplug ? "unplug" : "invalid") + (automatic ? " automatic" : " menu"));
        lines_.clear();
        boxes_.clear();
        kit("reset");
        kit("stats");
        if (unplug) {
            kit("unplug");
        } else {
            usb_hid_close(handle_);
            handle_ = BRIDGEIO_INVALID_HANDLE;
        }
        EXPECT_EQ(run(automatic), FirmwareOutcome::NotConnected);
        EXPECT_EQ(messages(),
                  QStringList({" : Bootloader version .", " : Adapter not connected."}));
        EXPECT_EQ(boxes_, automatic ? QStringList() : QStringList{"Adapter not connected."});
        EXPECT_EQ(flash_exchanges(), 0);
        kit("plug");
        if (handle_ != BRIDGEIO_INVALID_HANDLE)
            usb_hid_close(handle_);
        handle_ = usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID);
    }
}

} // namespace
