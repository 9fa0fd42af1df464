// ShowURL (captured by a URL handler: no browser starts), pictures and the
// program's icon.
#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QObject>
#include <QTemporaryDir>
#include <QUrl>

#include <filesystem>
#include <vector>

#include "AppIcon.h"
#include "Picture.h"
#include "ShowURL.h"
#include "UrlCatcher.h"


namespace {

class Urls : public ::testing::Test {
protected:
    UrlCatcher catcher_;
};

}  // namespace

TEST_F(Urls, ShowURLHandsTheWholeURLToTheDesktop) {
    ShowURL("https://kestrune.example/tech-stuff#kestrune");
    ASSERT_EQ(catcher_.opened.size(), 1u);
    const QUrl& u = catcher_.opened[0];
    EXPECT_EQ(u.toString(), "https://kestrune.example/tech-stuff#kestrune");
    EXPECT_EQ(u.host(), "kestrune.example");
    EXPECT_EQ(u.path(), "/tech-stuff");
    EXPECT_EQ(u.fragment(), "kestrune");
    ShowURL("https://kestrune.example/tech-stuff#kestrune");
    EXPECT_EQ(catcher_.opened.size(), 2u);  // each call opens once
}

TEST_F(Urls, TextThatIsNoURLIsRefusedNotOpenedAsAFile) {
    for (const char* bad : {"", "tech-stuff", "/etc/passwd", "https://exa mple/"})
        EXPECT_THROW(ShowURL(bad), InvalidArgumentException) << bad;
    EXPECT_TRUE(catcher_.opened.empty());
}

TEST(Pictures, OpenGivesTheImageOrNil) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QImage img(128, 128, QImage::Format_ARGB32);
    img.fill(QColor(10, 20, 30));
    const QString good = dir.filePath("good.png");
    ASSERT_TRUE(img.save(good));
    QFile junk(dir.filePath("junk.png"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("not a png at all");
    junk.close();

    Ref<Picture> pic = Picture::Open(FolderItem(good.toStdString()));
    ASSERT_TRUE(pic);
    EXPECT_EQ(pic->Width(), 128);
    EXPECT_EQ(pic->Height(), 128);
    EXPECT_EQ(QColor(pic->Image().pixel(5, 5)), QColor(10, 20, 30));
    EXPECT_FALSE(pic->Pixmap().isNull());

    for (const QString& bad : {dir.filePath("missing.png"), dir.filePath("junk.png"), dir.path()})
        EXPECT_FALSE(Picture::Open(FolderItem(bad.toStdString()))) << bad.toStdString();
}

TEST(Pictures, OpenTakesTheDoubleResolutionVersionBesideTheFile) {
    QTemporaryDir dir;
    auto save = [&](const QString& name, int side, QColor color) {
        QImage img(side, side, QImage::Format_ARGB32);
        img.fill(color);
        ASSERT_TRUE(img.save(dir.filePath(name)));
    };
    save("pic.png", 8, QColor(10, 20, 30));
    save("pic@2x.png", 16, QColor(40, 50, 60));
    save("odd.png", 8, QColor(10, 20, 30));
    save("odd@2x.png", 12, QColor(40, 50, 60));  // not twice the size: ignored
    save("lone.png", 8, QColor(10, 20, 30));
    QFile junk(dir.filePath("junk@2x.png"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("not a png at all");
    junk.close();
    save("junk.png", 8, QColor(10, 20, 30));

    Ref<Picture> pic = Picture::Open(FolderItem(dir.filePath("pic.png").toStdString()));
    ASSERT_TRUE(pic);
    EXPECT_EQ(pic->Width(), 8);  // in points, at either resolution
    ASSERT_EQ(pic->HiResImage().size(), QSize(16, 16));
    EXPECT_EQ(QColor(pic->HiResImage().pixel(3, 3)), QColor(40, 50, 60));
    EXPECT_EQ(pic->Pixmap(1.0).size(), QSize(8, 8));
    EXPECT_EQ(pic->Pixmap(1.0).devicePixelRatio(), 1.0);
    for (qreal ratio : {1.25, 1.5, 2.0, 3.0}) {
        EXPECT_EQ(pic->Pixmap(ratio).size(), QSize(16, 16)) << ratio;
        EXPECT_EQ(pic->Pixmap(ratio).devicePixelRatio(), 2.0) << ratio;  // covers the same 8 points
    }
    for (const char* name : {"odd.png", "lone.png", "junk.png"}) {
        Ref<Picture> single = Picture::Open(FolderItem(dir.filePath(name).toStdString()));
        ASSERT_TRUE(single) << name;
        EXPECT_TRUE(single->HiResImage().isNull()) << name;
        EXPECT_EQ(single->Pixmap(2.0).size(), QSize(8, 8)) << name;
    }
}

TEST(Pictures, OpenFromAppLooksInTheBundlesResources) {
    // This test program lives outside a bundle: its Resources folder holds no
    // picture, which gives nil rather than an exception.
    EXPECT_FALSE(Picture::OpenFromApp("audio_128x128.png"));

    std::vector<String> asked;
    Picture::SetLoaderForTesting([&](const String& name) {
        asked.push_back(name);
        return Ref<Picture>(new Picture(QImage(1, 1, QImage::Format_ARGB32)));
    });
    EXPECT_TRUE(Picture::OpenFromApp("audio_128x128.png"));
    Picture::SetLoaderForTesting(nullptr);
    EXPECT_EQ(asked, std::vector<String>{"audio_128x128.png"});
}

TEST(Pictures, OpenFromAppOpensTheBundledPicture) {
    FolderItem::SetApplicationExecutableForTesting(std::filesystem::path(KESTRUNE_BUNDLE_DIR) /
                                                   "Contents/MacOS/Kestrune");
    Ref<Picture> pic = Picture::OpenFromApp("audio_128x128.png");
    Ref<Picture> missing = Picture::OpenFromApp("no_such_picture.png");
    FolderItem::SetApplicationExecutableForTesting({});
    ASSERT_TRUE(pic);
    EXPECT_EQ(pic->Width(), 128);
    EXPECT_EQ(pic->Height(), 128);
    EXPECT_TRUE(pic->Image().hasAlphaChannel());
    EXPECT_EQ(pic->HiResImage().size(), QSize(256, 256));
    EXPECT_TRUE(pic->HiResImage().hasAlphaChannel());
    EXPECT_FALSE(missing);
}


// The icon holds each bundled picture at its own pixel size, pixel for pixel:
// asked for 256 pixels it gives the 256-pixel picture, not the 128 one
// scaled up.
TEST(AppIcons, HoldTheBundlesPictureAt128And256Pixels) {
    const std::filesystem::path bundle(KESTRUNE_BUNDLE_DIR);
    FolderItem::SetApplicationExecutableForTesting(bundle / "Contents/MacOS/Kestrune");
    const QIcon icon = ApplicationIcon();
    FolderItem::SetApplicationExecutableForTesting({});
    const QList<QSize> sizes = icon.availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(128, 128)));
    EXPECT_TRUE(sizes.contains(QSize(256, 256)));
    const QString resources = QString::fromStdString((bundle / "Contents/Resources").string());
    for (const auto& [side, file] : std::vector<std::pair<int, QString>>{{128, "audio_128x128.png"},
                                                                          {256, "audio_128x128@2x.png"}}) {
        SCOPED_TRACE(file.toStdString());
        const QImage expected = QImage(resources + "/" + file).convertToFormat(QImage::Format_ARGB32_Premultiplied);
        ASSERT_FALSE(expected.isNull());
        const QImage got = icon.pixmap(QSize(side, side), 1.0).toImage().convertToFormat(
            QImage::Format_ARGB32_Premultiplied);
        ASSERT_EQ(got.size(), QSize(side, side));
        int off = 0;
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x)
                if (got.pixel(x, y) != expected.pixel(x, y)) ++off;
        EXPECT_EQ(off, 0);
    }
}

TEST(AppIcons, WithoutTheBundlesPicturesTheStylesIconStandsIn) {
    // Outside a bundle (this test program), and with no parent folders at all.
    EXPECT_FALSE(ApplicationIcon().isNull());
    FolderItem::SetApplicationExecutableForTesting("/Kestrune");
    EXPECT_FALSE(ApplicationIcon().isNull());
    FolderItem::SetApplicationExecutableForTesting({});
}
