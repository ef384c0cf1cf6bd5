// The system address book bridge against a recording Simple MAPI library: what goes out, what
// comes back, and every way the call can fail.
#include "SMAPI.h"

#include "Global.h"

#include "../fixtures/mapirecorder/MapiRecorder.h"

#include <QCoreApplication>
#include <QFile>
#include <QLibrary>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>

namespace {

QString BesideTests(const char *file)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(file);
}

// The recorder's controls, reached through the same loaded file the bridge uses.
struct TRecorder
{
    explicit TRecorder(const QString &path) : library(path)
    {
        EXPECT_TRUE(library.load()) << library.errorString().toStdString();
        Script = reinterpret_cast<LPRECORDERSCRIPT>(library.resolve("RecorderScript"));
        Call = reinterpret_cast<LPRECORDERCALL>(library.resolve("RecorderCall"));
        EXPECT_TRUE(Script && Call);
    }
    void Answer(MapiULong result, std::vector<TScriptedRecip> recips = {})
    {
        Script(result, MapiULong(recips.size()), recips.data());
    }
    QLibrary library;
    LPRECORDERSCRIPT Script = nullptr;
    LPRECORDERCALL Call = nullptr;
};

class SmapiBridge : public ::testing::Test
{
protected:
    void SetUp() override { SmapiSetLibraryName(BesideTests("libmapirecorder.so")); }
    void TearDown() override
    {
        SmapiUnload();
        SmapiSetLibraryName(QString());
    }
    TRecipientList to{{"t@example.org", "Tom"}}, cc{{"c@example.org", ""}}, bcc;
};

struct TSent
{
    MapiULong Class;
    std::string Name, Address;
};

struct TBridgeCase
{
    const char *What;
    TRecipientList To, Cc, Bcc;
    std::vector<TSent> Sent;
    std::vector<TScriptedRecip> Reply;
    TRecipientList NewTo, NewCc, NewBcc;
};

} // namespace

TEST_F(SmapiBridge, RecordsGoOutByClassAndComeBackIntoTheirLists)
{
    const TBridgeCase cases[] = {
        {"two Bcc entries only: two class-3 records; the reply replaces them",
         {}, {}, {{"b1@x.org", "B One"}, {"b2@x.org", ""}},
         {{MAPI_BCC, "B One", "b1@x.org"}, {MAPI_BCC, "", "b2@x.org"}},
         {{MAPI_BCC, "B One", "b1@x.org"}},
         {}, {}, {{"b1@x.org", "B One"}}},
        {"all empty: count 0 and no array",
         {}, {}, {}, {},
         {{MAPI_TO, "New", "new@x.org"}},
         {{"new@x.org", "New"}}, {}, {}},
        {"To, then Cc, then Bcc, each in list order; names and addresses as they are",
         {{"t1@x.org", "Иван Петров"}, {"<odd>@x.org", ""}}, {{"c1@x.org", "C, One"}},
         {{"b1@x.org", "B"}},
         {{MAPI_TO, "Иван Петров", "t1@x.org"}, {MAPI_TO, "", "<odd>@x.org"},
          {MAPI_CC, "C, One", "c1@x.org"}, {MAPI_BCC, "B", "b1@x.org"}},
         {{MAPI_CC, "Иван Петров", "t1@x.org"}, {MAPI_TO, "B", "b1@x.org"}},
         {{"b1@x.org", "B"}}, {{"t1@x.org", "Иван Петров"}}, {}},
        {"an originator record is skipped; a missing name or address reads as empty",
         {{"t@x.org", "T"}}, {}, {},
         {{MAPI_TO, "T", "t@x.org"}},
         {{MAPI_ORIG, "Me", "me@x.org"}, {MAPI_TO, nullptr, "to@x.org"},
          {MAPI_BCC, "Nobody", nullptr}, {7, "Odd", "odd@x.org"}},
         {{"to@x.org", ""}}, {}, {{"", "Nobody"}}},
        {"success with no records empties all three",
         {{"t@x.org", "T"}}, {{"c@x.org", ""}}, {{"b@x.org", ""}},
         {{MAPI_TO, "T", "t@x.org"}, {MAPI_CC, "", "c@x.org"}, {MAPI_BCC, "", "b@x.org"}},
         {},
         {}, {}, {}},
    };
    TRecorder recorder(BesideTests("libmapirecorder.so"));
    QWidget window;
    for (const TBridgeCase &c : cases) {
        SCOPED_TRACE(c.What);
        recorder.Answer(SUCCESS_SUCCESS, c.Reply);
        TRecipientList t = c.To, cc = c.Cc, b = c.Bcc;
        ASSERT_TRUE(SmapiEditRecipients(&window, t, cc, b));

        const TRecordedCall &call = *recorder.Call();
        EXPECT_EQ(call.Calls, 1);
        EXPECT_EQ(call.Session, 0u);
        EXPECT_EQ(call.UIParam, MapiHandle(window.winId()));
        EXPECT_TRUE(call.HasCaption);
        EXPECT_EQ(call.Caption, "");
        EXPECT_EQ(call.EditFields, 3u);
        EXPECT_FALSE(call.HasLabels);
        EXPECT_EQ(call.Flags, 0u);
        EXPECT_EQ(call.Reserved, 0u);
        EXPECT_EQ(call.Recips, c.Sent.size());
        EXPECT_EQ(call.HasRecips, !c.Sent.empty());
        ASSERT_EQ(call.Records.size(), c.Sent.size());
        for (size_t i = 0; i < c.Sent.size(); ++i) {
            const TRecordedRecip &r = call.Records[i];
            EXPECT_EQ(r.Class, c.Sent[i].Class) << i;
            EXPECT_TRUE(r.HasName && r.HasAddress) << i;
            EXPECT_EQ(r.Name, c.Sent[i].Name) << i;
            EXPECT_EQ(r.Address, c.Sent[i].Address) << i;
            EXPECT_EQ(r.Reserved, 0u);
            EXPECT_EQ(r.EIDSize, 0u);
            EXPECT_FALSE(r.HasEntryID);
        }
        // The returned block goes back to the library, once.
        if (c.Reply.empty())
            EXPECT_TRUE(call.Freed.empty());
        else
            EXPECT_EQ(call.Freed, std::vector<void *>{call.Returned});

        EXPECT_EQ(t, c.NewTo);
        EXPECT_EQ(cc, c.NewCc);
        EXPECT_EQ(b, c.NewBcc);
    }
    EXPECT_EQ(qgetenv("SENDORIX_LANGUAGE"), "en");   // no language hook: English
}

TEST_F(SmapiBridge, ACancelOrFailureOrMissingEntryLeavesTheListsAlone)
{
    const TRecipientList oldTo = to, oldCc = cc;
    {
        TRecorder recorder(BesideTests("libmapirecorder.so"));
        for (MapiULong result : {MapiULong(MAPI_USER_ABORT), MapiULong(MAPI_E_FAILURE)}) {
            recorder.Answer(result, {{MAPI_TO, "X", "x@x.org"}});
            EXPECT_FALSE(SmapiEditRecipients(nullptr, to, cc, bcc));
            EXPECT_EQ(recorder.Call()->Calls, 1);
            EXPECT_EQ(recorder.Call()->UIParam, 0u);
            EXPECT_TRUE(recorder.Call()->Freed.empty());
            EXPECT_EQ(to, oldTo);
            EXPECT_EQ(cc, oldCc);
            EXPECT_TRUE(bcc.isEmpty());
        }
    }
    // A library without MAPIAddress: silently nothing.
    SmapiSetLibraryName(BesideTests("libmapirecorder_noaddress.so"));
    EXPECT_FALSE(SmapiEditRecipients(nullptr, to, cc, bcc));
    EXPECT_EQ(to, oldTo);
    EXPECT_EQ(cc, oldCc);
    EXPECT_EQ(SmapiAddress(0, 0, nullptr, 3, nullptr, 0, nullptr, 0, 0, nullptr, nullptr), 1u);
    EXPECT_EQ(SmapiFreeBuffer(nullptr), SUCCESS_SUCCESS);   // that one it has
}

TEST_F(SmapiBridge, ALibraryThatCannotBeLoadedSaysWhyAndIsTriedAgainNextTime)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("libsystembook.so"));
    SmapiSetLibraryName(path);
    const TRecipientList oldTo = to;
    try {
        SmapiEditRecipients(nullptr, to, cc, bcc);
        ADD_FAILURE() << "no error for a missing library";
    } catch (const Exception &e) {
        const QString message = e.Message();
        EXPECT_TRUE(message.startsWith(QStringLiteral("MAPI Initialization Error: "))) << e.what();
        EXPECT_TRUE(message.contains(path)) << e.what();
        EXPECT_TRUE(message.contains(QStringLiteral("No such file"))) << e.what();
    }
    EXPECT_EQ(to, oldTo);

    // A file that is no library: the loader's reason again.
    {
        QFile junk(path);
        ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
        junk.write("not a shared object");
    }
    EXPECT_THROW(SmapiLoad(), Exception);

    // Once a real library is there, the next use loads it.
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(QFile::copy(BesideTests("libmapirecorder.so"), path));
    TRecorder recorder(path);
    recorder.Answer(SUCCESS_SUCCESS, {{MAPI_CC, "New", "new@x.org"}});
    EXPECT_TRUE(SmapiEditRecipients(nullptr, to, cc, bcc));
    EXPECT_EQ(recorder.Call()->Calls, 1);
    EXPECT_TRUE(to.isEmpty());
    EXPECT_EQ(cc, (TRecipientList{{"new@x.org", "New"}}));
}
