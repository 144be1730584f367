// The header fetch of a long check: progress while it runs, a window that
// stays usable, Close and Disconnect that stop it, and the "Pipelining" key.
#include "tests/app/AppFixture.h"

#include <QElapsedTimer>

namespace {

using testsupport::Pop3Peer;

std::string Tops(int first, int last)
{
    std::string tops;
    for (int i = first; i <= last; ++i)
        tops += "TOP " + std::to_string(i) + " 0\r\n";
    return tops;
}

std::vector<std::string> MessageRows(int first, int last)
{
    std::vector<std::string> rows;
    for (int i = first; i <= last; ++i)
        rows.push_back(std::to_string(i) + ":message " + std::to_string(i) + "|||0,1 kt");
    return rows;
}

// While a slow server delivers, the loop runs: a timer fires, the rows that
// have arrived are in the list, the status bar counts them with a progress
// bar, and Disconnect is enabled. At the end the progress goes and the
// status text is the original one.
TEST_F(AppTest, FetchShowsProgressAndTheWindowStaysResponsive)
{
    Pop3Peer peer;
    ScriptPipelined(peer, 4, 4, 2);
    peer.WaitFor("more");
    for (int i = 3; i <= 4; ++i)
        peer.Reply("+OK").Reply("Subject: message " + std::to_string(i)).Reply(".");
    StartOn(peer);
    Main->Pop3Client->SetTimeout(5); // a missed step fails in seconds
    std::vector<std::string> rowsMeanwhile;
    bool disconnectMeanwhile = false, connectMeanwhile = true;
    When([&] { return Main->ProgressText() == "2 of 4 headers"; }, [&] {
        rowsMeanwhile = Rows();
        disconnectMeanwhile = Main->BtnDisconnect->isEnabled();
        connectMeanwhile = Main->BtnConnect->isEnabled();
        peer.Signal("more");
    });
    Connect();
    EXPECT_EQ(rowsMeanwhile, MessageRows(1, 2));
    EXPECT_TRUE(disconnectMeanwhile);
    EXPECT_FALSE(connectMeanwhile);
    EXPECT_EQ(Rows(), MessageRows(1, 4));
    EXPECT_EQ(Main->ProgressText(), "");
    EXPECT_EQ(Main->StatusText(), "K\xE4ytt\xE4j\xE4ll\xE4 demo on 4 viesti\xE4");
    Stop();
    peer.Join();
    EXPECT_EQ(peer.Transcript(), "CAPA\r\nUSER demo\r\nPASS tqrnbzxa\r\nSTAT\r\nLIST\r\n" + Tops(1, 4));
}

// Closing the window or pressing Disconnect while the headers come stops the
// fetch at once (well before the 15 s time-out): no TOP after the ones in
// flight, never a DELE or a QUIT on the abandoned connection. The rows that
// arrived stay; after Disconnect, Connect is enabled again. Lock-step, the
// second TOP is unanswered; pipelined, 10 of the 512 TOP commands that the
// first lot sends are answered, fewer than it takes to send more.
TEST_F(AppTest, CloseOrDisconnectDuringTheFetchStopsIt)
{
    const struct {
        const char* Name;
        bool Pipelined;
        bool Close; // else Disconnect
    } cases[] = {
        {"lock-step, close", false, true},
        {"lock-step, disconnect", false, false},
        {"pipelined, close", true, true},
        {"pipelined, disconnect", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Pop3Peer peer;
        const int answered = c.Pipelined ? 10 : 1;
        std::string expected;
        if (c.Pipelined) {
            ScriptPipelined(peer, 600, 512, answered);
            expected = "CAPA\r\nUSER demo\r\nPASS tqrnbzxa\r\nSTAT\r\nLIST\r\n" + Tops(1, 512);
        } else {
            ScriptCheck(peer, 3, answered, false);
            peer.Expect();
            expected = kOriginalCheckOfTwo;
        }
        peer.WaitFor("never");
        StartOn(peer, c.Pipelined ? "" : "[Options]\nPipelining=0\n");
        const std::string progress = std::to_string(answered) + " of " + (c.Pipelined ? "600" : "3") + " headers";
        When([&] { return Main->ProgressText() == progress && peer.Transcript() == expected; }, [&] {
            if (c.Close)
                Main->close();
            else
                Main->BtnDisconnect->trigger();
        });
        QElapsedTimer clock;
        clock.start();
        Connect();
        EXPECT_LT(clock.elapsed(), 10000);
        EXPECT_EQ(Main->isVisible(), !c.Close);
        if (c.Close) {
            EXPECT_NE(IniText().find("ShowLog=0"), std::string::npos);
        } else {
            EXPECT_EQ(Rows(), MessageRows(1, answered));
            EXPECT_TRUE(Main->BtnConnect->isEnabled());
            EXPECT_FALSE(Main->BtnDisconnect->isEnabled());
        }
        Stop();
        peer.Signal("never");
        peer.Join();
        EXPECT_EQ(peer.Transcript(), expected);
    }
}

// "Options"/"Pipelining": 1 when missing or no number, 0 for any other
// number (read as integers are, ShowLog's way); written back, as 1 or 0,
// only when the file had it, so that an older file gains nothing.
TEST_F(AppTest, PipeliningKeyIsWrittenOnlyWhenRead)
{
    const struct {
        const char* Value; // nullptr: no key
        bool Pipelining;
        const char* Written; // nullptr: not written
    } cases[] = {
        {nullptr, true, nullptr}, {"1", true, "1"}, {"0x1", true, "1"}, {"yes", true, "1"},
        {"0", false, "0"},        {"2", false, "0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Value ? c.Value : "no key");
        WriteIni(std::string("[Options]\nShowLog=0\n") + (c.Value ? std::string("Pipelining=") + c.Value + "\n" : ""));
        Start();
        EXPECT_EQ(Main->Pipelining(), c.Pipelining);
        Main->close();
        const std::string text = IniText();
        if (c.Written)
            EXPECT_NE(text.find(std::string("[Options]\nShowLog=0\nPipelining=") + c.Written + "\n"), std::string::npos)
                << text;
        else
            EXPECT_EQ(text.find("Pipelining"), std::string::npos) << text;
    }
}

} // namespace
