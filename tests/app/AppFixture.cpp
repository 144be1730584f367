#include "tests/app/AppFixture.h"

#include "app/AnsiText.h"
#include "app/QtFrontEnd.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <cstdlib>

namespace {

class QtEnvironment : public ::testing::Environment {
public:
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
    void TearDown() override
    {
        FFrontEnd.reset();
        FApp.reset();
    }

private:
    std::unique_ptr<QApplication> FApp;
    std::unique_ptr<TQtFrontEnd> FFrontEnd;
};

[[maybe_unused]] const auto* gQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

} // namespace

void AppTest::SetUp()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "quillbox-app-XXXXXX").string();
    Dir = mkdtemp(pattern.data());
    IniPath = (Dir / "Quillbox.ini").string();
}

void AppTest::TearDown()
{
    if (Main && Main->isVisible())
        Main->close();
    Main.reset();
    Dlg.reset();
    Log.reset();
    std::filesystem::remove_all(Dir);
}

void AppTest::Start()
{
    Main = std::make_unique<TFrmMain>(IniPath);
    Dlg = std::make_unique<TDlgOptionsAccount>();
    Log = std::make_unique<TFrmLog>();
    Main->SetForms(Dlg.get(), Log.get());
    Main->show();
}

void AppTest::Select(int index)
{
    Main->LvwMessages->clearSelection();
    Main->LvwMessages->Row(index)->setSelected(true);
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

void AppTest::OnNextModal(std::function<void(QWidget*)> action)
{
    When([] { return QApplication::activeModalWidget() != nullptr; },
         [action] { action(QApplication::activeModalWidget()); });
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

bool AppTest::PumpUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs) {
        platform::Application::ProcessMessages();
        platform::Application::WaitMessage(50);
    }
    return done();
}

std::vector<std::string> AppTest::LogLines(const std::string& prefix) const
{
    std::vector<std::string> lines;
    for (const std::string& line : Log->Lines())
        if (line.compare(0, prefix.size(), prefix) == 0)
            lines.push_back(line);
    return lines;
}

std::vector<Integer> AppTest::RowNumbers() const
{
    std::vector<Integer> numbers;
    for (int i = 0; i < Main->LvwMessages->RowCount(); ++i)
        numbers.push_back(Main->LvwMessages->Row(i)->Data());
    return numbers;
}
