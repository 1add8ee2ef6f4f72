#include "platform/gui/Form.h"
#include "platform/Application.h"
#include "support/MessageBoxRecorder.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace cw;

namespace {

constexpr unsigned WM_STEP = WM_USER + 1;
constexpr unsigned WM_FINISH = WM_USER + 2;
constexpr unsigned WM_THROW = WM_USER + 3;

// A form that records what happens to it, in order.
class ProbeForm : public TForm {
public:
    using TForm::TForm;
    std::vector<std::string> Log;
    int RefuseCloses = 0; // FormClose answers caNone this many times
    TCloseAction Action = caHide;

protected:
    void WndProc(TMessage& msg) override
    {
        switch (msg.Msg) {
        case WM_STEP:
            Log.push_back("step " + std::to_string(msg.WParam));
            break;
        case WM_FINISH:
            // The stage ends the run and queues more work in the same handler; the handler
            // itself must still run to its end.
            SetModalResult(static_cast<int>(msg.WParam));
            PostMessage(WM_STEP, 99);
            Log.push_back("finish handler done");
            break;
        case WM_THROW:
            throw Exception("handler failed");
        default:
            break;
        }
    }
    void FormShow() override { Log.push_back("show"); }
    void FormClose(TCloseAction& action) override
    {
        Log.push_back("close " + std::to_string(ModalResult()));
        if (RefuseCloses > 0) {
            --RefuseCloses;
            action = caNone;
        } else {
            action = Action;
        }
    }
};

class FormTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        Application::ResetTerminated();
        TForm::SetMainForm(nullptr);
    }
};

TEST_F(FormTest, ModalResultSetInAHandlerEndsTheLoopAfterTheHandlerAndHoldsLaterMessages)
{
    ProbeForm form;
    form.PostMessage(WM_STEP, 1);
    form.PostMessage(WM_FINISH, mrOk);
    form.PostMessage(WM_STEP, 2); // already queued behind the finishing message

    EXPECT_EQ(form.ShowModal(), mrOk);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.Log, (std::vector<std::string>{"show", "step 1", "finish handler done", "close 1"}));

    // A form that is still alive gets the held messages afterwards, in their order.
    Application::ProcessMessages();
    EXPECT_EQ(form.Log,
              (std::vector<std::string>{"show", "step 1", "finish handler done", "close 1", "step 2", "step 99"}));
}

TEST_F(FormTest, HeldMessagesOfADestroyedFormAreDropped)
{
    std::vector<std::string> log;
    {
        ProbeForm form;
        form.PostMessage(WM_FINISH, mrAbort);
        form.PostMessage(WM_STEP, 1);
        EXPECT_EQ(form.ShowModal(), mrAbort);
        log = form.Log;
    }
    Application::ProcessMessages(); // must not reach the destroyed form
    EXPECT_EQ(log, (std::vector<std::string>{"show", "finish handler done", "close 3"}));
}

TEST_F(FormTest, CloseHandlerAnsweringNoneKeepsTheLoopRunning)
{
    ProbeForm form;
    form.RefuseCloses = 1;
    form.PostMessage(WM_FINISH, mrOk);
    // The refused close clears the result; the messages held meanwhile then run, and the
    // second finish is accepted.
    QTimer::singleShot(50, &form, [&] { form.PostMessage(WM_FINISH, mrAbort); });
    EXPECT_EQ(form.ShowModal(), mrAbort);
    EXPECT_EQ(form.Log, (std::vector<std::string>{"show", "finish handler done", "close 1", "step 99",
                                                  "finish handler done", "close 3"}));
}

TEST_F(FormTest, TitleBarCloseOfAModalFormGivesCancelAndRunsTheCloseHandlerOnce)
{
    ProbeForm form;
    QTimer::singleShot(0, &form, [&] { form.close(); });
    EXPECT_EQ(form.ShowModal(), mrCancel);
    EXPECT_EQ(form.Log, (std::vector<std::string>{"show", "close 2"}));

    ProbeForm other;
    QTimer::singleShot(0, &other, [&] { other.Close(); });
    EXPECT_EQ(other.ShowModal(), mrCancel);
}

TEST_F(FormTest, EndedApplicationEndsTheModalLoopWithCancel)
{
    ProbeForm form;
    QTimer::singleShot(0, &form, [] { Application::Terminate(); });
    EXPECT_EQ(form.ShowModal(), mrCancel);
    EXPECT_EQ(form.Log, (std::vector<std::string>{"show"}));
}

TEST_F(FormTest, AModalFormInsideAModalFormReturnsToTheOuterLoop)
{
    ProbeForm outer;
    ProbeForm inner(&outer);
    int innerResult = 0;
    QTimer::singleShot(0, &outer, [&] {
        inner.PostMessage(WM_FINISH, mrYes);
        innerResult = inner.ShowModal();
        outer.SetModalResult(mrNo);
    });
    EXPECT_EQ(outer.ShowModal(), mrNo);
    EXPECT_EQ(innerResult, mrYes);
    EXPECT_TRUE(outer.isHidden());
}

TEST_F(FormTest, ExceptionInAMessageHandlerReachesTheErrorBoxNotTheLoop)
{
    cwtest::MessageBoxRecorder boxes;
    Application::SetTitle("Probe");
    ProbeForm form;
    form.PostMessage(WM_THROW);
    form.PostMessage(WM_FINISH, mrOk);
    EXPECT_EQ(form.ShowModal(), mrOk);
    ASSERT_EQ(boxes.Count(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].Text, "handler failed");
    EXPECT_EQ(boxes.Boxes()[0].Caption, "Probe");
}

TEST_F(FormTest, ClosingAModelessFormRunsTheCloseActions)
{
    ProbeForm form;
    form.show();
    form.RefuseCloses = 1;
    form.Close();
    EXPECT_TRUE(form.isVisible()); // caNone
    form.Close();
    EXPECT_FALSE(form.isVisible()); // caHide
    EXPECT_FALSE(Application::Terminated());

    ProbeForm main;
    TForm::SetMainForm(&main);
    main.show();
    main.Close();
    EXPECT_FALSE(main.isVisible());
    EXPECT_TRUE(Application::Terminated());
}

TEST_F(FormTest, ReleaseFreesTheFormOnceBackInTheLoop)
{
    QPointer<ProbeForm> form = new ProbeForm;
    form->Action = caFree;
    form->PostMessage(WM_FINISH, mrOk);
    EXPECT_EQ(form->ShowModal(), mrOk);
    ASSERT_FALSE(form.isNull());
    HWND handle = form->Handle();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(form.isNull());
    EXPECT_FALSE(MessageWindow::IsWindow(handle));
}

// Enter typed into an edit box, as a user confirms a dialog.
void PressEnterIn(QWidget* target, Qt::Key key = Qt::Key_Return)
{
    QKeyEvent press(QEvent::KeyPress, key, key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
    QApplication::sendEvent(target, &press);
}

TEST_F(FormTest, EnterInAnEditBoxPressesTheDefaultButton)
{
    ProbeForm form;
    auto* edit = new QLineEdit(&form);
    auto* other = new QPushButton("Cancel", &form);
    auto* ok = new QPushButton("OK", &form);
    ok->setDefault(true);
    int okClicks = 0, otherClicks = 0;
    QObject::connect(ok, &QPushButton::clicked, [&] {
        ++okClicks;
        form.SetModalResult(mrOk);
    });
    QObject::connect(other, &QPushButton::clicked, [&] { ++otherClicks; });
    // A key that pressed nothing ends the loop with Abort instead of leaving it running.
    auto enterThenGiveUp = [&](Qt::Key key) {
        QTimer::singleShot(0, &form, [&form, edit, key] {
            PressEnterIn(edit, key);
            if (form.ModalResult() == mrNone)
                form.SetModalResult(mrAbort);
        });
    };
    enterThenGiveUp(Qt::Key_Return);
    EXPECT_EQ(form.ShowModal(), mrOk);
    EXPECT_EQ(okClicks, 1);
    EXPECT_EQ(otherClicks, 0);

    // The Enter key of the number pad does the same.
    enterThenGiveUp(Qt::Key_Enter);
    EXPECT_EQ(form.ShowModal(), mrOk);
    EXPECT_EQ(okClicks, 2);
}

TEST_F(FormTest, EnterPressesNothingWhenTheDefaultButtonIsDisabledOrThereIsNone)
{
    ProbeForm form;
    auto* edit = new QLineEdit(&form);
    auto* ok = new QPushButton("OK", &form);
    ok->setDefault(true);
    ok->setEnabled(false);
    auto* plain = new QPushButton("Other", &form);
    int clicks = 0;
    QObject::connect(ok, &QPushButton::clicked, [&] { ++clicks; });
    QObject::connect(plain, &QPushButton::clicked, [&] { ++clicks; });
    QTimer::singleShot(0, &form, [&] {
        PressEnterIn(edit);
        form.SetModalResult(mrCancel);
    });
    EXPECT_EQ(form.ShowModal(), mrCancel);
    EXPECT_EQ(clicks, 0);
}

TEST_F(FormTest, ClientSizeOfAFixedFormStaysFixed)
{
    TForm form;
    form.setFixedSize(200, 100);
    form.SetClientWidth(353);
    form.SetClientHeight(202);
    EXPECT_EQ(form.ClientWidth(), 353);
    EXPECT_EQ(form.ClientHeight(), 202);
    EXPECT_EQ(form.minimumSize(), form.maximumSize());

    form.SetBounds(10, 20, 300, 150);
    EXPECT_EQ(form.Left(), 10);
    EXPECT_EQ(form.Top(), 20);
    EXPECT_EQ(form.Width(), 300);
    EXPECT_EQ(form.Height(), 150);
}

} // namespace
