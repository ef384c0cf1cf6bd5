// The scripted server and file helpers the protocol tests are built on, driven by the real
// client socket.
#include "ClientSocket.h"
#include "ScriptedSmtpServer.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using namespace testsupport;

namespace {

void Connect(TClientSocket& cs, int port)
{
    cs.SetAddress(ScriptedSmtpServer::HostAddress());
    cs.SetPort(port);
    cs.Open();
}

void Write(TClientSocket& cs, const std::string& s)
{
    cs.Socket().SendBytes(s.data(), static_cast<int>(s.size()));
}

// Reads until `want` bytes arrived or the peer closed; every wait bounded.
std::string ReadSome(TClientSocket& cs, size_t want)
{
    std::string got;
    char buf[256];
    while (got.size() < want && cs.Socket().WaitReadable(5000)) {
        int n = cs.Socket().ReceiveBytes(buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

}  // namespace

TEST(ScriptedServer, PlaysTheScriptAndRecordsEveryByte)
{
    ScriptedSmtpServer srv({
        SendSplit({"220-first\r\n220 sec", "ond\r\n"}, 40),
        Expect("HELO me\r\n"),
        Send("250 ok\r\n"),
        Expect("DATA\r\n"),
        Send("354 go\r\n"),
        ReadData(),
        Send("250 queued\r\n"),
        Expect("QUIT\r\n"),
        Send("221 bye\r\n"),
    });
    TClientSocket cs;
    Connect(cs, srv.Port());
    EXPECT_EQ(ReadSome(cs, 23), "220-first\r\n220 second\r\n");
    // Several commands in one write are taken line by line.
    Write(cs, "HELO me\r\nDATA\r\n");
    EXPECT_EQ(ReadSome(cs, 16), "250 ok\r\n354 go\r\n");
    const std::string body = "Subject: x\r\n\r\n..dot\r\n";
    Write(cs, body.substr(0, 10));
    Write(cs, body.substr(10) + "." + "\r\n" + "QUIT\r\n");
    EXPECT_EQ(ReadSome(cs, 12 + 9), "250 queued\r\n221 bye\r\n");
    cs.Close();
    ASSERT_TRUE(srv.Wait()) << srv.Failure();
    EXPECT_EQ(srv.Received(), "HELO me\r\nDATA\r\n" + body + ".\r\nQUIT\r\n");
    ASSERT_EQ(srv.Data().size(), 1u);
    EXPECT_EQ(srv.Data()[0], body + ".\r\n");
    EXPECT_EQ(srv.Connections(), 1);
}

TEST(ScriptedServer, MismatchIsReportedAndEndsTheConnection)
{
    ScriptedSmtpServer srv({Send("220 hi\r\n"), Expect("HELO a\r\n"), Send("250 never\r\n")});
    TClientSocket cs;
    Connect(cs, srv.Port());
    EXPECT_EQ(ReadSome(cs, 8), "220 hi\r\n");
    Write(cs, "HELO b\r\n");
    EXPECT_EQ(ReadSome(cs, 100), "");   // closed instead of answering
    EXPECT_FALSE(srv.Wait());
    EXPECT_EQ(srv.Failure(), "step 2: expected \"HELO a\\r\\n\", got \"HELO b\\r\\n\"");
    EXPECT_EQ(srv.StepsDone(), 1);
}

TEST(ScriptedServer, SilenceThenCloseAndASecondConnection)
{
    ScriptedSmtpServer srv({Send("220 a\r\n"), Silent(150), CloseConnection(), NextConnection(),
                            Send("220 b\r\n")});
    TClientSocket cs;
    Connect(cs, srv.Port());
    EXPECT_EQ(ReadSome(cs, 7), "220 a\r\n");
    Write(cs, "NOOP\r\n");
    EXPECT_FALSE(cs.Socket().WaitReadable(30));   // silent
    EXPECT_EQ(ReadSome(cs, 1), "");                // then closed
    cs.Close();
    Connect(cs, srv.Port());
    EXPECT_EQ(ReadSome(cs, 7), "220 b\r\n");
    cs.Close();
    EXPECT_TRUE(srv.Wait()) << srv.Failure();
    EXPECT_EQ(srv.Received(), "NOOP\r\n");
    EXPECT_EQ(srv.Connections(), 2);
}

TEST(ScriptedServer, GivesUpWithoutAClient)
{
    ScriptedSmtpServer srv({Send("220 x\r\n")}, 100);
    EXPECT_FALSE(srv.Wait(5000));
    EXPECT_EQ(srv.Failure(), "no client connected before the deadline");
}

TEST(TempFolder, HoldsFilesAndIsRemovedWithEverythingInIt)
{
    std::string path;
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    {
        TempDir dir;
        path = dir.path();
        ASSERT_TRUE(std::filesystem::is_directory(path));
        WriteFile(dir.file("bytes.bin"), all);
        EXPECT_EQ(ReadFile(dir.file("bytes.bin")), all);
        std::filesystem::create_directory(dir.file("sub"));
        WriteFile(dir.file("sub/empty"), "");
        EXPECT_EQ(std::filesystem::file_size(dir.file("sub/empty")), 0u);
    }
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_THROW(ReadFile(path + "/bytes.bin"), std::runtime_error);
    EXPECT_THROW(WriteFile(path + "/no/such/dir", "x"), std::runtime_error);
}

TEST(ScriptedServer, SplitSegmentsArriveSeparately)
{
    ScriptedSmtpServer srv({SendSplit({"220 sp", "lit\r\n"}, 300)});
    TClientSocket cs;
    Connect(cs, srv.Port());
    EXPECT_EQ(ReadSome(cs, 1), "220 sp");   // the rest is still 300 ms away
    EXPECT_EQ(ReadSome(cs, 1), "lit\r\n");
    cs.Close();
    EXPECT_TRUE(srv.Wait()) << srv.Failure();
}
