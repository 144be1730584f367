#include "tests/app/AppFixture.h"

#include "app/QtFrontEnd.h"

#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace {

struct QtEnvironment : ::testing::Environment {
    void SetUp() override
    {
        static int argc = 1;
        static char name[] = "app_tests";
        static char* argv[] = {name, nullptr};
        FApp = std::make_unique<QApplication>(argc, argv);
        QApplication::setApplicationName(QStringLiteral("Quillbox"));
        QApplication::setQuitOnLastWindowClosed(false);
        FFrontEnd = std::make_unique<TQtFrontEnd>();
    }
    void TearDown() override { FFrontEnd.reset(); FApp.reset(); }

    std::unique_ptr<QApplication> FApp;
    std::unique_ptr<TQtFrontEnd> FFrontEnd;
};

[[maybe_unused]] const auto* gQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

} // namespace

void AppTest::ScriptCheck(testsupport::Pop3Peer& peer, int count, int tops)
{
    peer.Reply("+OK ready").Answer("+OK").Answer("+OK");
    peer.Answer("+OK " + std::to_string(count) + " " + std::to_string(count * 100)).Answer("+OK");
    for (int i = 1; i <= count; ++i)
        peer.Reply(std::to_string(i) + " 100");
    peer.Reply(".");
    for (int i = 1; i <= tops; ++i)
        peer.Answer("+OK").Reply("Subject: message " + std::to_string(i)).Reply(".");
}

void AppTest::When(std::function<bool()> ready, std::function<void()> action)
{
    auto* timer = new QTimer();
    QObject::connect(timer, &QTimer::timeout, [timer, ready, action] {
        if (ready()) {
            timer->stop();
            timer->deleteLater();
            action();
        }
    });
    timer->start(10);
}

void AppTest::RunDialog(const std::function<void(TDlgOptionsAccount&)>& edit, int key)
{
    OnNextModal([edit, key](QWidget* modal) {
        auto& dlg = *static_cast<TDlgOptionsAccount*>(modal);
        edit(dlg);
        if (key == 0)
            dlg.BtnCancel->click();
        else
            QTest::keyClick(&dlg, Qt::Key(key));
    });
    Main->MnuOptionsAccount->trigger();
}
