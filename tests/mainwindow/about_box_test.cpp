// The About box and the embedded resources.
#include "about_box.h"
#include "qstring_print.h"
#include "resources_init.h"

#include <QDialog>
#include <QImage>
#include <QLabel>
#include <QResource>
#include <gtest/gtest.h>

#include <memory>

namespace {

TEST(AboutTexts, SourceLinkNamesTheQtInUse) {
    const QString source = evalpanel::qt_source_line("6.4.2");
    EXPECT_TRUE(source.startsWith("Source code of Qt is available at <a href=\""));
    EXPECT_TRUE(source.contains("/6.4/6.4.2/")) << source.toStdString();
}

TEST(AboutBox, ShowsTheLogo) {
    QWidget owner;
    std::unique_ptr<QDialog> box(evalpanel::build_about_box(&owner));
    EXPECT_EQ(box->parentWidget(), &owner); // title and modality: AboutFromTheMenuIsModalEachTime
    auto *logo = box->findChild<QLabel *>("about_logo");
    ASSERT_NE(logo, nullptr);
    EXPECT_FALSE(logo->pixmap().isNull());
}

TEST(Resources, TreeIsRegisteredUncompressedAndDecodes) {
    evalpanel::register_resources();
    evalpanel::register_resources(); // twice is harmless
    const char *paths[] = {":/icon.ico", ":/images/kit_logo_2.PNG", ":/images/kit_logo.png",
                           ":/images/logo.png"};
    for (const char *path : paths) {
        SCOPED_TRACE(path);
        QResource resource(QString::fromLatin1(path));
        ASSERT_TRUE(resource.isValid());
        EXPECT_EQ(resource.compressionAlgorithm(), QResource::NoCompression);
        EXPECT_FALSE(QImage(QString::fromLatin1(path)).isNull());
    }
}

} // namespace
