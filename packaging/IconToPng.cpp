// Converts the window's XPM icon into the PNG that the desktop's icon theme takes.
// Usage: brevant_icon_png <input.xpm> <output.png> <size>
// Fails unless the input reads as an image of exactly size x size pixels, so a broken icon
// stops the build instead of installing an empty file.
#include <QImage>
#include <QString>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s input.xpm output.png size\n", argv[0]);
        return 2;
    }
    const QString input = QString::fromLocal8Bit(argv[1]);
    const QString output = QString::fromLocal8Bit(argv[2]);
    const int size = QString::fromLatin1(argv[3]).toInt();
    const QImage image(input, "XPM");
    if (image.isNull()) {
        std::fprintf(stderr, "cannot read %s as XPM\n", argv[1]);
        return 1;
    }
    if (image.width() != size || image.height() != size) {
        std::fprintf(stderr, "%s is %dx%d, expected %dx%d\n", argv[1], image.width(),
                     image.height(), size, size);
        return 1;
    }
    // Keeps the transparent background of the XPM ("None") as alpha.
    if (!image.convertToFormat(QImage::Format_ARGB32).save(output, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
