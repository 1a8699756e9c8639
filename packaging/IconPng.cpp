// Writes the program's 16- and 32-pixel icons, the same images its window shows, as the PNG
// files a desktop's icon theme reads, so that the pixel drawings in res/ stay the one source.
#include <QImage>

#include "res/icon16.xpm"
#include "res/icon32.xpm"

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    const bool written =
        QImage(icon16_xpm).save(argv[1], "PNG") && QImage(icon32_xpm).save(argv[2], "PNG");
    return written ? 0 : 1;
}
