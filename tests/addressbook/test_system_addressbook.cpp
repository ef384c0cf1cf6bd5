// The bridge with the project's own library behind it: the three lists go into the real
// dialog and come back as the user left them.
#include "SMAPI.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

TEST(SystemAddressBook, TheRealDialogEditsTheThreeListsThroughTheBridge)
{
    QTemporaryDir home;
    std::vector<std::pair<const char *, QByteArray>> saved;
    for (const char *name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"})
        saved.push_back({name, qgetenv(name)});
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + "/.local/share").toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());
    QDir().mkpath(home.path() + "/.local/share/contacts");
    {
        QFile cards(home.path() + "/.local/share/contacts/friends.vcf");
        ASSERT_TRUE(cards.open(QIODevice::WriteOnly));
        cards.write("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Anna Smith\r\nEMAIL:anna@example.org\r\nEND:VCARD\r\n"
                    "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Борис Орлов\r\nEMAIL:boris@example.org\r\nEND:VCARD\r\n");
    }
    SmapiSetLibraryName(QCoreApplication::applicationDirPath() + "/../bin/libsendorix_simplemapi.so");

    QWidget window;
    TRecipientList to{{"old@example.org", "Old Friend"}}, cc{{"cc@example.org", ""}}, bcc;
    QStringList toOnEntry, ccOnEntry;
    QWidget *parent = nullptr;
    bool driven = false;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget *dialog = QApplication::activeModalWidget();
        if (dialog == nullptr || driven)
            return;
        driven = true;
        poll.stop();
        parent = dialog->parentWidget();
        auto *search = dialog->findChild<QLineEdit *>("edtSearch");
        auto *lstTo = dialog->findChild<QListWidget *>("lstTo");
        auto *lstCc = dialog->findChild<QListWidget *>("lstCc");
        for (int i = 0; i < lstTo->count(); ++i)
            toOnEntry << lstTo->item(i)->text();
        for (int i = 0; i < lstCc->count(); ++i)
            ccOnEntry << lstCc->item(i)->text();
        lstCc->item(0)->setSelected(true);
        dialog->findChild<QPushButton *>("btnRemove")->click();
        search->setText("anna");
        dialog->findChild<QPushButton *>("btnTo")->click();
        search->setText("boris@");
        dialog->findChild<QPushButton *>("btnBcc")->click();
        dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
    });
    poll.start();
    const bool replaced = SmapiEditRecipients(&window, to, cc, bcc);

    SmapiSetLibraryName(QString());
    for (const auto &[name, value] : saved) {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    ASSERT_TRUE(driven);
    EXPECT_TRUE(replaced);
    EXPECT_EQ(parent, &window);
    EXPECT_EQ(toOnEntry, QStringList{"Old Friend <old@example.org>"});
    EXPECT_EQ(ccOnEntry, QStringList{"cc@example.org"});
    EXPECT_EQ(to, (TRecipientList{{"old@example.org", "Old Friend"}, {"anna@example.org", "Anna Smith"}}));
    EXPECT_TRUE(cc.isEmpty());
    EXPECT_EQ(bcc, (TRecipientList{{"boris@example.org", "Борис Орлов"}}));
}
