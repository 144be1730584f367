// quillbox-icons: writes the program icon for the desktop's icon theme, from
// the same figures the window draws it with (app/Images.cpp).
//
//   quillbox-icons FOLDER SIZE...
//
// writes FOLDER/quillbox.svg and FOLDER/quillbox-SIZE.png for each SIZE
// (pixels, 1 to 1024). Run by the build; exit status 1 on any failure.
#include "app/Images.h"

#include <QDir>
#include <QFile>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char* argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "Usage: quillbox-icons FOLDER SIZE...\n");
        return 2;
    }
    const QDir folder(QFile::decodeName(argv[1]));
    if (!folder.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "quillbox-icons: cannot create %s\n", argv[1]);
        return 1;
    }
    QFile svg(folder.filePath(QStringLiteral("quillbox.svg")));
    if (!svg.open(QIODevice::WriteOnly) || svg.write(ProgramIconSvg()) < 0 || !svg.flush()) {
        std::fprintf(stderr, "quillbox-icons: cannot write %s\n", qPrintable(svg.fileName()));
        return 1;
    }
    for (int i = 2; i < argc; ++i) {
        char* end = nullptr;
        const long size = std::strtol(argv[i], &end, 10);
        if (*argv[i] == '\0' || *end != '\0' || size < 1 || size > 1024) {
            std::fprintf(stderr, "quillbox-icons: bad size \"%s\"\n", argv[i]);
            return 1;
        }
        const QString png = folder.filePath(QStringLiteral("quillbox-%1.png").arg(size));
        if (!ProgramIconImage(int(size)).save(png, "PNG")) {
            std::fprintf(stderr, "quillbox-icons: cannot write %s\n", qPrintable(png));
            return 1;
        }
    }
    return 0;
}
