// Registration of the compiled-in resources and the program icon built from them.
#include "programicon.h"

#include <QImageReader>

// Q_INIT_RESOURCE must be used outside any namespace; it also makes the linker keep the
// resource object file of this static library.
static void InitResources()
{
    Q_INIT_RESOURCE(resources);
}

QIcon ProgramIcon()
{
    InitResources();
    QIcon icon;
    for (const int size : {16, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/linewatch/linewatch-%1.png").arg(size), QSize(size, size));
    if (QImageReader::supportedImageFormats().contains("svg"))
        icon.addFile(QStringLiteral(":/linewatch/linewatch.svg"));
    return icon;
}
