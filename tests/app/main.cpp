// Window tests run the real widgets on the offscreen platform.
#include "AdImage.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
#ifdef TEST_BANNER_LIBRARY
    // Windows in the tests carry the program's own banner, as the installed program does.
    TAdImage::SetLibraryFileName(QStringLiteral(TEST_BANNER_LIBRARY));
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
