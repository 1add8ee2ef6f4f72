#include "ui/JpegImage.h"

#include "platform/Types.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <cstdlib>
#include <gtest/gtest.h>
#include <random>
#include <string>

using namespace cw;

namespace {

std::string AssetPath(const char* name)
{
    const char* root = std::getenv("CW_SOURCE_DIR");
    std::string dir = root ? root : std::string(__FILE__).substr(0, std::string(__FILE__).rfind("/tests/"));
    return dir + "/assets/" + name;
}

// A JPEG made by Qt's own encoder, so the decoder is checked against an independent writer.
std::string Encode(const QImage& image, int quality = 95)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(image.save(&buffer, "JPEG", quality));
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

bool Near(QRgb a, QRgb b, int tolerance = 6)
{
    return std::abs(qRed(a) - qRed(b)) <= tolerance && std::abs(qGreen(a) - qGreen(b)) <= tolerance &&
           std::abs(qBlue(a) - qBlue(b)) <= tolerance;
}

TEST(JpegImage, DecodesColourAndGreyPicturesToTheColoursWritten)
{
    QImage colour(40, 20, QImage::Format_RGB32);
    colour.fill(QColor(200, 40, 30));
    for (int y = 0; y < 20; ++y)
        for (int x = 20; x < 40; ++x)
            colour.setPixel(x, y, qRgb(20, 90, 220));
    QImage decoded = JpegImage::Decode(Encode(colour));
    ASSERT_EQ(decoded.size(), QSize(40, 20));
    EXPECT_TRUE(Near(decoded.pixel(5, 10), qRgb(200, 40, 30))) << std::hex << decoded.pixel(5, 10);
    EXPECT_TRUE(Near(decoded.pixel(35, 10), qRgb(20, 90, 220))) << std::hex << decoded.pixel(35, 10);

    QImage grey(16, 16, QImage::Format_Grayscale8);
    grey.fill(QColor(128, 128, 128));
    decoded = JpegImage::Decode(Encode(grey));
    ASSERT_EQ(decoded.size(), QSize(16, 16));
    EXPECT_TRUE(Near(decoded.pixel(8, 8), qRgb(128, 128, 128)));
}

TEST(JpegImage, OurArtworkDecodes)
{
    QImage banner = JpegImage::Load(QString::fromStdString(AssetPath("banner.jpg")));
    ASSERT_FALSE(banner.isNull());
    EXPECT_EQ(banner.size(), QSize(486, 50));
    QImage logo = JpegImage::Load(QString::fromStdString(AssetPath("logo.jpg")));
    EXPECT_EQ(logo.size(), QSize(64, 64));
    EXPECT_FALSE(JpegImage::Load(QString::fromStdString(AssetPath("panel.jpg"))).isNull());
}

TEST(JpegImage, RejectsWhatIsNotAJpegPicture)
{
    EXPECT_THROW(JpegImage::Decode(std::string()), Exception);
    EXPECT_THROW(JpegImage::Decode(std::string("GIF89a, not a jpeg at all")), Exception);
    EXPECT_THROW(JpegImage::Decode(std::string("\xff\xd8\xff", 3)), Exception);
    EXPECT_TRUE(JpegImage::Load("/nonexistent/picture.jpg").isNull());
    QFile self(QString::fromStdString(AssetPath("make_artwork.cpp")));
    EXPECT_TRUE(JpegImage::Load(self.fileName()).isNull());
}

TEST(JpegImage, AbsurdDimensionsInTheHeaderAreRefusedBeforeAllocating)
{
    QImage small(8, 8, QImage::Format_RGB32);
    small.fill(Qt::white);
    std::string bytes = Encode(small);
    // Find the frame header (SOF0 or SOF2) and claim 60000 x 60000 pixels.
    std::size_t sof = std::string::npos;
    for (std::size_t i = 0; i + 9 < bytes.size(); ++i)
        if (static_cast<unsigned char>(bytes[i]) == 0xFF &&
            (static_cast<unsigned char>(bytes[i + 1]) == 0xC0 || static_cast<unsigned char>(bytes[i + 1]) == 0xC2)) {
            sof = i;
            break;
        }
    ASSERT_NE(sof, std::string::npos);
    bytes[sof + 5] = bytes[sof + 7] = static_cast<char>(0xEA); // 0xEA60 = 60000
    bytes[sof + 6] = bytes[sof + 8] = static_cast<char>(0x60);
    EXPECT_THROW(JpegImage::Decode(bytes), Exception);
}

TEST(JpegImage, TruncatedAndDamagedDataNeverCrashes)
{
    QImage picture(64, 48, QImage::Format_RGB32);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            picture.setPixel(x, y, qRgb(x * 4, y * 5, (x + y) * 2));
    const std::string good = Encode(picture, 80);

    // Every cut: either a picture of the full size (the upper part decoded) or an exception.
    for (std::size_t len = 0; len < good.size(); len += 7) {
        try {
            QImage img = JpegImage::Decode(good.substr(0, len));
            EXPECT_EQ(img.size(), QSize(64, 48)) << "cut at " << len;
        } catch (const Exception&) {
        }
    }
    // Random damage after the header.
    std::mt19937 random(12345);
    for (int round = 0; round < 200; ++round) {
        std::string bad = good;
        for (int k = 0; k < 8; ++k)
            bad[20 + random() % (bad.size() - 20)] = static_cast<char>(random());
        try {
            QImage img = JpegImage::Decode(bad);
            EXPECT_FALSE(img.isNull());
        } catch (const Exception&) {
        }
    }
}

} // namespace
