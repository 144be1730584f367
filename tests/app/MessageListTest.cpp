// The user reads the message list: decoded subjects and senders, local
// dates, sizes, and sorting by any column.
#include "tests/app/AppFixture.h"

namespace {

using testsupport::Dovecot;

// A message of `bytes` bytes on the wire (where every LF is CR LF), or of
// its header alone when that is larger.
std::string Message(const std::string& header, size_t bytes)
{
    std::string message = header + "\n";
    size_t wire = message.size() + size_t(std::count(message.begin(), message.end(), '\n'));
    while (wire + 3 <= bytes) {
        const size_t line = std::min<size_t>(78, bytes - wire - 2);
        message += std::string(line, 'x') + "\n";
        wire += line + 2;
    }
    return message;
}

const std::vector<std::string> kMailbox = {
    // Encoded subject and name; a date in Finnish winter time; 1,5 kt.
    Message("Subject: =?UTF-8?B?UMOkaXbDpG4gc8Okw6Q=?=\n"
            "From: =?ISO-8859-1?Q?Pekka_H=E4m=E4l=E4inen?= <pekka@example.fi>\n"
            "Date: Mon, 1 Dec 2025 14:05:00 +0200\n", 1560),
    // A folded subject with raw Windows-1252, a raw UTF-8 name, an obsolete
    // date.
    Message("Subject: Kokouksen esityslista torstaille ja\n\tTervetuloa m\xF6kille\n"
            "From: \"\xC3\x84iti\" <aiti@example.fi>\nDate: 2 Dec 25 08:00 GMT\n", 200),
    // No name, no date; 1,2 Mt.
    Message("Subject: =?ISO-8859-1?Q?Fwd:_Matkavaraus_Ouluun?=\nFrom: zorro@example.com\n"
            "Date: huomenna\n", 1258292),
    // Lower case; a little smaller than the first, the same size text.
    Message("subject: apple pie\nFrom: bertta <b@example.fi>\nDate: Sun, 30 Nov 2025 23:59:59 -0000\n", 1540),
};

TEST_F(AppTest, RowsShowDecodedHeadersAndSortByEveryColumn)
{
    Dovecot server(kMailbox);
    StartOn(server);
    Connect();
    const std::vector<std::string> rows = {
        "1:Päivän sää|Pekka Hämäläinen|1.12.2025 14.05|1,5 kt",
        "2:Kokouksen esityslista torstaille ja Tervetuloa mökille|Äiti|2.12.2025 10.00|0,2 kt",
        "3:Fwd: Matkavaraus Ouluun|zorro@example.com|huomenna|1,2 Mt",
        "4:apple pie|bertta|1.12.2025 1.59|1,5 kt",
    };
    ASSERT_EQ(Rows(), rows);
    std::vector<std::string> tips;
    for (int i = 0; i < 4; ++i)
        tips.push_back(Main->LvwMessages->Row(i)->toolTip(TFrmMain::kSenderColumn).toStdString());
    EXPECT_EQ(tips, (std::vector<std::string>{"Pekka Hämäläinen <pekka@example.fi>", "Äiti <aiti@example.fi>",
                                              "zorro@example.com", "bertta <b@example.fi>"}));

    // Each header: ascending, descending, back to the server's order. Text
    // by Finnish collation (case blind, Ä after Z), the date by time (no
    // date first), the size by bytes (1540 before 1560, 1,2 Mt last).
    const struct {
        int Column;
        const char* Ascending; // message numbers
    } columns[] = {{TFrmMain::kSubjectColumn, "4321"}, {TFrmMain::kSenderColumn, "4132"},
                   {TFrmMain::kDateColumn, "3412"},    {TFrmMain::kSizeColumn, "2413"}};
    auto order = [this] {
        std::string numbers;
        for (int i = 0; i < Main->LvwMessages->RowCount(); ++i)
            numbers += std::to_string(Main->LvwMessages->Row(i)->Data());
        return numbers;
    };
    for (const auto& c : columns) {
        SCOPED_TRACE(c.Column);
        ClickHeader(c.Column);
        EXPECT_EQ(order(), c.Ascending);
        ClickHeader(c.Column);
        const std::string ascending = c.Ascending;
        EXPECT_EQ(order(), std::string(ascending.rbegin(), ascending.rend()));
        ClickHeader(c.Column);
        EXPECT_EQ(Rows(), rows);
    }

    // Rows of a new check go straight to their place in the order shown.
    ClickHeader(TFrmMain::kSizeColumn);
    ClickHeader(TFrmMain::kSizeColumn);
    Main->BtnDisconnect->trigger();
    Connect();
    EXPECT_EQ(order(), "3142");
    EXPECT_EQ(Main->LvwMessages->SortColumn(), TFrmMain::kSizeColumn);
}

} // namespace
