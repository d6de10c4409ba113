// The firmware update check against the virtual kit: every row of the
// decision, the log lines with their time stamps, the message box texts,
// and the kit's firmware afterwards.
#include "../fifo_deadline.h"
#include "../virtualkit/kit_lines.h"
#include "firmware_update.h"
#include "qstring_print.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using evalpanel::FirmwareOutcome;

constexpr uint32_t version_word(int major, int minor, int patch) {
    return uint32_t(major) << 16 | uint32_t(minor) << 8 | uint32_t(patch);
}

// Exchanges with command code 0xB1 (image header, chunks, end mark) so far.
int flash_exchanges() {
    const std::string stats = kit("stats");
    unsigned long long count = 0;
    const auto at = stats.find("0xB1 ");
    if (at != std::string::npos)
        std::sscanf(stats.c_str() + at + 5, "%llu", &count);
    return static_cast<int>(count);
}

// The adapter's firmware as the kit reports it: "1.2.0", "none", ...
std::string kit_firmware() {
    const std::string status = kit("status");
    const auto at = status.find(", firmware ");
    if (at == std::string::npos)
        return "?";
    const auto end = status.find_first_of(",\n", at + 11);
    return status.substr(at + 11, end - at - 11);
}

class FirmwareCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        old_dir_ = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir_.path()));
        kit("reset");
        handle_ = usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID);
        ASSERT_NE(handle_, BRIDGEIO_INVALID_HANDLE);
        kit("stats"); // counts start at the reset
    }

    void TearDown() override {
        if (handle_ != BRIDGEIO_INVALID_HANDLE)
            usb_hid_close(handle_);
        QDir::setCurrent(old_dir_);
        kit("reset");
    }

    // Writes firmware.bin.
    static void write_raw(const QByteArray &bytes) {
        QFile file(QString::fromLatin1(evalpanel::kFirmwareImageName));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(bytes), bytes.size());
    }
    static QByteArray le32(uint32_t w) {
        QByteArray b(4, '\0');
        for (int i = 0; i < 4; ++i)
            b[i] = static_cast<char>(w >> (8 * i));
        return b;
    }
    // The header, then `pages` pages of 256 bytes and `tail` extra bytes.
    static void write_image(uint32_t version, int pages = 3, int tail = 0) {
        QByteArray bytes = le32(evalpanel::kFirmwareImageMagic) + le32(version);
        for (int i = 0; i < pages * 256 + tail; ++i)
            bytes.append(static_cast<char>(i * 7 + 1));
        write_raw(bytes);
    }

    FirmwareOutcome run(bool automatic, evalpanel::FirmwareAdapter *adapter = nullptr) {
        evalpanel::BridgeFirmwareAdapter bridge(handle_);
        evalpanel::FirmwareCheckSinks sinks;
        sinks.log = [this](const QString &line) { lines_ << line; };
        sinks.show_box = [this](const QString &text) { boxes_ << text; };
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

    QTemporaryDir dir_;
    QString old_dir_;
    BridgeHandle handle_ = BRIDGEIO_INVALID_HANDLE;
    QStringList lines_;
    QStringList boxes_;
};

TEST_F(FirmwareCheck, AutomaticWithFirmwarePresentOnlyLogs) {
    // An image that would be flashed, and one that is broken: neither matters.
    for (bool valid : {true, false}) {
        SCOPED_TRACE(valid);
        lines_.clear();
        if (valid)
            write_image(version_word(1, 3, 0));
        else
            write_raw("junk");
        EXPECT_EQ(run(true), FirmwareOutcome::FirmwarePresent);
        EXPECT_EQ(messages(), QStringList({" : Bootloader version 1.0.4.",
                                           " : Firmware found. No automatic updates done."}));
        EXPECT_TRUE(boxes_.isEmpty());
        EXPECT_EQ(flash_exchanges(), 0);
        EXPECT_EQ(kit_firmware(), "1.2.0");
    }
}

TEST_F(FirmwareCheck, AutomaticWithoutFirmwareFlashesAValidImage) {
    kit("firmware none");
    write_image(version_word(1, 3, 0), 3);
    EXPECT_EQ(run(true), FirmwareOutcome::Updated);
    EXPECT_EQ(
        messages(),
        QStringList({" : Bootloader version 1.0.4.", " : Current firmware version 0.0.0.",
                     " : Updating firmware...", " : OK.", " : Current firmware version 1.3.0."}));
    EXPECT_EQ(boxes_, QStringList{"Firmware updated."});
    // Header, five chunks per page, end mark.
    EXPECT_EQ(flash_exchanges(), 1 + 5 * 3 + 1);
    EXPECT_EQ(kit_firmware(), "1.3.0");
}

// Every byte of an image that fits is flashed: a partial last page goes out
// filled up to a whole one, and an image as large as the adapter's flash is
// taken whole.
struct FittingImage {
    const char *name;
    int pages, tail;
    int sent; // pages
};

class FirmwareFittingImage : public FirmwareCheck,
                             public ::testing::WithParamInterface<FittingImage> {};

TEST_P(FirmwareFittingImage, IsFlashedWhole) {
    const FittingImage &row = GetParam();
    write_image(version_word(1, 3, 0), row.pages, row.tail);
    EXPECT_EQ(run(false), FirmwareOutcome::Updated);
    EXPECT_EQ(boxes_, QStringList{"Firmware updated."});
    EXPECT_EQ(flash_exchanges(), 1 + 5 * row.sent + 1);
    EXPECT_EQ(kit_firmware(), "1.3.0");
}

INSTANTIATE_TEST_SUITE_P(Sizes, FirmwareFittingImage,
                         ::testing::Values(FittingImage{"PartialPage", 2, 17, 3},
                                           FittingImage{"OneByte", 0, 1, 1},
                                           FittingImage{"WholeFlash", 1024, 0, 1024}),
                         [](const auto &info) { return std::string(info.param.name); });

// Files that never reach the flash, in both modes (automatic on an adapter
// without firmware). What is no regular file cannot be opened: the check must
// not wait on a FIFO for a writer.
struct RejectedFile {
    enum Kind { Missing, Directory, Fifo, Bytes };
    const char *name;
    Kind kind;
    QByteArray content;
    FirmwareOutcome outcome;
    const char *log;
    const char *box;
};

class FirmwareRejectedFile : public FirmwareCheck,
                             public ::testing::WithParamInterface<std::tuple<RejectedFile, bool>> {
};

TEST_P(FirmwareRejectedFile, IsReportedAndNeverFlashed) {
    const auto &[file, automatic] = GetParam();
    if (automatic)
        kit("firmware none");
    const std::string name = evalpanel::kFirmwareImageName;
    if (file.kind == RejectedFile::Directory) {
        ASSERT_TRUE(QDir().mkdir(QString::fromStdString(name)));
    }
    if (file.kind == RejectedFile::Fifo) {
        ASSERT_NO_FATAL_FAILURE(fifo_deadline::make_fifo(name));
    }
    if (file.kind == RejectedFile::Bytes)
        write_raw(file.content);
    EXPECT_EQ(fifo_deadline::call_within_deadline(name, [&] { return run(automatic); }),
              file.outcome);
    const QString current = automatic ? "0.0.0" : "1.2.0";
    EXPECT_EQ(messages(),
              QStringList({" : Bootloader version 1.0.4.",
                           QString(" : Current firmware version %1.").arg(current), file.log}));
    EXPECT_EQ(boxes_, QStringList{file.box});
    EXPECT_EQ(flash_exchanges(), 0);
    EXPECT_EQ(kit_firmware(), automatic ? "none" : "1.2.0");
}

QByteArray header_bytes(std::initializer_list<int> bytes, int pages, int tail = 0) {
    QByteArray b;
    for (int v : bytes)
        b.append(static_cast<char>(v));
    b.append(QByteArray(pages * 256 + tail, '\x5a'));
    return b;
}

constexpr auto kNoImage = FirmwareOutcome::NoImage;
constexpr auto kInvalid = FirmwareOutcome::InvalidImage;
constexpr const char *kNoImageLog = " : No updates available.";
constexpr const char *kNoImageBox = "No updates available.";
constexpr const char *kInvalidLog = ": Invalid firmware image.";
constexpr const char *kInvalidBox = "Invalid firmware image.";

const RejectedFile kRejectedFiles[] = {
    {"Missing", RejectedFile::Missing, {}, kNoImage, kNoImageLog, kNoImageBox},
    {"Directory", RejectedFile::Directory, {}, kNoImage, kNoImageLog, kNoImageBox},
    {"Fifo", RejectedFile::Fifo, {}, kNoImage, kNoImageLog, kNoImageBox},
    {"BadMagic", RejectedFile::Bytes, header_bytes({0x07, 0x06, 0x05, 0x05, 0, 0, 3, 0}, 2),
     kInvalid, kInvalidLog, kInvalidBox},
    {"MagicBigEndian", RejectedFile::Bytes, header_bytes({0x04, 0x05, 0x06, 0x07, 0, 0, 3, 0}, 2),
     kInvalid, kInvalidLog, kInvalidBox},
    {"ShorterThanHeader", RejectedFile::Bytes, header_bytes({0x07, 0x06, 0x05, 0x04, 0, 0, 3}, 0),
     kInvalid, kInvalidLog, kInvalidBox},
    {"Empty", RejectedFile::Bytes, QByteArray(), kInvalid, kInvalidLog, kInvalidBox},
    {"NoPage", RejectedFile::Bytes, header_bytes({0x07, 0x06, 0x05, 0x04, 0, 0, 3, 0}, 0),
     kInvalid, kInvalidLog, kInvalidBox},
    {"MoreThanTheFlash", RejectedFile::Bytes,
     header_bytes({0x07, 0x06, 0x05, 0x04, 0, 0, 3, 0}, 1024, 1), kInvalid, kInvalidLog,
     kInvalidBox},
};

INSTANTIATE_TEST_SUITE_P(Files, FirmwareRejectedFile,
                         ::testing::Combine(::testing::ValuesIn(kRejectedFiles), ::testing::Bool()),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_Automatic" : "_Menu");
                         });

// The menu flashes whenever the file is at least as new as the adapter.
struct MenuVersion {
    const char *name;
    uint32_t image_version;
    FirmwareOutcome outcome;
    QStringList tail; // log messages after the current-version line
    const char *box;
    const char *kit_after;
};

class FirmwareMenuVersion : public FirmwareCheck,
                            public ::testing::WithParamInterface<MenuVersion> {};

TEST_P(FirmwareMenuVersion, DecidesByVersion) {
    const MenuVersion &row = GetParam();
    write_image(row.image_version, 2);
    EXPECT_EQ(run(false), row.outcome);
    QStringList expected = {" : Bootloader version 1.0.4.", " : Current firmware version 1.2.0."};
    expected += row.tail;
    EXPECT_EQ(messages(), expected);
    EXPECT_EQ(boxes_, QStringList{row.box});
    EXPECT_EQ(kit_firmware(), row.kit_after);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, FirmwareMenuVersion,
    ::testing::Values(
        MenuVersion{"Older",
                    version_word(1, 1, 9),
                    FirmwareOutcome::AlreadyLatest,
                    {" : Firmware already latest."},
                    "Firmware already latest.",
                    "1.2.0"},
        MenuVersion{"Equal",
                    version_word(1, 2, 0),
                    FirmwareOutcome::Updated,
                    {" : Updating firmware...", " : OK.", " : Current firmware version 1.2.0."},
                    "Firmware updated.",
                    "1.2.0"},
        MenuVersion{"Newer",
                    version_word(2, 0, 1),
                    FirmwareOutcome::Updated,
                    {" : Updating firmware...", " : OK.", " : Current firmware version 2.0.1."},
                    "Firmware updated.",
                    "2.0.1"},
        // The top byte takes no part in the text but does in the comparison.
        MenuVersion{"HigherTopByte",
                    0x01000000u | version_word(1, 0, 0),
                    FirmwareOutcome::Updated,
                    {" : Updating firmware...", " : OK.", " : Current firmware version 1.0.0."},
                    "Firmware updated.",
                    "1.0.0"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(FirmwareCheck, RefusedFlashShowsAnEmptyBox) {
    write_image(version_word(1, 3, 0), 2);
    kit("refuse b1");
    EXPECT_EQ(run(false), FirmwareOutcome::FlashFailed);
    EXPECT_EQ(messages(),
              QStringList({" : Bootloader version 1.0.4.", " : Current firmware version 1.2.0.",
                           " : Updating firmware...", " : Failed.",
                           " : Current firmware version 1.2.0."}));
    EXPECT_EQ(boxes_, QStringList{QString()});
    EXPECT_EQ(flash_exchanges(), 1); // the refused header, nothing after it
}

// The adapter's answer to the end of the flash decides: 0 and 1 are success.
class ForcedFlashResult : public evalpanel::BridgeFirmwareAdapter {
  public:
    ForcedFlashResult(BridgeHandle handle, int result)
        : BridgeFirmwareAdapter(handle), result_(result) {}
    int load_firmware(const wchar_t *path) override {
        flashed_ = BridgeFirmwareAdapter::load_firmware(path);
        return result_;
    }
    int flashed_ = -99;

  private:
    int result_;
};

TEST_F(FirmwareCheck, FlashResultZeroOrOneIsSuccess) {
    const struct {
        int result;
        FirmwareOutcome outcome;
    } rows[] = {{0, FirmwareOutcome::Updated},      {1, FirmwareOutcome::Updated},
                {2, FirmwareOutcome::FlashFailed},  {4, FirmwareOutcome::FlashFailed},
                {-1, FirmwareOutcome::FlashFailed}, {-4, FirmwareOutcome::FlashFailed}};
    write_image(version_word(1, 3, 0), 1);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.result);
        lines_.clear();
        boxes_.clear();
        ForcedFlashResult adapter(handle_, row.result);
        EXPECT_EQ(run(false, &adapter), row.outcome);
        EXPECT_EQ(adapter.flashed_, 0); // the kit really took the image
        const bool ok = row.outcome == FirmwareOutcome::Updated;
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
    const struct {
        const char *how;
        bool automatic;
    } rows[] = {{"unplug", false}, {"invalid", false}, {"unplug", true}, {"invalid", true}};
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.how) + (row.automatic ? " automatic" : " menu"));
        lines_.clear();
        boxes_.clear();
        kit("reset");
        kit("stats");
        if (std::string(row.how) == "unplug") {
            kit("unplug");
        } else {
            usb_hid_close(handle_);
            handle_ = BRIDGEIO_INVALID_HANDLE;
        }
        EXPECT_EQ(run(row.automatic), FirmwareOutcome::NotConnected);
        EXPECT_EQ(messages(),
                  QStringList({" : Bootloader version .", " : Adapter not connected."}));
        EXPECT_EQ(boxes_, row.automatic ? QStringList() : QStringList{"Adapter not connected."});
        EXPECT_EQ(flash_exchanges(), 0);
        kit("plug");
        if (handle_ != BRIDGEIO_INVALID_HANDLE)
            usb_hid_close(handle_);
        handle_ = usb_hid_init(BRIDGEIO_VENDOR_ID, BRIDGEIO_PRODUCT_ID);
    }
}

// The real message box: no parent, the text, one OK button, modal; the test
// closes it as a user would.
TEST(FirmwareMessageBox, ShowsTheTextModally) {
    QString seen_text;
    int buttons = -1;
    bool modal = false;
    QTimer::singleShot(0, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box) {
            ADD_FAILURE() << "no modal message box";
            return;
        }
        seen_text = box->text();
        buttons = static_cast<int>(box->buttons().size());
        modal = box->isModal() && box->parentWidget() == nullptr;
        box->button(QMessageBox::Ok)->click();
    });
    evalpanel::run_firmware_message_box("Firmware updated.");
    EXPECT_EQ(seen_text, "Firmware updated.");
    EXPECT_EQ(buttons, 1);
    EXPECT_TRUE(modal);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

} // namespace
