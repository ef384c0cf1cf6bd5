// Dialogs on the screen they open on: where a window goes on a screen's free area, and the sizes
// kept for resizable dialogs in the settings file.
#include "IniFile.h"
#include "ScreenFit.h"

#include <QFile>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>

namespace {

TEST(ScreenFit, AWindowIsShrunkToTheFreeAreaAndMovedIntoIt)
{
    // 1280x1024 at 2x leaves 640x512; a second screen to the right starts at x 1280.
    const QRect half(0, 0, 640, 512), second(1280, 0, 1024, 768);
    const struct {
        const char *Case;
        QRect Wanted;
        QSize Minimum;
        QRect Available;
        QSize Frame;
        QRect Expected;
    } cases[] = {
        {"fits: left alone", {100, 50, 400, 300}, {200, 100}, half, {}, {100, 50, 400, 300}},
        {"the system book at 820x520", {-90, -4, 820, 520}, {500, 300}, half, {}, {0, 0, 640, 512}},
        {"too wide only", {20, 100, 800, 200}, {300, 100}, half, {}, {0, 100, 640, 200}},
        {"hangs over the right edge", {500, 100, 300, 200}, {}, half, {}, {340, 100, 300, 200}},
        {"hangs over the bottom", {10, 400, 300, 200}, {}, half, {}, {10, 312, 300, 200}},
        {"above and left of the screen", {-50, -20, 300, 200}, {}, half, {}, {0, 0, 300, 200}},
        {"the frame counts", {0, 0, 700, 600}, {}, half, {10, 30}, {0, 0, 630, 482}},
        {"a minimum larger than the screen wins", {0, 0, 700, 600}, {660, 520}, half, {}, {0, 0, 660, 520}},
        {"on the second screen", {1200, 100, 1100, 400}, {}, second, {}, {1280, 100, 1024, 400}},
        {"a free area below a panel", {0, 0, 400, 300}, {}, {0, 32, 640, 480}, {}, {0, 32, 400, 300}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(FittedGeometry(c.Wanted, c.Minimum, c.Available, c.Frame), c.Expected) << c.Case;
}

TEST(ScreenFit, KeptSizesGoBackAndForthThroughTheSettingsFile)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("Sendorix.cfg");
    {
        TIniFile ini(file);
        ini.WriteString("Other", "Key", "kept");
        ini.WriteString("DialogSizes", "Tiny", "20,10");   // no person makes a dialog that small
        ini.WriteString("DialogSizes", "Broken", "wide");
        ini.UpdateFile();
    }
    QWidget book;
    book.setObjectName("AddressBook");
    book.resize(733, 455);
    EXPECT_FALSE(KeptDialogSize(file, "AddressBook").isValid());
    EXPECT_TRUE(KeepDialogSize(file, &book));
    EXPECT_EQ(KeptDialogSize(file, "AddressBook"), QSize(733, 455));
    EXPECT_FALSE(KeptDialogSize(file, "Tiny").isValid());
    EXPECT_FALSE(KeptDialogSize(file, "Broken").isValid());
    EXPECT_EQ(TIniFile(file).ReadString("Other", "Key", ""), "kept");

    // A folder that cannot be written loses only the size.
    EXPECT_FALSE(KeepDialogSize(dir.filePath("missing/folder/Sendorix.cfg"), &book));
}

}  // namespace
